// The library under the system's limits. Each row runs in a child process of its own, which puts
// itself under one limit (few descriptors, little address space, a read-only or a full /tmp in a
// mount namespace of its own) and makes one call that the limit makes fail: the call must give its
// documented failure result and message. The child reports a mismatch on its standard error.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/log_capture.h"
#include "vxmosal/vxmosal.h"

namespace {

enum class Limit { None, Descriptors, AddressSpace, ReadOnlyTmp, FullTmp };

struct Row {
    const char* name;
    Limit limit;
    long (*call)();
    long result;
    int level;  // with module and format, the record the call must log; 0: it logs nothing
    const char* module;
    const char* format;
};

constexpr int kSkip = 77;
rlimit g_descriptors{};  // restored after the call, so that a coverage build can write its counts

[[maybe_unused]] void* idle(void*) { return nullptr; }

// A query of the loopback card's address texts.
template <int (*query)(const VXM_NETWORK_CARD_INFO*, char*, int)>
long onLoopback() {
    VXM_NETWORK_CARD_INFO card{};
    std::strcpy(card.ifrName, "lo");
    char text[VXM_NETWORK_TEXT_SIZE];
    return query(&card, text, sizeof text);
}

long openResult(FILE* file) {
    if (file != nullptr) std::fclose(file);
    return file != nullptr ? 0 : -1;
}

const Row kRows[] = {
    {"address query socket", Limit::Descriptors, onLoopback<VXM_network_getIpAddr>, -1, VXM_LOG_ERROR,
     "NETWORK", "create socket error,errno = %d."},
    {"netmask query socket", Limit::Descriptors, onLoopback<VXM_network_getNetMask>, -1, VXM_LOG_ERROR,
     "NETWORK", "create socket error,errno = %d."},
    {"IPv6 address table", Limit::Descriptors, onLoopback<VXM_network_getIpv6Addr>, -1, VXM_LOG_ERROR,
     "NETWORK", "fopen /proc/net/if_inet6 failed!!"},
    {"MAC query socket", Limit::Descriptors, onLoopback<VXM_network_getMacAddr>, -1, VXM_LOG_ERROR, "NETWORK",
     "create socket error,errno = %d,get mac failed."},
    {"link query socket", Limit::Descriptors, [] {
         int active = 0;
         return long{VXM_network_getNetActive("lo", &active)};
     }, -1, VXM_LOG_ERROR, "NETWORK", "create socket error, errno:%d."},
    {"card of an address", Limit::Descriptors, [] {
         unsigned long long counters[4];
         return long{VXM_get_netStat("127.0.0.1", &counters[0], &counters[1], &counters[2], &counters[3])};
     }, -1, 0, "", ""},
    {"channel socket", Limit::Descriptors, [] { return long{VXM_utl_shellCMD("true")}; }, -1,
     VXM_LOG_ERROR, "os_utility", "shell command can't excute : %s"},
    {"processor statistics", Limit::Descriptors, [] { return static_cast<long>(VXM_get_cpuUsage()); }, 0,
     VXM_LOG_INFO, "os_utility", "get cpu time fail."},
    {"memory statistics", Limit::Descriptors, [] { return static_cast<long>(VXM_get_memUsage()); }, 0, 0, "", ""},
    {"descriptor listing", Limit::Descriptors, [] { return VXM_close_allfd(), 0L; }, 0, VXM_LOG_WARN, "os_utility", "can't open %s"},
    {"descriptor listing closes", Limit::None, [] {
         const int fd = dup(0);
         VXM_close_allfd();
         return long{fcntl(fd, F_GETFD)};
     }, -1, 0, "", ""},
    {"property read", Limit::Descriptors, [] {
         char value[92];
         return long{VXM_property_get("some.key", value, sizeof value)};
     }, -1, 0, "", ""},
// The sanitizers' runtimes map memory of their own for every thread and allocation: under them an
// address-space limit ends the process before the library sees it fail. Under an emulator the limit
// holds the emulator, whose guest memory is reserved up front.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(VXM_UNDER_EMULATOR)
    {"thread stack", Limit::AddressSpace, [] { return long{VXM_thread_create(idle, nullptr, nullptr, 0, 0)}; },
     -1, VXM_LOG_ERROR, "os_thread", "pthread_create failure!"},
    {"thread stack (EX)", Limit::AddressSpace, [] { return long{VXM_thread_createEX(idle, nullptr, nullptr, 0, 0, 1)}; }, -1, VXM_LOG_ERROR,
     "os_thread", "pthread_create failure:lResult=%d, errno=%d"},
#endif
    {"file modes on a read-only file system", Limit::ReadOnlyTmp,
     [] { return openResult(VXM_File_Open("/tmp/file", "r", 0600)); }, -1, VXM_LOG_ERROR, "os_utility", "fchmod ini file fail."},
    {"property on a read-only file system", Limit::ReadOnlyTmp, [] { return long{VXM_property_set("some.key", "1")}; }, -1, 0, "", ""},
    {"property directory on a read-only file system", Limit::ReadOnlyTmp, [] {
         setenv("VXM_PROPERTY_DIR", "/tmp/new/properties", 1);
         return long{VXM_property_set("some.key", "1")};
     }, -1, 0, "", ""},
    {"property on a full file system", Limit::FullTmp, [] { return long{VXM_property_set("some.key", "1")}; },
     -1, 0, "", ""},
    {"file on a full file system", Limit::FullTmp, [] { return long{VXM_file_write("/tmp/other", "1", 1)}; },
     -1, 0, "", ""},
};

// A private /tmp holding /tmp/file and the property directory /tmp/properties, read-only or full.
int privateTmp(bool full) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, full ? "size=16k" : nullptr) != 0) {
        std::fprintf(stderr, "needs a mount namespace of its own (root): %s", std::strerror(errno));
        return kSkip;
    }
    FILE* file = std::fopen("/tmp/file", "w");
    if (file == nullptr || mkdir("/tmp/properties", 0755) != 0) return 1;
    while (full && std::fputc('x', file) != EOF && std::fflush(file) == 0) {
    }
    std::fclose(file);
    setenv("VXM_PROPERTY_DIR", "/tmp/properties", 1);
    return full || mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0 ? 0 : 1;
}

