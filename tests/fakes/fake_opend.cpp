#include "fakes/fake_opend.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/opend_daemon.h"

namespace vxmfake {

namespace {

using Clock = std::chrono::steady_clock;

// Polls fd in short slices until an event, the deadline or the fake stopping. @return the events, or 0
int pollUntil(int fd, short events, Clock::duration timeout, const std::atomic<bool>& stopping) {
    const auto deadline = Clock::now() + timeout;
    for (pollfd entry{fd, events, 0}; !stopping && Clock::now() < deadline;)
        if (poll(&entry, 1, 20) > 0) return entry.revents;
    return 0;
}

}  // namespace

void Connection::readRequest() {
    char buffer[4096];
    const auto readable = [&] { return pollUntil(fd, POLLIN, std::chrono::seconds(3), stopping) != 0; };
    for (ssize_t got; request.find('\0') == std::string::npos && readable(); ++requestReads) {
        if ((got = recv(fd, buffer, sizeof buffer, 0)) <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
}

void Connection::send(const std::vector<std::uint8_t>& bytes, int passFd, bool waitRead) {
    iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    const bool passing = passFd >= 0;
    msghdr message{nullptr, 0, &piece, 1, passing ? control : nullptr, passing ? sizeof control : 0, 0};
    if (passFd >= 0) {
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        *header = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
        std::memcpy(CMSG_DATA(header), &passFd, sizeof passFd);
    }
    if (sendmsg(fd, &message, MSG_NOSIGNAL) < 0 || !waitRead) return;
    // SIOCOUTQ on a local socket counts the bytes the peer has not yet read.
    int unread = 0;
    const auto drained = [&] { return stopping || ioctl(fd, SIOCOUTQ, &unread) != 0 || unread == 0; };
    vxmtest::waitUntil(drained, std::chrono::seconds(3));
}

void Connection::waitHangup() {
    char buffer[256];
    while (pollUntil(fd, POLLIN | POLLRDHUP, std::chrono::seconds(10), stopping) != 0) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

int readablePipe(const std::string& output) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    (void)!write(ends[1], output.data(), output.size());
    close(ends[1]);
    return ends[0];
}

FakeOpend::FakeOpend(bool listening) {
    unlink(kOpendPath);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, kOpendPath, sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && listen(fd, 16) != 0)) {
        close(fd);
        return;
    }
    listenFd_ = fd;
    if (!listening) return;
    thread_ = std::thread([this] {
        while (!stopping_) {
            if ((pollUntil(listenFd_, POLLIN, std::chrono::seconds(1), stopping_) & POLLIN) == 0) continue;
            Connection connection{accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC), stopping_};
            std::function<void(Connection&)> session;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!sessions_.empty()) session = std::move(sessions_.front()), sessions_.pop_front();
                busy_ = true;
            }
            if (session && connection.fd >= 0) session(connection);
            close(connection.fd);
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.emplace_back(connection.request, connection.requestReads);
            busy_ = false;
            idle_.notify_all();
        }
    });
}

FakeOpend::~FakeOpend() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    unlink(kOpendPath);
}

void FakeOpend::expect(std::function<void(Connection&)> session) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(std::move(session));
}

bool FakeOpend::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::seconds(10), [this] { return sessions_.empty() && !busy_; });
}

std::vector<std::pair<std::string, int>> FakeOpend::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

}  // namespace vxmfake
