// The network service core: the default card record, the task thread and its queue (order,
// drop-oldest, no take without a callback, the stop under a blocked receiver), the file and
// command readers, and commands through the real open daemon.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "network/network_internal.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

// ---- the card record ----

TEST(NetworkCardRecord, NullMeansTheDefaultRecordAndAPointerComesBackUnchanged) {
    VXM_NETWORK_CARD_INFO* def = VXM_network_getNetWorkCardInfo(nullptr);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(VXM_network_setNetWorkCardInfo(nullptr), def);
    VXM_NETWORK_CARD_INFO mine = cardNamed("eth3");
    EXPECT_EQ(VXM_network_getNetWorkCardInfo(&mine), &mine);
    EXPECT_STREQ(mine.ifrName, "eth3");
}

TEST(NetworkCardRecord, SettingCopiesNamesAndTypeButKeepsTheConnectionType) {
    VXM_NETWORK_CARD_INFO* def = VXM_network_getNetWorkCardInfo(nullptr);
    def->connType = 3;
    VXM_NETWORK_CARD_INFO given = cardNamed("ppp0", "eth0", 1);
    given.connType = 2;
    EXPECT_EQ(VXM_network_setNetWorkCardInfo(&given), def);
    EXPECT_STREQ(def->ifrName, "ppp0");
    EXPECT_STREQ(def->ifrExtName, "eth0");
    EXPECT_EQ(def->cardType, 1u);
    EXPECT_EQ(def->connType, 3u);
    // Names of 15, 16 and 20 characters keep at most 15; the old longer text is cleared.
    const std::pair<std::string, std::string> names[] = {
        {"abcdefghijklmno", "abcdefghijklmno"},
        {"abcdefghijklmnop", "abcdefghijklmno"},
        {"abcdefghijklmnopqrst", "abcdefghijklmno"},
    };
    for (const auto& name : names) {
        VXM_NETWORK_CARD_INFO raw{};
        std::memcpy(raw.ifrName, name.first.data(), std::min<std::size_t>(name.first.size(), 16));
        std::memcpy(raw.ifrExtName, name.first.data(), std::min<std::size_t>(name.first.size(), 16));
        VXM_network_setNetWorkCardInfo(&raw);
        EXPECT_EQ(std::string(def->ifrName, strnlen(def->ifrName, 16)), name.second);
        EXPECT_EQ(std::string(def->ifrExtName, strnlen(def->ifrExtName, 16)), name.second);
        EXPECT_EQ(def->ifrName[15], '\0');
    }
    VXM_NETWORK_CARD_INFO shortName = cardNamed("wlan0", "", 2);
    VXM_network_setNetWorkCardInfo(&shortName);
    EXPECT_EQ(std::memcmp(def->ifrName, "wlan0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(std::memcmp(def->ifrExtName, std::string(16, '\0').data(), 16), 0);
    EXPECT_EQ(def->cardType, 2u);
    VXM_NETWORK_CARD_INFO empty{};
    VXM_network_setNetWorkCardInfo(&empty);
    def->connType = 0;
}

// Writers and readers of the default card at once: each name read is terminated within 15
// characters and made of the names written (a read may mix two writes; nothing orders them).
TEST(NetworkCardRecord, ConcurrentSetsAndReadsStayWithinTheRecord) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) setDefaultCard(i % 2 == 0 ? "eth0" : "wlan0123456789x", 1);
    });
    bool bounded = true;
    for (int i = 0; i < 20000 && bounded; ++i) {
        char name[16];
        VXM_network_getIfrName(name, sizeof name);
        bounded = strnlen(name, sizeof name) < sizeof name &&
                  std::string(name).find_first_not_of("eth0wlan123456789x") == std::string::npos;
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(bounded);
    setDefaultCard("");
}

// ---- the task thread ----

int threadsNamed(const std::string& name) {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::string comm = vxmtest::readFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
            if (comm == name + "\n") ++count;
        }
        closedir(dir);
    }
    return count;
}

std::mutex g_tasksLock;
// Never destroyed: a task thread may outlive the last test without a join to order it.
std::vector<std::pair<VXM_UINT32, VXM_UINT32>>& g_tasks = *new std::vector<std::pair<VXM_UINT32, VXM_UINT32>>;
std::atomic<int> g_taskThread{0};

