// The timer service: messages, identifiers, capacity, order, running, re-arming and cancelling.
#include <cstring>
#include <mutex>

#include "support/spine.h"
#include "vxmosal/VXM_os_timer.h"
#include "vxmosal/VXM_time.h"

namespace {

using vxmtest::Steady, vxmtest::msSince, vxmtest::waitUntil;

struct Run { int id, arg; Steady::time_point at; };
std::mutex g_lock;
std::vector<Run> g_runs;  // what the callbacks saw, in order

std::vector<Run> runs() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_runs;
}

// Records its run; with arg -1 it cancels itself, with 20 or 21 it adds a follower (arg + 1), and
// with -2 it tries to quit the service.
void record(int id, int arg) {
    std::unique_lock<std::mutex> guard(g_lock);
    g_runs.push_back({id, arg, Steady::now()});
    guard.unlock();
    if (arg == -1) VXM_timer_cancel(id);
    if (arg == 20 || arg == 21) VXM_timer_add(record, arg + 1, 0, 0);
    if (arg == -2) VXM_timer_quit();
}

// A periodic (or one-shot) timer that never comes due in a test.
int addIdle(unsigned int interval) { return VXM_timer_add(record, 0, 100000, interval); }

std::vector<VXM_TIMER_INFO> pending() {
    std::vector<VXM_TIMER_INFO> records(VXM_TIMER_MAX_PENDING);
    int count = 0;
    VXM_timer_get(&count, records.data());
    return {records.begin(), records.begin() + count};
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
    // Before init, then (after a quit that only resets) on a running service.
    const std::vector<int> results = {VXM_timer_add(record, 1, 10, 0), VXM_timer_cancel(5),
                                      static_cast<int>(VXM_timer_getRunCount(5)), VXM_timer_get(nullptr, nullptr),
                                      static_cast<int>(pending().size()), (VXM_timer_quit(), VXM_timer_init()),
                                      VXM_timer_init(), VXM_timer_add(nullptr, 0, 10, 0),
                                      static_cast<int>(VXM_timer_getRunCount(-3))};
    VXM_timer_quit();
    EXPECT_EQ(results, (std::vector<int>{-1, 0, 0, -1, 0, 0, 0, -1, 0}));
    // The records that carry data: the add's arguments, why it was refused, the cancelled identifier.
    const void* cb = reinterpret_cast<void*>(record);
    char want[320];
    std::snprintf(want, sizeof want,
                  "2 os_time VXM_timer_add: VXM_timer_add:pCallback = %p, iArg = 1, ulDelay = 10, ulInterval = 0\n"
                  "4 os_time VXM_timer_add: VXM_timer_add failed, pCallback = %p, g_pTimerThread = (nil)\n"
                  "2 os_time VXM_timer_cancel: VXM_timer_cancel = 5\n", cb, cb);
    EXPECT_EQ(vxmtest::logLines(capture, "os_time").substr(0, std::strlen(want)), want);
}

// 99 periodic identifiers, the lowest free first; one-shot identifiers are apart, count up from 102
// and restart there after 65535 and after quit; the list holds 100 timers, none of which runs here.
TEST_F(Timer, IdentifiersAndCapacity) {
    for (int i = 1; i <= 99; ++i) ASSERT_EQ(addIdle(1), i);
    EXPECT_EQ(addIdle(1), -1) << "a 100th periodic identifier";
    for (int expected = 102; expected <= 65535; VXM_timer_cancel(expected++)) ASSERT_EQ(addIdle(0), expected);
    EXPECT_EQ(addIdle(0), 102) << "after 65535";
    VXM_timer_cancel(7);
    EXPECT_EQ(addIdle(0), 103);
    EXPECT_EQ(addIdle(1), -1) << "a 101st timer";
    VXM_timer_cancel(103);
    VXM_timer_cancel(3);
    EXPECT_EQ(addIdle(1), 3) << "the lowest free identifier";
    EXPECT_EQ(addIdle(1), 7) << "kept by the refused add";
    VXM_timer_quit();
    ASSERT_EQ(VXM_timer_init(), 0);
    EXPECT_EQ(addIdle(0) * 1000 + addIdle(1), 102 * 1000 + 1) << "quit frees every identifier";
}

TEST_F(Timer, PendingOrderAndOneDueTimerPerCheck) {
    for (auto [arg, delay] : {std::pair{1, 50000u}, {2, 10000u}, {3, 30000u}})
        VXM_timer_add(record, arg, delay, 0);
    auto list = pending();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].iArg * 100 + list[1].iArg * 10 + list[2].iArg, 231);
    // Two timers with the same expiry: the later one runs first, one check later.
    for (int attempt = 0; attempt < 50; ++attempt) {
        VXM_UINT32 before = VXM_get_ticks();
        int a = VXM_timer_add(record, 10, 0, 0), b = VXM_timer_add(record, 11, 0, 0);
        // When the ticks moved between the adds, again.
        if (VXM_get_ticks() != before && VXM_timer_cancel(a) + VXM_timer_cancel(b) == 0) continue;
        ASSERT_TRUE(waitUntil([] { return runs().size() >= 2; }));
        auto ran = runs();
        EXPECT_EQ(ran[0].arg * 100 + ran[1].arg, 1110);
        EXPECT_GE(msSince(ran[0].at, ran[1].at), 10);
        EXPECT_TRUE(waitUntil([] { return pending().size() == 3; })) << "a one-shot timer that ran is still listed";
        return;
    }
    FAIL() << "could not add two timers within one tick";
}

TEST_F(Timer, PeriodicRunsCountAndKeepTheirPeriod) {
    int id = VXM_timer_add(record, 5, 100, 100);
    ASSERT_TRUE(waitUntil([&] { return VXM_timer_getRunCount(id) >= 4; }));
    VXM_timer_cancel(id);
    auto ran = runs();
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_GE(msSince(ran[i - 1].at, ran[i].at), 95) << i;  // ticks move in 3 ms steps
        EXPECT_EQ(ran[i].id * 10 + ran[i].arg, id * 10 + 5);
    }
}

// Callbacks run without the list lock: they may cancel themselves (and are not re-armed), add
// timers, and a quit from one is refused.
TEST_F(Timer, CallbacksCancelAddAndCannotQuit) {
    VXM_timer_add(record, -1, 0, 40);
    for (auto [arg, total] : {std::pair{-1, 1u}, {20, 4u}, {-2, 5u}, {10, 6u}}) {
        bool added = arg == -1 || VXM_timer_add(record, arg, 0, 0) > 0;
        ASSERT_TRUE(added && waitUntil([total] { return runs().size() >= total; })) << "the service stopped at " << arg;
    }
    std::vector<int> args;
    for (const auto& run : runs()) args.push_back(run.arg);
    EXPECT_EQ(args, (std::vector<int>{-1, 20, 21, 22, -2, 10})) << "the self-cancelled timer ran again";
    EXPECT_TRUE(waitUntil([] { return pending().empty(); }));
}

}  // namespace