int applyLimit(Limit limit) {
    if (limit == Limit::ReadOnlyTmp || limit == Limit::FullTmp) return privateTmp(limit == Limit::FullTmp);
    if (limit == Limit::None) return 0;
    if (limit == Limit::Descriptors) {
        rlimit three{};
        getrlimit(RLIMIT_NOFILE, &g_descriptors);
        three.rlim_cur = 3;  // standard input, output and error only
        three.rlim_max = g_descriptors.rlim_max;
        return setrlimit(RLIMIT_NOFILE, &three);
    }
    // Room for the small allocations of the call and its log, none for a thread's stack.
    unsigned long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) return 1;
    std::fclose(statm);
    const rlim_t bytes = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + VXM_THREAD_DEFAULT_STACK / 2;
    const rlimit space{bytes, bytes};
    return setrlimit(RLIMIT_AS, &space);
}

int runRow(const Row& row) {
    if (const int status = applyLimit(row.limit); status != 0) return status;
    vxmtest::LogCapture log;
    const long result = row.call();
    if (row.limit == Limit::Descriptors) setrlimit(RLIMIT_NOFILE, &g_descriptors);
    bool logged = row.level == 0 ? log.all().empty() : false;
    for (const vxmtest::LogRecord& record : log.all())
        logged = logged || (record.level == row.level && record.module == row.module && record.format == row.format);
    if (result == row.result && logged) return 0;
    std::fprintf(stderr, "result %ld (expected %ld); log:", result, row.result);
    for (const vxmtest::LogRecord& record : log.all())
        std::fprintf(stderr, " [%d %s \"%s\"]", record.level, record.module.c_str(), record.format.c_str());
    return 1;
}

TEST(SystemLimits, EachCallFailsAsDocumented) {
    std::string skipped;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(report[1], STDERR_FILENO);
            closefrom(STDERR_FILENO + 1);
            std::exit(runRow(row));  // exit, so that a coverage build writes its counts
        }
        close(report[1]);
        std::string text;
        char block[512];
        for (ssize_t got; (got = read(report[0], block, sizeof block)) > 0;) text.append(block, got);
        close(report[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << text;
        if (WEXITSTATUS(status) == kSkip) skipped += std::string(row.name) + ": " + text + "\n";
        else EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    }
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
