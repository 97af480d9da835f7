// Statistics over counter files that the test writes: exact arithmetic of the figures.
// This executable compiles the statistics module into itself so that it can point the kernel paths
// below a directory of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "support/log_capture.h"
#include "support/files.h"
#include "utility/stats_root.h"
#include "vxmosal/VXM_stats.h"

namespace {

class FedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((root_.path() + "/proc").c_str(), 0755);
        mkdir((root_.path() + "/proc/net").c_str(), 0755);
        vxm::stats::setRootForTesting(root_.path().c_str());
    }
    void TearDown() override { vxm::stats::setRootForTesting(""); }
    void write(const std::string& path, const std::string& text) {
        std::ofstream(root_.path() + path) << text;
    }
    void writeStat(unsigned long long user, unsigned long long nice, unsigned long long system,
                   unsigned long long idle) {
        write("/proc/stat", "cpu  " + std::to_string(user) + " " + std::to_string(nice) + " " +
                                std::to_string(system) + " " + std::to_string(idle) +
                                " 7 0 3 0 0 0\ncpu0 1 2 3 4 5 6 7 8 9 10\n");
    }
    void remove(const std::string& path) { unlink((root_.path() + path).c_str()); }
    vxmtest::TempDir root_;
};

// The processor state is process-wide and never reset: one case walks through its life.
TEST_F(FedFiles, CpuUsageOverIntervals) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_get_cpuUsageExtend(2), 0u) << "no completed interval yet";
    ASSERT_EQ(capture.withFormat("iBit:[%d]").size(), 1u);
    EXPECT_EQ(capture.withFormat("iBit:[%d]")[0].message, "iBit:[2]");
    EXPECT_EQ(capture.withFormat("iBit:[%d]")[0].level, VXM_LOG_INFO);

    EXPECT_EQ(VXM_get_cpuUsage(), 0u) << "a missing file";
    auto failed = capture.withFormat("get cpu time fail.");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].module, "os_utility");
    EXPECT_EQ(failed[0].level, VXM_LOG_INFO);

    writeStat(100, 0, 100, 800);
    EXPECT_EQ(VXM_get_cpuUsage(), 0u) << "the first sample is only the base";
    writeStat(100, 0, 100, 1300);
    EXPECT_EQ(VXM_get_cpuUsage(), 0u) << "500 ticks do not complete an interval";
    writeStat(100, 0, 100, 1800);
    EXPECT_EQ(VXM_get_cpuUsage(), 0u) << "an idle-only interval";
    writeStat(600, 0, 600, 1800);
    EXPECT_EQ(VXM_get_cpuUsage(), 100u) << "a busy-only interval";
    writeStat(650, 0, 650, 1800);
    EXPECT_EQ(VXM_get_cpuUsage(), 100u) << "repeats the last interval";
    writeStat(600 + 20000, 10000, 600 + 7456, 1800 + 62544);
    EXPECT_EQ(VXM_get_cpuUsage(), 37u) << "the base did not move on the repeat";
    EXPECT_EQ(VXM_get_cpuUsageExtend(0), 37u);
    EXPECT_EQ(VXM_get_cpuUsageExtend(2), 3745u);
    EXPECT_EQ(VXM_get_cpuUsageExtend(4), 374560u);
    capture.clear();
    EXPECT_EQ(VXM_get_cpuUsageExtend(5), 0u);
    ASSERT_EQ(capture.withFormat("iBit:[%d]").size(), 1u);
    EXPECT_EQ(capture.withFormat("iBit:[%d]")[0].message, "iBit:[5]");

    remove("/proc/stat");
    EXPECT_EQ(VXM_get_cpuUsage(), 0u);
    writeStat(600 + 20000 + 100, 10000, 600 + 7456, 1800 + 62544);
    EXPECT_EQ(VXM_get_cpuUsage(), 37u) << "a failed read left the state alone";
}

