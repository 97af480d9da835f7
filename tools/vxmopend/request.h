// The request a client sends: "open#", the command, "#", the mode letter and a 0 byte.
#ifndef VXMOPEND_REQUEST_H
#define VXMOPEND_REQUEST_H

#include <cstddef>
#include <string>
#include <string_view>

namespace vxmopend {

// Longest request accepted, terminator included; a longer one is refused with E2BIG.
constexpr std::size_t kMaxRequest = 64 * 1024;

struct Request {
    std::string command;
    char mode = 0;  // 'r' or 'w'
};

// Parses the bytes before the terminator. False when they are not "open#<command>#r" or
// "open#<command>#w" with a non-empty command free of 0 bytes.
bool parseRequest(std::string_view text, Request& request);

// The command as a log shows it: printable ASCII kept, everything else escaped, at most 200
// characters followed by "..." when cut.
std::string printable(std::string_view text);

}  // namespace vxmopend

#endif
