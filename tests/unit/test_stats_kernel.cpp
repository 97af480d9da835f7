// Statistics read from the real kernel files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "vxmosal/VXM_stats.h"

namespace {

unsigned long long memFreeKb() {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    unsigned long long value = 0;
    char line[256];
    while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr)
        if (std::sscanf(line, "MemFree: %llu kB", &value) == 1) break;
    if (file != nullptr) std::fclose(file);
    return value;
}

TEST(KernelStats, MemoryFiguresMatchMeminfo) {
    unsigned int usage = VXM_get_memUsage();
    EXPECT_GT(usage, 0u);
    EXPECT_LE(usage, 100u);
    unsigned long long before = memFreeKb();
    unsigned int free = VXM_get_freeMemorySize();
    unsigned long long after = memFreeKb();
    unsigned long long low = before < after ? before : after;
    unsigned long long high = before < after ? after : before;
    // Free memory moves while we read; allow the range seen around the call, plus 64 MiB.
    unsigned long long freeKb = free / 1024ull;
    if (high * 1024 < (1ull << 32)) {
        EXPECT_GE(freeKb + 65536, low);
        EXPECT_LE(freeKb, high + 65536);
    }
}

TEST(KernelStats, CpuUsageStartsAtZeroAndStaysAPercentage) {
    EXPECT_EQ(VXM_get_cpuUsage(), 0u);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_LE(VXM_get_cpuUsage(), 100u);
    }
    EXPECT_LE(VXM_get_cpuUsageExtend(2), 10000u);
}

TEST(KernelStats, LoopbackCountersDoNotDecrease) {
    unsigned long long tx1, rx1, txp1, rxp1, tx2, rx2, txp2, rxp2;
    ASSERT_EQ(VXM_get_netStat("127.0.0.1", &tx1, &rx1, &txp1, &rxp1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(VXM_get_netStat("127.0.0.1", &tx2, &rx2, &txp2, &rxp2), 0);
    EXPECT_GE(tx2, tx1);
    EXPECT_GE(rx2, rx1);
    EXPECT_GE(txp2, txp1);
    EXPECT_GE(rxp2, rxp1);
}

}  // namespace
