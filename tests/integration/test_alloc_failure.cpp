// Each allocation an operation makes fails in turn (support/alloc_seam.h), each time in a fresh
// process, so that first uses (the tick thread, the registries, the queues' bookkeeping) are
// reached every time: the operation must give its documented result, or succeed, and the process
// must neither crash nor hang nor (under AddressSanitizer) leak.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/alloc_seam.h"
#include "support/child_rows.h"
#include "support/files.h"
#include "support/private_tmp.h"
#include "vxmosal/vxmosal.h"

namespace {

constexpr char kSeamText[] = "seam";
constexpr char kReadFile[] = "/tmp/alloc_failure.txt";
constexpr unsigned long kMostAllocations = 64;

using Result = std::intptr_t;  // a status, a handle or a pointer

// What a row shares between preparing, running and checking.
unsigned long g_handle = 0;
void* g_block = nullptr;
char g_text[128] = {};

void useEth0() {
    VXM_NETWORK_CARD_INFO card{};
    std::strcpy(card.ifrName, "eth0");
    card.cardType = VXM_CARD_TYPE_WIRED;
    VXM_network_setNetWorkCardInfo(&card);
}

void* returnAtOnce(void*) { return nullptr; }

// Checks of a result; each releases what the operation made, so that a leak would show.
bool status(Result r) { return r == 0 || r == -1; }
bool zero(Result r) { return r == 0; }
bool seamCopy(Result r) {
    auto* copy = reinterpret_cast<char*>(r);
    const bool ok = copy == nullptr || std::strcmp(copy, kSeamText) == 0;
    VXM_free(copy);
    return ok;
}
bool joined(Result r) { return r == -1 || (r == 0 && VXM_thread_join(g_handle) == 0); }
bool found(Result r) { return r == 0 || r == 1; }
bool dumped(const char* path, const char* line) { return vxmtest::readFile(path).find(line) != std::string::npos; }

struct Row {
    const char* name;
    void (*prepare)();           // before the seam is armed; null: nothing
    Result (*run)();             // the operation
    bool (*documented)(Result);  // whether the result is documented; null: the operation has none
};

const Row kRows[] = {
    {"VXM_reallocMem", [] { g_block = VXM_dup_string(kSeamText); },
     [] { return Result(VXM_reallocMem(g_block, 16, sizeof kSeamText)); }, seamCopy},
    {"VXM_dup_string", nullptr, [] { return Result(VXM_dup_string(kSeamText)); }, seamCopy},
    {"VXM_GetEnvStr", [] { setenv("VXM_SEAM", kSeamText, 1); }, [] { return Result(VXM_GetEnvStr("VXM_SEAM")); },
     seamCopy},
    {"VXM_file_read", [] { VXM_file_write(kReadFile, kSeamText, sizeof kSeamText - 1); },
     [] {
         unsigned int size = 0;
         return Result(VXM_file_read(kReadFile, reinterpret_cast<char**>(&g_block), &size));
     },
     [](Result r) { return (r == 0 && seamCopy(Result(g_block))) || r == -1; }},
    {"VXM_sem_create", nullptr, [] { return Result(VXM_sem_create(0, &g_handle)); },
     [](Result r) { return (r == 0 && VXM_sem_destroy(g_handle) == 0) || r == -1; }},
    {"VXM_mutex_create", nullptr, [] { return Result(VXM_mutex_create()); },
     [](Result r) {
         const auto m = static_cast<unsigned long>(r);
         return m == 0 || (VXM_mutex_lock(m) == 0 && VXM_mutex_unlock(m) == 0 && VXM_mutex_destroy(m) == 0);
     }},
    // The first tick read starts the tick thread; a later read never goes back.
    {"VXM_get_ticks", nullptr, [] { return Result(VXM_get_ticks()); },
     [](Result r) { return VXM_get_ticks() >= static_cast<VXM_UINT32>(r); }},
    {"VXM_thread_create", nullptr, [] { return Result(VXM_thread_create(returnAtOnce, nullptr, nullptr, 0, 0)); },
     status},
    {"VXM_thread_createEX", nullptr,
     [] { return Result(VXM_thread_createEX(returnAtOnce, nullptr, &g_handle, 0, 0, 0)); }, joined},
    {"VXM_thread_createJoinable", nullptr,
     [] { return Result(VXM_thread_createJoinable(returnAtOnce, nullptr, &g_handle, 0, 0)); }, joined},
    {"VXM_msg_create", nullptr, [] { return Result(VXM_msg_create(4, sizeof(int), 0)); },
     [](Result r) {
         const auto queue = static_cast<VXM_MSG_QUEUE>(r);
         const int in = 7;
         int out = 0;
         return queue == 0 || (VXM_msg_post(queue, &in) == 0 && VXM_msg_peek(queue, &out) == 0 && out == in &&
                               VXM_msg_destroy(queue) == 0);
     }},
    {"VXM_timer_init", nullptr, [] { return Result(VXM_timer_init()); },
     [](Result r) { return (r == 0 && (VXM_timer_quit(), true)) || r == -1; }},
    // A record that cannot be kept is dropped silently; the dump shows those that were.
    {"VXM_Mutex_dump", [] { g_handle = VXM_mutex_create(); }, [] { return VXM_Mutex_dump("/tmp"), Result(0); },
     [](Result) { return dumped("/tmp/mutexInfo.txt", "pMutex is") && VXM_mutex_destroy(g_handle) == 0; }},
    {"VXM_Thread_dump", [] { VXM_get_ticks(); }, [] { return VXM_Thread_dump("/tmp"), Result(0); },
     [](Result) { return dumped("/tmp/threadsInfo.txt", "pThread is"); }},
    // The box holds the release "4.4" (so the gateway comes from the netlink route dump).
    {"VXM_property_get", nullptr,
     [] { return Result(VXM_property_get("ro.build.version.release", g_text, sizeof g_text)); },
     [](Result r) { return (r == 0 && std::strcmp(g_text, "4.4") == 0) || r == -1; }},
    {"VXM_property_set", nullptr, [] { return Result(VXM_property_set("vxm.seam", kSeamText)); },
     [](Result r) {
         return r == -1 || (r == 0 && VXM_property_get("vxm.seam", g_text, sizeof g_text) == 0 &&
                            std::strcmp(g_text, kSeamText) == 0);
     }},
    {"VXM_utl_get_os_type", nullptr, [] { return Result(VXM_utl_get_os_type()); },
     [](Result r) { return r == 4 || r == 0; }},
    {"VXM_network_setDNS", nullptr,
     [] {
         const char* const servers[] = {"10.9.0.53"};
         return Result(VXM_network_setDNS(servers, 1));
     },
     zero},
    {"VXM_network_getDNS", nullptr, [] { return Result(VXM_network_getDNS(g_text, 0, sizeof g_text)); }, zero},
    {"VXM_network_getGateway", useEth0,
     [] { return Result(VXM_network_getGateway(nullptr, g_text, sizeof g_text)); }, status},
    {"VXM_network_getStatic", nullptr,
     [] {
         static VXM_NETWORK_STATIC_INFO info{};
         std::strcpy(info.ifrName, "eth0");
         return Result(VXM_network_getStatic(&info));
     },
     status},
    {"VXM_network_threadInit", nullptr, [] { return Result(VXM_network_threadInit()); },
     [](Result r) { return r == 0 && VXM_network_deInit() == 0; }},
    // Without the task thread's queue a post is refused.
    {"VXM_network_postTask", nullptr, [] { return Result(VXM_network_postTask(1, 2)); },
     [](Result r) { return r == -1; }},
    {"VXM_network_deInit", nullptr, [] { return Result(VXM_network_deInit()); }, zero},
    {"VXM_sock_getHostByName", nullptr, [] { return Result(VXM_sock_getHostByName(g_text, "localhost")); },
     status},
    // The box holds "persist.sys.vxm.ipaddress", and eth0 has an address.
    {"VXM_network_IGMPLeave", nullptr, [] { return Result(VXM_network_IGMPLeave("239.1.1.1")); }, status},
    {"VXM_network_IGMPLeave2", useEth0, [] { return Result(VXM_network_IGMPLeave2("239.1.1.1")); }, status},
    {"VXM_network_IGMPLeave3", useEth0, [] { return Result(VXM_network_IGMPLeave3("239.1.1.1", 1)); }, status},
    // The box's daemon runs the commands.
    {"VXM_csopen", nullptr,
     [] {
         int fd = -1;
         return Result(VXM_csopen("echo seam", "r", &fd, nullptr));
     },
     [](Result r) {
         auto* handle = reinterpret_cast<VXM_CS_HANDLE*>(r);
         if (handle == nullptr) return true;
         const ssize_t got = read(handle->fd, g_text, sizeof g_text);
         return VXM_csclose(handle, 30000) == 0 && got == 5 && std::strncmp(g_text, "seam\n", 5) == 0;
     }},
    {"VXM_utl_shellCMD", nullptr, [] { return Result(VXM_utl_shellCMD("echo seam")); }, status},
    {"VXM_utl_execFind", nullptr, [] { return Result(VXM_utl_execFind("echo seam", kSeamText)); }, found},
    {"VXM_utl_shellFind", nullptr, [] { return Result(VXM_utl_shellFind("echo seam")); }, found},
    {"VXM_del_files", nullptr, [] { return Result(VXM_del_files(kReadFile, 1)); }, zero},
    {"VXM_network_IGMPSetVersion", nullptr, [] { return Result(VXM_network_IGMPSetVersion(2)); }, status},
};

// The child: fails the k-th allocation of the row's operation, checks its result and writes first
// how many allocations it made.
int runRow(const Row& row, unsigned long k) {
    if (row.prepare != nullptr) row.prepare();
    vxmtest::seam::arm(k);
    const Result result = row.run();
    std::fprintf(stderr, "%lu\n", vxmtest::seam::disarm());
    if (row.documented == nullptr || row.documented(result)) return 0;
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
            EXPECT_EQ(child.problem(), "") << row.name << " with allocation " << k << " failing";
        }
        EXPECT_LT(made, kMostAllocations) << row.name << " makes more allocations than the test tries";
    }
}

}  // namespace

// ThreadSanitizer would hold each child a second at its exit, to catch races there.
extern "C" const char* __tsan_default_options() { return "atexit_sleep_ms=0"; }
