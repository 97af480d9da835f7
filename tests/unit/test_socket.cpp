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

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/socket_records.h"
#include "vxmosal/VXM_os_net.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::v4Record;
using vxmtest::v6Record;
using vxmtest::withLine;
using Clock = std::chrono::steady_clock;

// Owns a descriptor for the length of a test.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ > 2) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

unsigned short boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

int family(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? address.ss_family : -1;
}

int type(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) == 0 ? value : -1;
}

bool closeOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
bool nonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// A stream listener on the loopback address of the family, on a port the kernel picks.
int listener(int domain) {
    const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage address{};
    socklen_t length;
    if (domain == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A loopback port nobody listens on: bound (so nothing else takes it) but never listening.
class ClosedPort {
public:
    ClosedPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    unsigned short port() const { return boundPort(fd_.get()); }

private:
    Fd fd_;
};

bool haveIPv6Loopback() {
    Fd probe(listener(AF_INET6));
    return probe.get() >= 0;
}

#define SKIP_WITHOUT_IPV6() \
    if (!haveIPv6Loopback()) GTEST_SKIP() << "this box has no IPv6 loopback address"

TEST(SocketCreate, CodesChooseFamilyTypeAndCloseOnExec) {
    Fd v6dgram(VXM_sock_socket(1, 2));
    Fd v4stream(VXM_sock_socket(0, 0));
    Fd v4other(VXM_sock_socket(7, 9));
    ASSERT_GE(v4stream.get(), 0);
    ASSERT_GE(v4other.get(), 0);
    EXPECT_EQ(AF_INET, family(v4stream.get()));
    EXPECT_EQ(SOCK_STREAM, type(v4stream.get()));
    EXPECT_EQ(AF_INET, family(v4other.get()));
    EXPECT_EQ(SOCK_STREAM, type(v4other.get()));
    EXPECT_TRUE(closeOnExec(v4stream.get()));
    if (v6dgram.get() >= 0) {
        EXPECT_EQ(AF_INET6, family(v6dgram.get()));
        EXPECT_EQ(SOCK_DGRAM, type(v6dgram.get()));
        EXPECT_TRUE(closeOnExec(v6dgram.get()));
    }

    Fd localDgram(VXM_sock_socket_un(0, 0));
    Fd localStream(VXM_sock_socket_un(2, 1));
    ASSERT_GE(localDgram.get(), 0);
    ASSERT_GE(localStream.get(), 0);
    EXPECT_EQ(AF_UNIX, family(localDgram.get()));
    EXPECT_EQ(SOCK_DGRAM, type(localDgram.get()));
    EXPECT_EQ(SOCK_STREAM, type(localStream.get()));
    EXPECT_FALSE(closeOnExec(localStream.get()));
}

TEST(SocketClose, StandardDescriptorsAndNegativeOnesAreNeverClosed) {
    LogCapture log;
    for (int fd : {0, 1, 2, -1}) EXPECT_EQ(-1, VXM_sock_close(fd)) << fd;
    EXPECT_NE(-1, fcntl(2, F_GETFD));
    const auto records = log.withFormat("%s: Can not close sock %d");
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ("VXM_sock_close: Can not close sock 2", records[2].message);
    EXPECT_EQ("VXM_sock_close: Can not close sock -1", records[3].message);
    EXPECT_EQ(4, records[0].level);
    EXPECT_EQ("os_net", records[0].module);

    const int fd = VXM_sock_socket(0, 0);
    ASSERT_GT(fd, 2);
    EXPECT_EQ(0, VXM_sock_close(fd));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    EXPECT_EQ(-1, VXM_sock_close(fd));  // the system's answer for a closed descriptor
    EXPECT_EQ(EBADF, errno);
}

// Refused arguments give -1 without a system call (errno stays as it was) and without a message.
TEST(SocketArguments, RefusedWithoutCallingTheSystem) {
    LogCapture log;
    Fd sock(VXM_sock_socket(0, 2));
    char buffer[8] = {};
    VXM_SOCKADDR record = v4Record("127.0.0.1", 0);
    VXM_SOCKADDR_UN local{};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int value = 1;
    const int s = sock.get();
    errno = 0;
    const struct {
        const char* what;
        int result;
    } cases[] = {
        {"listen fd", VXM_sock_listen(-1, 1)},
        {"listen backlog", VXM_sock_listen(s, -1)},
        {"accept addr", VXM_sock_accept(s, nullptr, &length)},
        {"accept len", VXM_sock_accept(s, reinterpret_cast<sockaddr*>(&peer), nullptr)},
        {"accept_un", VXM_sock_accept_un(s, nullptr, &length)},
        {"send buffer", VXM_sock_send(s, nullptr, 4, 0)},
        {"send zero", VXM_sock_send(s, buffer, 0, 0)},
        {"send negative", VXM_sock_send(s, buffer, -4, 0)},
        {"recv buffer", VXM_sock_recv(s, nullptr, 4, 0)},
        {"recv zero", VXM_sock_recv(s, buffer, 0, 0)},
        {"setsockopt value", VXM_sock_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, nullptr, 4)},
        {"setsockopt fd", VXM_sock_setsockopt(-1, SOL_SOCKET, SO_REUSEADDR, &value, 4)},
        {"getsockopt value", VXM_sock_getsockopt(s, SOL_SOCKET, SO_TYPE, nullptr, &length)},
        {"getsockopt len", VXM_sock_getsockopt(s, SOL_SOCKET, SO_TYPE, &value, nullptr)},
        {"bind record", VXM_sock_bind(s, nullptr, 16)},
        {"bind fd", VXM_sock_bind(-1, &record, 16)},
        {"bind len", VXM_sock_bind(s, &record, 0)},
        {"bindV6 len", VXM_sock_bindV6(s, &record, -1)},
        {"bindlocal fd", VXM_sock_bindlocal(-1, 5000, 3)},
        {"bind_un record", VXM_sock_bind_un(s, nullptr, 110)},
        {"bind_un len", VXM_sock_bind_un(s, &local, 0)},
        {"sendto buffer", VXM_sock_sendto(s, nullptr, 4, 0, &record, 16)},
        {"sendto fd", VXM_sock_sendto(-1, buffer, 4, 0, &record, 16)},
        {"sendto tolen", VXM_sock_sendto(s, buffer, 4, 0, &record, -1)},
        {"recvfrom fd 0", VXM_sock_recvfrom(0, buffer, 4, 0, &record, &length)},
        {"recvfrom len ptr", VXM_sock_recvfrom(s, buffer, 4, 0, &record, nullptr)},
        {"recvfrom zero", VXM_sock_recvfrom(s, buffer, 0, 0, &record, &length)},
    };
    for (const auto& c : cases) EXPECT_EQ(-1, c.result) << c.what;
    EXPECT_EQ(0, errno);
    EXPECT_TRUE(log.all().empty());
}

TEST(SocketArguments, NullRecordsOfSendtoAndRecvfromAreReportedByName) {
    LogCapture log;
    Fd sock(VXM_sock_socket(0, 2));
    char buffer[4] = {};
    socklen_t length = sizeof(VXM_SOCKADDR);
    EXPECT_EQ(-1, VXM_sock_sendto(sock.get(), buffer, 4, 0, nullptr, 16));
    EXPECT_EQ(-1, VXM_sock_recvfrom(sock.get(), buffer, 4, 0, nullptr, &length));
    const auto records = log.withFormat("Entrance parameter %s is NULL\n");
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("Entrance parameter pToSockaddr is NULL\n", records[0].message);
    EXPECT_EQ("Entrance parameter pFromAddr is NULL\n", records[1].message);
    EXPECT_EQ("common", records[0].module);
    EXPECT_EQ(4, records[1].level);
    EXPECT_EQ("VXM_sock_recvfrom", records[1].function);
}

TEST(SocketText, AddressConversions) {
    EXPECT_EQ(static_cast<int>(htonl(0x0A000102)), VXM_sock_inetaddr("10.0.1.2"));
    EXPECT_EQ(-1, VXM_sock_inetaddr("255.255.255.255"));  // the same value as a failure
    EXPECT_EQ(-1, VXM_sock_inetaddr("10.0.1.x"));
    EXPECT_EQ(-1, VXM_sock_inetaddr(nullptr));

    in_addr addr{};
    addr.s_addr = htonl(0xC0A80001);
    EXPECT_STREQ("192.168.0.1", VXM_sock_inetntoa(addr));

    unsigned char v4[4] = {};
    unsigned char v6[16] = {};
    EXPECT_EQ(1, VXM_sock_inetpton(AF_INET, "1.2.3.4", v4));
    EXPECT_EQ(0, std::memcmp(v4, "\x01\x02\x03\x04", 4));
    EXPECT_EQ(1, VXM_sock_inetpton(AF_INET6, "::1", v6));
    EXPECT_EQ(1, v6[15]);
    EXPECT_EQ(0, VXM_sock_inetpton(VXM_SOCK_FAMILY_INET6, "::1", v6));  // only the system's codes
    EXPECT_EQ(0, VXM_sock_inetpton(AF_INET, "1.2.3", v4));
    EXPECT_EQ(0, VXM_sock_inetpton(AF_INET, nullptr, v4));
    EXPECT_EQ(0, VXM_sock_inetpton(AF_INET, "1.2.3.4", nullptr));
}

TEST(SocketText, InetntopUsesOneBufferPerThread) {
    char* first = VXM_sock_inetntop(htonl(0x0A000001));
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("10.0.0.1", first);
    char* second = VXM_sock_inetntop(htonl(0xFFFFFFFF));
    EXPECT_EQ(first, second);  // the next call overwrites the text
    EXPECT_STREQ("255.255.255.255", first);

    char* other = nullptr;
    std::string otherText;
    std::thread([&] {
        other = VXM_sock_inetntop(htonl(0x7F000001));
        otherText = other;
    }).join();
    EXPECT_NE(first, other);
    EXPECT_EQ("127.0.0.1", otherText);
    EXPECT_STREQ("255.255.255.255", first);
}

TEST(SocketText, HostLookup) {
    char out[16] = "unchanged";
    EXPECT_EQ(-1, VXM_sock_getHostByName(out, "no-such-host.invalid"));
    EXPECT_STREQ("unchanged", out);
    EXPECT_EQ(-1, VXM_sock_getHostByName(nullptr, "localhost"));
    EXPECT_EQ(-1, VXM_sock_getHostByName(out, nullptr));
    EXPECT_EQ(0, VXM_sock_getHostByName(out, "127.0.0.9"));  // a numeric name resolves to itself
    EXPECT_STREQ("127.0.0.9", out);
    VXM_sock_freeHostent(nullptr);
}

TEST(SocketBind, PortSearchMovesUpAndWraps) {
    Fd sock(VXM_sock_socket(0, 2));
    EXPECT_EQ(0, VXM_sock_bindlocal(sock.get(), 0, 5));  // nothing bound
    EXPECT_EQ(0, boundPort(sock.get()));

    // Hold a port the kernel gives out, then search from it.
    Fd taken(VXM_sock_socket(0, 2));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(0, bind(taken.get(), reinterpret_cast<sockaddr*>(&any), sizeof any));
    const unsigned short busy = boundPort(taken.get());
    EXPECT_EQ(-1, VXM_sock_bindlocal(sock.get(), busy, 1));
    EXPECT_EQ(-1, VXM_sock_bindlocal(sock.get(), busy, 0));  // one attempt even with no tries
    const int result = VXM_sock_bindlocal(sock.get(), busy, 2);
    if (result == 0)
        EXPECT_EQ(static_cast<unsigned short>(busy + 1), boundPort(sock.get()));
    else
        EXPECT_EQ(EADDRINUSE, errno) << "port " << busy + 1 << " was busy as well";

    // From 65535 the next port is 0, which the kernel turns into one of its own.
    Fd top(VXM_sock_socket(0, 2));
    any.sin_port = htons(65535);
    const bool held = bind(top.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
    Fd wrapped(VXM_sock_socket(0, 2));
    EXPECT_EQ(-1, VXM_sock_bindlocal(wrapped.get(), 65535, 1)) << (held ? "held" : "busy elsewhere");
    EXPECT_EQ(0, VXM_sock_bindlocal(wrapped.get(), 65535, 2));
    EXPECT_NE(0, boundPort(wrapped.get()));
    EXPECT_NE(65535, boundPort(wrapped.get()));
}

TEST(SocketDatagram, IPv4RecordsRoundTrip) {
    Fd server(VXM_sock_socket(0, 2));
    Fd client(VXM_sock_socket(0, 2));
    VXM_SOCKADDR at = v4Record("127.0.0.1", 0);
    ASSERT_EQ(0, VXM_sock_bind(server.get(), &at, 16));
    at.port = htons(boundPort(server.get()));
    EXPECT_EQ(-1, VXM_sock_bind(client.get(), &at, 16));  // the port is taken
    EXPECT_EQ(EADDRINUSE, errno);
    // The record length of sendto is only checked; the system address has its own size.
    EXPECT_EQ(5, VXM_sock_sendto(client.get(), "hello", 5, 0, &at, 0));

    char buffer[16] = {};
    VXM_SOCKADDR from;
    std::memset(&from, 0xAB, sizeof from);
    socklen_t length = sizeof from;
    ASSERT_EQ(5, VXM_sock_recvfrom(server.get(), buffer, sizeof buffer, 0, &from, &length));
    EXPECT_STREQ("hello", buffer);
    EXPECT_EQ(16u, length);
    EXPECT_EQ(AF_INET, from.family);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), from.addr);
    EXPECT_EQ(boundPort(client.get()), ntohs(from.port));

    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(server.get(), &readSet);
    EXPECT_EQ(0, VXM_sock_select(server.get() + 1, &readSet, nullptr, nullptr, 0));
    EXPECT_EQ(-1, VXM_sock_send(client.get(), "abc", 3, 0));  // not connected
    EXPECT_EQ(EDESTADDRREQ, errno);
}

