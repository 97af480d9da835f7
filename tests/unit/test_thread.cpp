// Threads: creation, registry records, messages, join, kill, naming.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "support/log_capture.h"
#include "support/registry_dump.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_thread.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::TempDir;

constexpr char kCreateFormat[] = "pthread_create iThreadIndex[%d] cost[%u] at[%u] tid[0x%08x]";
constexpr char kJoinFormat[] = "pthread_join ret[%d] errno[%d] cost[%u] at[%u] tid[0x%08x]";

// A thread body that waits on a semaphore, so that the test decides when it ends.
struct Gate {
    unsigned long sem = 0;
    std::atomic<unsigned long> self{0};
    std::atomic<bool> ran{false};
    std::atomic<size_t> stackSize{0};
    Gate() { VXM_sem_create(0, &sem); }
    ~Gate() { VXM_sem_destroy(sem); }
    void open() { VXM_sem_post(sem); }
};

void* gatedBody(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    gate->self = VXM_thread_self();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        size_t size = 0;
        pthread_attr_getstacksize(&attr, &size);
        gate->stackSize = size;
        pthread_attr_destroy(&attr);
    }
    gate->ran = true;
    VXM_sem_wait(gate->sem);
    return nullptr;
}

void* returnAtOnce(void* arg) {
    static_cast<std::atomic<bool>*>(arg)->store(true);
    return nullptr;
}

void waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 500 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// The thread identifier as the thread itself sees it, taken after the gate ran.
unsigned long idOf(const Gate& gate) {
    waitFor(gate.ran);
    return gate.self;
}

TEST(ThreadCreate, RefusesBadArguments) {
    unsigned long handle = 0;
    EXPECT_EQ(VXM_thread_create(nullptr, nullptr, &handle, 0, 0), -1);
    EXPECT_EQ(VXM_thread_createEX(nullptr, nullptr, &handle, 0, 0, 0), -1);
    EXPECT_EQ(VXM_thread_createJoinable(nullptr, nullptr, &handle, 0, 0), -1);
    EXPECT_EQ(handle, 0u);
    Gate gate;
    EXPECT_EQ(VXM_thread_createJoinable(gatedBody, &gate, &handle, 0, 1024), -1)
        << "a stack below the system minimum was accepted";
    EXPECT_EQ(handle, 0u);
}

TEST(ThreadCreate, DefaultStackIs128KiB) {
    Gate gate;
    unsigned long handle = 0;
    ASSERT_EQ(VXM_thread_createJoinable(gatedBody, &gate, &handle, 0, 0), 0);
    waitFor(gate.ran);
#ifdef __SANITIZE_THREAD__
    EXPECT_GE(gate.stackSize.load(), 131072u);  // the thread sanitizer adds room of its own
#else
    EXPECT_EQ(gate.stackSize.load(), 131072u);
#endif
    gate.open();
    EXPECT_EQ(VXM_thread_join(handle), 0);

    Gate large;
    ASSERT_EQ(VXM_thread_createJoinable(gatedBody, &large, &handle, 0, 1u << 20), 0);
    waitFor(large.ran);
#ifdef __SANITIZE_THREAD__
    EXPECT_GE(large.stackSize.load(), 1u << 20);
#else
    EXPECT_EQ(large.stackSize.load(), 1u << 20);
#endif
    large.open();
    VXM_thread_join(handle);
}

TEST(ThreadCreate, RegisteredUntilJoinedOrKilled) {
    TempDir dir;
    Gate registered, joinable, killed;
    unsigned long hRegistered = 0, hJoinable = 0, hKilled = 0;
    ASSERT_EQ(VXM_thread_createEX(gatedBody, &registered, &hRegistered, 0, 0, 0), 0);
    ASSERT_EQ(VXM_thread_createJoinable(gatedBody, &joinable, &hJoinable, 0, 0), 0);
    ASSERT_EQ(VXM_thread_createEX(gatedBody, &killed, &hKilled, 0, 0, 0), 0);
    EXPECT_TRUE(vxmtest::threadListed(dir, idOf(registered)));
    EXPECT_FALSE(vxmtest::threadListed(dir, idOf(joinable)));
    EXPECT_TRUE(vxmtest::threadListed(dir, idOf(killed)));

    registered.open();
    joinable.open();
    killed.open();
    EXPECT_EQ(VXM_thread_join(hRegistered), 0);
    EXPECT_EQ(VXM_thread_join(hJoinable), 0);
    VXM_thread_kill(hKilled);
    EXPECT_FALSE(vxmtest::threadListed(dir, registered.self));
    EXPECT_FALSE(vxmtest::threadListed(dir, killed.self));
}

TEST(ThreadCreate, DetachedThreadStaysListedAfterItEnds) {
    TempDir dir;
    static Gate gate;  // outlives the detached thread, which nobody can wait for
    ASSERT_EQ(VXM_thread_create(gatedBody, &gate, nullptr, 0, 0), 0);
    unsigned long id = idOf(gate);
    EXPECT_TRUE(vxmtest::threadListed(dir, id));
    gate.open();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(vxmtest::threadListed(dir, id));
    VXM_DeleteThreadInfo(static_cast<int>(id));
}

