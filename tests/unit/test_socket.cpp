// The socket wrappers on real loopback sockets (IPv4, IPv6 where the box has ::1, and local
// sockets): the codes and address records they translate, the arguments they refuse, their
// messages, and the connect with a time-out against a listener and a closed port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/socket_records.h"
#include "vxmosal/VXM_os_net.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::v4Record;
using vxmtest::v6Record;
using vxmtest::withLine;

// Owns a descriptor for the length of a test.
struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() { if (fd > 2) close(fd); }
    Fd(const Fd&) = delete;
    int get() const { return fd; }
    int fd;
};

// The records, one a line: "level module function: message".
std::string logged(const LogCapture& log) {
    std::string text;
    for (const auto& r : log.all()) text += std::to_string(r.level) + " " + r.module + " " + r.function + ": " + r.message + "\n";
    return text;
}

sockaddr_storage name(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}
unsigned short boundPort(int fd) {  // the port stands at the same place in both families
    sockaddr_storage address = name(fd);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}
int sockOpt(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}
bool nonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// A stream socket on the loopback address of the family, listening or (to leave a closed port) not.
int loopback(int domain, bool listening = true) {
    const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = domain == AF_INET6 ? bind(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0
                                          : bind(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4) == 0;
    if (bound && (!listening || listen(fd, 8) == 0)) return fd;
    close(fd);
    return -1;
}

#define SKIP_WITHOUT_IPV6() \
    if (Fd(loopback(AF_INET6)).get() < 0) GTEST_SKIP() << "this box has no IPv6 loopback address"

TEST(Socket, CodesChooseFamilyTypeAndCloseOnExec) {
    struct Row { int fd, family, type; bool closeOnExec; };
    const Row rows[] = {{VXM_sock_socket(0, 0), AF_INET, SOCK_STREAM, true}, {VXM_sock_socket(7, 9), AF_INET, SOCK_STREAM, true},
                        {VXM_sock_socket(0, 2), AF_INET, SOCK_DGRAM, true},  {VXM_sock_socket(1, 2), AF_INET6, SOCK_DGRAM, true},
                        {VXM_sock_socket_un(0, 0), AF_UNIX, SOCK_DGRAM, false}, {VXM_sock_socket_un(2, 1), AF_UNIX, SOCK_STREAM, false}};
    for (const Row& row : rows) {
        Fd fd(row.fd);
        if (row.fd < 0 && row.family == AF_INET6) continue;  // no IPv6 on this box
        EXPECT_EQ(name(row.fd).ss_family, row.family) << &row - rows;
        EXPECT_EQ(sockOpt(row.fd, SO_TYPE), row.type) << &row - rows;
        EXPECT_EQ((fcntl(row.fd, F_GETFD) & FD_CLOEXEC) != 0, row.closeOnExec) << &row - rows;
    }
}

TEST(Socket, RefusedArgumentsCallNoSystemFunction) {
    LogCapture log;
    Fd sock(VXM_sock_socket(0, 2));
    const int s = sock.get();
    char buffer[8] = {};
    VXM_SOCKADDR record = v4Record("127.0.0.1", 0);
    VXM_SOCKADDR_UN local{};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int value = 1;
    errno = 0;
    const int results[] = {
        VXM_sock_listen(-1, 1), VXM_sock_listen(s, -1), VXM_sock_accept(s, nullptr, &length),
        VXM_sock_accept(s, reinterpret_cast<sockaddr*>(&peer), nullptr), VXM_sock_accept_un(s, nullptr, &length),
        VXM_sock_send(s, nullptr, 4, 0), VXM_sock_send(s, buffer, 0, 0), VXM_sock_send(s, buffer, -4, 0),
        VXM_sock_recv(s, nullptr, 4, 0), VXM_sock_recv(s, buffer, 0, 0),
        VXM_sock_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, nullptr, 4), VXM_sock_setsockopt(-1, SOL_SOCKET, SO_REUSEADDR, &value, 4),
        VXM_sock_getsockopt(s, SOL_SOCKET, SO_TYPE, nullptr, &length), VXM_sock_getsockopt(s, SOL_SOCKET, SO_TYPE, &value, nullptr),
        VXM_sock_bind(s, nullptr, 16), VXM_sock_bind(-1, &record, 16), VXM_sock_bind(s, &record, 0),
        VXM_sock_bindV6(s, &record, -1), VXM_sock_bindV6(-1, &record, 28), VXM_sock_bindV6(s, nullptr, 28),
        VXM_sock_bindlocal(-1, 5000, 3), VXM_sock_bind_un(s, nullptr, 110), VXM_sock_bind_un(s, &local, 0),
        VXM_sock_sendto(s, nullptr, 4, 0, &record, 16), VXM_sock_sendto(-1, buffer, 4, 0, &record, 16),
        VXM_sock_sendto(s, buffer, 4, 0, &record, -1), VXM_sock_recvfrom(0, buffer, 4, 0, &record, &length),
        VXM_sock_recvfrom(s, buffer, 4, 0, &record, nullptr), VXM_sock_recvfrom(s, buffer, 0, 0, &record, &length),
        VXM_sock_inetaddr(nullptr), VXM_sock_getHostByName(nullptr, "localhost"), VXM_sock_getHostByName(buffer, nullptr)};
    for (const int& result : results) EXPECT_EQ(result, -1) << "argument row " << &result - results;
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(logged(log), "");
    EXPECT_EQ(VXM_sock_sendto(s, buffer, 4, 0, nullptr, 16), -1);
    EXPECT_EQ(VXM_sock_recvfrom(s, buffer, 4, 0, nullptr, &length), -1);
    for (int fd : {0, 1, 2, -1}) EXPECT_EQ(VXM_sock_close(fd), -1);
    EXPECT_NE(-1, fcntl(2, F_GETFD));
    EXPECT_EQ(logged(log), "4 common VXM_sock_sendto: Entrance parameter pToSockaddr is NULL\n\n"
                           "4 common VXM_sock_recvfrom: Entrance parameter pFromAddr is NULL\n\n"
                           "4 os_net VXM_sock_close: VXM_sock_close: Can not close sock 0\n"
                           "4 os_net VXM_sock_close: VXM_sock_close: Can not close sock 1\n"
                           "4 os_net VXM_sock_close: VXM_sock_close: Can not close sock 2\n"
                           "4 os_net VXM_sock_close: VXM_sock_close: Can not close sock -1\n");
    const int fd = VXM_sock_socket(0, 0);
    EXPECT_EQ(VXM_sock_close(fd), 0);
    EXPECT_EQ(VXM_sock_close(fd), -1);  // the system's answer for a closed descriptor
    EXPECT_EQ(errno, EBADF);
}

