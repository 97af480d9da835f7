// Events: deadline arithmetic, time-outs, signals, and bad arguments.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "VXM_event.h"
#include "vxmosal/VXM_os_msg.h"

namespace {

using Steady = std::chrono::steady_clock;

long msSince(Steady::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count());
}

TEST(EventDeadline, CarriesMicrosecondsIntoSeconds) {
    timeval now{100, 600000};
    timespec deadline = vxm::eventDeadline(now, 1500);
    EXPECT_EQ(deadline.tv_sec, 102);
    EXPECT_EQ(deadline.tv_nsec, 100000000L);
}

TEST(EventDeadline, WithoutCarry) {
    timeval now{100, 250000};
    timespec deadline = vxm::eventDeadline(now, 2300);
    EXPECT_EQ(deadline.tv_sec, 102);
    EXPECT_EQ(deadline.tv_nsec, 550000000L);
    // Exactly one second of nanoseconds carries too.
    deadline = vxm::eventDeadline(timeval{7, 999000}, 1);
    EXPECT_EQ(deadline.tv_sec, 8);
    EXPECT_EQ(deadline.tv_nsec, 0L);
}

TEST(Event, NullArguments) {
    EXPECT_EQ(VXM_event_create(nullptr), -1);
    EXPECT_EQ(VXM_event_wait(nullptr, 10), -1);
    EXPECT_EQ(VXM_event_set(nullptr), -1);
    EXPECT_EQ(VXM_event_destroy(nullptr), VXM_ERR_NULL_HANDLE);
}

TEST(Event, WaitTimesOut) {
    VXM_EVENT event;
    ASSERT_EQ(VXM_event_create(&event), 0);
    auto start = Steady::now();
    EXPECT_EQ(VXM_event_wait(&event, 150), VXM_ERR_EVENT_TIMEOUT);
    long waited = msSince(start);
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(VXM_event_destroy(&event), 0);
}

TEST(Event, SetWakesAWaiterAndEarlierSetsAreLost) {
    VXM_EVENT event;
    ASSERT_EQ(VXM_event_create(&event), 0);
    EXPECT_EQ(VXM_event_set(&event), 0);  // nobody waits: lost
    std::atomic<int> result{1};
    std::atomic<bool> started{false};
    std::thread waiter([&] {
        started = true;
        result = VXM_event_wait(&event, 0);
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result, 1) << "a set made before the wait ended it";
    // Keep signalling until the waiter has gone into its wait and is woken.
    for (int i = 0; i < 500 && result == 1; ++i) {
        VXM_event_set(&event);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    waiter.join();
    EXPECT_EQ(result, 0);
    VXM_event_destroy(&event);
}

}  // namespace
