// The library under the system's limits. Each row runs in a child process of its own, which puts
// itself under one limit (few descriptors, little address space, a read-only or a full /tmp in a
// mount namespace of its own) and makes one call that the limit makes fail: the call must give its
// documented failure result and message.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "support/child_rows.h"
#include "support/log_capture.h"
#include "vxmosal/vxmosal.h"

namespace {

enum class Limit { None, Descriptors, AddressSpace, ReadOnlyTmp, FullTmp };

struct Row {
    const char* name;
    Limit limit;
    long (*call)();
    long result;
    const char* record;  // "LEVEL MODULE FORMAT" of the record the call must log; "": it logs nothing
};

rlimit g_descriptors{};  // restored after the call, so that a coverage build can write its counts
int g_active = 0;
unsigned long long g_n[4] = {};
char g_value[92] = {};

[[maybe_unused]] void* idle(void*) { return nullptr; }

// A query of the loopback card's address texts.
template <int (*query)(const VXM_NETWORK_CARD_INFO*, char*, int)>
long onLoopback() {
    VXM_NETWORK_CARD_INFO card{};
    std::strcpy(card.ifrName, "lo");
    char text[VXM_NETWORK_TEXT_SIZE];
    return query(&card, text, sizeof text);
}

long setProperty() { return VXM_property_set("some.key", "1"); }

const Row kRows[] = {
    {"address query socket", Limit::Descriptors, onLoopback<VXM_network_getIpAddr>, -1,
     "4 NETWORK create socket error,errno = %d."},
    {"netmask query socket", Limit::Descriptors, onLoopback<VXM_network_getNetMask>, -1,
     "4 NETWORK create socket error,errno = %d."},
    {"IPv6 address table", Limit::Descriptors, onLoopback<VXM_network_getIpv6Addr>, -1,
     "4 NETWORK fopen /proc/net/if_inet6 failed!!"},
    {"MAC query socket", Limit::Descriptors, onLoopback<VXM_network_getMacAddr>, -1,
     "4 NETWORK create socket error,errno = %d,get mac failed."},
    {"link query socket", Limit::Descriptors, [] { return long{VXM_network_getNetActive("lo", &g_active)}; }, -1,
     "4 NETWORK create socket error, errno:%d."},
    {"card of an address", Limit::Descriptors,
     [] { return long{VXM_get_netStat("127.0.0.1", &g_n[0], &g_n[1], &g_n[2], &g_n[3])}; }, -1, ""},
    {"channel socket", Limit::Descriptors, [] { return long{VXM_utl_shellCMD("true")}; }, -1,
     "4 os_utility shell command can't excute : %s"},
    {"processor statistics", Limit::Descriptors, [] { return static_cast<long>(VXM_get_cpuUsage()); }, 0,
     "2 os_utility get cpu time fail."},
    {"memory statistics", Limit::Descriptors, [] { return static_cast<long>(VXM_get_memUsage()); }, 0, ""},
    {"descriptor listing", Limit::Descriptors, [] { return VXM_close_allfd(), 0L; }, 0, "3 os_utility can't open %s"},
    // The child holds descriptors 0 to 2 only: the copy is 3.
    {"descriptor listing closes", Limit::None,
     [] { return dup(0) != 3 ? 0L : (VXM_close_allfd(), long{fcntl(3, F_GETFD)}); }, -1, ""},
    {"property read", Limit::Descriptors, [] { return long{VXM_property_get("some.key", g_value, 92)}; }, -1, ""},
// The sanitizers' runtimes map memory of their own for every thread and allocation: under them an
// address-space limit ends the process before the library sees it fail. Under an emulator the limit
// holds the emulator, whose guest memory is reserved up front.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(VXM_UNDER_EMULATOR)
    {"thread stack", Limit::AddressSpace, [] { return long{VXM_thread_create(idle, nullptr, nullptr, 0, 0)}; },
     -1, "4 os_thread pthread_create failure!"},
    {"thread stack (EX)", Limit::AddressSpace,
     [] { return long{VXM_thread_createEX(idle, nullptr, nullptr, 0, 0, 1)}; }, -1,
     "4 os_thread pthread_create failure:lResult=%d, errno=%d"},
#endif
    {"file modes on a read-only file system", Limit::ReadOnlyTmp,
     [] {
         FILE* file = VXM_File_Open("/tmp/file", "r", 0600);
         return file == nullptr ? -1L : std::fclose(file);
     },
     -1, "4 os_utility fchmod ini file fail."},
    {"property on a read-only file system", Limit::ReadOnlyTmp, setProperty, -1, ""},
    {"property directory on a read-only file system", Limit::ReadOnlyTmp,
     [] { return setenv("VXM_PROPERTY_DIR", "/tmp/new/properties", 1) + setProperty(); }, -1, ""},
    {"property on a full file system", Limit::FullTmp, setProperty, -1, ""},
    {"file on a full file system", Limit::FullTmp, [] { return long{VXM_file_write("/tmp/other", "1", 1)}; }, -1, ""},
};

// A private /tmp holding /tmp/file and the property directory /tmp/properties, read-only or full.
int privateTmp(bool full) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, full ? "size=16k" : nullptr) != 0) {
        std::fprintf(stderr, "needs a mount namespace of its own (root): %s", std::strerror(errno));
        return vxmtest::kChildSkips;
    }
    for (std::ofstream file("/tmp/file"); full && file.put('x').flush();) {  // closed before the remount
    }
    setenv("VXM_PROPERTY_DIR", "/tmp/properties", 1);
    if (mkdir("/tmp/properties", 0755) != 0) return 1;
    return full || mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0 ? 0 : 1;
}

int applyLimit(Limit limit) {
    if (limit == Limit::ReadOnlyTmp || limit == Limit::FullTmp) return privateTmp(limit == Limit::FullTmp);
    const rlimit three{3, g_descriptors.rlim_max};  // standard input, output and error only
    if (limit != Limit::AddressSpace) return limit == Limit::Descriptors ? setrlimit(RLIMIT_NOFILE, &three) : 0;
    // Room for the small allocations of the call and its log, none for a thread's stack.
    rlim_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t bytes = pages * sysconf(_SC_PAGESIZE) + VXM_THREAD_DEFAULT_STACK / 2;
    const rlimit space{bytes, bytes};
    return setrlimit(RLIMIT_AS, &space);
}

int runRow(const Row& row) {
    getrlimit(RLIMIT_NOFILE, &g_descriptors);
    if (const int status = applyLimit(row.limit); status != 0) return status;
    vxmtest::LogCapture log;
    const long result = row.call();
    setrlimit(RLIMIT_NOFILE, &g_descriptors);
    std::string records = "\n";
    for (const vxmtest::LogRecord& record : log.all())
        records += std::to_string(record.level) + " " + record.module + " " + record.format + "\n";
    const std::string wanted = *row.record == '\0' ? "\n" : "\n" + std::string(row.record) + "\n";
    const bool logged = *row.record == '\0' ? records == wanted : records.find(wanted) != std::string::npos;
    if (result == row.result && logged) return 0;
    std::fprintf(stderr, "result %ld (expected %ld); log:\n%s", result, row.result, records.c_str());
    return 1;
}

TEST(SystemLimits, EachCallFailsAsDocumented) {
    std::string skipped;
    for (const Row& row : kRows) {
        const vxmtest::ChildVerdict child = vxmtest::inChild([&] { return runRow(row); });
        if (child.status == vxmtest::kChildSkips) skipped += std::string(row.name) + ": " + child.text + "\n";
        else EXPECT_EQ(child.problem(), "") << row.name;
    }
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
