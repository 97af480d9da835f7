// The process killer's ps listing: at most 20 kill commands, each "kill -9 " and one listed id free
// of newlines and of the characters the shell guard refuses.
#include "fuzz.h"
#include "utility/process_listing.h"

namespace {
int g_commands = 0;
int record(const char* command) {
    ++g_commands;
    FUZZ_CHECK(std::strncmp(command, "kill -9 ", 8) == 0 && command[8] != '\0');
    FUZZ_CHECK(std::strpbrk(command, "\n|;&$<>`") == nullptr && std::strlen(command) < 512);
    return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string listing(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 511));
    g_commands = 0;
    const int result = vxm::process::killListed(&listing[0], record);
    FUZZ_CHECK((result == 0 || result == -1) && g_commands <= 20);
    return 0;
}