TEST(SocketDatagram, IPv6RecordsUseTheTailAndComeBackWithTheSystemFamily) {
    SKIP_WITHOUT_IPV6();
    Fd server(VXM_sock_socket(1, 2));
    Fd client(VXM_sock_socket(1, 2));
    VXM_SOCKADDR wildcard = v6Record("::1", 0);
    ASSERT_EQ(0, VXM_sock_bindV6(server.get(), &wildcard, 1));
    sockaddr_in6 bound{};
    int fam = 0;
    ASSERT_EQ(0, VXM_sock_getsockname(server.get(), nullptr, &bound, &fam));
    EXPECT_EQ(AF_INET6, fam);
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&bound.sin6_addr));  // the wildcard, not the record's ::1

    VXM_SOCKADDR to = v6Record("::1", boundPort(server.get()));
    EXPECT_EQ(4, VXM_sock_sendto(client.get(), "six!", 4, 0, &to, 16));
    char buffer[8] = {};
    VXM_SOCKADDR from;
    std::memset(&from, 0, sizeof from);
    from.family = VXM_SOCK_FAMILY_INET6;
    socklen_t length = sizeof from;
    ASSERT_EQ(4, VXM_sock_recvfrom(server.get(), buffer, sizeof buffer, 0, &from, &length));
    EXPECT_EQ(28u, length);
    EXPECT_EQ(AF_INET6, from.family);
    EXPECT_EQ(0, std::memcmp(from.addrTail, &in6addr_loopback, 16));
    EXPECT_EQ(boundPort(client.get()), ntohs(from.port));
}

