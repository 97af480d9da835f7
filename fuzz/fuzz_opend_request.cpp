// The open daemon's request parser: what it accepts is exactly "open#" COMMAND "#" MODE, and what a
// log shows of any request is printable and bounded.
#include "fuzz.h"
#include "vxmopend/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vxmopend::Request request;
    if (vxmopend::parseRequest(text, request)) {
        FUZZ_CHECK(request.mode == 'r' || request.mode == 'w');
        FUZZ_CHECK(!request.command.empty() && request.command.find('\0') == std::string::npos);
        FUZZ_CHECK("open#" + request.command + "#" + request.mode == text);
    }
    const std::string shown = vxmopend::printable(text);
    FUZZ_CHECK(shown.size() <= 4 * 200 + 3);
    for (char c : shown) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
    return 0;
}
