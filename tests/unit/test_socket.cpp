// The socket wrappers on real loopback sockets (IPv4, IPv6 where the box has ::1, and local
// sockets): the codes and address records they translate, the arguments they refuse, their
// messages, and the connect with a time-out against a listener and a closed port. Both families run
// where a record is translated or a name read (datagrams, connect, names, sending and receiving);
// IPv4 alone where the path does not look at the family (the time-out connect).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "support/socket_records.h"
#include "vxmosal/VXM_memory.h"

namespace {

using namespace vxmtest;

struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() { if (fd > 2) close(fd); }
    int fd;
};

sockaddr_in6 name(int fd, bool peer = false) {  // the port stands at the same place in both families
    sockaddr_in6 address{};
    socklen_t length = sizeof address;
    (peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}
unsigned short port(int fd, bool peer = false) { return ntohs(name(fd, peer).sin6_port); }
bool nonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }
VXM_SOCKADDR loopbackRecord(bool v6, unsigned short port) {
    return addressRecord(v6, v6 ? "::1" : "127.0.0.1", port);
}
// As logLines of the module's own records, with the source line a message begins with (" %d") shown as "#".
std::string withoutLines(const LogCapture& log) {
    return std::regex_replace(logLines(log, "os_net"), std::regex(":  [0-9]+"), ":  #");
}

// A stream socket bound on the loopback address, listening or (a closed port) not; -1 without it.
int loopback(bool v6, bool listening = true) {
    const VXM_SOCKADDR at = loopbackRecord(v6, 0);
    const int fd = VXM_sock_socket(v6, 0);
    if (VXM_sock_bind(fd, &at, v6 ? 28 : 16) == 0 && (!listening || VXM_sock_listen(fd, 8) == 0)) return fd;
    close(fd);
    return -1;
}

TEST(Socket, CodesChooseFamilyTypeAndCloseOnExec) {
    struct Row { int fd, family, type, cloexec = 1; };
    const Row rows[] = {{VXM_sock_socket(0, 0), AF_INET, SOCK_STREAM}, {VXM_sock_socket(7, 9), AF_INET, SOCK_STREAM},
                        {VXM_sock_socket(1, 2), AF_INET6, SOCK_DGRAM},
                        {VXM_sock_socket_un(0, 0), AF_UNIX, SOCK_DGRAM, 0},
                        {VXM_sock_socket_un(2, 1), AF_UNIX, SOCK_STREAM, 0}};
    for (const Row& row : rows) {
        Fd owner(row.fd);
        int type = 0;
        socklen_t length = sizeof type;
        getsockopt(row.fd, SOL_SOCKET, SO_TYPE, &type, &length);
        if (row.fd >= 0 || row.family != AF_INET6)  // no IPv6 on this box
            EXPECT_EQ(std::vector<int>({name(row.fd).sin6_family, type, (fcntl(row.fd, F_GETFD) & FD_CLOEXEC) != 0}),
                      std::vector<int>({row.family, row.type, row.cloexec}));
    }
}

TEST(Socket, RefusedArgumentsCallNoSystemFunction) {
    LogCapture log;
    Fd sock(VXM_sock_socket(0, 2));
    const int s = sock.fd;
    char buffer[8] = {};
    VXM_SOCKADDR record = loopbackRecord(false, 0);
    VXM_SOCKADDR_UN local{};
    socklen_t length = sizeof record;
    int value = 1;
    errno = 0;
    // A row for each rule: a null pointer (a few of them), a descriptor, a length, a backlog out of range.
    const int results[] = {
        VXM_sock_listen(-1, 1), VXM_sock_listen(s, -1), VXM_sock_accept(s, nullptr, &length),
        VXM_sock_send(s, buffer, 0, 0), VXM_sock_send(s, buffer, -4, 0), VXM_sock_recv(s, buffer, 0, 0),
        VXM_sock_inetaddr(nullptr), VXM_sock_setsockopt(-1, 1, 2, &value, 4), VXM_sock_bind(s, &record, 0),
        VXM_sock_bindV6(s, &record, -1), VXM_sock_bindlocal(-1, 5000, 3), VXM_sock_bind_un(s, &local, 0),
        VXM_sock_sendto(s, buffer, 4, 0, nullptr, 16), VXM_sock_sendto(s, buffer, 4, 0, &record, -1),
        VXM_sock_recvfrom(0, buffer, 4, 0, &record, &length), VXM_sock_recvfrom(s, buffer, 0, 0, &record, &length),
        VXM_sock_connect(-3, &record, 16), VXM_sock_connect(s, nullptr, 16), VXM_sock_connect_un(-1, &local, 110),
        VXM_sock_close(2), VXM_sock_close(-1), VXM_sock_bind(-1, &record, 16), VXM_sock_getHostByName(buffer, nullptr)};
    for (const int& result : results) EXPECT_EQ(result, -1) << "argument row " << &result - results;
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(VXM_sock_close(dup(s)), 0);
    const std::string connect = ": VXM_sock_connect: pSockaddr = NULL, lSocketfd=";
    const std::string close = "4 os_net VXM_sock_close: VXM_sock_close: Can not close sock ";
    EXPECT_EQ(logLines(log, "os_net"), "4 os_net VXM_sock_connect" + connect + "-3\n4 os_net VXM_sock_connect" +
                                           connect + std::to_string(s) + "\n4 os_net VXM_sock_connect_un" + connect +
                                           "-1\n" + close + "2\n" + close + "-1\n");
}

