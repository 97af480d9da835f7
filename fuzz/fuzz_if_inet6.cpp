// /proc/net/if_inet6 lines: a found address is eight groups of at most four characters, cut to the
// buffer and terminated inside it.
#include "fuzz.h"
#include "network/network_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (int length : {40, 12}) {
        std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
        if (file == nullptr) return 0;
        Guarded<40> address;
        const int result = vxm::network::parse_inet_file(file, "eth0", address.text, length);
        std::fclose(file);
        FUZZ_CHECK(address.intact() && (result == 0 || result == -1));
        FUZZ_CHECK(result == 0 ? std::memchr(address.text, '\0', length) != nullptr : address.text[0] == 'X');
        if (result == 0 && length == 40) {
            const std::size_t written = std::strlen(address.text);
            FUZZ_CHECK(std::count(address.text, address.text + written, ':') >= 7 && written <= 39);
            FUZZ_CHECK(std::strncmp(address.text, "fe80", 4) != 0);
        }
    }
    return 0;
}
