#include "request.h"

#include <cstdio>

namespace vxmopend {

bool parseRequest(std::string_view text, Request& request) {
    constexpr std::string_view kPrefix = "open#";
    if (text.size() < kPrefix.size() + 3 || text.substr(0, kPrefix.size()) != kPrefix) return false;
    const char mode = text.back();
    if (text[text.size() - 2] != '#' || (mode != 'r' && mode != 'w')) return false;
    std::string_view command = text.substr(kPrefix.size(), text.size() - kPrefix.size() - 2);
    if (command.empty() || command.find('\0') != std::string_view::npos) return false;
    request.command.assign(command);
    request.mode = mode;
    return true;
}

std::string printable(std::string_view text) {
    constexpr std::size_t kLimit = 200;
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < kLimit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (text.size() > kLimit) out += "...";
    return out;
}

}  // namespace vxmopend
