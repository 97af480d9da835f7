// Statistics over counter files that the test writes (exact arithmetic of the figures), and over
// the real kernel files. The program compiles the statistics module into itself so that it can
// point the kernel paths below a directory of its own.
#include <filesystem>
#include <fstream>

#include "support/spine.h"
#include "utility/stats_root.h"
#include "vxmosal/VXM_stats.h"

namespace {

class Stats : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root_.path() + "/proc/net");
        vxm::stats::setRootForTesting(root_.path().c_str());
    }
    void TearDown() override { vxm::stats::setRootForTesting(""); }
    // Writes the file, or removes it when text is null.
    void write(const std::string& path, const char* text) {
        if (text != nullptr) std::ofstream(root_.path() + path) << text;
        else unlink((root_.path() + path).c_str());
    }
    vxmtest::TempDir root_;
};

// The processor state is process-wide and never reset: one table walks through its life.
TEST_F(Stats, CpuUsageOverIntervals) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(VXM_get_cpuUsageExtend(2), 0u) << "no completed interval yet";
    const struct { const char* stat; unsigned usage; const char* why; } rows[] = {
        {"cpu  100 0 100 800 7 0 3\ncpu0 1 2 3 4\n", 0, "the first sample is only the base"},
        {"cpu  100 0 100 1800 7 0 3\n", 0, "an idle-only interval"},
        {"cpu  600 0 600 1800 7 0 3\n", 100, "a busy-only interval"},
        {"cpu  650 0 650 1800 7 0 3\n", 100, "too short an interval repeats the last"},
        {"cpu  20600 10000 8056 64344 7 0 3\n", 37, "the base did not move on the repeat"},
        {nullptr, 0, "a missing file again"},
        {"cpu  20700 10000 8056 64344 7 0 3\n", 37, "the failed read left the state alone"},
    };
    for (const auto& row : rows) {
        write("/proc/stat", row.stat);
        EXPECT_EQ(VXM_get_cpuUsage(), row.usage) << row.why;
    }
    for (auto [places, usage] : {std::pair{0u, 37u}, {2u, 3745u}, {4u, 374560u}, {5u, 0u}})
        EXPECT_EQ(VXM_get_cpuUsageExtend(places), usage) << places;
    EXPECT_EQ(vxmtest::logLines(capture), "2 os_utility VXM_get_cpuUsageExtend: iBit:[2]\n"
                                          "2 os_utility VXM_get_cpuUsage: get cpu time fail.\n"
                                          "2 os_utility VXM_get_cpuUsageExtend: iBit:[5]\n");
}

TEST_F(Stats, MemoryUsageCutsToMegabytesAndFreeSizeWraps) {
    const struct { const char* meminfo; unsigned usage, freeBytes; } rows[] = {
        // (2048000 - 612000 - 400000) / 1024 = 1011; 1011 * 100 / 2000 = 50
        {"MemTotal:        2048000 kB\nMemFree:          512000 kB\nMemAvailable:    999999 kB\n"
         "Buffers:          100000 kB\nCached:           400000 kB\nSwapCached:       123456 kB\n", 50, 512000u * 1024},
        {nullptr, 0, 0},
        {"MemTotal: 1000 kB\nMemFree: 100 kB\n", 0, 100 * 1024},
        {"MemTotal: 3071 kB\nMemFree: 1024 kB\nBuffers: 0 kB\nCached: 0 kB\n", 50, 1024 * 1024},  // 1 MB of 2
        {"MemTotal: 9000000 kB\nMemFree: 4194305 kB\n", 53, 1024},  // modulo 4 GiB
        {"MemFree: 1 kB\nCached: 5 kB\nMemFree: 3 kB\n", 0, 3072},   // the last line wins
    };
    for (const auto& row : rows) {
        write("/proc/meminfo", row.meminfo);
        EXPECT_EQ(VXM_get_memUsage(), row.usage) << (row.meminfo ? row.meminfo : "no file");
        EXPECT_EQ(VXM_get_freeMemorySize(), row.freeBytes) << (row.meminfo ? row.meminfo : "no file");
    }
}

TEST_F(Stats, NetStatOfTheCardHoldingTheAddress) {
    const std::string header = "Inter-|   Receive    |  Transmit\n face |bytes    packets|bytes    packets\n";
    const std::string good = header + "  eth0: 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9\n"
                                      "    lo: 1001 11 3 4 5 6 7 8 2002 22 13 14 15 16 17 18\n";
    // said: what the call writes on standard error.
    const struct { std::string dev; const char* ip; int result; std::string said; } rows[] = {
        {good, "127.0.0.1", 0, ""},
        {header + "lo: 1 2 3\n", "127.0.0.1", -1, ""},
        {header + "lor: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n", "127.0.0.1", -1, ""},
        {"", "127.0.0.1", -1, ""},  // no file
        {good, "not an address", -1, "VXM_get_netCardNameByIP failed ip[not an address].\n"},
        {good, "192.0.2.77", -1, "VXM_get_netCardNameByIP failed ip[192.0.2.77].\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.ip) + " " + row.dev.substr(std::min(row.dev.size(), header.size())));
        write("/proc/net/dev", row.dev.empty() ? nullptr : row.dev.c_str());
        unsigned long long c[4] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(VXM_get_netStat(row.ip, &c[0], &c[1], &c[2], &c[3]), row.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.said);
        if (row.result == 0)
            EXPECT_EQ(std::make_tuple(c[0], c[1], c[2], c[3]), std::make_tuple(2002ull, 1001ull, 22ull, 11ull));
    }
    unsigned long long v = 0;
    EXPECT_EQ(VXM_get_netStat(nullptr, &v, &v, &v, &v) + VXM_get_netStat("127.0.0.1", &v, &v, &v, nullptr), -2);
}

// The real memory figures (the real traffic counters feed vxmdiag's rates, which its own test reads).
TEST(KernelStats, FiguresOfTheRealFiles) {
    EXPECT_EQ(VXM_get_memUsage() - 1 < 100u && VXM_get_freeMemorySize() > 0u, true) << VXM_get_memUsage();
}

}  // namespace
