// Threads: the three creation operations, their registry records, messages and message indices,
// join, kill, exit, identity and naming.
#include <pthread.h>
#include <unistd.h>

#include <regex>
#include <utility>

#include "support/spine.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_thread.h"
#include "vxmosal/VXM_time.h"

namespace {

// A thread that reports who it is and its stack, names itself, waits until the test lets it go on,
// and ends through VXM_thread_exit.
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
    VXM_thread_setname("a_very_long_thread_name");
    gate->self = VXM_thread_self();
    gate->tid = VXM_thread_gettid();
    VXM_sem_wait(gate->sem);
    VXM_thread_exit(nullptr);  // returns: the thread goes on
    gate->done = true;
    VXM_thread_exit(gate);
    gate->done = false;  // never reached
    return nullptr;
}

// Kinds: 0 VXM_thread_create, 1 createEX joinable, 2 createEX detached, 3 createJoinable.
int create(int kind, VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle, unsigned int stack) {
    if (kind == 0) return VXM_thread_create(entry, arg, handle, 0, stack);
    if (kind == 3) return VXM_thread_createJoinable(entry, arg, handle, 0, stack);
    return VXM_thread_createEX(entry, arg, handle, 0, stack, kind == 2);
}

// Each kind: bad arguments, its stack, its name, its message, whether the registry lists it (also
// after a detached one has ended), and what joining (the system's result) or killing it does.
TEST(Thread, KindsStacksRegistryJoinAndKill) {
    const struct { int kind; unsigned int stack; bool kill; } rows[] = {
        {0, 0, false}, {1, 1u << 20, false}, {2, 0, true}, {1, 0, true}, {3, 0, false}};
    int exIndex = -1;
    VXM_get_ticks();  // the tick thread's own creation stays out of the records below
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind * 10 + row.kill);
        Gate gate;
        unsigned long handle = 0;
        VXM_sem_create(0, &gate.sem);
        // Created while no sink is installed: not reported, and takes no index (createJoinable's
        // without a handle, which the library then detaches; the others' records must be joined away).
        unsigned long* quiet = row.kind == 3 ? nullptr : &handle;
        ASSERT_EQ(create(row.kind, [](void*) -> void* { return nullptr; }, nullptr, quiet, 0), 0);
        VXM_thread_join(std::exchange(handle, 0));
        vxmtest::LogCapture capture;
        EXPECT_EQ(create(row.kind, nullptr, &gate, &handle, 0) + create(row.kind, gated, &gate, &handle, 1024), -2);
        EXPECT_EQ(VXM_thread_join(0) + handle, 0u) << "a refused creation gave a handle";
        VXM_thread_kill(0);
        ASSERT_EQ(create(row.kind, gated, &gate, &handle, row.stack), 0);
        ASSERT_TRUE(vxmtest::waitUntil([&] { return gate.tid != 0; }));
        size_t stack = row.stack ? row.stack : VXM_THREAD_DEFAULT_STACK;
#ifdef __SANITIZE_THREAD__
        stack = gate.stack >= stack ? gate.stack : stack;  // the thread sanitizer adds room of its own
#endif
        EXPECT_EQ(gate.stack, stack);
        const std::string task = "/proc/self/task/" + std::to_string(gate.tid);
        EXPECT_EQ(vxmtest::readFile(task + "/comm"), "a_very_long_thr\n");
        EXPECT_EQ(vxmtest::listed(true, gate.self), row.kind != 3);
        VXM_sem_post(gate.sem);
        if (row.kind == 0 || row.kind == 2) {
            EXPECT_TRUE(vxmtest::waitUntil([&] { return gate.done && access(task.c_str(), F_OK) != 0; }));
            EXPECT_TRUE(vxmtest::listed(true, gate.self)) << "a detached thread's record outlives it";
        }
        if (row.kill) VXM_thread_kill(handle);
        else EXPECT_EQ(VXM_thread_join(handle), 0);
        EXPECT_TRUE(gate.done) << "VXM_thread_exit(value) did not end the thread";
        EXPECT_FALSE(vxmtest::listed(true, gate.self));
        char tid[64];
        std::snprintf(tid, sizeof tid, R"(\] cost\[\d+\] at\[\d+\] tid\[0x%08x\]\n)", unsigned(gate.self));
        std::string pattern = R"(2 os_thread createThread: pthread_create iThreadIndex\[(\d+))" + std::string(tid);
        if (!row.kill)
            pattern += R"(2 os_thread VXM_thread_join: pthread_join ret\[)" + std::to_string(row.kind ? 0 : 22) +
                       R"(\] errno\[\d+)" + tid;
        const std::string logged = vxmtest::logLines(capture);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(logged, match, std::regex(pattern))) << logged;
        if (row.kind == 1 || row.kind == 2) {  // createEX's index, which the quiet creation left alone
            EXPECT_TRUE(exIndex < 0 || std::stoi(match[1]) == exIndex + 1) << match[1] << " after " << exIndex;
            exIndex = std::stoi(match[1]);
        }
        VXM_sem_destroy(gate.sem);
    }
    EXPECT_EQ(VXM_thread_getpid(), getpid());
}

}  // namespace
