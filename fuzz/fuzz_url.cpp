// URL host and port: the host stays inside its 47 bytes, terminated; a name or IPv4 host is at most
// 15 characters, a bracketed one loses its zone.
#include "fuzz.h"
#include "vxmosal/VXM_utility.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    Guarded<47> host;
    int port = 0;
    const int result = VXM_network_URLResolveHostAndPort(url.c_str(), host.text, sizeof host.text, &port);
    FUZZ_CHECK(host.intact());
    FUZZ_CHECK(result == 0 || result == -1);
    if (result != 0) return 0;
    const std::size_t start = url.find("://");
    FUZZ_CHECK(host.terminated() && start != std::string::npos);
    if (url.c_str()[start + 3] != '[') FUZZ_CHECK(std::strlen(host.text) <= 15);
    else FUZZ_CHECK(std::strchr(host.text, '%') == nullptr);
    return 0;
}
