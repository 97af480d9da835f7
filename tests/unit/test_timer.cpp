// The timer service: messages, identifiers, capacity, order, running, re-arming and cancelling.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/spine.h"
#include "vxmosal/VXM_os_timer.h"
#include "vxmosal/VXM_time.h"

namespace {

using vxmtest::Steady;
using vxmtest::waitFor;

// What the callbacks saw, in order.
struct Run {
    int id, arg;
    Steady::time_point at;
};
std::mutex g_lock;
std::vector<Run> g_runs;

std::vector<Run> runs() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_runs;
}
void record(int id, int arg) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_runs.push_back({id, arg, Steady::now()});
}
void never(int, int) { ADD_FAILURE() << "a discarded timer ran"; }
void cancelSelf(int id, int arg) {
    record(id, arg);
    VXM_timer_cancel(id);
}
void addFollower(int id, int arg) {
    record(id, arg);
    if (arg < 3) VXM_timer_add(addFollower, arg + 1, 0, 0);
}
void quitFromCallback(int id, int arg) {
    VXM_timer_quit();
    record(id, arg);
}
long msBetween(const Run& a, const Run& b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at).count());
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
        g_runs.clear();
        ASSERT_EQ(VXM_timer_init(), 0);
    }
    void TearDown() override { VXM_timer_quit(); }
};

TEST(TimerService, MessagesBeforeAndAfterInit) {
    vxmtest::LogCapture capture;
    VXM_TIMER_INFO records[VXM_TIMER_MAX_PENDING];
    int count = 77;
    EXPECT_EQ(VXM_timer_add(record, 1, 10, 0), -1);
    EXPECT_EQ(VXM_timer_cancel(5), 0);
    EXPECT_EQ(VXM_timer_getRunCount(5), 0u);
    EXPECT_EQ(VXM_timer_get(nullptr, records), -1);
    EXPECT_EQ(VXM_timer_get(&count, nullptr), -1);
    EXPECT_EQ(VXM_timer_get(&count, records), 0);
    EXPECT_EQ(count, 0);
    VXM_timer_quit();  // only resets
    ASSERT_EQ(VXM_timer_init(), 0);
    EXPECT_EQ(VXM_timer_init(), 0);
    EXPECT_EQ(VXM_timer_add(nullptr, 0, 10, 0), -1);
    EXPECT_EQ(VXM_timer_cancel(4242), 0);
    EXPECT_EQ(VXM_timer_getRunCount(-3), 0u);
    VXM_timer_quit();
    const char* add = "VXM_timer_add:pCallback = %p, iArg = %d, ulDelay = %u, ulInterval = %u";
    const char* failed = "VXM_timer_add failed, pCallback = %p, g_pTimerThread = %p";
    const struct { int level; const char* format; const char* part; } rows[] = {
        {VXM_LOG_INFO, add, ", iArg = 1, ulDelay = 10, ulInterval = 0"},
        {VXM_LOG_ERROR, failed, ", g_pTimerThread = (nil)"},
        {VXM_LOG_INFO, "VXM_timer_cancel = %d", "VXM_timer_cancel = 5"},
        {VXM_LOG_INFO, " already inited..", " already inited.."},
        {VXM_LOG_INFO, add, "pCallback = (nil), iArg = 0, ulDelay = 10, ulInterval = 0"},
        {VXM_LOG_ERROR, failed, "pCallback = (nil), g_pTimerThread = 0x"},
        {VXM_LOG_INFO, "VXM_timer_cancel = %d", "VXM_timer_cancel = 4242"},
    };
    std::vector<vxmtest::LogRecord> logged;
    for (const auto& entry : capture.all())
        if (entry.module == "os_time") logged.push_back(entry);
    ASSERT_EQ(logged.size(), std::size(rows));
    for (std::size_t i = 0; i < logged.size(); ++i) {
        EXPECT_EQ(logged[i].level, rows[i].level) << i;
        EXPECT_EQ(logged[i].format, rows[i].format) << i;
        EXPECT_NE(logged[i].message.find(rows[i].part), std::string::npos) << logged[i].message;
    }
}

TEST_F(Timer, IdentifiersAndCapacity) {
    // 50 periodic and 50 one-shot timers fill the list; a refused periodic add keeps no identifier.
    for (int i = 1; i <= 50; ++i) ASSERT_EQ(VXM_timer_add(record, 0, 100000, 100000), i);
    for (int i = 102; i < 152; ++i) ASSERT_EQ(VXM_timer_add(record, 0, 100000, 0), i);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), -1);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), -1);
    EXPECT_EQ(pending().size(), 100u);
    VXM_timer_cancel(102);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 51);
    VXM_timer_cancel(3);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), 3) << "the lowest free identifier";
    // 99 periodic identifiers, then none; one-shot identifiers are apart, never reused, restart
    // at 102 after 65535 and after quit.
    VXM_timer_quit();
    ASSERT_EQ(VXM_timer_init(), 0);
    for (int i = 1; i <= 99; ++i) ASSERT_EQ(VXM_timer_add(record, 0, 100000, 100000), i);
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), -1);
    for (int expected = 102; expected <= 65535; ++expected) {
        ASSERT_EQ(VXM_timer_add(record, 0, 100000, 0), expected);
        VXM_timer_cancel(expected);
    }
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 0), 102);
}

