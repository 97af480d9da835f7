// The registry of live mutexes and threads and its dump files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/registry_dump.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_registry.h"

namespace {

using vxmtest::TempDir;

// Keys no real mutex can have: the registry takes any non-zero value.
constexpr unsigned long kFakeBase = 0x7000;

std::size_t indexOf(const std::vector<std::string>& lines, const std::string& needle) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos) return i;
    return lines.size();
}

TEST(Registry, LineFormatsAreExact) {
    TempDir dir;
    VXM_AddMutexInfo(0x30, 111);
    VXM_AddThreadInfo(0x31, 222);
    auto mutexes = vxmtest::mutexDump(dir);
    auto threads = vxmtest::threadDump(dir);
    VXM_DeleteMutexInfo(0x30);
    VXM_DeleteThreadInfo(0x31);

    std::size_t m = indexOf(mutexes, "pMutex is [30],");
    ASSERT_LT(m, mutexes.size());
    EXPECT_EQ(mutexes[m], "[" + std::to_string(m) + "]: [pMutex is [30],create Mutex time is[111]]");
    std::size_t t = indexOf(threads, "pThread is [0x00000031],");
    ASSERT_LT(t, threads.size());
    EXPECT_EQ(threads[t],
              "[" + std::to_string(t) + "]: [pThread is [0x00000031],create thread time is[222]]");

    // Indexes count from 0 in file order.
    for (std::size_t i = 0; i < mutexes.size(); ++i)
        EXPECT_EQ(mutexes[i].rfind("[" + std::to_string(i) + "]: [pMutex is [", 0), 0u) << mutexes[i];
}

TEST(Registry, DuplicateKeyKeepsTheFirstTime) {
    TempDir dir;
    VXM_AddMutexInfo(0x40, 1);
    VXM_AddMutexInfo(0x40, 2);
    auto lines = vxmtest::mutexDump(dir);
    VXM_DeleteMutexInfo(0x40);
    std::size_t i = indexOf(lines, "pMutex is [40],");
    ASSERT_LT(i, lines.size());
    EXPECT_NE(lines[i].find("time is[1]]"), std::string::npos) << lines[i];
    EXPECT_EQ(indexOf(lines, "time is[2]]"), lines.size());
}

TEST(Registry, MutexKeysSortUnsignedThreadKeysSigned) {
    TempDir dir;
    const unsigned long high = ~0ul - 15;  // highest keys of all when compared unsigned
    VXM_AddMutexInfo(0x20, 5);
    VXM_AddMutexInfo(high, 5);
    VXM_AddThreadInfo(3, 5);
    VXM_AddThreadInfo(-5, 5);
    auto mutexes = vxmtest::mutexDump(dir);
    auto threads = vxmtest::threadDump(dir);
    VXM_DeleteMutexInfo(0x20);
    VXM_DeleteMutexInfo(high);
    VXM_DeleteThreadInfo(3);
    VXM_DeleteThreadInfo(-5);

    std::size_t low = indexOf(mutexes, "pMutex is [20],");
    std::size_t top = indexOf(mutexes, "pMutex is [fffffff0],");
    ASSERT_LT(top, mutexes.size());
    EXPECT_LT(low, top);
    EXPECT_EQ(top, mutexes.size() - 1);
    std::size_t negative = indexOf(threads, "pThread is [0xfffffffb],");
    std::size_t positive = indexOf(threads, "pThread is [0x00000003],");
    ASSERT_LT(positive, threads.size());
    EXPECT_LT(negative, positive);
}

TEST(Registry, NullMutexIsLoggedAndNotRecordedButThreadZeroIs) {
    TempDir dir;
    vxmtest::LogCapture capture;
    std::size_t before = vxmtest::mutexDump(dir).size();
    VXM_AddMutexInfo(0, 9);
    EXPECT_EQ(vxmtest::mutexDump(dir).size(), before);
    auto records = capture.withFormat("Mutex is NULL");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "StatInfoMgr");

    VXM_AddThreadInfo(0, 9);
    EXPECT_TRUE(vxmtest::threadListed(dir, 0));
    VXM_DeleteThreadInfo(0);
    EXPECT_FALSE(vxmtest::threadListed(dir, 0));
    VXM_DeleteThreadInfo(0);  // unknown key: nothing happens
}

