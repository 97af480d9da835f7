// Address records of the socket wrappers for tests, and the text of their records that begin with
// the source line of the statement that logged them.
#ifndef VXMOSAL_TESTS_SOCKET_RECORDS_H
#define VXMOSAL_TESTS_SOCKET_RECORDS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "support/log_capture.h"
#include "vxmosal/VXM_os_net.h"

namespace vxmtest {

inline VXM_SOCKADDR v4Record(const char* text, unsigned short port) {
    VXM_SOCKADDR record;
    std::memset(&record, 0, sizeof record);
    record.family = AF_INET;
    record.port = htons(port);
    inet_pton(AF_INET, text, &record.addr);
    return record;
}

// Family code 23, the address in the record's 16-byte tail.
inline VXM_SOCKADDR v6Record(const char* text, unsigned short port) {
    VXM_SOCKADDR record;
    std::memset(&record, 0, sizeof record);
    record.family = VXM_SOCK_FAMILY_INET6;
    record.port = htons(port);
    inet_pton(AF_INET6, text, record.addrTail);
    return record;
}

// " <line><rest>": what a record whose format begins " %d" says.
inline std::string withLine(const LogRecord& record, const std::string& rest) {
    return " " + std::to_string(record.line) + rest;
}

}  // namespace vxmtest

#endif
