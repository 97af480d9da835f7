// A connect with a time-out (VXM_sock_connectTimeOut, 1000 ms) to a loopback listener against a
// plain blocking connect to the same listener. Each iteration makes the stream socket, connects it
// and closes it with a reset (SO_LINGER 0), so no TIME_WAIT entries pile up; a thread of its own
// accepts and closes every connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "bench_ratio.h"
#include "vxmosal/VXM_os_net.h"

namespace {

constexpr int kTimeoutMs = 1000;

// A listener on 127.0.0.1 with its accepting thread, for the whole run.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 512) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            while (!stop_.load(std::memory_order_relaxed)) {
                pollfd ready{fd_, POLLIN, 0};
                if (poll(&ready, 1, 50) <= 0) continue;
                const int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer >= 0) close(peer);
            }
        });
    }
    ~Listener() {
        stop_.store(true, std::memory_order_relaxed);
        if (acceptor_.joinable()) acceptor_.join();
        if (fd_ >= 0) close(fd_);
    }
    unsigned short port() const { return port_; }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
};

Listener* g_listener = nullptr;

void closeWithReset(int fd) {
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

void vxmConnect(benchmark::State& state) {
    VXM_SOCKADDR to;
    std::memset(&to, 0, sizeof to);
    to.family = AF_INET;
    to.port = htons(g_listener->port());
    to.addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int result = VXM_sock_connectTimeOut(fd, &to, kTimeoutMs);
        closeWithReset(fd);
        if (result != 0) {
            state.SkipWithError("VXM_sock_connectTimeOut did not connect");
            return;
        }
    }
}

void plainConnect(benchmark::State& state) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(g_listener->port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int result = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        closeWithReset(fd);
        if (result != 0) {
            state.SkipWithError("connect failed");
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Listener listener;
    if (listener.port() == 0) {
        std::fprintf(stderr, "bench_socket: no loopback listener\n");
        return 1;
    }
    g_listener = &listener;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_sock_connectTimeOut", vxmConnect),
                    benchmark::RegisterBenchmark("connect_blocking", plainConnect)})
        b->Repetitions(vxm::bench::kRepetitions)->DisplayAggregatesOnly(true)->UseRealTime();
    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_sock_connectTimeOut", "socket+VXM_sock_connectTimeOut(1000 ms)+close", "connect_blocking",
          "socket+blocking connect+close", vxm::bench::Goal::AtMost, 2.0, vxm::bench::Measure::RealTime}});
}