int recordTask(VXM_UINT32 first, VXM_UINT32 second) {
    std::lock_guard<std::mutex> guard(g_tasksLock);
    g_tasks.emplace_back(first, second);
    g_taskThread = static_cast<int>(gettid());
    return first == 5 ? 5 : 0;
}

std::size_t taskCount() {
    std::lock_guard<std::mutex> guard(g_tasksLock);
    return g_tasks.size();
}

class NetworkTaskThread : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> guard(g_tasksLock);
        g_tasks.clear();
    }
    void TearDown() override {
        VXM_network_setNetMsgCallback(nullptr);
        VXM_network_deInit();
        EXPECT_TRUE(waitUntil([] { return threadsNamed("net_pro") == 0; }, std::chrono::seconds(5)));
    }
};

TEST_F(NetworkTaskThread, NoQueueBeforeTheStartOrAfterTheStop) {
    EXPECT_EQ(VXM_network_postTask(1, 2), -1);
    EXPECT_EQ(VXM_network_threadInit(), 0);
    EXPECT_EQ(VXM_network_postTask(1, 2), 0);
    // Stopped only once it runs: a thread yet to start would carry on under the next start.
    ASSERT_TRUE(waitUntil([] { return threadsNamed("net_pro") == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(VXM_network_deInit(), 0);
    EXPECT_EQ(VXM_network_postTask(1, 2), -1);
    EXPECT_EQ(VXM_network_deInit(), 0);  // a second stop finds nothing to do
}

TEST_F(NetworkTaskThread, TasksRunInOrderOnTheNamedThreadAndReportTheirOutcome) {
    LogCapture log;
    EXPECT_EQ(VXM_network_setNetMsgCallback(recordTask), 0);
    EXPECT_EQ(VXM_network_threadInit(), 0);
    ASSERT_TRUE(waitUntil([] { return threadsNamed("net_pro") == 1; }, std::chrono::seconds(5)));
    ASSERT_EQ(VXM_network_postTask(7, 70), 0);
    ASSERT_EQ(VXM_network_postTask(5, 50), 0);
    ASSERT_EQ(VXM_network_postTask(0xffffffffu, 0), 0);
    ASSERT_TRUE(waitUntil([] { return taskCount() == 3; }, std::chrono::seconds(5)));
    {
        std::lock_guard<std::mutex> guard(g_tasksLock);
        EXPECT_EQ(g_tasks, (std::vector<std::pair<VXM_UINT32, VXM_UINT32>>{{7, 70}, {5, 50}, {0xffffffffu, 0}}));
    }
    EXPECT_NE(g_taskThread.load(), static_cast<int>(gettid()));
    EXPECT_EQ(vxmtest::readFile("/proc/self/task/" + std::to_string(g_taskThread.load()) + "/comm"), "net_pro\n");
    ASSERT_TRUE(waitUntil([&] { return log.withFormat("exec task %s!").size() == 3; }, std::chrono::seconds(5)));
    auto done = log.withFormat("exec task %s!");
    EXPECT_EQ(done[0].message, "exec task Success!");
    EXPECT_EQ(done[1].message, "exec task Failed!");
    EXPECT_EQ(done[2].message, "exec task Success!");
    for (const auto& record : done) {
        EXPECT_EQ(record.level, VXM_LOG_DEBUG);
        EXPECT_EQ(record.module, vxmtest::kNetworkTag);
        EXPECT_EQ(record.function, "VXM_netProThread");
        EXPECT_EQ(record.tid, g_taskThread.load());
    }
}

TEST_F(NetworkTaskThread, WithoutACallbackNothingIsTakenAndAFullQueueDropsItsOldest) {
    EXPECT_EQ(VXM_network_threadInit(), 0);
    ASSERT_TRUE(waitUntil([] { return threadsNamed("net_pro") == 1; }, std::chrono::seconds(5)));
    for (VXM_UINT32 i = 1; i <= 12; ++i) ASSERT_EQ(VXM_network_postTask(i, i * 10), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread runs, takes nothing
    EXPECT_EQ(taskCount(), 0u);
    VXM_network_setNetMsgCallback(recordTask);
    ASSERT_TRUE(waitUntil([] { return taskCount() == 10; }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> guard(g_tasksLock);
    ASSERT_EQ(g_tasks.size(), 10u);
    for (VXM_UINT32 i = 0; i < 10; ++i) EXPECT_EQ(g_tasks[i], std::make_pair(i + 3, (i + 3) * 10));
}

TEST_F(NetworkTaskThread, TheStopWakesAThreadBlockedInTheQueueAndItEnds) {
    VXM_network_setNetMsgCallback(recordTask);
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(VXM_network_threadInit(), 0);
        ASSERT_EQ(VXM_network_postTask(1, static_cast<VXM_UINT32>(round)), 0);
        ASSERT_TRUE(waitUntil([&] { return taskCount() == static_cast<std::size_t>(round + 1); },
                            std::chrono::seconds(5)));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // now blocked on the empty queue
        EXPECT_EQ(VXM_network_deInit(), 0);
        EXPECT_TRUE(waitUntil([] { return threadsNamed("net_pro") == 0; }, std::chrono::seconds(5)));
    }
    // Posts racing with stops and restarts never reach a released queue.
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) VXM_network_postTask(2, 2);
    });
    for (int round = 0; round < 20; ++round) {
        VXM_network_threadInit();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        VXM_network_deInit();
    }
    stop = true;
    poster.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // every thread has named itself
}

// ---- readers ----

class NetworkReaders : public vxmtest::NetBedTest {};

TEST_F(NetworkReaders, FileContentIsReadTerminatedAndCut) {
    vxmtest::TempDir dir;
    {
        std::ofstream(dir.file("short")) << "up\n";
        std::ofstream(dir.file("long")) << std::string(2000, 'x');
    }
    LogCapture log;
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    VXM_network_get_content(dir.file("short").c_str(), buffer);
    EXPECT_STREQ(buffer, "up\n");
    expectOnly(log, VXM_LOG_INFO, "VXM_network_content path '" + dir.file("short") + "' buf'up\n' ",
               "VXM_network_get_content");
    std::memset(buffer, 'y', sizeof buffer);
    VXM_network_get_content(dir.file("long").c_str(), buffer);
    EXPECT_EQ(std::string(buffer), std::string(1023, 'x'));

    // A kernel file on a real card.
    ASSERT_TRUE(bed().addCard("eth0"));
    std::memset(buffer, 0, sizeof buffer);
    VXM_network_get_content("/sys/class/net/eth0/operstate", buffer);
    EXPECT_STREQ(buffer, "up\n");
}

TEST_F(NetworkReaders, FileFailuresAreReportedAndLeaveTheBuffer) {
    LogCapture log;
    char buffer[1024] = "kept";
    VXM_network_get_content("/sys/class/net/eth7/operstate", buffer);
    EXPECT_STREQ(buffer, "kept");
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].function, "VXM_newwork_OpenFile");
    EXPECT_EQ(all[0].message, "fopen[/sys/class/net/eth7/operstate, r]  ini file fail.");
    EXPECT_EQ(all[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(all[0].module, vxmtest::kNetworkTag);
    EXPECT_EQ(all[1].function, "VXM_network_get_content");
    EXPECT_EQ(all[1].message,
              "VXM_network_content  open '/sys/class/net/eth7/operstate' failed as No such file or directory");
    EXPECT_EQ(all[1].level, VXM_LOG_ERROR);
    log.clear();
    VXM_network_get_content(nullptr, buffer);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_content   input para error", "VXM_network_get_content");
    log.clear();
    VXM_network_get_content("/proc/self/stat", nullptr);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_content   input para error", "VXM_network_get_content");
}

TEST_F(NetworkReaders, FileNumbersAreSignExtendedAndMissingFilesGiveZero) {
    vxmtest::TempDir dir;
    std::ofstream(dir.file("minus")) << "-1\n";
    std::ofstream(dir.file("big")) << "2147483647";
    LogCapture log;
    std::int64_t value = 77;
    VXM_network_get_content_int(dir.file("minus").c_str(), &value);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(static_cast<std::uint64_t>(value), ~std::uint64_t{0});
    auto last = log.all().back();
    EXPECT_EQ(last.message, " VXM_network_get_content '-1' path'" + dir.file("minus") + "' ");
    EXPECT_EQ(last.function, "VXM_network_get_content_int");
    EXPECT_EQ(last.level, VXM_LOG_INFO);
    VXM_network_get_content_int(dir.file("big").c_str(), &value);
    EXPECT_EQ(value, 2147483647);
    value = 77;
    VXM_network_get_content_int(dir.file("none").c_str(), &value);
    EXPECT_EQ(value, 0);
    log.clear();
    value = 77;
    VXM_network_get_content_int(nullptr, &value);
    EXPECT_EQ(value, 77);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_content   input para error", "VXM_network_get_content_int");
    log.clear();
    VXM_network_get_content_int(dir.file("minus").c_str(), nullptr);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_content   input para error", "VXM_network_get_content_int");
}

TEST_F(NetworkReaders, CommandOutputAfterTheKeyIsTakenFromTheFirstLineHoldingIt) {
    LogCapture log;
    char buffer[1024] = {};
    VXM_network_popen_get_content("printf 'a\\nspeed: 100\\nspeed: 200\\n'", "speed:", buffer);
    EXPECT_STREQ(buffer, " 100\n");
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].message, "VXM_network_popen_get_int key_work'speed:' cmd'printf 'a\\nspeed: 100\\nspeed: 200\\n'' ");
    EXPECT_EQ(all[0].level, VXM_LOG_DEBUG);
    EXPECT_EQ(all[1].message, "ptr = 100\n");
    EXPECT_EQ(all[1].level, VXM_LOG_DEBUG);
    EXPECT_EQ(all[1].function, "VXM_network_popen_get_content");
    // The last line without a line feed; "&" is allowed in the command.
    std::memset(buffer, 0, sizeof buffer);
    VXM_network_popen_get_content("true & printf 'x=42'", "x=", buffer);
    EXPECT_STREQ(buffer, "42");
    int number = -5;
    VXM_network_popen_get_int("printf 'rate:  250 kb\\n'", "rate:", &number);
    EXPECT_EQ(number, 250);
}

