// A channel round trip (VXM_csopen of "true" for reading, read to the end, VXM_csclose) against
// popen("true", "r") + read + pclose. Both run the command through /bin/sh -c.
//
// The channel's socket path /tmp/vxmopend is fixed, so the program runs in an empty box, whose /tmp
// is private (scripts/bench.sh starts it through vxmbox --box /dev/null --no-daemon), and starts its
// own vxmopend there, which it stops with SIGTERM at the end. Without a private /tmp or a daemon it measures
// nothing and fails.
//
// Then 64 clients run round trips at once: the slowest of their round trips against the median
// single-client round trip shows whether the daemon serves many clients without one holding up
// another.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "vxmosal/VXM_channel.h"

#ifndef TMPFS_MAGIC
#define TMPFS_MAGIC 0x01021994
#endif

namespace {

constexpr char kDaemonLog[] = "/tmp/vxmopend-bench.log";
constexpr char kChannelLabel[] = "VXM_csopen(\"true\")+read+VXM_csclose";
constexpr char kPopenLabel[] = "popen(\"true\")+read+pclose";

double monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One round trip; the close byte (the command's exit status), or -1 when the channel failed.
int channelRoundTrip() {
    int fd = -1;
    VXM_CS_HANDLE* handle = VXM_csopen("true", "r", &fd, nullptr);
    if (handle == nullptr) return -1;
    char buffer[256];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) benchmark::DoNotOptimize(buffer);
    int closeByte = VXM_csclose(handle, -1);
    return got < 0 ? -1 : closeByte;
}

void channel(benchmark::State& state) {
    for (auto _ : state) {
        int status = channelRoundTrip();
        if (status != 0) {
            state.SkipWithError(status < 0 ? "the channel failed" : "\"true\" did not end with 0");
            return;
        }
    }
}

// One popen("true") + read + pclose; 0 when "true" ended with 0.
int popenOnce() {
    std::FILE* pipe = popen("true", "r");
    if (pipe == nullptr) return -1;
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, pipe) > 0) benchmark::DoNotOptimize(buffer);
    return pclose(pipe);
}

void popenRoundTrip(benchmark::State& state) {
    for (auto _ : state) {
        if (popenOnce() != 0) {
            state.SkipWithError("popen(\"true\") failed or \"true\" did not end with 0");
            return;
        }
    }
}

// The end of the daemon's log (one line per request), for failure messages.
std::string daemonLog() {
    std::ifstream in(kDaemonLog);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr std::size_t kTail = 2000;
    return text.size() > kTail ? "..." + text.substr(text.size() - kTail) : text;
}

// Why this process cannot own /tmp/vxmopend, or "" when it can.
std::string privateTmpProblem() {
    if (std::getenv("VXMBOX") == nullptr) return "needs a private /tmp: run it through vxmbox --no-daemon";
    struct statfs info {};
    if (statfs("/tmp", &info) != 0 || info.f_type != TMPFS_MAGIC) return "/tmp is not the box's private tmpfs";
    return "";
}