TEST_F(FedFiles, MemoryUsageCutsToMegabytes) {
    write("/proc/meminfo",
          "MemTotal:        2048000 kB\nMemFree:          512000 kB\nMemAvailable:    999999 kB\n"
          "Buffers:          100000 kB\nCached:           400000 kB\nSwapCached:       123456 kB\n");
    // (2048000 - 612000 - 400000) / 1024 = 1011; 1011 * 100 / 2000 = 50
    EXPECT_EQ(VXM_get_memUsage(), 50u);
    EXPECT_EQ(VXM_get_freeMemorySize(), 512000u * 1024u);
}

TEST_F(FedFiles, MemoryWithoutTotalOrCached) {
    EXPECT_EQ(VXM_get_memUsage(), 0u) << "no file";
    EXPECT_EQ(VXM_get_freeMemorySize(), 0u) << "no file";
    write("/proc/meminfo", "MemFree: 100 kB\nBuffers: 1 kB\n");
    EXPECT_EQ(VXM_get_memUsage(), 0u);
    // Cached missing stays 0: (4096 - 1024 - 1024) / 1024 = 2; 2 * 100 / 4 = 50
    write("/proc/meminfo", "MemTotal: 4096 kB\nMemFree: 1024 kB\nBuffers: 1024 kB\n");
    EXPECT_EQ(VXM_get_memUsage(), 50u);
}

TEST_F(FedFiles, FreeSizeIsModuloFourGiBAndTheLastLineWins) {
    write("/proc/meminfo", "MemTotal: 9000000 kB\nMemFree: 4194305 kB\n");
    EXPECT_EQ(VXM_get_freeMemorySize(), 1024u);
    write("/proc/meminfo", "MemFree: 1 kB\nCached: 5 kB\nMemFree: 3 kB\n");
    EXPECT_EQ(VXM_get_freeMemorySize(), 3072u);
}

class NetStat : public FedFiles {
protected:
    unsigned long long txBytes = 0, rxBytes = 0, txPackets = 0, rxPackets = 0;
    int query(const char* ip) { return VXM_get_netStat(ip, &txBytes, &rxBytes, &txPackets, &rxPackets); }
};

constexpr char kHeader[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop "
    "fifo colls carrier compressed\n";

TEST_F(NetStat, CountersOfTheLoopbackCard) {
    write("/proc/net/dev", std::string(kHeader) +
                               "  eth0: 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9\n"
                               "    lo: 1001 11 3 4 5 6 7 8 2002 22 13 14 15 16 17 18\n");
    ASSERT_EQ(query("127.0.0.1"), 0);
    EXPECT_EQ(rxBytes, 1001u);
    EXPECT_EQ(rxPackets, 11u);
    EXPECT_EQ(txBytes, 2002u);
    EXPECT_EQ(txPackets, 22u);
}

TEST_F(NetStat, ShortOrMissingLines) {
    vxmtest::LogCapture capture;
    write("/proc/net/dev", std::string(kHeader) + "lo: 1 2 3\n");
    EXPECT_EQ(query("127.0.0.1"), -1);
    auto records = capture.withFormat("get netcard netflow info failed.");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "os_utility");

    write("/proc/net/dev", std::string(kHeader) + "lor: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n");
    EXPECT_EQ(query("127.0.0.1"), -1) << "names compare exactly";
    remove("/proc/net/dev");
    EXPECT_EQ(query("127.0.0.1"), -1);
    EXPECT_EQ(capture.withFormat("get netcard netflow info failed.").size(), 1u);
}

TEST_F(NetStat, BadArgumentsAndUnknownAddresses) {
    unsigned long long value = 0;
    EXPECT_EQ(VXM_get_netStat(nullptr, &value, &value, &value, &value), -1);
    EXPECT_EQ(VXM_get_netStat("127.0.0.1", nullptr, &value, &value, &value), -1);
    EXPECT_EQ(VXM_get_netStat("127.0.0.1", &value, &value, &value, nullptr), -1);
    for (const char* ip : {"", "not an address", "192.0.2.77"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(query(ip), -1) << ip;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("VXM_get_netCardNameByIP failed ip[") + ip + "].\n");
    }
}

}  // namespace
