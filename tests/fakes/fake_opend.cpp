#include "fakes/fake_opend.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vxmfake {

namespace {

using Clock = std::chrono::steady_clock;

// Polls fd in short slices until an event, the deadline or the fake stopping. @return the events, or 0
int pollUntil(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& stopping) {
    for (pollfd entry{fd, events, 0}; !stopping && Clock::now() < deadline;)
        if (poll(&entry, 1, 20) > 0) return entry.revents;
    return 0;
}

}  // namespace

std::string Connection::readRequest() {
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    char buffer[4096];
    for (ssize_t got; request.find('\0') == std::string::npos && pollUntil(fd, POLLIN, deadline, stopping) != 0; ++requestReads) {
        if ((got = recv(fd, buffer, sizeof buffer, 0)) <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    return request;
}

void Connection::send(const std::vector<std::uint8_t>& bytes, int passFd, bool waitRead) {
    iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passFd, sizeof passFd);
    }
    if (sendmsg(fd, &message, MSG_NOSIGNAL) < 0 || !waitRead) return;
    // SIOCOUTQ on a local socket counts the bytes the peer has not yet read.
    for (const auto deadline = Clock::now() + std::chrono::seconds(3); !stopping && Clock::now() < deadline;) {
        int unread = 0;
        if (ioctl(fd, SIOCOUTQ, &unread) != 0 || unread == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Connection::waitHangup() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    char buffer[256];
    while (pollUntil(fd, POLLIN | POLLRDHUP, deadline, stopping) != 0) {
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

FakeOpend::FakeOpend(bool listenToo) {
    unlink(kOpendPath);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kOpendPath, sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (listenToo && listen(fd, 16) != 0)) {
        close(fd);
        return;
    }
    listenFd_ = fd;
    if (listenToo) thread_ = std::thread([this] { run(); });
}

FakeOpend::~FakeOpend() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    unlink(kOpendPath);
}

void FakeOpend::expect(Session session) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(std::move(session));
}

bool FakeOpend::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::seconds(10), [this] { return sessions_.empty() && !busy_; });
}

std::vector<std::pair<std::string, int>> FakeOpend::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeOpend::run() {
    while (!stopping_) {
        if ((pollUntil(listenFd_, POLLIN, Clock::now() + std::chrono::seconds(1), stopping_) & POLLIN) == 0) continue;
        Connection connection{accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC), stopping_};
        if (connection.fd < 0) continue;
        Session session;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!sessions_.empty()) session = std::move(sessions_.front()), sessions_.pop_front();
            busy_ = true;
        }
        if (session) session(connection);
        close(connection.fd);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.emplace_back(connection.request, connection.requestReads);
            busy_ = false;
        }
        idle_.notify_all();
    }
}

}  // namespace vxmfake
