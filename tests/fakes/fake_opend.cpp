#include "fakes/fake_opend.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vxmfake {

namespace {

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls fd for events together with the stop pipe. Returns the fd's revents, 0 on time-out, -1
// when the fake stops.
int pollWithStop(int fd, short events, int stopFd, int timeoutMs) {
    struct pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 0;
        if (fds[1].revents != 0) return -1;
        return fds[0].revents;
    }
}

}  // namespace

// ---- Connection ----

std::string Connection::readRequest(int timeoutMs) {
    std::string request;
    const std::int64_t deadline = nowMs() + timeoutMs;
    while (request.find('\0') == std::string::npos) {
        int left = static_cast<int>(deadline - nowMs());
        if (left <= 0) break;
        int events = pollWithStop(fd_, POLLIN, stopFd_, left);
        if (events <= 0) break;
        char buffer[4096];
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        ++requestReads_;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    request_ += request;
    return request;
}

void Connection::send(const std::vector<std::uint8_t>& bytes, int passFd, bool waitRead) {
    struct iovec piece;
    piece.iov_base = const_cast<std::uint8_t*>(bytes.data());
    piece.iov_len = bytes.size();
    struct msghdr message {};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    alignas(struct cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        struct cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passFd, sizeof passFd);
    }
    if (sendmsg(fd_, &message, MSG_NOSIGNAL) < 0 || !waitRead) return;
    // SIOCOUTQ on a local socket counts the bytes the peer has not yet read.
    const std::int64_t deadline = nowMs() + 3000;
    while (nowMs() < deadline) {
        int unread = 0;
        if (ioctl(fd_, SIOCOUTQ, &unread) != 0 || unread == 0) return;
        if (!sleepMs(2)) return;
    }
}

int Connection::readablePipe(const std::string& output) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    std::size_t done = 0;
    while (done < output.size()) {
        ssize_t n = write(ends[1], output.data() + done, output.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(ends[1]);
    return ends[0];
}

bool Connection::waitHangup(int timeoutMs) {
    const std::int64_t deadline = timeoutMs < 0 ? INT64_MAX : nowMs() + timeoutMs;
    for (;;) {
        int left = timeoutMs < 0 ? -1 : static_cast<int>(deadline - nowMs());
        if (timeoutMs >= 0 && left <= 0) return false;
        int events = pollWithStop(fd_, POLLIN | POLLRDHUP, stopFd_, left);
        if (events < 0) return false;
        if (events == 0) continue;
        char buffer[256];
        ssize_t got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

bool Connection::sleepMs(int ms) {
    struct pollfd stop = {stopFd_, POLLIN, 0};
    return poll(&stop, 1, ms) == 0;
}

void Connection::hangup() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

// ---- FakeOpend ----

FakeOpend::FakeOpend(const std::string& path, bool listenToo) : path_(path) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) return;
    unlink(path_.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listenToo && listen(fd, 16) != 0)) {
        close(fd);
        return;
    }
    listenFd_ = fd;
    if (listenToo) thread_ = std::thread([this] { run(); });
}

FakeOpend::~FakeOpend() {
    if (stopPipe_[1] >= 0) {
        char wake = 1;
        (void)!write(stopPipe_[1], &wake, 1);
    }
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    unlink(path_.c_str());
    for (int fd : stopPipe_)
        if (fd >= 0) close(fd);
}

void FakeOpend::expect(Session session) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(std::move(session));
}

bool FakeOpend::finish(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return sessions_.empty() && !busy_; });
}

std::vector<std::string> FakeOpend::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<int> FakeOpend::requestReads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestReads_;
}

int FakeOpend::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

void FakeOpend::run() {
    for (;;) {
        int events = pollWithStop(listenFd_, POLLIN, stopPipe_[0], -1);
        if (events < 0) return;
        if ((events & POLLIN) == 0) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Session session;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
            if (!sessions_.empty()) {
                session = std::move(sessions_.front());
                sessions_.pop_front();
                busy_ = true;
            }
        }
        Connection connection(fd, stopPipe_[0]);
        if (session) session(connection);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(connection.request_);
            requestReads_.push_back(connection.requestReads_);
            busy_ = false;
        }
        idle_.notify_all();
        connection.hangup();
    }
}

}  // namespace vxmfake