TEST_F(Timer, PendingOrderAndOneDueTimerPerCheck) {
    VXM_timer_add(record, 1, 50000, 0);
    VXM_timer_add(record, 2, 10000, 0);
    VXM_timer_add(record, 3, 30000, 0);
    auto list = pending();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].iArg * 100 + list[1].iArg * 10 + list[2].iArg, 231);
    EXPECT_EQ(list[0].pCallback, &record);
    EXPECT_EQ(list[0].ulDelay, 10000u);
    EXPECT_EQ(list[0].ulInterval, 0u);
    EXPECT_EQ(list[0].runCount, 0u);
    // Two timers with the same expiry: the later one is listed, and runs, first, one check later.
    for (int attempt = 0; attempt < 50; ++attempt) {
        VXM_UINT32 before = VXM_get_ticks();
        int a = VXM_timer_add(record, 10, 0, 0), b = VXM_timer_add(record, 11, 0, 0);
        if (VXM_get_ticks() != before) {  // the ticks moved between the adds: try again
            VXM_timer_cancel(a);
            VXM_timer_cancel(b);
            continue;
        }
        list = pending();
        EXPECT_EQ(list[0].id, b);
        EXPECT_EQ(list[1].id, a);
        ASSERT_TRUE(waitFor([] { return runs().size() >= 2; }));
        auto ran = runs();
        EXPECT_EQ(ran[0].arg * 10 + ran[1].arg, 120);
        EXPECT_GE(msBetween(ran[0], ran[1]), 10);
        EXPECT_EQ(pending().size(), 3u) << "a one-shot timer that ran is still listed";
        return;
    }
    FAIL() << "could not add two timers within one tick";
}

TEST_F(Timer, PeriodicRunsCountAndKeepTheirPeriod) {
    auto added = Steady::now();
    int id = VXM_timer_add(record, 5, 100, 100);
    EXPECT_EQ(VXM_timer_getRunCount(id), 0u);
    ASSERT_TRUE(waitFor([&] { return VXM_timer_getRunCount(id) >= 4; }));
    VXM_timer_cancel(id);
    auto ran = runs();
    ASSERT_GE(ran.size(), 4u);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(ran[0].at - added).count(), 100);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_GE(msBetween(ran[i - 1], ran[i]), 95) << i;  // ticks move in 3 ms steps
        EXPECT_EQ(ran[i].id, id);
        EXPECT_EQ(ran[i].arg, 5);
    }
}

// Callbacks run without the list lock: they may cancel themselves (and are not re-armed), add
// timers, and a quit from one is refused.
TEST_F(Timer, CallbacksCancelAddAndCannotQuit) {
    vxmtest::LogCapture capture;
    int self = VXM_timer_add(cancelSelf, 0, 0, 40);
    ASSERT_TRUE(waitFor([] { return runs().size() == 1; }));
    VXM_timer_add(addFollower, 1, 0, 0);
    ASSERT_TRUE(waitFor([] { return runs().size() == 4; }));
    VXM_timer_add(quitFromCallback, 9, 0, 0);
    ASSERT_TRUE(waitFor([] { return runs().size() == 5; }));
    EXPECT_EQ(capture.withFormat("VXM_timer_quit called from a timer callback").size(), 1u);
    VXM_timer_add(record, 10, 0, 0);
    ASSERT_TRUE(waitFor([] { return runs().size() == 6; })) << "the service stopped";
    std::vector<int> args;
    for (const auto& run : runs()) args.push_back(run.arg);
    EXPECT_EQ(args, (std::vector<int>{0, 1, 2, 3, 9, 10})) << "the self-cancelled timer ran again";
    EXPECT_TRUE(pending().empty());
    EXPECT_EQ(VXM_timer_add(record, 0, 100000, 100000), self) << "its identifier is free again";
}

TEST_F(Timer, QuitDiscardsPendingTimersAndInitStartsAgain) {
    VXM_timer_add(never, 0, 200, 0);
    VXM_timer_add(never, 0, 200, 200);
    VXM_timer_quit();
    EXPECT_TRUE(pending().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(VXM_timer_init(), 0);
    EXPECT_EQ(VXM_timer_add(record, 9, 0, 100), 1);
    EXPECT_TRUE(waitFor([] { return !runs().empty(); }));
}

}  // namespace