// vxmopend on /tmp/vxmopend, serving once a round trip through it succeeds.
pid_t startDaemon(std::string* problem) {
    pid_t pid = fork();
    if (pid < 0) {
        *problem = "fork failed";
        return -1;
    }
    if (pid == 0) {
        int log = open(kDaemonLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log >= 0) dup2(log, STDERR_FILENO);
        execl(VXMOPEND_PATH, VXMOPEND_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    const double deadline = monotonicSeconds() + 5.0;
    while (monotonicSeconds() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            *problem = std::string(VXMOPEND_PATH) + " ended at once: " + daemonLog();
            return -1;
        }
        struct stat st;
        if (stat("/tmp/vxmopend", &st) == 0 && channelRoundTrip() == 0) return pid;
        usleep(10000);
    }
    *problem = std::string(VXMOPEND_PATH) + " did not serve within 5 s: " + daemonLog();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// SIGTERM, then its exit status (-1 when it had to be killed after 5 s or ended by a signal).
int stopDaemon(pid_t pid) {
    kill(pid, SIGTERM);
    const double deadline = monotonicSeconds() + 5.0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (monotonicSeconds() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Wall seconds of each of count round trips, or an empty list when one failed.
std::vector<double> timedRoundTrips(int (*roundTrip)(), int count) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const double start = monotonicSeconds();
        if (roundTrip() != 0) return {};
        times.push_back(monotonicSeconds() - start);
    }
    return times;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The slowest round trip of kClients clients started together, each running kRounds, against the
// median of a single client's round trips measured just before. Each round trip starts a shell, so
// with two cores the shells of the other clients' round trips share the time: the same measure of
// popen shows what the machine allows.
bool measureParallelClients(const char* what, int (*roundTrip)(), vxm::bench::Goal goal, double bound) {
    constexpr int kClients = 64;
    constexpr int kRounds = 3;
    const std::string label = std::string("slowest of 64 parallel ") + what + " / single-client median";
    std::vector<double> single = timedRoundTrips(roundTrip, 31);
    if (single.empty()) {
        std::printf("%s: not measured (%s)\n", label.c_str(), vxm::bench::goalText(goal, bound).c_str());
        return false;
    }
    std::mutex lock;
    std::condition_variable go;
    bool started = false;
    std::vector<double> slowest(kClients, -1.0);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> guard(lock);
                go.wait(guard, [&] { return started; });
            }
            std::vector<double> times = timedRoundTrips(roundTrip, kRounds);
            if (!times.empty()) slowest[i] = *std::max_element(times.begin(), times.end());
        });
    {
        std::lock_guard<std::mutex> guard(lock);
        started = true;
    }
    go.notify_all();
    for (std::thread& client : clients) client.join();
    if (*std::min_element(slowest.begin(), slowest.end()) < 0.0) {
        std::printf("%s: not measured, a round trip failed (%s)\n", label.c_str(),
                    vxm::bench::goalText(goal, bound).c_str());
        return false;
    }
    const double worst = *std::max_element(slowest.begin(), slowest.end());
    const double base = median(single);
    std::printf("%s = %.2f (%s)   [%.2f ms against %.2f ms]\n", label.c_str(), worst / base,
                vxm::bench::goalVerdict(worst / base, goal, bound).c_str(), worst * 1e3, base * 1e3);
    return true;
}

void reportNotMeasured(const std::string& problem) {
    std::fprintf(stderr, "bench_channel: %s\n", problem.c_str());
    std::printf("ratio %s / %s: not measured\n", kChannelLabel, kPopenLabel);
}

}  // namespace

int main(int argc, char** argv) {
    std::string problem = privateTmpProblem();
    if (!problem.empty()) {
        reportNotMeasured(problem);
        return 1;
    }
    pid_t daemon = startDaemon(&problem);
    if (daemon < 0) {
        reportNotMeasured(problem);
        return 1;
    }

    using vxm::bench::kRepetitions;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_channel_round_trip", channel),
                    benchmark::RegisterBenchmark("popen_round_trip", popenRoundTrip)})
        b->UseRealTime()->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);
    // The work happens in other processes, so the ratio compares wall time.
    int status = vxm::bench::runWithRatios(argc, argv,
                                           {{"VXM_channel_round_trip", kChannelLabel, "popen_round_trip",
                                             kPopenLabel, vxm::bench::Goal::AtMost, 1.1,
                                             vxm::bench::Measure::RealTime}});
    if (!measureParallelClients(kChannelLabel, channelRoundTrip, vxm::bench::Goal::AtMost, 10.0) ||
        !measureParallelClients(kPopenLabel, popenOnce, vxm::bench::Goal::None, 0.0))
        status = 1;
    int daemonExit = stopDaemon(daemon);
    if (daemonExit != 0) {
        std::fprintf(stderr, "bench_channel: vxmopend did not stop cleanly on SIGTERM (exit %d): %s\n",
                     daemonExit, daemonLog().c_str());
        return 1;
    }
    return status;
}