TEST(Socket, AddressTextHostLookupAndPortSearch) {
    EXPECT_EQ(VXM_sock_inetaddr("10.0.1.2"), static_cast<int>(htonl(0x0A000102)));
    // The first is the same value as a failure.
    EXPECT_EQ(VXM_sock_inetaddr("255.255.255.255") + VXM_sock_inetaddr("10.0.1.x"), -2);
    EXPECT_STREQ(VXM_sock_inetntoa(in_addr{htonl(0xC0A80001)}), "192.168.0.1");
    unsigned char out[16] = {};
    struct Row { int family; const char* text; unsigned char* dst; int result = 0; };
    for (const Row& row : {Row{AF_INET6, "::1", out, 1}, {AF_INET, "1.2.3.4", out, 1}, {AF_INET, "1.2.3", out},
                           {VXM_SOCK_FAMILY_INET6, "::1", out}, {AF_INET, nullptr, out}, {AF_INET, "1.2.3.4", nullptr}})
        EXPECT_EQ(VXM_sock_inetpton(row.family, row.text, row.dst), row.result) << row.family << " " << &row;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 16), std::string("\1\2\3\4", 4) + std::string(11, '\0') + "\1");
    char* first = VXM_sock_inetntop(htonl(0x0A000001));  // one text buffer per thread
    char* other = nullptr;
    std::thread([&] { other = VXM_sock_inetntop(htonl(0x7F000001)); }).join();
    EXPECT_TRUE(other != first && std::string(first) == "10.0.0.1") << first;
    char host[16] = "unchanged";
    EXPECT_EQ(VXM_sock_getHostByName(host, "no-such-host.invalid"), -1);
    EXPECT_STREQ(host, "unchanged");
    EXPECT_EQ(VXM_sock_getHostByName(host, "127.0.0.9"), 0);
    EXPECT_STREQ(host, "127.0.0.9");
    VXM_sock_freeHostent(VXM_malloc(64));  // the sanitizers' leak check sees a block it did not free
    VXM_sock_freeHostent(nullptr);
    // The port search moves up from a busy port and wraps from 65535 to 0, which the kernel turns
    // into one of its own; port 0 binds nothing. Two tries from 65534 meet two busy ports.
    Fd sock(VXM_sock_socket(0, 2)), taken(VXM_sock_socket(0, 2)), top(VXM_sock_socket(0, 2));
    EXPECT_EQ(VXM_sock_bindlocal(sock.fd, 0, 5) + port(sock.fd), 0);
    VXM_sock_bindlocal(taken.fd, 65534, 1);
    VXM_sock_bindlocal(top.fd, 65535, 1);
    EXPECT_EQ(VXM_sock_bindlocal(sock.fd, 65534, 0) + VXM_sock_bindlocal(sock.fd, 65534, 2), -2);
    EXPECT_EQ(VXM_sock_bindlocal(sock.fd, 65534, 3), 0);
    EXPECT_TRUE(port(sock.fd) != 0 && port(sock.fd) < 65534) << port(sock.fd);
}

