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

// record: "LEVEL MODULE FORMAT" of the record the call must log; "": it logs nothing.
struct Row { const char* call; Limit limit; long (*run)(); long result; const char* record; };
#define ROW(limit, call, result, record) Row{#call, Limit::limit, [] { return long(call); }, result, record}

rlimit g_descriptors{};  // restored after the call, so that a coverage build can write its counts
int g_active = 0;
unsigned long long g_n[4] = {};
char g_text[VXM_NETWORK_TEXT_SIZE] = {};

[[maybe_unused]] void* idle(void*) { return nullptr; }

// A query of the loopback card's address texts.
const VXM_NETWORK_CARD_INFO g_lo{"lo"};
int onLo(int (*query)(const VXM_NETWORK_CARD_INFO*, char*, int)) { return query(&g_lo, g_text, sizeof g_text); }

const Row kRows[] = {
    ROW(Descriptors, onLo(VXM_network_getIpAddr), -1, "4 NETWORK create socket error,errno = %d."),
    ROW(Descriptors, onLo(VXM_network_getNetMask), -1, "4 NETWORK create socket error,errno = %d."),
    ROW(Descriptors, onLo(VXM_network_getIpv6Addr), -1, "4 NETWORK fopen /proc/net/if_inet6 failed!!"),
    ROW(Descriptors, onLo(VXM_network_getMacAddr), -1, "4 NETWORK create socket error,errno = %d,get mac failed."),
    ROW(Descriptors, VXM_network_getNetActive("lo", &g_active), -1, "4 NETWORK create socket error, errno:%d."),
    ROW(Descriptors, VXM_get_netStat("127.0.0.1", &g_n[0], &g_n[1], &g_n[2], &g_n[3]), -1, ""),
    ROW(Descriptors, VXM_utl_shellCMD("true"), -1, "4 os_utility shell command can't excute : %s"),
    ROW(Descriptors, (VXM_close_allfd(), 0), 0, "3 os_utility can't open %s"),
    // The child holds descriptors 0 to 2 only: the copy is 3.
    ROW(None, dup(0) != 3 ? 0 : (VXM_close_allfd(), fcntl(3, F_GETFD)), -1, ""),
    ROW(Descriptors, VXM_property_get("some.key", g_text, sizeof g_text), -1, ""),
// The sanitizers' runtimes map memory of their own for every thread and allocation: under them an
// address-space limit ends the process before the library sees it fail. Under an emulator the limit
// holds the emulator, whose guest memory is reserved up front.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(VXM_UNDER_EMULATOR)
    ROW(AddressSpace, VXM_thread_create(idle, nullptr, nullptr, 0, 0), -1, "4 os_thread pthread_create failure!"),
    ROW(AddressSpace, VXM_thread_createEX(idle, nullptr, nullptr, 0, 0, 1), -1,
        "4 os_thread pthread_create failure:lResult=%d, errno=%d"),
#endif
    // A file that opens (a fault) is left to the child's exit.
    ROW(ReadOnlyTmp, VXM_File_Open("/tmp/file", "r", 0600) != nullptr, 0, "4 os_utility fchmod ini file fail."),
    ROW(ReadOnlyTmp, VXM_property_set("some.key", "1"), -1, ""),
    ROW(ReadOnlyTmp, setenv("VXM_PROPERTY_DIR", "/tmp/new/properties", 1) + VXM_property_set("some.key", "1"), -1, ""),
    ROW(FullTmp, VXM_property_set("some.key", "1"), -1, ""),
    ROW(FullTmp, VXM_file_write("/tmp/other", "1", 1), -1, ""),
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
    const long result = row.run();
    setrlimit(RLIMIT_NOFILE, &g_descriptors);
    std::string records = "\n";
    for (const vxmtest::LogRecord& record : log.all())
        records += std::to_string(record.level) + " " + record.module + " " + record.format + "\n";
    const bool logged = *row.record == '\0' ? records == "\n"
                                             : records.find("\n" + std::string(row.record) + "\n") != std::string::npos;
    if (result == row.result && logged) return 0;
    std::fprintf(stderr, "result %ld (expected %ld); log:\n%s", result, row.result, records.c_str());
    return 1;
}

TEST(SystemLimits, EachCallFailsAsDocumented) {
    std::string skipped;
    for (const Row& row : kRows) {
        const vxmtest::ChildVerdict child = vxmtest::inChild([&] { return runRow(row); });
        if (child.status == vxmtest::kChildSkips) skipped += std::string(row.call) + ": " + child.text + "\n";
        else EXPECT_EQ(child.problem(), "") << row.call;
    }
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
