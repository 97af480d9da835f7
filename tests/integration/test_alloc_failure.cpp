// Each allocation an operation makes fails in turn, each time in a fresh
// process, so that first uses (the tick thread, the registries, the queues' bookkeeping) are
// reached every time: the operation must give its documented result, or succeed, and the process
// must neither crash nor hang nor (under AddressSanitizer) leak.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>
#include <type_traits>

#include "integration/box.h"
#include "support/child_rows.h"
#include "vxmosal/vxmosal.h"

namespace {

constexpr char kSeamText[] = "seam";
constexpr char kReadFile[] = "/tmp/alloc_failure.txt";
constexpr unsigned long kMostAllocations = 64;

// The seam: once armed with k, the k-th allocation fails, as it does when memory runs out. The
// program is linked with --wrap=malloc, so __wrap_malloc stands in for the library's calls of malloc
// (not the C library's own), and operator new is replaced for the whole process (the library's, and
// the C++ library's on its behalf); both forward to the next definition (the C library's, the C++
// library's, or the sanitizer's, which keeps new and delete paired).
std::atomic<unsigned long> g_failAt{0};  // 0: not armed
std::atomic<unsigned long> g_count{0};

// Counts one allocation while armed; true for the one that is to fail.
bool failsNow() {
    const unsigned long failAt = g_failAt.load(std::memory_order_acquire);
    return failAt != 0 && g_count.fetch_add(1, std::memory_order_relaxed) + 1 == failAt;
}

using Result = std::intptr_t;  // a status, a handle or a pointer

// What a row shares between preparing, running and checking.
unsigned long g_handle = 0;
void* g_block = nullptr;
char g_text[128] = {};
unsigned int g_size = 0;
int g_fd = -1;
const char* const g_servers[] = {"10.9.0.53"};
VXM_NETWORK_STATIC_INFO g_static{};

void useEth0() { vxmtest::setDefaultCard("eth0", VXM_CARD_TYPE_WIRED); }

void* returnAtOnce(void*) { return nullptr; }

// Checks of a result; each releases what the operation made, so that a leak would show.
bool status(Result r) { return r == 0 || r == -1; }
bool zero(Result r) { return r == 0; }
bool seamText(const char* text) { return std::strcmp(text, kSeamText) == 0; }
bool seamCopy(Result r) {
    auto* copy = reinterpret_cast<char*>(r);
    const bool ok = copy == nullptr || seamText(copy);
    VXM_free(copy);
    return ok;
}
bool joined(Result r) { return r == -1 || (r == 0 && VXM_thread_join(g_handle) == 0); }

// A row: the operation (its text names the row), whether its result is documented, and what it needs
// before the seam is armed.
struct Row { const char* call; Result (*run)(); bool (*documented)(Result); void (*prepare)() = nullptr; };
#define ROW(call, ...) Row{#call, [] { return Result(call); }, __VA_ARGS__}

const Row kRows[] = {
    ROW(VXM_reallocMem(g_block, 16, sizeof kSeamText), seamCopy, [] { g_block = VXM_dup_string(kSeamText); }),
    ROW(VXM_dup_string(kSeamText), seamCopy),
    ROW(VXM_GetEnvStr("VXM_SEAM"), seamCopy, [] { setenv("VXM_SEAM", kSeamText, 1); }),
    ROW(VXM_file_read(kReadFile, reinterpret_cast<char**>(&g_block), &g_size),
        [](Result r) { return (r == 0 && seamCopy(Result(g_block))) || r == -1; },
        [] { VXM_file_write(kReadFile, kSeamText, sizeof kSeamText - 1); }),
    ROW(VXM_sem_create(0, &g_handle), [](Result r) { return (r == 0 && VXM_sem_destroy(g_handle) == 0) || r == -1; }),
    ROW(VXM_mutex_create(), [](Result m) {
        return m == 0 || (VXM_mutex_lock(m) == 0 && VXM_mutex_unlock(m) == 0 && VXM_mutex_destroy(m) == 0);
    }),
    // The first tick read starts the tick thread; a later read never goes back.
    ROW(VXM_get_ticks(), [](Result r) { return VXM_get_ticks() >= static_cast<VXM_UINT32>(r); }),
    ROW(VXM_thread_create(returnAtOnce, nullptr, nullptr, 0, 0), status),
    ROW(VXM_thread_createJoinable(returnAtOnce, nullptr, &g_handle, 0, 0), joined),
    ROW(VXM_msg_create(4, sizeof kSeamText, 0), [](Result q) {
        return q == 0 || (VXM_msg_post(q, kSeamText) == 0 && VXM_msg_peek(q, g_text) == 0 && seamText(g_text) &&
                          VXM_msg_destroy(q) == 0);
    }),
    ROW(VXM_timer_init(), [](Result r) { return (r == 0 && (VXM_timer_quit(), true)) || r == -1; }),
    ROW(VXM_property_set("vxm.seam", kSeamText), [](Result r) {
        return r == -1 || (r == 0 && VXM_property_get("vxm.seam", g_text, sizeof g_text) == 0 && seamText(g_text));
    }),
    ROW(VXM_network_setDNS(g_servers, 1), zero),
    // The box's release, 4.4, has the gateway read from the netlink route dump.
    ROW(VXM_network_getGateway(nullptr, g_text, sizeof g_text), status, useEth0),
    ROW(VXM_network_getStatic(&g_static), status, [] { std::strcpy(g_static.ifrName, "eth0"); }),
    ROW(VXM_network_threadInit(), [](Result r) { return r == 0 && VXM_network_deInit() == 0; }),
    // Without the task thread's queue a post is refused.
    ROW(VXM_network_postTask(1, 2), [](Result r) { return r == -1; }),
    ROW(VXM_sock_getHostByName(g_text, "localhost"), status),
    // The box holds "persist.sys.vxm.ipaddress", and eth0 has an address.
    ROW(VXM_network_IGMPLeave("239.1.1.1"), status),
    ROW(VXM_network_IGMPLeave2("239.1.1.1"), status, useEth0),
    ROW(VXM_network_IGMPLeave3("239.1.1.1", 1), status, useEth0),
    // The box's daemon runs the commands.
    ROW(VXM_csopen("echo seam", "r", &g_fd, nullptr),
        [](Result r) { return r == 0 || VXM_csclose(reinterpret_cast<VXM_CS_HANDLE*>(r), 30000) == 0; }),
    // Runs the shell command, whose failure it ignores: the row reaches that command's failure path too.
    ROW(VXM_del_files(kReadFile, 1), zero),
    ROW(VXM_network_IGMPSetVersion(2), status),
};

// The child: fails the k-th allocation of the row's operation, checks its result and writes first
// how many allocations it made.
int runRow(const Row& row, unsigned long k) {
    if (row.prepare != nullptr) row.prepare();
    g_failAt.store(k, std::memory_order_release);
    const Result result = row.run();
    g_failAt.store(0, std::memory_order_release);
    std::fprintf(stderr, "%lu\n", g_count.load());
    if (row.documented(result)) return 0;
    std::fprintf(stderr, "undocumented result %lld\n", static_cast<long long>(result));
    return 1;
}

// In a box (alloc.box): eth0 with an address, release 4.4, the leave's source property, a daemon.
TEST(AllocationFailure, EveryAllocationOfAnOperationFailsInTurn) {
    if (std::string why = vxmtest::privateTmpMissing(); !why.empty()) GTEST_SKIP() << why;
    for (const Row& row : kRows) {
        unsigned long made = 0;
        for (unsigned long k = 1; k <= made + 1 && k <= kMostAllocations; ++k) {
            const vxmtest::ChildVerdict child = vxmtest::inChild([&] { return runRow(row, k); }, 30);
            made = std::strtoul(child.text.c_str(), nullptr, 10);
            EXPECT_EQ(child.problem(), "") << row.call << " with allocation " << k << " failing";
        }
        EXPECT_LT(made, kMostAllocations) << row.call << " makes more allocations than the test tries";
    }
}

}  // namespace

// ThreadSanitizer would hold each child a second at its exit, to catch races there.
extern "C" const char* __tsan_default_options() { return "atexit_sleep_ms=0"; }

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    if (!failsNow()) return __real_malloc(size);
    errno = ENOMEM;
    return nullptr;
}

// The library's objects make plain throwing news only. size_t is mangled "m" where it is unsigned
// long (x86_64), "j" where it is unsigned int (32-bit ARM).
void* operator new(std::size_t size) {
    static const auto real = reinterpret_cast<void* (*)(std::size_t)>(
        dlsym(RTLD_NEXT, std::is_same_v<std::size_t, unsigned long> ? "_Znwm" : "_Znwj"));
    if (failsNow()) throw std::bad_alloc();
    return real(size);
}