TEST_F(NetworkReaders, CommandFailuresLeaveTheBuffer) {
    LogCapture log;
    char buffer[1024] = "kept";
    VXM_network_popen_get_content("echo nothing", "speed:", buffer);
    EXPECT_STREQ(buffer, "kept");
    auto last = log.all().back();
    EXPECT_EQ(last.message, "can't find 'speed:' after exe 'echo nothing'");
    EXPECT_EQ(last.level, VXM_LOG_INFO);
    log.clear();
    VXM_network_popen_get_content("echo a; echo speed: 1", "speed:", buffer);
    EXPECT_STREQ(buffer, "kept");
    ASSERT_FALSE(log.all().empty());
    last = log.all().back();
    EXPECT_EQ(last.message, "VXM_network_popen_get_int  open 'echo a; echo speed: 1' failed");
    EXPECT_EQ(last.level, VXM_LOG_DEBUG);
    EXPECT_EQ(last.module, vxmtest::kNetworkTag);
    int number = 9;
    VXM_network_popen_get_int("echo nothing", "speed:", &number);
    EXPECT_EQ(number, 0);
    using Args = std::pair<const char*, const char*>;
    for (Args args : {Args{nullptr, "k"}, Args{"echo", nullptr}}) {
        log.clear();
        VXM_network_popen_get_content(args.first, args.second, buffer);
        expectOnly(log, VXM_LOG_ERROR, "VXM_network_content   input para error", "VXM_network_popen_get_content");
    }
    log.clear();
    VXM_network_popen_get_content("echo", "k", nullptr);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_content   input para error", "VXM_network_popen_get_content");
    log.clear();
    VXM_network_popen_get_int("echo", "k", nullptr);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_popen_get_int   input para error", "VXM_network_popen_get_int");
}

TEST_F(NetworkReaders, ShellCommandsGoThroughTheDaemon) {
    LogCapture log;
    EXPECT_EQ(actShellCmd("echo no-daemon"), -1);
    auto last = log.all().back();
    EXPECT_EQ(last.message, "VXM_csopen exec [echo no-daemon] faild");
    EXPECT_EQ(last.level, VXM_LOG_ERROR);
    EXPECT_EQ(last.module, vxmtest::kNetworkTag);
    EXPECT_EQ(last.function, "actShellCmd");
    log.clear();
    EXPECT_EQ(actShellCmd(nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "null pointer", "actShellCmd");

    ASSERT_TRUE(bed().startDaemon());
    log.clear();
    EXPECT_EQ(actShellCmd("echo via-daemon"), 0);
    for (const auto& record : log.all()) EXPECT_NE(record.level, VXM_LOG_ERROR) << record.message;
    EXPECT_TRUE(waitUntil([&] { return bed().daemonLog().find("command=\"echo via-daemon\"") != std::string::npos; },
                        std::chrono::seconds(5)))
        << bed().daemonLog();
    EXPECT_EQ(bed().stopDaemon(), 0);
}

}  // namespace
