// The first tick reads of a process, made by many threads at once, start exactly one tick thread.
// This file runs as a process of its own: nothing may read the ticks before the test does.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/registry_dump.h"
#include "vxmosal/VXM_time.h"

namespace {

// Kernel ids of the threads of this process named name.
std::vector<int> threadsNamed(const std::string& name) {
    std::vector<int> ids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return ids;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string comm = vxmtest::readFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
        if (comm == name + "\n") ids.push_back(std::stoi(entry->d_name));
    }
    closedir(tasks);
    return ids;
}

TEST(TickStart, ConcurrentFirstReadsStartOneThread) {
    ASSERT_TRUE(threadsNamed("refresh_timer").empty());
    constexpr int kReaders = 16;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<VXM_UINT32> first(kReaders);
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&, i] {
            ready++;
            while (!go) {
            }
            first[i] = VXM_get_ticks();
        });
    while (ready < kReaders) {
    }
    go = true;
    for (auto& reader : readers) reader.join();

    for (VXM_UINT32 ticks : first) EXPECT_LT(ticks, 100u) << "first reads are near 0";
    // The thread names itself as its first step; give it a moment under slow emulation.
    std::vector<int> tickThreads;
    for (int i = 0; i < 200 && tickThreads.empty(); ++i) {
        usleep(5000);
        tickThreads = threadsNamed("refresh_timer");
    }
    ASSERT_EQ(tickThreads.size(), 1u);
    EXPECT_EQ(VXM_startTimerThread(), 0);
    EXPECT_EQ(threadsNamed("refresh_timer").size(), 1u);

    // Listed in the thread registry with the time of its creation.
    vxmtest::TempDir dir;
    auto lines = vxmtest::threadDump(dir);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[0]: [pThread is [0x", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("],create thread time is[0]]"), std::string::npos) << lines[0];

    // Running at the most urgent nice value when the process may raise priorities.
    if (geteuid() == 0) {
        errno = 0;
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tickThreads[0])), -20);
    }
}

}  // namespace