TEST(Socket, AddressTextAndHostLookup) {
    EXPECT_EQ(VXM_sock_inetaddr("10.0.1.2"), static_cast<int>(htonl(0x0A000102)));
    EXPECT_EQ(VXM_sock_inetaddr("255.255.255.255"), -1);  // the same value as a failure
    EXPECT_EQ(VXM_sock_inetaddr("10.0.1.x"), -1);
    EXPECT_STREQ(VXM_sock_inetntoa(in_addr{htonl(0xC0A80001)}), "192.168.0.1");
    unsigned char out[16] = {};
    struct Row { int family; const char* text; unsigned char* dst; int result; };
    const Row rows[] = {{AF_INET6, "::1", out, 1}, {AF_INET, "1.2.3.4", out, 1}, {VXM_SOCK_FAMILY_INET6, "::1", out, 0},
                        {AF_INET, "1.2.3", out, 0}, {AF_INET, nullptr, out, 0}, {AF_INET, "1.2.3.4", nullptr, 0}};
    for (const Row& row : rows) EXPECT_EQ(VXM_sock_inetpton(row.family, row.text, row.dst), row.result) << &row - rows;
    EXPECT_EQ(out[15], 1);
    EXPECT_EQ(0, std::memcmp(out, "\x01\x02\x03\x04", 4));
    // One text buffer per thread, overwritten by the next call.
    char* first = VXM_sock_inetntop(htonl(0x0A000001));
    EXPECT_STREQ(first, "10.0.0.1");
    EXPECT_EQ(VXM_sock_inetntop(htonl(0xFFFFFFFF)), first);
    std::string other;
    char* otherBuffer = nullptr;
    std::thread([&] { other = otherBuffer = VXM_sock_inetntop(htonl(0x7F000001)); }).join();
    EXPECT_EQ(other, "127.0.0.1");
    EXPECT_NE(otherBuffer, first);
    EXPECT_STREQ(first, "255.255.255.255");
    char host[16] = "unchanged";
    EXPECT_EQ(VXM_sock_getHostByName(host, "no-such-host.invalid"), -1);
    EXPECT_STREQ(host, "unchanged");
    EXPECT_EQ(VXM_sock_getHostByName(host, "127.0.0.9"), 0);
    EXPECT_STREQ(host, "127.0.0.9");
    VXM_sock_freeHostent(nullptr);
}

