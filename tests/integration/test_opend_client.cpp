// The library's privileged services against the box's vxmopend: deleting a path or a directory's
// entries, and a mode "w" channel whose command reads its input to the end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "support/files.h"
#include "support/log_capture.h"
#include "integration/box.h"
#include "vxmosal/VXM_channel.h"
#include "vxmosal/VXM_utility.h"

namespace {

using Clock = std::chrono::steady_clock;
using vxmtest::LogCapture;

constexpr char kSocket[] = "/tmp/vxmopend";

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class OpendClient : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = vxmtest::boxMissing(); !why.empty()) GTEST_SKIP() << why;
    }
    static bool logs(const std::string& text) {
        return vxmtest::waitUntil([&] { return log().find(text) != std::string::npos; }, std::chrono::seconds(5));
    }
    static std::string log() { return vxmtest::readFile("/tmp/vxmbox/vxmopend.log"); }

    // A directory "victim" holding two files, a hidden file and a subdirectory with a file.
    std::string makeVictim() {
        const std::string victim = dir_.file("victim");
        EXPECT_EQ(mkdir(victim.c_str(), 0700), 0);
        EXPECT_EQ(mkdir((victim + "/sub").c_str(), 0700), 0);
        writeText(victim + "/a.log", "a");
        writeText(victim + "/b.log", "b");
        writeText(victim + "/.keep", "k");
        writeText(victim + "/sub/c.log", "c");
        return victim;
    }

    vxmtest::TempDir dir_;
};

TEST_F(OpendClient, DelFilesModeOneRemovesThePathItself) {
    const std::string victim = makeVictim();
    EXPECT_EQ(VXM_del_files(victim.c_str(), 1), 0);
    EXPECT_FALSE(exists(victim));
    EXPECT_TRUE(logs("command=\"rm -rf " + victim + "\" status=0")) << log();
}

TEST_F(OpendClient, DelFilesOtherModesRemoveWhatThePatternNames) {
    for (unsigned int mode : {0u, 2u}) {
        const std::string victim = makeVictim();
        EXPECT_EQ(VXM_del_files(victim.c_str(), mode), 0);
        EXPECT_TRUE(exists(victim)) << mode;
        EXPECT_FALSE(exists(victim + "/a.log")) << mode;
        EXPECT_FALSE(exists(victim + "/b.log")) << mode;
        EXPECT_FALSE(exists(victim + "/sub")) << mode;
        EXPECT_TRUE(exists(victim + "/.keep")) << mode;  // the shell pattern names no hidden entry
        unlink((victim + "/.keep").c_str());
        EXPECT_EQ(rmdir(victim.c_str()), 0) << mode;
    }
    EXPECT_TRUE(logs("command=\"rm -rf " + dir_.file("victim") + "/*\" status=0")) << log();
    EXPECT_EQ(VXM_del_files(nullptr, 1), 0);
}

// A command cut at 511 characters would remove another path: one that does not fit is not run.
TEST_F(OpendClient, DelFilesRunsNoCommandBeyond511Characters) {
    const std::string victim = makeVictim();
    const std::string base = dir_.path() + "/";
    // Slashes pad the path without changing what it names.
    auto padded = [&](std::size_t commandLength, std::size_t suffix) {
        return base + std::string(commandLength - 7 - suffix - base.size() - 6, '/') + "victim";
    };
    EXPECT_EQ(VXM_del_files(padded(512, 2).c_str(), 0), 0);
    EXPECT_EQ(VXM_del_files(padded(512, 0).c_str(), 1), 0);
    EXPECT_TRUE(exists(victim + "/a.log"));
    EXPECT_EQ(VXM_del_files(padded(511, 2).c_str(), 0), 0);
    EXPECT_FALSE(exists(victim + "/a.log"));
    EXPECT_TRUE(exists(victim + "/.keep"));
    EXPECT_EQ(VXM_del_files(padded(511, 0).c_str(), 1), 0);
    EXPECT_FALSE(exists(victim));
    EXPECT_TRUE(logs("status=0"));
    EXPECT_EQ(log().find("command=\"rm -rf " + padded(512, 2)), std::string::npos);
}

TEST_F(OpendClient, DelFilesWithoutTheDaemonStillReturnsZero) {
    const std::string victim = makeVictim();
    rename(kSocket, "/tmp/vxmopend.away");
    LogCapture log;
    EXPECT_EQ(VXM_del_files(victim.c_str(), 1), 0);
    rename("/tmp/vxmopend.away", kSocket);
    EXPECT_TRUE(exists(victim + "/a.log"));
    auto records = log.all();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "cs_conn failed:errno=2");
    EXPECT_EQ(records[1].message, "shell command can't excute : rm -rf " + victim);
    EXPECT_EQ(records[1].function, "VXM_utl_shellCMD");
    EXPECT_EQ(records[1].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[1].module, "os_utility");
    std::system(("rm -rf '" + victim + "'").c_str());
}

// A command that reads its input to the end learns of the end only when the descriptor is closed:
// the close must not wait for the command before the command can see that end.
TEST_F(OpendClient, WriteChannelCloseEndsACommandThatReadsToTheEnd) {
    const std::string file = dir_.file("fed");
    const std::string command = "cat > '" + file + "'";
    int fd = -1;
    VXM_CS_HANDLE* handle = VXM_csopen(command.c_str(), "w", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(write(fd, "fed\n", 4), 4);
    const auto start = Clock::now();
    EXPECT_EQ(VXM_csclose(handle, 5000), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(vxmtest::readFile(file), "fed\n");

    // Its exit status comes back as the close byte, with no time limit as well.
    handle = VXM_csopen("cat >/dev/null; exit 4", "w", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(write(fd, "x", 1), 1);
    EXPECT_EQ(VXM_csclose(handle, -1), 4);

    // A command that ends before reading all of it still gives its own status.
    handle = VXM_csopen("read line; exit ${#line}", "w", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(write(fd, "abc\nmore\n", 9), 9);
    EXPECT_EQ(VXM_csclose(handle, 5000), 3);
}

// A read channel keeps its order: the close byte first, then the descriptor.
TEST_F(OpendClient, ReadChannelCloseWaitsForTheCommand) {
    int fd = -1;
    VXM_CS_HANDLE* handle = VXM_csopen("echo ok; sleep 0.3; exit 6", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(read(fd, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "ok\n");
    EXPECT_EQ(VXM_csclose(handle, 5000), 6);
}

}  // namespace
