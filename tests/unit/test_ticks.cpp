// Ticks, sleeps, wall-clock time and time zone.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/log_capture.h"
#include "vxmosal/VXM_time.h"

namespace {

using Steady = std::chrono::steady_clock;

long long clockMs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long msSince(Steady::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count());
}

// Restores TZ when a test changes it.
class ZoneGuard {
public:
    ZoneGuard() {
        const char* zone = std::getenv("TZ");
        had_ = zone != nullptr;
        if (had_) zone_ = zone;
    }
    ~ZoneGuard() {
        if (had_) setenv("TZ", zone_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    void set(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool had_ = false;
    std::string zone_;
};

TEST(Ticks, AdvanceWithTheMonotonicClock) {
    VXM_get_ticks();
    auto start = Steady::now();
    VXM_UINT32 before = VXM_get_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    VXM_UINT32 after = VXM_get_ticks();
    long slept = msSince(start);
    // Published ticks lag by up to one refresh (3 ms plus scheduling).
    EXPECT_GE(static_cast<long>(after - before), 100 - 20);
    EXPECT_LE(static_cast<long>(after - before), slept + 20);
}

TEST(Ticks, TheForwardsAgreeWithinOneRefresh) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        VXM_UINT32 ticks = VXM_get_ticks();
        VXM_INT64 wide = VXM_get_ticks_int64();
        VXM_UINT32 precise = VXM_get_ticks_precious();
        VXM_UINT32 again = VXM_get_ticks();
        if (ticks != again) continue;  // a refresh happened between the reads
        EXPECT_EQ(static_cast<VXM_UINT32>(wide), ticks);
        EXPECT_EQ(precise, ticks);
        return;
    }
    FAIL() << "ticks changed between every pair of reads";
}

TEST(Ticks, ImmediatelyFollowsTheMonotonicClockSinceBoot) {
    long long monotonic = clockMs(CLOCK_MONOTONIC);
    long long published = VXM_get_ticks_immediately();
    EXPECT_LE(published, monotonic + 1);
    EXPECT_GE(published, monotonic - 50);
    EXPECT_GT(published, static_cast<long long>(VXM_get_ticks_int64()) - 1)
        << "the monotonic milliseconds count from boot, not from the library's start";
}

TEST(Ticks, RealTicksAreWallClockMilliseconds) {
    long long before = clockMs(CLOCK_REALTIME);
    VXM_INT64 real = VXM_get_real_ticks_immediately();
    long long after = clockMs(CLOCK_REALTIME);
    EXPECT_GE(real, before);
    EXPECT_LE(real, after);
}

TEST(Sleep, UnitIsMilliseconds) {
    auto start = Steady::now();
    EXPECT_EQ(VXM_sleep(10), 0);
    long sleptMs = msSince(start);
    EXPECT_GE(sleptMs, 10);
    EXPECT_LT(sleptMs, 1000);
    start = Steady::now();
    EXPECT_EQ(VXM_delay(20), 0);
    EXPECT_GE(msSince(start), 20);
    VXM_start_ticks();
    VXM_start_ticks();
}

TEST(Time, BreaksDownTheCurrentUtcTime) {
    VXM_TIME_INFO info{};
    time_t before = time(nullptr);
    ASSERT_EQ(VXM_get_time(&info), 0);
    time_t after = time(nullptr);
    struct tm expected {};
    for (time_t at : {before, after}) {
        gmtime_r(&at, &expected);
        if (info.second == expected.tm_sec) break;
    }
    EXPECT_EQ(info.second, expected.tm_sec);
    EXPECT_EQ(info.minute, expected.tm_min);
    EXPECT_EQ(info.hour, expected.tm_hour);
    EXPECT_EQ(info.day, expected.tm_mday);
    EXPECT_EQ(info.month, expected.tm_mon + 1);
    EXPECT_EQ(info.year, expected.tm_year + 1900);
    EXPECT_GE(info.year, 2024);
}

TEST(Time, NullRecordIsAParamError) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_get_time(nullptr), -1);
    auto records = capture.withFormat("param error!");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "os_utility");
    EXPECT_EQ(records[0].function, "VXM_get_time");
}

TEST(Time, UtcTimeStampShiftsByTheLocalZone) {
    ZoneGuard zone;
    zone.set("UTC0");
    time_t now = time(nullptr);
    VXM_INT64 utc = VXM_getUTCTimeStamp();
    EXPECT_LE(utc - now, 1);
    EXPECT_GE(utc - now, 0);
    zone.set("EST5");  // five hours west, no daylight saving
    now = time(nullptr);
    VXM_INT64 shifted = VXM_getUTCTimeStamp();
    EXPECT_GE(shifted - now, 5 * 3600);
    EXPECT_LE(shifted - now, 5 * 3600 + 1);
}

TEST(TimeZone, NullRecordsAreRefused) {
    EXPECT_EQ(VXM_timezone_get(nullptr), -1);
    EXPECT_EQ(VXM_timezone_set(nullptr), -1);
}

TEST(TimeZone, SetKeepsWhatGetReads) {
    struct timezone zone {};
    ASSERT_EQ(VXM_timezone_get(&zone), 0);
    struct timezone direct {};
    struct timeval now {};
    gettimeofday(&now, &direct);
    EXPECT_EQ(zone.tz_minuteswest, direct.tz_minuteswest);
    EXPECT_EQ(zone.tz_dsttime, direct.tz_dsttime);
    long long before = clockMs(CLOCK_REALTIME);
    int result = VXM_timezone_set(&zone);
    if (result != 0 && errno == EPERM) GTEST_SKIP() << "no right to set the clock here";
    EXPECT_EQ(result, 0);
    struct timezone after {};
    ASSERT_EQ(VXM_timezone_get(&after), 0);
    EXPECT_EQ(after.tz_minuteswest, zone.tz_minuteswest);
    // The time of day is set to the value just read: it must not jump.
    long long now2 = clockMs(CLOCK_REALTIME);
    EXPECT_GE(now2, before - 5);
    EXPECT_LE(now2, before + 1000);
}

}  // namespace
