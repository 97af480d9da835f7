// What the library costs a program besides time per call: the stripped size of the shared library
// (amd64, and armhf when the cross build exists), the resident memory and threads of a host that
// made one mutex, one timer and the network thread, and the time of the first VXM_mutex_create in
// a process. The host and the first creation run in fresh copies of this program (started with
// --host or --first-mutex), so that nothing done before is counted.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <spawn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_network.h"
#include "vxmosal/VXM_os_timer.h"

extern char** environ;

namespace {

constexpr int kFirstMutexRuns = 9;

std::int64_t monotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Runs args to its end and keeps its standard output in *text.
// @return false when it could not start or did not exit with status 0
bool run(const std::vector<std::string>& args, std::string* text) {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char buffer[256];
    for (ssize_t n; spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;) text->append(buffer, n);
    close(out[0]);
    int status = 0;
    return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The standard output of args, or "" when it failed.
std::string outputOf(const std::vector<std::string>& args) {
    std::string text;
    return run(args, &text) ? text : std::string();
}

// The size of a stripped copy of library. @return false when it is missing or strip failed.
bool strippedSize(const char* strip, const std::string& library, double* kib) {
    struct stat info;
    if (stat(library.c_str(), &info) != 0) return false;
    char copy[] = "/tmp/vxmbench-strip-XXXXXX";
    const int fd = mkstemp(copy);
    if (fd < 0) return false;
    close(fd);
    std::string ignored;
    const bool sized = run({strip, "-o", copy, library}, &ignored) && stat(copy, &info) == 0 && info.st_size > 0;
    if (sized) *kib = static_cast<double>(info.st_size) / 1024.0;
    unlink(copy);
    return sized;
}

// The value of a "Name:   value kB" line of /proc/self/status, or -1.
long statusField(const char* name) {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long value = -1;
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') value = std::atol(line + length + 1);
    std::fclose(status);
    return value;
}

bool hasThreadNamed(const char* name) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    bool found = false;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        char comm[64] = "";
        const std::string path = std::string("/proc/self/task/") + task->d_name + "/comm";
        if (FILE* file = std::fopen(path.c_str(), "r")) {
            if (std::fgets(comm, sizeof comm, file) != nullptr) comm[std::strcspn(comm, "\n")] = '\0';
            std::fclose(file);
        }
        if (std::strcmp(comm, name) == 0) found = true;
    }
    closedir(tasks);
    return found;
}

void noTimerWork(int, int) {}

// --host: one mutex, one timer, the network thread; prints "VmRSS-kB threads".
int host() {
    const unsigned long mutex = VXM_mutex_create();
    if (mutex == 0 || VXM_timer_init() != 0 || VXM_timer_add(noTimerWork, 0, 3600000, 0) < 0 ||
        VXM_network_threadInit() != 0)
        return 1;
    // The network thread names itself once it runs: wait for that, with a generous bound.
    for (int i = 0; i < 500 && !hasThreadNamed("net_pro"); ++i) usleep(10000);
    std::printf("%ld %ld\n", statusField("VmRSS"), statusField("Threads"));
    std::fflush(stdout);
    VXM_network_deInit();
    VXM_timer_quit();
    VXM_mutex_destroy(mutex);
    return 0;
}

// --first-mutex: prints the nanoseconds of this process's first VXM_mutex_create.
int firstMutex() {
    const std::int64_t start = monotonicNs();
    const unsigned long mutex = VXM_mutex_create();
    const std::int64_t end = monotonicNs();
    if (mutex == 0) return 1;
    VXM_mutex_destroy(mutex);
    std::printf("%lld\n", static_cast<long long>(end - start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--host") == 0) return host();
    if (argc == 2 && std::strcmp(argv[1], "--first-mutex") == 0) return firstMutex();
    using vxm::bench::printMeasured;
    int status = 0;

    double kib = 0.0;
    if (strippedSize("strip", VXM_LIBRARY_PATH, &kib))
        printMeasured("stripped libvxmosal.so, amd64", kib, " KiB");
    else
        std::printf("stripped libvxmosal.so, amd64: not measured (no goal)\n"), status = 1;
    const char* arm = std::getenv("VXM_ARM_LIBRARY");
    if (arm == nullptr) arm = VXM_ARM_LIBRARY_PATH;
    if (strippedSize("arm-linux-gnueabihf-strip", arm, &kib))
        printMeasured("stripped libvxmosal.so, armhf", kib, " KiB");
    else
        std::printf("stripped libvxmosal.so, armhf: not measured, no stripped copy of %s (no goal)\n", arm);

    long rssKib = 0;
    long threads = 0;
    const std::string hostOutput = outputOf({"/proc/self/exe", "--host"});
    if (std::sscanf(hostOutput.c_str(), "%ld %ld", &rssKib, &threads) == 2) {
        printMeasured("resident memory of a host with one mutex, one timer and the network thread",
                      static_cast<double>(rssKib), " KiB");
        printMeasured("threads of that host (its main thread included)", static_cast<double>(threads), "");
    } else {
        std::printf("host with one mutex, one timer and the network thread: not measured (no goal)\n");
        status = 1;
    }

    std::vector<double> firstNs;
    for (int i = 0; i < kFirstMutexRuns; ++i) {
        long long ns = 0;
        if (std::sscanf(outputOf({"/proc/self/exe", "--first-mutex"}).c_str(), "%lld", &ns) == 1)
            firstNs.push_back(static_cast<double>(ns) / 1000.0);
    }
    if (!firstNs.empty()) {
        std::sort(firstNs.begin(), firstNs.end());
        char label[96];
        std::snprintf(label, sizeof label, "first VXM_mutex_create in a process, median of %zu processes",
                      firstNs.size());
        printMeasured(label, firstNs[firstNs.size() / 2], " us");
    } else {
        std::printf("first VXM_mutex_create in a process: not measured (no goal)\n");
        status = 1;
    }
    return status;
}
