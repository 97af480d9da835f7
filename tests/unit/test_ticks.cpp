// Ticks, sleeps, wall-clock time and time zone.
#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "support/spine.h"
#include "vxmosal/VXM_time.h"

namespace {

using vxmtest::msSince;
using vxmtest::Steady;

long long clockMs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TEST(Ticks, FollowTheMonotonicClock) {
    EXPECT_TRUE(vxmtest::waitUntil([] {
        VXM_UINT32 ticks = VXM_get_ticks();
        VXM_INT64 wide = VXM_get_ticks_int64();
        VXM_UINT32 precise = VXM_get_ticks_precious();
        return VXM_get_ticks() == ticks && static_cast<VXM_UINT32>(wide) == ticks && precise == ticks;
    })) << "the three reads differ with no refresh between them";
    auto start = Steady::now();
    VXM_UINT32 before = VXM_get_ticks();
    vxmtest::sleepMs(100);
    long elapsed = static_cast<long>(VXM_get_ticks() - before), slept = msSince(start);
    // Published ticks lag by up to one refresh.
    EXPECT_TRUE(elapsed >= 100 - 20 && elapsed <= slept + 20) << elapsed << " ticks in " << slept << " ms";
    long long monotonic = clockMs(CLOCK_MONOTONIC), published = VXM_get_ticks_immediately();
    EXPECT_TRUE(published <= monotonic + 1 && published >= monotonic - 50) << published - monotonic;
    EXPECT_GT(published, VXM_get_ticks_int64()) << "counted from the library's start, not from boot";
    long long wallBefore = clockMs(CLOCK_REALTIME);
    VXM_INT64 real = VXM_get_real_ticks_immediately();
    EXPECT_TRUE(real >= wallBefore && real <= clockMs(CLOCK_REALTIME)) << real - wallBefore;
    for (auto sleep : {VXM_sleep, VXM_delay}) {
        start = Steady::now();
        EXPECT_EQ(sleep(20), 0);
        const long took = msSince(start);
        EXPECT_TRUE(took >= 20 && took < 1000) << took;
    }
}

TEST(Time, UtcBreakdownAndStamp) {
    VXM_TIME_INFO info{};
    time_t before = time(nullptr);
    ASSERT_EQ(VXM_get_time(&info), 0);
    time_t after = time(nullptr);
    // Read back as UTC; a field out of its range (or of the wrong kind) moves the time far off.
    struct tm fields = {info.second, info.minute, info.hour, info.day, info.month - 1, info.year - 1900};
    const time_t read = timegm(&fields);
    EXPECT_TRUE(read >= before && read <= after) << read - before;
    EXPECT_EQ(VXM_get_time(nullptr), -1);
    // The broken-down UTC time converted back as local time: shifted by the zone's offset.
    const char* zone = std::getenv("TZ");
    const std::string saved = zone != nullptr ? zone : "";
    for (auto [name, shift] : {std::pair{"UTC0", 0}, {"EST5", 5 * 3600}}) {
        setenv("TZ", name, 1);
        tzset();
        time_t now = time(nullptr);
        VXM_INT64 stamp = VXM_getUTCTimeStamp();
        EXPECT_GE(stamp - now, shift) << name;
        EXPECT_LE(stamp - now, shift + 1) << name;
    }
    if (zone != nullptr) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(TimeZone, SetKeepsWhatGetReads) {
    EXPECT_EQ(VXM_timezone_get(nullptr) + VXM_timezone_set(nullptr), -2);
    struct timezone zone {};
    ASSERT_EQ(VXM_timezone_get(&zone), 0);
    long long before = clockMs(CLOCK_REALTIME);
    int result = VXM_timezone_set(&zone);
    if (result != 0 && errno == EPERM) GTEST_SKIP() << "no right to set the clock here";
    EXPECT_EQ(result, 0);
    // The time of day is set to the value just read: it must not jump.
    EXPECT_LE(std::abs(clockMs(CLOCK_REALTIME) - before), 1000);
}

}  // namespace
