// The timer service: identifiers, ordering, running, re-arming, cancelling and its bad inputs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "vxmosal/VXM_os_timer.h"
#include "vxmosal/VXM_time.h"

namespace {

using Steady = std::chrono::steady_clock;

// What the callbacks saw, in order.
struct Runs {
    std::mutex lock;
    std::vector<int> ids;
    std::vector<int> args;
    std::vector<Steady::time_point> at;
    void add(int id, int arg) {
        std::lock_guard<std::mutex> guard(lock);
        ids.push_back(id);
        args.push_back(arg);
        at.push_back(Steady::now());
    }
    std::size_t size() {
        std::lock_guard<std::mutex> guard(lock);
        return ids.size();
    }
};
Runs* g_runs = nullptr;

void record(int id, int arg) { g_runs->add(id, arg); }
void never(int, int) { ADD_FAILURE() << "a discarded timer ran"; }

bool waitUntil(const std::function<bool()>& done, int ms = 3000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

std::vector<VXM_TIMER_INFO> pending() {
    std::vector<VXM_TIMER_INFO> records(VXM_TIMER_MAX_PENDING);
    int count = -1;
    EXPECT_EQ(VXM_timer_get(&count, records.data()), 0);
    records.resize(count < 0 ? 0 : count);
    return records;
}

class Timer : public ::testing::Test {
protected:
    void SetUp() override {
        g_runs = &runs_;
        ASSERT_EQ(VXM_timer_init(), 0);
    }
    void TearDown() override {
        VXM_timer_quit();
        g_runs = nullptr;
    }
    Runs runs_;
};

TEST(TimerUninitialised, AddFailsAndOthersSeeAnEmptyService) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_timer_add(record, 1, 10, 0), -1);
    auto failures = capture.withFormat("VXM_timer_add failed, pCallback = %p, g_pTimerThread = %p");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(failures[0].module, "os_time");
    EXPECT_NE(failures[0].message.find("g_pTimerThread = (nil)"), std::string::npos)
        << failures[0].message;
    auto adds = capture.withFormat(
        "VXM_timer_add:pCallback = %p, iArg = %d, ulDelay = %u, ulInterval = %u");
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0].level, VXM_LOG_INFO);
    EXPECT_NE(adds[0].message.find("iArg = 1, ulDelay = 10, ulInterval = 0"), std::string::npos);

    EXPECT_EQ(VXM_timer_cancel(5), 0);
    EXPECT_EQ(VXM_timer_getRunCount(5), 0u);
    EXPECT_TRUE(pending().empty());
    VXM_timer_quit();  // only resets
}

TEST_F(Timer, InitTwiceIsAlreadyInited) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_timer_init(), 0);
    auto records = capture.withFormat(" already inited..");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_INFO);
    EXPECT_EQ(records[0].module, "os_time");
}

TEST_F(Timer, BadArgumentsAndUnknownIds) {
    EXPECT_EQ(VXM_timer_add(nullptr, 0, 10, 0), -1);
    int count = 0;
    VXM_TIMER_INFO records[VXM_TIMER_MAX_PENDING];
    EXPECT_EQ(VXM_timer_get(nullptr, records), -1);
    EXPECT_EQ(VXM_timer_get(&count, nullptr), -1);
    count = 77;
    EXPECT_EQ(VXM_timer_get(&count, records), 0);
    EXPECT_EQ(count, 0);
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_timer_cancel(4242), 0);
    EXPECT_EQ(capture.withFormat("VXM_timer_cancel = %d").at(0).message, "VXM_timer_cancel = 4242");
    EXPECT_EQ(VXM_timer_getRunCount(-3), 0u);
    EXPECT_EQ(VXM_timer_getRunCount(4242), 0u);
}

TEST_F(Timer, PeriodicIdsAreTheLowestFree) {
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 1);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 2);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 3);
    VXM_timer_cancel(1);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 1);
    VXM_timer_cancel(2);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 2);
    EXPECT_EQ(pending().size(), 3u);
}

TEST_F(Timer, OneShotIdsCountFrom102AndWrap) {
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 102);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 103);
    VXM_timer_cancel(103);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 104) << "a cancelled one-shot id is not reused";
    int id = 104;
    while (id < 65535) {
        id = VXM_timer_add(record, 0, 100000, 0);
        ASSERT_GT(id, 0);
        VXM_timer_cancel(id);
    }
    EXPECT_EQ(id, 65535);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 102);
    VXM_timer_quit();
    ASSERT_EQ(VXM_timer_init(), 0);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 102) << "quit resets the counter";
}

TEST_F(Timer, PendingListIsSortedAndEqualExpiriesPutTheNewestFirst) {
    VXM_timer_add(record, 1, 5000, 0);
    VXM_timer_add(record, 2, 1000, 0);
    VXM_timer_add(record, 3, 3000, 0);
    auto list = pending();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].iArg, 2);
    EXPECT_EQ(list[1].iArg, 3);
    EXPECT_EQ(list[2].iArg, 1);
    EXPECT_EQ(list[0].pCallback, &record);
    EXPECT_EQ(list[0].ulDelay, 1000u);
    EXPECT_EQ(list[0].ulInterval, 0u);
    EXPECT_EQ(list[0].runCount, 0u);

    // Two timers with the same expiry: the later one is listed, and runs, first.
    for (int attempt = 0; attempt < 50; ++attempt) {
        VXM_UINT32 before = VXM_get_ticks();
        int a = VXM_timer_add(record, 10, 0, 0);
        int b = VXM_timer_add(record, 11, 0, 0);
        if (VXM_get_ticks() != before) {  // the ticks moved between the adds: try again
            VXM_timer_cancel(a);
            VXM_timer_cancel(b);
            continue;
        }
        list = pending();
        ASSERT_EQ(list[0].id, b);
        ASSERT_EQ(list[1].id, a);
        ASSERT_TRUE(waitUntil([&] { return runs_.size() >= 2; }));
        std::lock_guard<std::mutex> guard(runs_.lock);
        EXPECT_EQ(runs_.args[0], 11);
        EXPECT_EQ(runs_.args[1], 10);
        // One due timer per check: about one check interval apart.
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(runs_.at[1] - runs_.at[0]);
        EXPECT_GE(gap.count(), 10);
        return;
    }
    FAIL() << "could not add two timers within one tick";
}

