#include "fakes/fake_opend.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "support/opend_daemon.h"

namespace vxmfake {

void Connection::readRequest() {
    char buffer[4096];
    pollfd entry{fd, POLLIN, 0};
    for (ssize_t got; request.first.find('\0') == std::string::npos && poll(&entry, 1, 3000) > 0; ++request.second) {
        if ((got = recv(fd, buffer, sizeof buffer, 0)) <= 0) break;
        request.first.append(buffer, static_cast<std::size_t>(got));
    }
}

void Connection::send(const std::vector<std::uint8_t>& bytes, int passFd, bool waitRead) {
    iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{nullptr, 0, &piece, 1, control, passFd >= 0 ? sizeof control : 0, 0};
    *reinterpret_cast<cmsghdr*>(control) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
    std::memcpy(control + CMSG_LEN(0), &passFd, sizeof passFd);
    if (sendmsg(fd, &message, MSG_NOSIGNAL) < 0 || !waitRead) return;
    // SIOCOUTQ on a local socket counts the bytes the peer has not yet read.
    int unread = 0;
    vxmtest::waitUntil([&] { return ioctl(fd, SIOCOUTQ, &unread) != 0 || unread == 0; }, std::chrono::seconds(3));
}

void Connection::waitHangup() {
    char buffer[256];
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    while (poll(&entry, 1, 10000) > 0 && recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) continue;
}

int readablePipe(const std::string& output) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    (void)!write(ends[1], output.data(), output.size());
    close(ends[1]);
    return ends[0];
}

FakeOpend::FakeOpend(bool listening) {
    unlink(kOpendPath);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, "/tmp/vxmopend"};
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    listenFd_ = bound && (!listening || listen(fd, 16) == 0) ? fd : (close(fd), -1);
}

FakeOpend::~FakeOpend() {
    stopping_ = true;
    finish();
    if (listenFd_ >= 0) close(listenFd_);
    unlink(kOpendPath);
}

void FakeOpend::expect(std::function<void(Connection&)> session) {
    Connection& connection = connections.emplace_back(Connection{-1});
    threads_.emplace_back([this, session, &connection] {
        const auto accepted = [&] { return (connection.fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; };
        if (!vxmtest::waitUntil([&] { return stopping_ || accepted(); }, std::chrono::seconds(10)) || stopping_) return;
        session(connection);
        close(connection.fd);
    });
}

bool FakeOpend::finish() {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    return std::all_of(connections.begin(), connections.end(), [](const Connection& c) { return c.fd >= 0; });
}

}  // namespace vxmfake
