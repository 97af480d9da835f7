// Address records of the socket wrappers for tests, and the text of their records that begin with
// the source line of the statement that logged them.
#ifndef VXMOSAL_TESTS_SOCKET_RECORDS_H
#define VXMOSAL_TESTS_SOCKET_RECORDS_H

#include <arpa/inet.h>
#include <cstring>

#include <string>

#include "support/log_capture.h"
#include "vxmosal/VXM_os_net.h"

namespace vxmtest {

// IPv6 records carry the family code 23 and the address in their 16-byte tail.
inline VXM_SOCKADDR addressRecord(bool v6, const char* text, unsigned short port) {
    VXM_SOCKADDR record{};
    record.family = v6 ? VXM_SOCK_FAMILY_INET6 : AF_INET;
    record.port = htons(port);
    inet_pton(v6 ? AF_INET6 : AF_INET, text, v6 ? static_cast<void*>(record.addrTail) : &record.addr);
    return record;
}
inline VXM_SOCKADDR v4Record(const char* text, unsigned short port) { return addressRecord(false, text, port); }
inline VXM_SOCKADDR v6Record(const char* text, unsigned short port) { return addressRecord(true, text, port); }

// " <line><rest>": what a record whose format begins " %d" says.
inline std::string withLine(const LogRecord& record, const std::string& rest) {
    return " " + std::to_string(record.line) + rest;
}

}  // namespace vxmtest

#endif