TEST_F(Timer, OneShotRunsOnceAtTheNextCheck) {
    auto added = Steady::now();
    int id = VXM_timer_add(record, 42, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return runs_.size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    std::lock_guard<std::mutex> guard(runs_.lock);
    ASSERT_EQ(runs_.ids.size(), 1u);
    EXPECT_EQ(runs_.ids[0], id);
    EXPECT_EQ(runs_.args[0], 42);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(runs_.at[0] - added).count(), 500);
    EXPECT_TRUE(pending().empty());
}

TEST_F(Timer, PeriodicRunsCountAndKeepTheirPeriod) {
    auto added = Steady::now();
    int id = VXM_timer_add(record, 5, 100, 100);
    ASSERT_EQ(id, 1);
    EXPECT_EQ(VXM_timer_getRunCount(id), 0u);
    ASSERT_TRUE(waitUntil([&] { return runs_.size() >= 4; }));
    ASSERT_TRUE(waitUntil([&] { return VXM_timer_getRunCount(id) >= 4; }));
    VXM_timer_cancel(id);
    std::lock_guard<std::mutex> guard(runs_.lock);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(runs_.at[0] - added).count(), 100);
    for (std::size_t i = 1; i < 4; ++i) {
        long gap = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(runs_.at[i] - runs_.at[i - 1]).count());
        EXPECT_GE(gap, 95) << i;  // ticks move in 3 ms steps
        EXPECT_LE(gap, 100 + 20 + 150) << i;  // one check interval, plus a generous margin
    }
    for (int ran : runs_.ids) EXPECT_EQ(ran, id);
}

TEST_F(Timer, FullListRefusesBothKindsAndReleasesThePeriodicId) {
    for (int i = 0; i < VXM_TIMER_MAX_PENDING; ++i)
        ASSERT_NE(VXM_timer_add(record, i, 100000, i % 2 ? 100000 : 0), -1) << i;
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), -1);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), -1);
    EXPECT_EQ(pending().size(), 100u);
    // 50 periodic timers hold ids 1..50; the refused attempt did not keep 51.
    VXM_timer_cancel(102);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 51);
}

TEST_F(Timer, PeriodicIdsRunOut) {
    for (int i = 1; i <= 99; ++i) ASSERT_EQ(VXM_timer_add(record, 0, 100000, 100000), i);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), -1);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 102) << "one-shot ids are separate";
}

std::atomic<int> g_selfCancelled{0};
void cancelSelf(int id, int) {
    g_runs->add(id, 0);
    VXM_timer_cancel(id);
    g_selfCancelled++;
}

TEST_F(Timer, CallbackCancellingItselfIsNotRearmed) {
    int id = VXM_timer_add(cancelSelf, 0, 0, 40);
    ASSERT_TRUE(waitUntil([&] { return g_selfCancelled == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(g_selfCancelled, 1);
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), id) << "its id is free again";
}

void addFollower(int, int arg) {
    g_runs->add(-1, arg);
    if (arg < 3) VXM_timer_add(addFollower, arg + 1, 0, 0);
}

TEST_F(Timer, CallbacksMayAddTimers) {
    VXM_timer_add(addFollower, 1, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return runs_.size() == 3; }));
    std::lock_guard<std::mutex> guard(runs_.lock);
    EXPECT_EQ(runs_.args, (std::vector<int>{1, 2, 3}));
}

TEST_F(Timer, QuitDiscardsPendingTimersAndInitStartsAgain) {
    VXM_timer_add(never, 0, 200, 0);
    VXM_timer_add(never, 0, 200, 200);
    VXM_timer_quit();
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(VXM_timer_add(record, 0, 0, 0), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(VXM_timer_init(), 0);
    EXPECT_EQ(VXM_timer_add(record, 9, 0, 100), 1);
    ASSERT_TRUE(waitUntil([&] { return runs_.size() >= 1; }));
}

std::atomic<int> g_quitAttempts{0};
void quitFromCallback(int, int) {
    VXM_timer_quit();
    g_quitAttempts++;
}

TEST_F(Timer, QuitFromACallbackIsRefused) {
    vxmtest::LogCapture capture;
    VXM_timer_add(quitFromCallback, 0, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return g_quitAttempts == 1; }));
    EXPECT_EQ(capture.withFormat("VXM_timer_quit called from a timer callback").size(), 1u);
    EXPECT_EQ(VXM_timer_add(record, 0, 0, 0), 102 + 1) << "the service still runs";
    ASSERT_TRUE(waitUntil([&] { return runs_.size() == 1; }));
}

}  // namespace