TEST(Socket, PortSearchMovesUpAndWraps) {
    Fd sock(VXM_sock_socket(0, 2)), taken(VXM_sock_socket(0, 2)), top(VXM_sock_socket(0, 2)), wrapped(VXM_sock_socket(0, 2));
    EXPECT_EQ(VXM_sock_bindlocal(sock.get(), 0, 5), 0);
    EXPECT_EQ(boundPort(sock.get()), 0) << "port 0 binds nothing";
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(bind(taken.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    const unsigned short busy = boundPort(taken.get());
    EXPECT_EQ(VXM_sock_bindlocal(sock.get(), busy, 1), -1);
    EXPECT_EQ(VXM_sock_bindlocal(sock.get(), busy, 0), -1) << "one attempt even with no tries";
    if (VXM_sock_bindlocal(sock.get(), busy, 2) == 0)
        EXPECT_EQ(boundPort(sock.get()), static_cast<unsigned short>(busy + 1));
    else
        EXPECT_EQ(errno, EADDRINUSE) << "port " << busy + 1 << " was busy as well";
    any.sin_port = htons(65535);  // from 65535 the next port is 0, which the kernel turns into one of its own
    bind(top.get(), reinterpret_cast<sockaddr*>(&any), sizeof any);
    EXPECT_EQ(VXM_sock_bindlocal(wrapped.get(), 65535, 1), -1);
    EXPECT_EQ(VXM_sock_bindlocal(wrapped.get(), 65535, 2), 0);
    EXPECT_NE(boundPort(wrapped.get()), 0);
    EXPECT_NE(boundPort(wrapped.get()), 65535);
}

TEST(Socket, DatagramRecordsRoundTrip) {
    for (const bool v6 : {false, true}) {
        Fd server(VXM_sock_socket(v6, 2)), client(VXM_sock_socket(v6, 2));
        if (v6 && server.get() < 0) continue;
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        VXM_SOCKADDR at = v6 ? v6Record("::1", 0) : v4Record("127.0.0.1", 0);
        ASSERT_EQ(v6 ? VXM_sock_bindV6(server.get(), &at, 1) : VXM_sock_bind(server.get(), &at, 16), 0);
        at.port = htons(boundPort(server.get()));
        if (v6) {  // bound to the wildcard, not the record's ::1
            sockaddr_in6 bound{};
            int family = 0;
            ASSERT_EQ(VXM_sock_getsockname(server.get(), nullptr, &bound, &family), 0);
            EXPECT_TRUE(family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&bound.sin6_addr));
        } else {
            EXPECT_EQ(VXM_sock_bind(client.get(), &at, 16), -1);
            EXPECT_EQ(errno, EADDRINUSE);
        }
        // The record length of sendto is only checked; the system address has its own size.
        EXPECT_EQ(VXM_sock_sendto(client.get(), "hello", 5, 0, &at, 0), 5);
        char buffer[16] = {};
        VXM_SOCKADDR from;
        std::memset(&from, 0xAB, sizeof from);
        from.family = v6 ? VXM_SOCK_FAMILY_INET6 : 0;
        socklen_t length = sizeof from;
        ASSERT_EQ(VXM_sock_recvfrom(server.get(), buffer, sizeof buffer, 0, &from, &length), 5);
        EXPECT_STREQ(buffer, "hello");
        EXPECT_EQ(length, v6 ? 28u : 16u);
        EXPECT_EQ(from.family, v6 ? AF_INET6 : AF_INET);
        if (v6) EXPECT_EQ(0, std::memcmp(from.addrTail, &in6addr_loopback, 16));
        else EXPECT_EQ(from.addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(ntohs(from.port), boundPort(client.get()));
        EXPECT_EQ(VXM_sock_send(client.get(), "abc", 3, 0), -1);  // not connected
        EXPECT_EQ(errno, EDESTADDRREQ);
    }
}

TEST(Socket, StreamConnectAcceptNamesAndTheirMessages) {
    for (const bool v6 : {false, true}) {
        Fd server(loopback(v6 ? AF_INET6 : AF_INET)), client(VXM_sock_socket(v6, 0)), v4client(VXM_sock_socket(0, 0));
        if (v6 && server.get() < 0) continue;
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        LogCapture log;
        VXM_SOCKADDR to = v6 ? v6Record("::1", boundPort(server.get())) : v4Record("127.0.0.1", boundPort(server.get()));
        ASSERT_EQ(VXM_sock_connect(client.get(), &to, v6 ? 28 : 16), 0);
        sockaddr_in6 peer{}, v6out{};
        sockaddr_in v4out{};
        socklen_t length = sizeof peer;
        Fd accepted(VXM_sock_accept(server.get(), reinterpret_cast<sockaddr*>(&peer), &length));
        EXPECT_EQ(ntohs(peer.sin6_port), boundPort(client.get()));
        EXPECT_EQ(VXM_sock_send(client.get(), "ping", 4, 0), 4);
        char buffer[8] = {};
        EXPECT_EQ(VXM_sock_recv(accepted.get(), buffer, sizeof buffer, 0), 4);
        EXPECT_STREQ(buffer, "ping");
        int family = 0;
        EXPECT_EQ(VXM_sock_getpeername(client.get(), &v4out, &v6out, &family), 0);
        EXPECT_EQ(family, v6 ? AF_INET6 : AF_INET);
        EXPECT_EQ(v6 ? ntohs(v6out.sin6_port) : ntohs(v4out.sin_port), boundPort(server.get()));
        EXPECT_EQ(VXM_sock_getsockname(accepted.get(), &v4out, &v6out, &family), 0);
        EXPECT_EQ(v6 ? ntohs(v6out.sin6_port) : ntohs(v4out.sin_port), boundPort(server.get()));
        EXPECT_EQ(VXM_sock_shutdown(client.get(), SHUT_WR), 0);
        EXPECT_EQ(VXM_sock_recv(accepted.get(), buffer, sizeof buffer, 0), 0);
        EXPECT_EQ(logged(log), "");
        if (!v6) continue;
        EXPECT_EQ(VXM_sock_getpeername(client.get(), nullptr, &v6out, &family), 0);
        const int refused[] = {VXM_sock_getsockname(client.get(), &v4out, nullptr, &family),
                               VXM_sock_getpeername(client.get(), &v4out, nullptr, &family),
                               VXM_sock_getsockname(client.get(), &v4out, &v6out, nullptr),
                               VXM_sock_getpeername(client.get(), nullptr, nullptr, &family),
                               VXM_sock_getpeername(client.get(), &v4out, &v6out, nullptr),
                               VXM_sock_getsockname(v4client.get(), nullptr, &v6out, &family),
                               VXM_sock_getpeername(v4client.get(), &v4out, &v6out, &family)};  // not connected: silent
        for (int result : refused) EXPECT_EQ(result, -1);
        EXPECT_EQ(logged(log), "4 os_net VXM_sock_getsockname:  pAddrV6 is NULL\n4 os_net VXM_sock_getpeername:  pAddrV6 is NULL\n"
                               "4 os_net VXM_sock_getsockname:  para is NULL\n4 os_net VXM_sock_getpeername:  pAddrV4 or pAddrV6 is NULL\n"
                               "4 os_net VXM_sock_getpeername: para is NULL!\n4 os_net VXM_sock_getsockname:  pAddrV4 is NULL\n");
    }
    LogCapture log;
    Fd closed(loopback(AF_INET, false)), client(VXM_sock_socket(0, 0));
    VXM_SOCKADDR to = v4Record("127.0.0.1", boundPort(closed.get()));
    VXM_SOCKADDR_UN local{};
    EXPECT_EQ(VXM_sock_connect(client.get(), &to, 16), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(VXM_sock_connect(-3, &to, 16), -1);
    EXPECT_EQ(VXM_sock_connect(client.get(), nullptr, 16), -1);
    EXPECT_EQ(VXM_sock_connect_un(-1, &local, 110), -1);
    EXPECT_EQ(logged(log), "4 os_net VXM_sock_connect: VXM_sock_connect: iRet=-1, errno=111\n"
                           "4 os_net VXM_sock_connect: VXM_sock_connect: pSockaddr = NULL, lSocketfd=-3\n"
                           "4 os_net VXM_sock_connect: VXM_sock_connect: pSockaddr = NULL, lSocketfd=" + std::to_string(client.get()) + "\n"
                           "4 os_net VXM_sock_connect_un: VXM_sock_connect: pSockaddr = NULL, lSocketfd=-1\n");
}

TEST(Socket, LocalStreamSelectAndOptions) {
    vxmtest::TempDir dir;
    VXM_SOCKADDR_UN at{};
    at.family = 0x7777;  // not read
    std::strncpy(at.path, dir.file("s").c_str(), sizeof at.path - 1);
    Fd server(VXM_sock_socket_un(0, 1)), client(VXM_sock_socket_un(0, 1));
    ASSERT_EQ(VXM_sock_bind_un(server.get(), &at, sizeof at), 0);
    ASSERT_EQ(VXM_sock_listen(server.get(), 1), 0);
    ASSERT_EQ(VXM_sock_connect_un(client.get(), &at, sizeof at), 0);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    Fd accepted(VXM_sock_accept_un(server.get(), reinterpret_cast<sockaddr*>(&peer), &length));
    EXPECT_EQ(VXM_sock_send(accepted.get(), "ok", 2, 0), 2);
    int on = 1, value = 0, pending = -1;
    EXPECT_EQ(VXM_sock_ioctl(client.get(), FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 2);
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(server.get(), &readSet);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VXM_sock_select(server.get() + 1, &readSet, nullptr, nullptr, 1200), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1150)) << "seconds and milliseconds both count";
    FD_SET(client.get(), &readSet);
    EXPECT_EQ(VXM_sock_select(client.get() + 1, &readSet, nullptr, nullptr, 0), 1);
    unlink(at.path);
    EXPECT_EQ(VXM_sock_setsockopt(client.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on), 0);
    length = sizeof value;
    EXPECT_EQ(VXM_sock_getsockopt(client.get(), SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(VXM_sock_setsockopt(client.get(), SOL_SOCKET, 9999, &on, sizeof on), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
}

TEST(ConnectTimeOut, ResultsMessagesAndTheModeComingBack) {
    Fd server(loopback(AF_INET)), server6(loopback(AF_INET6)), closed(loopback(AF_INET, false));
    VXM_SOCKADDR to = v4Record("127.0.0.1", boundPort(server.get()));
    std::memset(to.addrTail, 0xEE, sizeof to.addrTail);  // not read by the time-out connect
    const VXM_SOCKADDR to6 = v6Record("::1", boundPort(server6.get())), refused = v4Record("127.0.0.1", boundPort(closed.get()));
    struct Row { const char* name; int fd; const VXM_SOCKADDR* to; int timeoutMs, result; bool nonBlocking; std::string log; };
    const Row rows[] = {
        {"null record", VXM_sock_socket(0, 0), nullptr, 100, -1, false, "4 common VXM_sock_connectTimeOut: Entrance parameter pAddr is NULL\n\n"},
        {"no time", VXM_sock_socket(0, 0), &to, 0, -1, false, "4 os_net VXM_sock_connectTimeOut: param error\n"},
        {"negative time", VXM_sock_socket(0, 0), &to, -5, -1, false, "4 os_net VXM_sock_connectTimeOut: param error\n"},
        {"negative descriptor", -1, &to, 100, -1, false, "4 os_net VXM_sock_connectTimeOut: param error\n"},
        {"listener", VXM_sock_socket(0, 0), &to, 1000, 0, false, ""},
        {"already non-blocking", socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), &to, 1000, 0, true, ""},
        {"IPv6 listener", server6.get() < 0 ? -2 : VXM_sock_socket(1, 0), &to6, 300, 0, false, ""},
        {"closed port", VXM_sock_socket(0, 0), &refused, 500, -1, false, "refused"}};
    for (const Row& row : rows) {
        if (row.fd == -2) continue;
        SCOPED_TRACE(row.name);
        Fd fd(row.fd);
        LogCapture log;
        EXPECT_EQ(VXM_sock_connectTimeOut(row.fd, row.to, row.timeoutMs), row.result);
        if (row.fd >= 0) EXPECT_EQ(nonBlocking(row.fd), row.nonBlocking);
        const auto all = log.all();
        // A refusal comes from the connect itself (level 1) or from the pending error of the wait.
        if (row.log == "refused")
            EXPECT_TRUE(all.size() == 1 && all[0].module == "os_net" &&
                        all[0].message == withLine(all[0], all[0].level == 1 ? "" : ": ECONNREFUSED")) << logged(log);
        else
            EXPECT_EQ(logged(log), row.log);
        if (row.result == 0) {
            sockaddr_in6 peer{};
            socklen_t length = sizeof peer;
            ASSERT_EQ(getpeername(row.fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
            EXPECT_EQ(ntohs(peer.sin6_port), ntohs(row.to->port));
        }
    }
}

TEST(ConnectTimeOut, DescriptorsBeyondTheSelectSetAreNeverWatched) {
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    if (raised.rlim_cur <= 1500 || setrlimit(RLIMIT_NOFILE, &raised) != 0) GTEST_SKIP() << "cannot open descriptor 1500";
    Fd server(loopback(AF_INET)), low(VXM_sock_socket(0, 0)), sock(dup2(low.get(), 1500));
    VXM_SOCKADDR to = v4Record("127.0.0.1", boundPort(server.get()));
    LogCapture log;
    EXPECT_EQ(VXM_sock_connectTimeOut(sock.get(), &to, 50), 3);
    EXPECT_FALSE(nonBlocking(sock.get()));
    ASSERT_EQ(log.all().size(), 1u);
    EXPECT_EQ(logged(log), "2 os_net VXM_sock_connectTimeOut: " + withLine(log.all()[0], ": RestTime=-10") + "\n");  // 50-30-30
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(ConnectTimeOut, PendingErrorClassification) {
    LogCapture log;
    Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), closed(loopback(AF_INET, false));
    const int flags = fcntl(sock.get(), F_GETFL);
    EXPECT_EQ(handle_socketOptError(sock.get(), flags | O_NONBLOCK), 0);
    EXPECT_TRUE(nonBlocking(sock.get())) << "the saved flags are put back";
    // A refused non-blocking connect leaves ECONNREFUSED pending.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(boundPort(closed.get()));
    Fd refused(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (connect(refused.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 && errno == EINPROGRESS) {
        fd_set writeSet;
        FD_ZERO(&writeSet);
        FD_SET(refused.get(), &writeSet);
        timeval wait{5, 0};
        ASSERT_EQ(select(refused.get() + 1, nullptr, &writeSet, nullptr, &wait), 1);
        EXPECT_EQ(handle_socketOptError(refused.get(), flags), -1);
        EXPECT_FALSE(nonBlocking(refused.get()));
        ASSERT_EQ(log.all().size(), 1u);
        EXPECT_EQ(log.all()[0].message, withLine(log.all()[0], ": ECONNREFUSED"));
        log.clear();
    }
    int ends[2];  // not a socket: the pending error cannot be read
    ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
    Fd readEnd(ends[0]), writeEnd(ends[1]);
    EXPECT_EQ(handle_socketOptError(readEnd.get(), O_NONBLOCK), -1);
    EXPECT_TRUE(nonBlocking(readEnd.get())) << "restored to the flags it was given";
    ASSERT_EQ(log.all().size(), 1u);
    EXPECT_EQ(logged(log), "4 os_net handle_socketOptError: " + withLine(log.all()[0], ": errno=" + std::to_string(ENOTSOCK)) + "\n");
}

}  // namespace