TEST(SocketStream, ConnectAcceptAndNames) {
    LogCapture log;
    Fd server(listener(AF_INET));
    ASSERT_GE(server.get(), 0);
    Fd client(VXM_sock_socket(0, 0));
    VXM_SOCKADDR to = v4Record("127.0.0.1", boundPort(server.get()));
    ASSERT_EQ(0, VXM_sock_connect(client.get(), &to, 16));
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Fd accepted(VXM_sock_accept(server.get(), reinterpret_cast<sockaddr*>(&peer), &length));
    ASSERT_GE(accepted.get(), 0);
    EXPECT_EQ(boundPort(client.get()), ntohs(peer.sin_port));
    EXPECT_EQ(4, VXM_sock_send(client.get(), "ping", 4, 0));
    char buffer[8] = {};
    EXPECT_EQ(4, VXM_sock_recv(accepted.get(), buffer, sizeof buffer, 0));
    EXPECT_STREQ("ping", buffer);

    sockaddr_in v4{};
    sockaddr_in6 v6{};
    int fam = 0;
    EXPECT_EQ(0, VXM_sock_getpeername(client.get(), &v4, &v6, &fam));
    EXPECT_EQ(AF_INET, fam);
    EXPECT_EQ(boundPort(server.get()), ntohs(v4.sin_port));
    EXPECT_EQ(0, VXM_sock_getsockname(accepted.get(), &v4, nullptr, &fam));
    EXPECT_EQ(boundPort(server.get()), ntohs(v4.sin_port));
    EXPECT_EQ(0, VXM_sock_shutdown(client.get(), SHUT_WR));
    EXPECT_EQ(0, VXM_sock_recv(accepted.get(), buffer, sizeof buffer, 0));
    EXPECT_TRUE(log.all().empty());
}

