// Threads: the three creation operations, their registry records and messages, join, kill, exit,
// identity and naming.
#include <pthread.h>
#include <unistd.h>

#include <optional>

#include "support/spine.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_thread.h"
#include "vxmosal/VXM_time.h"

namespace {

using vxmtest::waitFor;

// A thread that reports who it is and its stack, then waits until the test lets it end.
struct Gate {
    unsigned long sem = 0, self = 0;
    std::atomic<int> tid{0};
    std::atomic<bool> done{false};  // the last thing the thread does with the gate
    size_t stack = 0;
};

void* gated(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) pthread_attr_getstacksize(&attr, &gate->stack);
    pthread_attr_destroy(&attr);
    gate->self = VXM_thread_self();
    gate->tid = VXM_thread_gettid();
    VXM_sem_wait(gate->sem);
    gate->done = true;
    return nullptr;
}

// Kinds: 0 VXM_thread_create, 1 createEX joinable, 2 createEX detached, 3 createJoinable.
int create(int kind, VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle, unsigned int stack) {
    if (kind == 0) return VXM_thread_create(entry, arg, handle, 0, stack);
    if (kind == 3) return VXM_thread_createJoinable(entry, arg, handle, 0, stack);
    return VXM_thread_createEX(entry, arg, handle, 0, stack, kind == 2);
}

TEST(Thread, BadArgumentsCreateNothing) {
    unsigned long handle = 0;
    Gate gate;
    for (int kind = 0; kind < 4; ++kind) EXPECT_EQ(create(kind, nullptr, &gate, &handle, 0), -1) << kind;
    EXPECT_EQ(create(3, gated, &gate, &handle, 1024), -1) << "a stack below the minimum";
    EXPECT_EQ(handle, 0u);
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_thread_join(0), 0);
    VXM_thread_kill(0);
    EXPECT_TRUE(capture.all().empty());
}

// Each kind: its stack, its message, whether the registry lists it (also after a detached one has
// ended), and what joining (the system's result) or killing it does.
TEST(Thread, KindsStacksRegistryJoinAndKill) {
    const struct { int kind; unsigned int stack; bool kill; } rows[] = {
        {0, 0, false}, {1, 1u << 20, false}, {2, 0, true}, {1, 0, true}, {3, 0, false}};
    vxmtest::TempDir dir;
    VXM_get_ticks();  // the tick thread's own creation stays out of the records below
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind * 10 + row.kill);
        Gate gate;
        unsigned long handle = 0;
        VXM_sem_create(0, &gate.sem);
        vxmtest::LogCapture capture;
        ASSERT_EQ(create(row.kind, gated, &gate, &handle, row.stack), 0);
        ASSERT_TRUE(waitFor([&] { return gate.tid != 0; }));
        size_t stack = row.stack ? row.stack : VXM_THREAD_DEFAULT_STACK;
#ifdef __SANITIZE_THREAD__
        stack = gate.stack >= stack ? gate.stack : stack;  // the thread sanitizer adds room of its own
#endif
        EXPECT_EQ(gate.stack, stack);
        EXPECT_EQ(vxmtest::listed(dir, true, gate.self), row.kind != 3);
        VXM_sem_post(gate.sem);
        if (row.kind == 0 || row.kind == 2) {
            std::string task = "/proc/self/task/" + std::to_string(gate.tid);
            EXPECT_TRUE(waitFor([&] { return gate.done && access(task.c_str(), F_OK) != 0; }));
            EXPECT_TRUE(vxmtest::listed(dir, true, gate.self)) << "a detached thread's record outlives it";
        }
        if (row.kill) VXM_thread_kill(handle);
        else EXPECT_EQ(VXM_thread_join(handle), 0);
        EXPECT_FALSE(vxmtest::listed(dir, true, gate.self));
        char tid[24];
        std::snprintf(tid, sizeof tid, "tid[0x%08x]", static_cast<unsigned int>(gate.self));
        std::vector<vxmtest::Expected> expected{{VXM_LOG_INFO, "os_thread", "pthread_create iThreadIndex[*"}};
        const std::string joined = "pthread_join ret[" + std::to_string(row.kind == 0 ? 22 : 0) + "] errno[*";
        if (!row.kill) expected.push_back({VXM_LOG_INFO, "os_thread", joined});
        vxmtest::expectRecords(capture.all(), expected);
        for (const auto& record : capture.all()) EXPECT_NE(record.message.find(tid), std::string::npos);
        VXM_sem_destroy(gate.sem);
    }
}

void* setFlag(void* arg) {
    static_cast<std::atomic<int>*>(arg)->store(1);
    VXM_thread_exit(nullptr);  // returns: the thread goes on
    static_cast<std::atomic<int>*>(arg)->store(2);
    VXM_thread_exit(arg);
    static_cast<std::atomic<int>*>(arg)->store(3);  // never reached
    return nullptr;
}

TEST(Thread, IndexAdvancesOnlyWithItsMessageAndExitEndsTheThread) {
    std::atomic<int> state[3] = {};
    int index[3] = {-1, -1, -1};
    VXM_get_ticks();
    for (int i = 0; i < 3; ++i) {
        std::optional<vxmtest::LogCapture> capture;
        if (i != 1) capture.emplace();  // the second creation, without a sink or a handle, is not reported
        unsigned long handle = 0;
        ASSERT_EQ(VXM_thread_createJoinable(setFlag, &state[i], i == 1 ? nullptr : &handle, 0, 0), 0);
        const std::string message = capture ? capture->all().at(0).message : "";
        std::sscanf(message.c_str(), "pthread_create iThreadIndex[%d]", &index[i]);
        EXPECT_TRUE(i == 1 ? waitFor([&] { return state[i] == 2; }) : VXM_thread_join(handle) == 0);
        EXPECT_EQ(state[i], 2) << "VXM_thread_exit(value) did not end the thread";
    }
    EXPECT_EQ(index[2], index[0] + 1);
}

TEST(Thread, IdentityAndName) {
    EXPECT_EQ(VXM_thread_self(), static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(VXM_thread_getpid(), getpid());
    std::string comm;
    int tid = 0;
    std::thread([&] {
        tid = VXM_thread_gettid();
        VXM_thread_setname(nullptr);  // no effect
        VXM_thread_setname("a_very_long_thread_name");
        comm = vxmtest::readFile("/proc/self/task/" + std::to_string(tid) + "/comm");
    }).join();
    EXPECT_EQ(comm, "a_very_long_thr\n");
}

}  // namespace