TEST(ThreadCreate, NullResultPointerStillRuns) {
    std::atomic<bool> ran{false};
    EXPECT_EQ(VXM_thread_createJoinable(returnAtOnce, &ran, nullptr, 0, 0), 0);
    waitFor(ran);
    EXPECT_TRUE(ran);
}

TEST(ThreadCreate, SuccessMessageAndItsCounter) {
    Gate first, unlogged, second;
    unsigned long h1 = 0, h2 = 0, h3 = 0;
    LogCapture* capture = new LogCapture;
    ASSERT_EQ(VXM_thread_createJoinable(gatedBody, &first, &h1, 0, 0), 0);
    auto records = capture->withFormat(kCreateFormat);
    delete capture;
    ASSERT_EQ(VXM_thread_createJoinable(gatedBody, &unlogged, &h2, 0, 0), 0);  // no sink
    LogCapture again;
    ASSERT_EQ(VXM_thread_createJoinable(gatedBody, &second, &h3, 0, 0), 0);
    auto later = again.withFormat(kCreateFormat);

    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_INFO);
    EXPECT_EQ(records[0].module, "os_thread");
    EXPECT_EQ(records[0].function, "createThread");
    int index1 = -1, index2 = -1;
    unsigned cost = 0, at = 0, tid = 0;
    ASSERT_EQ(std::sscanf(records[0].message.c_str(),
                          "pthread_create iThreadIndex[%d] cost[%u] at[%u] tid[0x%x]", &index1,
                          &cost, &at, &tid), 4);
    EXPECT_EQ(tid, static_cast<unsigned>(idOf(first)));
    EXPECT_LT(cost, 1000u);
    ASSERT_EQ(std::sscanf(later[0].message.c_str(), "pthread_create iThreadIndex[%d]", &index2), 1);
    EXPECT_EQ(index2, index1 + 1) << "the counter advanced without a message";

    for (Gate* gate : {&first, &unlogged, &second}) gate->open();
    for (unsigned long h : {h1, h2, h3}) VXM_thread_join(h);
}

TEST(ThreadJoin, LogsTheSystemResult) {
    Gate joinable;
    static Gate detached;  // outlives the detached thread, which nobody can wait for
    unsigned long hJoinable = 0, hDetached = 0;
    ASSERT_EQ(VXM_thread_createEX(gatedBody, &joinable, &hJoinable, 0, 0, 0), 0);
    ASSERT_EQ(VXM_thread_create(gatedBody, &detached, &hDetached, 0, 0), 0);
    unsigned long detachedId = idOf(detached);
    joinable.open();
    LogCapture capture;
    EXPECT_EQ(VXM_thread_join(hJoinable), 0);
    EXPECT_EQ(VXM_thread_join(hDetached), 0);
    EXPECT_EQ(VXM_thread_join(0), 0);
    auto records = capture.withFormat(kJoinFormat);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, VXM_LOG_INFO);
    EXPECT_EQ(records[0].module, "os_thread");
    EXPECT_EQ(records[0].message.rfind("pthread_join ret[0] errno[", 0), 0u) << records[0].message;
    char expectedTid[32];
    std::snprintf(expectedTid, sizeof expectedTid, "tid[0x%08x]", static_cast<unsigned>(joinable.self));
    EXPECT_NE(records[0].message.find(expectedTid), std::string::npos) << records[0].message;
    EXPECT_EQ(records[1].message.rfind("pthread_join ret[22] errno[", 0), 0u) << records[1].message;
    detached.open();
    TempDir dir;
    EXPECT_FALSE(vxmtest::threadListed(dir, detachedId));
}

TEST(ThreadKill, NullHandleDoesNothing) { VXM_thread_kill(0); }

void* exitWithValue(void* arg) {
    VXM_thread_exit(nullptr);  // returns: the thread goes on
    static_cast<std::atomic<int>*>(arg)->store(1);
    VXM_thread_exit(arg);
    static_cast<std::atomic<int>*>(arg)->store(2);  // never reached
    return nullptr;
}

TEST(ThreadExit, NullReturnsAndAValueEndsTheThread) {
    std::atomic<int> state{0};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, exitWithValue, &state), 0);
    void* value = nullptr;
    pthread_join(thread, &value);
    EXPECT_EQ(value, &state);
    EXPECT_EQ(state, 1);
}

TEST(ThreadIdentity, SelfPidTidAndName) {
    EXPECT_EQ(VXM_thread_self(), static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(VXM_thread_getpid(), getpid());
    std::string comm;
    int tid = 0;
    std::thread([&] {
        tid = VXM_thread_gettid();
        VXM_thread_setname(nullptr);  // no effect
        VXM_thread_setname("a_very_long_thread_name");
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", tid);
        comm = vxmtest::readFile(path);
    }).join();
    EXPECT_NE(tid, VXM_thread_gettid());
    EXPECT_EQ(comm, "a_very_long_thr\n");
}

}  // namespace