TEST(SocketStream, ConnectReportsEveryFailure) {
    LogCapture log;
    ClosedPort closed;
    Fd client(VXM_sock_socket(0, 0));
    VXM_SOCKADDR to = v4Record("127.0.0.1", closed.port());
    EXPECT_EQ(-1, VXM_sock_connect(client.get(), &to, 16));
    EXPECT_EQ(ECONNREFUSED, errno);
    EXPECT_EQ(-1, VXM_sock_connect(-3, &to, 16));
    EXPECT_EQ(-1, VXM_sock_connect(client.get(), nullptr, 16));
    VXM_SOCKADDR_UN local{};
    EXPECT_EQ(-1, VXM_sock_connect_un(-1, &local, 110));
    const auto all = log.all();
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ("VXM_sock_connect: iRet=-1, errno=111", all[0].message);
    EXPECT_EQ("VXM_sock_connect: pSockaddr = NULL, lSocketfd=-3", all[1].message);
    EXPECT_EQ("VXM_sock_connect: pSockaddr = NULL, lSocketfd=" + std::to_string(client.get()), all[2].message);
    EXPECT_EQ("VXM_sock_connect: pSockaddr = NULL, lSocketfd=-1", all[3].message);
    EXPECT_EQ("VXM_sock_connect_un", all[3].function);  // the text names the IPv4 function
    for (const auto& record : all) {
        EXPECT_EQ(4, record.level);
        EXPECT_EQ("os_net", record.module);
    }

    // A non-blocking connect's "in progress" is a failure like any other.
    Fd server(listener(AF_INET));
    Fd pending(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    to.port = htons(boundPort(server.get()));
    log.clear();
    const int result = VXM_sock_connect(pending.get(), &to, 16);
    if (result < 0) {
        ASSERT_EQ(1u, log.all().size());
        EXPECT_EQ("VXM_sock_connect: iRet=-1, errno=" + std::to_string(EINPROGRESS), log.all()[0].message);
    }
}

TEST(SocketStream, IPv6ConnectAndNameChecks) {
    SKIP_WITHOUT_IPV6();
    LogCapture log;
    Fd server(listener(AF_INET6));
    Fd client(VXM_sock_socket(1, 0));
    VXM_SOCKADDR to = v6Record("::1", boundPort(server.get()));
    ASSERT_EQ(0, VXM_sock_connect(client.get(), &to, 28));
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    int fam = 0;
    EXPECT_EQ(0, VXM_sock_getpeername(client.get(), &v4, &v6, &fam));
    EXPECT_EQ(AF_INET6, fam);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr));
    EXPECT_EQ(0, VXM_sock_getpeername(client.get(), nullptr, &v6, &fam));
    EXPECT_TRUE(log.all().empty());

    EXPECT_EQ(-1, VXM_sock_getsockname(client.get(), &v4, nullptr, &fam));
    EXPECT_EQ(-1, VXM_sock_getpeername(client.get(), &v4, nullptr, &fam));
    EXPECT_EQ(-1, VXM_sock_getsockname(client.get(), &v4, &v6, nullptr));
    EXPECT_EQ(-1, VXM_sock_getpeername(client.get(), nullptr, nullptr, &fam));
    EXPECT_EQ(-1, VXM_sock_getpeername(client.get(), &v4, &v6, nullptr));
    Fd v4client(VXM_sock_socket(0, 0));
    EXPECT_EQ(-1, VXM_sock_getsockname(v4client.get(), nullptr, &v6, &fam));
    EXPECT_EQ(-1, VXM_sock_getpeername(v4client.get(), &v4, &v6, &fam));  // not connected: no message
    std::vector<std::string> messages;
    for (const auto& record : log.all()) messages.push_back(record.message);
    EXPECT_EQ((std::vector<std::string>{" pAddrV6 is NULL", " pAddrV6 is NULL", " para is NULL",
                                        " pAddrV4 or pAddrV6 is NULL", "para is NULL!", " pAddrV4 is NULL"}),
              messages);
}

