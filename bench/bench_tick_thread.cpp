// The tick thread's CPU use over 10 s, as a share of one core, read from the kernel's accounting.
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bench_ratio.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr int kWindowSeconds = 10;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The id of the thread named "refresh_timer" in this process, or -1.
long findTickThread() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    long found = -1;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string comm = readFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
        if (comm == "refresh_timer\n") {
            found = std::strtol(entry->d_name, nullptr, 10);
            break;
        }
    }
    closedir(tasks);
    return found;
}

// utime + stime of the thread, in clock ticks; -1 when unreadable.
long long cpuClockTicks(long tid) {
    std::string stat = readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    // The name in parentheses may hold spaces; the fields after it start with the state (field 3).
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long long utime = -1;
    long long stime = -1;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stoll(field);
        if (index == 15) stime = std::stoll(field);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// Nanoseconds the scheduler ran the thread (first field of schedstat); -1 when not available.
long long runNs(long tid) {
    std::istringstream in(readFile("/proc/self/task/" + std::to_string(tid) + "/schedstat"));
    long long ns = -1;
    in >> ns;
    return ns;
}

double monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main() {
    VXM_get_ticks();
    // The thread names itself once it runs, which on a busy machine may come after the first read.
    long tid = findTickThread();
    for (int tries = 0; tid < 0 && tries < 100; ++tries) {
        usleep(10000);
        tid = findTickThread();
    }
    if (tid < 0) {
        std::fprintf(stderr, "no thread named refresh_timer in this process\n");
        return 1;
    }
    long long ticksBefore = cpuClockTicks(tid);
    long long nsBefore = runNs(tid);
    double start = monotonicSeconds();
    sleep(kWindowSeconds);
    long long ticksAfter = cpuClockTicks(tid);
    long long nsAfter = runNs(tid);
    double elapsed = monotonicSeconds() - start;
    if (ticksBefore < 0 || ticksAfter < 0) {
        std::fprintf(stderr, "cannot read the tick thread's CPU times\n");
        return 1;
    }

    double clockTick = static_cast<double>(sysconf(_SC_CLK_TCK));
    double share = 100.0 * static_cast<double>(ticksAfter - ticksBefore) / clockTick / elapsed;
    std::printf("tick thread (tid %ld) utime+stime: %lld clock ticks of 1/%g s over %.2f s\n", tid,
                ticksAfter - ticksBefore, clockTick, elapsed);
    if (nsBefore >= 0 && nsAfter >= 0)
        std::printf("tick thread run time by the scheduler: %.3f ms (%.3f%% of one core)\n",
                    static_cast<double>(nsAfter - nsBefore) / 1e6,
                    100.0 * static_cast<double>(nsAfter - nsBefore) / 1e9 / elapsed);
    std::printf("tick thread CPU over %d s: %.2f%% of one core (%s)\n", kWindowSeconds, share,
                vxm::bench::goalVerdict(share, vxm::bench::Goal::Below, 1.0, "%").c_str());
    return 0;
}