TEST(Registry, HoldsAtMostTwoHundredEntries) {
    TempDir dir;
    std::vector<unsigned long> added;
    for (unsigned long key = kFakeBase; vxmtest::mutexDump(dir).size() < 200; ++key) {
        VXM_AddMutexInfo(key, 1);
        added.push_back(key);
        ASSERT_LT(added.size(), 201u);
    }
    unsigned long overflow = kFakeBase + 0x1000;
    VXM_AddMutexInfo(overflow, 1);
    auto full = vxmtest::mutexDump(dir);
    EXPECT_EQ(full.size(), 200u);
    EXPECT_FALSE(vxmtest::dumpNames(full, "pMutex", vxmtest::mutexKeyText(overflow)));

    // A real mutex made now is not recorded either, but still works.
    unsigned long mutex = VXM_mutex_create();
    ASSERT_NE(mutex, 0u);
    EXPECT_FALSE(vxmtest::mutexListed(dir, mutex));
    EXPECT_EQ(VXM_mutex_lock(mutex), 0);
    EXPECT_EQ(VXM_mutex_unlock(mutex), 0);
    EXPECT_EQ(VXM_mutex_destroy(mutex), 0);

    // Removing one makes room for the next.
    VXM_DeleteMutexInfo(added.back());
    added.pop_back();
    VXM_AddMutexInfo(overflow, 1);
    EXPECT_TRUE(vxmtest::mutexListed(dir, overflow));
    VXM_DeleteMutexInfo(overflow);
    for (unsigned long key : added) VXM_DeleteMutexInfo(key);
}

TEST(Dump, FileIsPrivateAndReplaced) {
    TempDir dir;
    const std::string path = dir.file("mutexInfo.txt");
    {
        std::ofstream old(path);
        old << std::string(20000, 'x') << '\n';
    }
    chmod(path.c_str(), 0644);
    VXM_AddMutexInfo(0x50, 3);
    VXM_Mutex_dump(dir.path().c_str());
    VXM_DeleteMutexInfo(0x50);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::string text = vxmtest::readFile(path);
    EXPECT_EQ(text.find("xxxx"), std::string::npos);
    EXPECT_NE(text.find("pMutex is [50],create Mutex time is[3]]\n"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');

    VXM_Thread_dump(dir.path().c_str());
    ASSERT_EQ(stat(dir.file("threadsInfo.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(Dump, FailuresAreLoggedAndChangeNothing) {
    TempDir dir;
    vxmtest::LogCapture capture;
    VXM_Mutex_dump(nullptr);
    VXM_Thread_dump((dir.path() + "/missing/dir").c_str());
    auto records = capture.all();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].format, "write path is NULL");
    EXPECT_EQ(records[0].function, "stateInfo_dump");
    EXPECT_EQ(records[1].format, "open file failed");
    EXPECT_EQ(records[1].function, "stateInfo_dump");
    for (const auto& record : records) {
        EXPECT_EQ(record.level, VXM_LOG_ERROR);
        EXPECT_EQ(record.module, "StatInfoMgr");
    }
}

TEST(Dump, RunsWhileOtherThreadsCreateAndDestroy) {
    TempDir dir;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&] {
            while (!stop) VXM_mutex_destroy(VXM_mutex_create());
        });
    const std::regex line(R"(\[\d+\]: \[pMutex is \[[0-9a-f]+\],create Mutex time is\[\d+\]\])");
    for (int round = 0; round < 50; ++round)
        for (const auto& text : vxmtest::mutexDump(dir))
            ASSERT_TRUE(std::regex_match(text, line)) << text;
    stop = true;
    for (auto& worker : workers) worker.join();
}

}  // namespace
