// The first tick reads of a process, made by many threads at once, start exactly one tick thread.
// This file runs as a process of its own: nothing may read the ticks before the test does.
#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <regex>

#include "support/spine.h"
#include "vxmosal/VXM_time.h"

namespace {

TEST(TickStart, ConcurrentFirstReadsStartOneListedThread) {
    ASSERT_TRUE(vxmtest::threadsNamed("refresh_timer").empty());
    std::atomic<int> ready{0};
    std::vector<std::future<VXM_UINT32>> first;
    for (int i = 0; i < 16; ++i)
        first.push_back(std::async(std::launch::async, [&] {
            for (ready++; ready < 16;) {
            }
            return VXM_get_ticks();
        }));
    for (auto& ticks : first) EXPECT_LT(ticks.get(), 100u) << "first reads are near 0";
    std::vector<int> ids;  // the thread names itself as its first step
    EXPECT_TRUE(vxmtest::waitUntil([&] { return !(ids = vxmtest::threadsNamed("refresh_timer")).empty(); }));
    EXPECT_EQ(VXM_startTimerThread(), 0);
    EXPECT_EQ(vxmtest::threadsNamed("refresh_timer").size(), 1u);
    const std::regex listed(R"(\[0\]: \[pThread is \[0x[0-9a-f]{8}\],create thread time is\[0\]\])");
    const auto lines = vxmtest::registryDump(true);  // listed, created at tick 0
    EXPECT_TRUE(lines.size() == 1 && std::regex_match(lines[0], listed)) << testing::PrintToString(lines);
    if (geteuid() == 0 && !ids.empty())  // the most urgent nice value, when the process may raise it
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(ids[0])), -20);
}

}  // namespace