// Datagrams, a stream connection, sending, receiving and the names of its ends in both families;
// then the refused names.
TEST(Socket, RecordsAndNamesInBothFamilies) {
    LogCapture log;
    for (const bool v6 : {false, true}) {
        Fd server(loopback(v6)), client(VXM_sock_socket(v6, 0));
        Fd dgram(VXM_sock_socket(v6, 2)), sender(VXM_sock_socket(v6, 2));
        if (v6 && server.fd < 0) continue;  // no IPv6 here
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        VXM_SOCKADDR at = loopbackRecord(v6, 0);
        ASSERT_EQ(v6 ? VXM_sock_bindV6(dgram.fd, &at, 1) : VXM_sock_bind(dgram.fd, &at, 16), 0);
        at.port = htons(port(dgram.fd));
        EXPECT_EQ(name(dgram.fd).sin6_addr.s6_addr[15], 0) << "IPv6 is bound to the wildcard, not ::1";
        EXPECT_EQ(VXM_sock_sendto(sender.fd, "hello", 5, 0, &at, 0), 5) << "the record length is only checked";
        char buffer[16] = {};
        VXM_SOCKADDR from{};
        from.family = v6 ? VXM_SOCK_FAMILY_INET6 : 0;
        socklen_t length = sizeof from;
        ASSERT_EQ(VXM_sock_recvfrom(dgram.fd, buffer, sizeof buffer, MSG_DONTWAIT, &from, &length), 5);
        EXPECT_STREQ(buffer, "hello");
        EXPECT_EQ(std::vector<int>({static_cast<int>(length), from.family, ntohs(from.port)}),
                  std::vector<int>({v6 ? 28 : 16, v6 ? AF_INET6 : AF_INET, port(sender.fd)}));
        EXPECT_EQ(0, v6 ? std::memcmp(from.addrTail, &in6addr_loopback, 16) : from.addr != htonl(INADDR_LOOPBACK));
        const VXM_SOCKADDR to = loopbackRecord(v6, port(server.fd));
        ASSERT_EQ(VXM_sock_connect(client.fd, &to, v6 ? 28 : 16), 0);
        sockaddr_in6 v6out{};
        sockaddr_in v4out{};
        int family = 0;
        Fd accepted(VXM_sock_accept(server.fd, reinterpret_cast<sockaddr*>(&from), &length));
        EXPECT_EQ(ntohs(from.port), port(client.fd));
        for (int fd : {client.fd, accepted.fd}) {
            EXPECT_EQ((fd == client.fd ? VXM_sock_getpeername : VXM_sock_getsockname)(fd, &v4out, &v6out, &family), 0);
            EXPECT_EQ(family, v6 ? AF_INET6 : AF_INET);
            EXPECT_EQ(ntohs(v6 ? v6out.sin6_port : v4out.sin_port), port(server.fd));
        }
        EXPECT_EQ(VXM_sock_send(client.fd, "ping", 4, 0), 4);
        EXPECT_EQ(VXM_sock_recv(accepted.fd, buffer, 8, 0), 4);
        EXPECT_EQ(VXM_sock_shutdown(client.fd, SHUT_WR) + VXM_sock_recv(accepted.fd, buffer, 8, 0), 0);
        EXPECT_EQ(std::string(buffer, 5), "pingo");
        EXPECT_EQ(logLines(log), "");
        if (!v6) continue;
        const int c = client.fd;
        const Fd v4client(VXM_sock_socket(0, 0));
        // The last is not connected.
        const int refused[] = {
            VXM_sock_getsockname(c, &v4out, nullptr, &family), VXM_sock_getpeername(c, &v4out, nullptr, &family),
            VXM_sock_getsockname(c, &v4out, &v6out, nullptr), VXM_sock_getpeername(c, nullptr, nullptr, &family),
            VXM_sock_getpeername(c, &v4out, &v6out, nullptr),
            VXM_sock_getsockname(v4client.fd, nullptr, &v6out, &family),
            VXM_sock_getpeername(v4client.fd, &v4out, &v6out, &family)};
        EXPECT_EQ(std::count(std::begin(refused), std::end(refused), -1), 7);
        // Two null records are refused before the name is read: only the message tells this path.
        EXPECT_NE(logLines(log).find("VXM_sock_getpeername:  pAddrV4 or pAddrV6 is NULL\n"), std::string::npos);
    }
}