TEST(SocketLocal, StreamOverAFileSystemPath) {
    vxmtest::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    VXM_SOCKADDR_UN at{};
    at.family = 0x7777;  // not read
    const std::string path = dir.file("s");
    std::strncpy(at.path, path.c_str(), sizeof at.path - 1);
    Fd server(VXM_sock_socket_un(0, 1));
    ASSERT_EQ(0, VXM_sock_bind_un(server.get(), &at, sizeof at));
    ASSERT_EQ(0, VXM_sock_listen(server.get(), 1));
    Fd client(VXM_sock_socket_un(0, 1));
    ASSERT_EQ(0, VXM_sock_connect_un(client.get(), &at, sizeof at));
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    Fd accepted(VXM_sock_accept_un(server.get(), reinterpret_cast<sockaddr*>(&peer), &length));
    ASSERT_GE(accepted.get(), 0);
    EXPECT_EQ(2, VXM_sock_send(accepted.get(), "ok", 2, 0));
    char buffer[4] = {};
    EXPECT_EQ(2, VXM_sock_recv(client.get(), buffer, sizeof buffer, 0));
    EXPECT_STREQ("ok", buffer);
    unlink(path.c_str());
}

TEST(SocketSelect, TimeOutInMilliseconds) {
    Fd sock(VXM_sock_socket(0, 2));
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(sock.get(), &readSet);
    auto start = Clock::now();
    EXPECT_EQ(0, VXM_sock_select(sock.get() + 1, &readSet, nullptr, nullptr, 1200));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 1150);  // 1 s and 200 ms: both parts of the time-out count
    EXPECT_LT(waited, 5000);
    FD_SET(sock.get(), &readSet);
    start = Clock::now();
    EXPECT_EQ(0, VXM_sock_select(sock.get() + 1, &readSet, nullptr, nullptr, 0));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST(SocketOptions, SetGetAndIoctlPassThrough) {
    Fd sock(VXM_sock_socket(0, 0));
    int on = 1;
    EXPECT_EQ(0, VXM_sock_setsockopt(sock.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on));
    int value = 0;
    socklen_t length = sizeof value;
    EXPECT_EQ(0, VXM_sock_getsockopt(sock.get(), SOL_SOCKET, SO_KEEPALIVE, &value, &length));
    EXPECT_EQ(1, value);
    int pendingBytes = -1;
    EXPECT_EQ(0, VXM_sock_ioctl(sock.get(), FIONREAD, &pendingBytes));
    EXPECT_EQ(0, pendingBytes);
    EXPECT_EQ(-1, VXM_sock_setsockopt(sock.get(), SOL_SOCKET, 9999, &on, sizeof on));
    EXPECT_EQ(ENOPROTOOPT, errno);
}

