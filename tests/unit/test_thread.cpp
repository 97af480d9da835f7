// Threads: the three creation operations, their registry records and messages, join, kill, exit,
// identity and naming.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "support/log_capture.h"
#include "support/registry_dump.h"
#include "support/spine.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_thread.h"
#include "vxmosal/VXM_time.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::waitFor;

// A thread body that reports who it is and then waits, so that the test decides when it ends.
struct Gate {
    unsigned long sem = 0;
    std::atomic<unsigned long> self{0};
    std::atomic<int> tid{0};
    std::atomic<size_t> stack{0};
    Gate() { VXM_sem_create(0, &sem); }
    ~Gate() { VXM_sem_destroy(sem); }
};

void* gated(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    pthread_attr_t attr;
    size_t stack = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
    }
    gate->stack = stack;
    gate->self = VXM_thread_self();
    gate->tid = VXM_thread_gettid();
    VXM_sem_wait(gate->sem);
    return nullptr;
}

constexpr char kCreated[] = "pthread_create iThreadIndex[%d] cost[%u] at[%u] tid[0x%08x]";

bool taskRuns(int tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

std::string hex(unsigned long id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned int>(id));
    return text;
}

TEST(Thread, BadArgumentsCreateNothing) {
    unsigned long handle = 0;
    Gate gate;
    EXPECT_EQ(VXM_thread_create(nullptr, nullptr, &handle, 0, 0), -1);
    EXPECT_EQ(VXM_thread_createEX(nullptr, nullptr, &handle, 0, 0, 0), -1);
    EXPECT_EQ(VXM_thread_createJoinable(nullptr, nullptr, &handle, 0, 0), -1);
    EXPECT_EQ(VXM_thread_createJoinable(gated, &gate, &handle, 0, 1024), -1) << "a stack below the minimum";
    EXPECT_EQ(handle, 0u);
    LogCapture capture;
    EXPECT_EQ(VXM_thread_join(0), 0);
    VXM_thread_kill(0);
    EXPECT_TRUE(capture.all().empty());
}

// Each kind of thread: its stack, whether the registry lists it (also after a detached one has
// ended), and what joining or killing it does to the registry and reports.
TEST(Thread, KindsStacksRegistryJoinAndKill) {
    using Create = std::function<int(Gate*, unsigned long*)>;
    const struct { const char* name; Create create; size_t stack; bool listed, detached, kill; int joinResult; } rows[] = {
        {"create", [](Gate* g, unsigned long* h) { return VXM_thread_create(gated, g, h, 0, 0); },
         VXM_THREAD_DEFAULT_STACK, true, true, false, 22},
        {"createEX joinable", [](Gate* g, unsigned long* h) { return VXM_thread_createEX(gated, g, h, 0, 1u << 20, 0); },
         1u << 20, true, false, false, 0},
        {"createEX detached, killed", [](Gate* g, unsigned long* h) { return VXM_thread_createEX(gated, g, h, 0, 0, 1); },
         VXM_THREAD_DEFAULT_STACK, true, true, true, 0},
        {"createEX joinable, killed", [](Gate* g, unsigned long* h) { return VXM_thread_createEX(gated, g, h, 0, 0, 0); },
         VXM_THREAD_DEFAULT_STACK, true, false, true, 0},
        {"createJoinable", [](Gate* g, unsigned long* h) { return VXM_thread_createJoinable(gated, g, h, 0, 0); },
         VXM_THREAD_DEFAULT_STACK, false, false, false, 0},
    };
    vxmtest::TempDir dir;
    VXM_get_ticks();  // the tick thread's own creation stays out of the records below
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Gate gate;
        unsigned long handle = 0;
        LogCapture capture;
        ASSERT_EQ(row.create(&gate, &handle), 0);
        ASSERT_TRUE(waitFor([&] { return gate.tid != 0; }));
#ifdef __SANITIZE_THREAD__
        EXPECT_GE(gate.stack.load(), row.stack);  // the thread sanitizer adds room of its own
#else
        EXPECT_EQ(gate.stack.load(), row.stack);
#endif
        auto created = capture.withFormat(kCreated);
        ASSERT_EQ(created.size(), 1u);
        EXPECT_EQ(created[0].level, VXM_LOG_INFO);
        EXPECT_EQ(created[0].module, "os_thread");
        EXPECT_NE(created[0].message.find("tid[" + hex(gate.self) + "]"), std::string::npos) << created[0].message;
        EXPECT_EQ(vxmtest::threadListed(dir, gate.self), row.listed);
        VXM_sem_post(gate.sem);
        if (row.detached) {
            EXPECT_TRUE(waitFor([&] { return !taskRuns(gate.tid); }));
            EXPECT_TRUE(vxmtest::threadListed(dir, gate.self)) << "a detached thread's record outlives it";
        }
        if (row.kill) {
            VXM_thread_kill(handle);
        } else {
            EXPECT_EQ(VXM_thread_join(handle), 0);
            auto joined = capture.withFormat("pthread_join ret[%d] errno[%d] cost[%u] at[%u] tid[0x%08x]");
            ASSERT_EQ(joined.size(), 1u);
            EXPECT_EQ(joined[0].message.rfind("pthread_join ret[" + std::to_string(row.joinResult) + "] errno[", 0), 0u)
                << joined[0].message;
            EXPECT_NE(joined[0].message.find("tid[" + hex(gate.self) + "]"), std::string::npos);
        }
        EXPECT_FALSE(vxmtest::threadListed(dir, gate.self));
    }
}

void* setFlag(void* arg) {
    static_cast<std::atomic<bool>*>(arg)->store(true);
    return nullptr;
}

TEST(Thread, CreationIndexAdvancesOnlyWithItsMessageAndANullHandleStillRuns) {
    std::atomic<bool> ran[3] = {};
    std::string messages[2];
    VXM_get_ticks();
    for (int i = 0; i < 3; ++i) {
        auto* capture = i != 1 ? new LogCapture : nullptr;  // the second creation is not reported
        ASSERT_EQ(VXM_thread_createJoinable(setFlag, &ran[i], nullptr, 0, 0), 0);
        if (capture != nullptr) messages[i / 2] = capture->withFormat(kCreated).at(0).message;
        delete capture;
        EXPECT_TRUE(waitFor([&] { return ran[i].load(); }));
    }
    int first = -1, second = -1;
    ASSERT_EQ(std::sscanf(messages[0].c_str(), "pthread_create iThreadIndex[%d]", &first), 1);
    ASSERT_EQ(std::sscanf(messages[1].c_str(), "pthread_create iThreadIndex[%d]", &second), 1);
    EXPECT_EQ(second, first + 1);
}

void* exitWithValue(void* arg) {
    VXM_thread_exit(nullptr);  // returns: the thread goes on
    static_cast<std::atomic<int>*>(arg)->store(1);
    VXM_thread_exit(arg);
    static_cast<std::atomic<int>*>(arg)->store(2);  // never reached
    return nullptr;
}

TEST(Thread, ExitIdentityAndName) {
    std::atomic<int> state{0};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, exitWithValue, &state), 0);
    void* value = nullptr;
    pthread_join(thread, &value);
    EXPECT_EQ(value, &state);
    EXPECT_EQ(state, 1);

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
    EXPECT_NE(tid, VXM_thread_gettid());
    EXPECT_EQ(comm, "a_very_long_thr\n");
}

}  // namespace