// An abstract local name: the record's whole path, its family never read. A select of 0 ms polls;
// one given 1500 ms returns as soon as the data is there.
TEST(Socket, LocalStreamSelectAndOptions) {
    VXM_SOCKADDR_UN at{};
    at.family = 0x7777;
    std::snprintf(at.path + 1, sizeof at.path - 1, "vxmtest.%d", getpid());
    Fd server(VXM_sock_socket_un(0, 1)), client(VXM_sock_socket_un(0, 1));
    ASSERT_EQ(VXM_sock_bind_un(server.fd, &at, sizeof at) + VXM_sock_listen(server.fd, 1), 0);
    ASSERT_EQ(VXM_sock_connect_un(client.fd, &at, sizeof at), 0);
    socklen_t length = sizeof at;
    Fd accepted(VXM_sock_accept_un(server.fd, reinterpret_cast<sockaddr*>(&at), &length));
    int on = 1, value = 0;
    EXPECT_EQ(VXM_sock_send(accepted.fd, "ok", 2, 0), 2);
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(server.fd, &readSet);
    EXPECT_EQ(VXM_sock_select(server.fd + 1, &readSet, nullptr, nullptr, 0), 0);
    FD_SET(client.fd, &readSet);
    EXPECT_EQ(VXM_sock_select(client.fd + 1, &readSet, nullptr, nullptr, 1500), 1);
    length = sizeof value;
    EXPECT_EQ(VXM_sock_setsockopt(client.fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on), 0);
    EXPECT_EQ(VXM_sock_getsockopt(client.fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length) + value, 1);
}

// The time-out connect watches the socket in slices: its results, messages and the mode coming back.
TEST(ConnectTimeOut, ResultsMessagesAndTheModeComingBack) {
    Fd server(loopback(false)), closed(loopback(false, false)), client(VXM_sock_socket(0, 0));
    const VXM_SOCKADDR to = loopbackRecord(false, port(server.fd)), refused = loopbackRecord(false, port(closed.fd));
    LogCapture connectLog;
    EXPECT_EQ(VXM_sock_connect(client.fd, &refused, 16), -1);
    EXPECT_EQ(logLines(connectLog), "4 os_net VXM_sock_connect: VXM_sock_connect: iRet=-1, errno=111\n");
    const std::string param = "4 os_net VXM_sock_connectTimeOut: param error\n";
    const int async = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // A descriptor beyond the select set is never watched: its time runs out (-2: there is no 1500).
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit raised{std::min<rlim_t>(limit.rlim_max, 2048), limit.rlim_max};
    Fd low(VXM_sock_socket(0, 0));
    const int beyond = raised.rlim_cur > 1500 && setrlimit(RLIMIT_NOFILE, &raised) == 0 ? dup2(low.fd, 1500) : -2;
    struct Row { const char* name; int fd; const VXM_SOCKADDR* to; int timeoutMs, result; std::string log; };
    const Row rows[] = {
        {"null record", VXM_sock_socket(0, 0), nullptr, 100, -1, ""},
        {"no time", VXM_sock_socket(0, 0), &to, 0, -1, param},
        {"negative descriptor", -1, &to, 100, -1, param}, {"listener", VXM_sock_socket(0, 0), &to, 1000, 0, ""},
        {"already non-blocking", async, &to, 1000, 0, ""},
        {"closed port", VXM_sock_socket(0, 0), &refused, 500, -1, "4 os_net handle_socketOptError:  #: ECONNREFUSED\n"},
        {"beyond the select set: 50 - 30 - 30", beyond, &to, 50, 3,
         "2 os_net VXM_sock_connectTimeOut:  #: RestTime=-10\n"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.fd == -2) continue;
        Fd fd(row.fd);
        LogCapture log;
        EXPECT_EQ(VXM_sock_connectTimeOut(row.fd, row.to, row.timeoutMs), row.result);
        EXPECT_TRUE(row.fd < 0 || nonBlocking(row.fd) == (row.fd == async));
        EXPECT_TRUE(row.result != 0 || port(row.fd, true) == ntohs(row.to->port));
        EXPECT_EQ(withoutLines(log), row.log);
    }
    // The pending error of something that is no socket cannot be read; the saved flags come back.
    Fd file(open("/dev/null", O_RDONLY | O_CLOEXEC)), sock(VXM_sock_socket(0, 0));
    LogCapture log;
    EXPECT_EQ(handle_socketOptError(sock.fd, O_RDWR | O_NONBLOCK) + handle_socketOptError(file.fd, O_NONBLOCK), -1);
    EXPECT_TRUE(nonBlocking(sock.fd) && nonBlocking(file.fd));
    EXPECT_EQ(withoutLines(log), "4 os_net handle_socketOptError:  #: errno=" + std::to_string(ENOTSOCK) + "\n");
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
