// The registry of live mutexes and threads and its dump files.
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "support/spine.h"
#include "vxmosal/VXM_mutex.h"

namespace {

using vxmtest::kMutexKey, vxmtest::kThreadKey, vxmtest::lineOf, vxmtest::TempDir;

// The index a dump line starts with, "[i]: [...]".
int indexOf(const std::string& line) { return line.empty() ? -1 : std::stoi(line.substr(1)); }

TEST(Registry, LinesInKeyOrderWithTheFirstTime) {
    const unsigned long high = ~0ul - 15;  // above every real mutex when compared unsigned
    for (auto [key, time] : {std::pair{0x30ul, 111u}, {0x30ul, 222u}, {high, 5u}, {0ul, 9u}})
        VXM_AddMutexInfo(key, time);
    for (auto [key, time] : {std::pair{3, 5u}, {0, 9u}, {-5, 222u}}) VXM_AddThreadInfo(key, time);
    auto mutexes = vxmtest::registryDump(false), threads = vxmtest::registryDump(true);
    for (unsigned long key : {0x30ul, high}) VXM_DeleteMutexInfo(key);
    for (int key : {3, 0, -5, 0}) VXM_DeleteThreadInfo(key);
    // In key order (threads as signed numbers): each row is listed after the one before it, if after.
    const struct { bool thread, after; unsigned long key; const char* text; } rows[] = {
        {false, false, 0x30, "[pMutex is [30],create Mutex time is[111]]"},
        {false, true, high, "[pMutex is [fffffff0],create Mutex time is[5]]"},
        {true, false, static_cast<unsigned long>(-5), "[pThread is [0xfffffffb],create thread time is[222]]"},
        {true, true, 0, "[pThread is [0x00000000],create thread time is[9]]"},
        {true, true, 3, "[pThread is [0x00000003],create thread time is[5]]"},
    };
    int last = -1;
    for (const auto& row : rows) {
        std::string line = lineOf(row.thread ? threads : mutexes, row.thread ? kThreadKey : kMutexKey, row.key);
        EXPECT_EQ(line, "[" + std::to_string(indexOf(line)) + "]: " + row.text);
        if (row.after) EXPECT_GT(indexOf(line), last) << row.text;
        last = indexOf(line);
    }
    EXPECT_EQ(lineOf(mutexes, kMutexKey, 0), "") << "a null mutex was recorded";
    EXPECT_EQ(lineOf(mutexes, kMutexKey, high), mutexes.back());
}

TEST(Registry, HoldsAtMostTwoHundredEntries) {
    unsigned long next = 0x7000;
    while (vxmtest::registryDump(false).size() < 200 && next <= 0x7000 + 200) VXM_AddMutexInfo(next++, 1);
    VXM_AddMutexInfo(0x8000, 1);
    unsigned long mutex = VXM_mutex_create();  // not recorded either, but works
    const auto lines = vxmtest::registryDump(false);
    EXPECT_EQ(lines.size(), 200u);
    EXPECT_EQ(lineOf(lines, kMutexKey, 0x8000) + lineOf(lines, kMutexKey, mutex), "");
    EXPECT_TRUE(VXM_mutex_lock(mutex) == 0 && VXM_mutex_unlock(mutex) == 0 && VXM_mutex_destroy(mutex) == 0);
    VXM_DeleteMutexInfo(--next);  // makes room for the next
    VXM_AddMutexInfo(0x8000, 1);
    EXPECT_TRUE(vxmtest::listed(false, 0x8000));
    for (unsigned long key = 0x7000; key < next; ++key) VXM_DeleteMutexInfo(key);
    VXM_DeleteMutexInfo(0x8000);
}

TEST(Registry, DumpFilesArePrivateAndReplacedAndFailuresLogged) {
    TempDir dir;
    VXM_AddMutexInfo(0x50, 3);
    for (auto [dump, name] : {std::pair{VXM_Mutex_dump, "mutexInfo.txt"}, {VXM_Thread_dump, "threadsInfo.txt"}}) {
        std::ofstream(dir.file(name)) << std::string(20000, 'x') << '\n';
        chmod(dir.file(name).c_str(), 0644);
        dump(dir.path().c_str());
        struct stat info {};
        EXPECT_EQ(stat(dir.file(name).c_str(), &info) == 0 ? info.st_mode & 07777 : 0, 0600u) << name;
        const std::string text = vxmtest::readFile(dir.file(name));  // rewritten whole, not overwritten in place
        EXPECT_TRUE(text.find("xxxx") == std::string::npos && !text.empty() && text.back() == '\n') << name;
    }
    VXM_DeleteMutexInfo(0x50);
    vxmtest::LogCapture capture;
    VXM_Mutex_dump(nullptr);
    VXM_Thread_dump(dir.file("missing/dir").c_str());
    EXPECT_EQ(vxmtest::logLines(capture),
              "4 StatInfoMgr stateInfo_dump: write path is NULL\n4 StatInfoMgr stateInfo_dump: open file failed\n");
}

TEST(Registry, DumpsWhileOtherThreadsCreateAndDestroy) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&] {
            while (!stop) VXM_mutex_destroy(VXM_mutex_create());
        });
    const std::regex line(R"(\[\d+\]: \[pMutex is \[[0-9a-f]+\],create Mutex time is\[\d+\]\])");
    for (int round = 0; round < 50; ++round)
        for (const auto& text : vxmtest::registryDump(false)) ASSERT_TRUE(std::regex_match(text, line)) << text;
    stop = true;
    for (auto& worker : workers) worker.join();
}

}  // namespace