// ---- connect with a time-out ----

TEST(ConnectTimeOut, RefusedArgumentsLeaveTheDescriptorAlone) {
    LogCapture log;
    Fd sock(VXM_sock_socket(0, 0));
    VXM_SOCKADDR to = v4Record("127.0.0.1", 9);
    EXPECT_EQ(-1, VXM_sock_connectTimeOut(sock.get(), nullptr, 100));
    EXPECT_EQ(-1, VXM_sock_connectTimeOut(sock.get(), &to, 0));
    EXPECT_EQ(-1, VXM_sock_connectTimeOut(sock.get(), &to, -5));
    EXPECT_EQ(-1, VXM_sock_connectTimeOut(-1, &to, 100));
    EXPECT_FALSE(nonBlocking(sock.get()));
    const auto all = log.all();
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ("Entrance parameter pAddr is NULL\n", all[0].message);
    EXPECT_EQ("common", all[0].module);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ("param error", all[i].message);
        EXPECT_EQ("os_net", all[i].module);
        EXPECT_EQ(4, all[i].level);
    }
}

TEST(ConnectTimeOut, ListenerConnectsAndTheModeComesBack) {
    Fd server(listener(AF_INET));
    VXM_SOCKADDR to = v4Record("127.0.0.1", boundPort(server.get()));
    std::memset(to.addrTail, 0xEE, sizeof to.addrTail);  // not read by the time-out connect
    Fd blocking(VXM_sock_socket(0, 0));
    EXPECT_EQ(0, VXM_sock_connectTimeOut(blocking.get(), &to, 1000));
    EXPECT_FALSE(nonBlocking(blocking.get()));
    Fd already(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    EXPECT_EQ(0, VXM_sock_connectTimeOut(already.get(), &to, 1000));
    EXPECT_TRUE(nonBlocking(already.get()));
    sockaddr_in v4{};
    int fam = 0;
    EXPECT_EQ(0, VXM_sock_getpeername(blocking.get(), &v4, nullptr, &fam));
    EXPECT_EQ(boundPort(server.get()), ntohs(v4.sin_port));
}

TEST(ConnectTimeOut, IPv6ListenerConnects) {
    SKIP_WITHOUT_IPV6();
    Fd server(listener(AF_INET6));
    VXM_SOCKADDR to = v6Record("::1", boundPort(server.get()));
    Fd sock(VXM_sock_socket(1, 0));
    EXPECT_EQ(0, VXM_sock_connectTimeOut(sock.get(), &to, 300));
    sockaddr_in6 v6{};
    int fam = 0;
    EXPECT_EQ(0, VXM_sock_getpeername(sock.get(), nullptr, &v6, &fam));
    EXPECT_EQ(AF_INET6, fam);
}

TEST(ConnectTimeOut, ClosedPortIsRefused) {
    LogCapture log;
    ClosedPort closed;
    VXM_SOCKADDR to = v4Record("127.0.0.1", closed.port());
    Fd sock(VXM_sock_socket(0, 0));
    EXPECT_EQ(-1, VXM_sock_connectTimeOut(sock.get(), &to, 500));
    EXPECT_FALSE(nonBlocking(sock.get()));
    const auto all = log.all();
    ASSERT_EQ(1u, all.size());
    // The refusal comes either from the connect itself or from the pending error of the wait.
    if (all[0].level == 1)
        EXPECT_EQ(withLine(all[0], ""), all[0].message);
    else
        EXPECT_EQ(withLine(all[0], ": ECONNREFUSED"), all[0].message);
    EXPECT_EQ("os_net", all[0].module);
}

TEST(ConnectTimeOut, DescriptorsBeyondTheSelectSetAreNeverWatched) {
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    const int high = 1500;
    if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
        rlimit raised = limit;
        raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
        if (raised.rlim_cur <= static_cast<rlim_t>(high) || setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot open descriptor " << high;
    }
    Fd server(listener(AF_INET));
    Fd low(VXM_sock_socket(0, 0));
    Fd sock(dup2(low.get(), high));
    ASSERT_EQ(high, sock.get());
    LogCapture log;
    VXM_SOCKADDR to = v4Record("127.0.0.1", boundPort(server.get()));
    EXPECT_EQ(3, VXM_sock_connectTimeOut(sock.get(), &to, 50));
    EXPECT_FALSE(nonBlocking(sock.get()));
    const auto records = log.withFormat(" %d: RestTime=%d");
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(withLine(records[0], ": RestTime=-10"), records[0].message);  // two slices: 50-30-30
    EXPECT_EQ(2, records[0].level);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(ConnectTimeOut, PendingErrorClassification) {
    LogCapture log;
    // No pending error: the saved flags are put back, whatever the descriptor has now.
    Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int flags = fcntl(sock.get(), F_GETFL);
    EXPECT_EQ(0, handle_socketOptError(sock.get(), flags | O_NONBLOCK));
    EXPECT_TRUE(nonBlocking(sock.get()));
    EXPECT_TRUE(log.all().empty());

    // A refused non-blocking connect leaves ECONNREFUSED pending.
    ClosedPort closed;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(closed.port());
    Fd refused(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int rc = connect(refused.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (rc < 0 && errno == EINPROGRESS) {
        fd_set writeSet;
        FD_ZERO(&writeSet);
        FD_SET(refused.get(), &writeSet);
        timeval wait{2, 0};
        ASSERT_EQ(1, select(refused.get() + 1, nullptr, &writeSet, nullptr, &wait));
        EXPECT_EQ(-1, handle_socketOptError(refused.get(), flags));
        EXPECT_FALSE(nonBlocking(refused.get()));
        ASSERT_EQ(1u, log.all().size());
        EXPECT_EQ(withLine(log.all()[0], ": ECONNREFUSED"), log.all()[0].message);
        log.clear();
    }

    // Not a socket: the pending error cannot be read.
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC));
    Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    EXPECT_EQ(-1, handle_socketOptError(readEnd.get(), O_NONBLOCK));
    EXPECT_TRUE(nonBlocking(readEnd.get()));  // restored to the flags it was given
    ASSERT_EQ(1u, log.all().size());
    EXPECT_EQ(withLine(log.all()[0], ": errno=" + std::to_string(ENOTSOCK)), log.all()[0].message);
    EXPECT_EQ(4, log.all()[0].level);
}

}  // namespace
