// System properties over the property directory: values, limits, the "ro." rule, replacement under
// concurrent writers and readers, and the output of vxm-getprop and vxm-setprop.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "vxmosal/VXM_utility.h"

namespace {

using vxmtest::TempDir;

class Properties : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        setenv("VXM_PROPERTY_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("VXM_PROPERTY_DIR"); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* dir = opendir(dir_.path().c_str())) {
            while (dirent* entry = readdir(dir))
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }

    TempDir dir_;
};

std::string get(const char* key) {
    char value[VXM_PROPERTY_VALUE_MAX] = {};
    return VXM_property_get(key, value, sizeof value) == 0 ? value : "<unset>";
}

TEST_F(Properties, SetStoresExactlyTheValue) {
    EXPECT_EQ(VXM_property_set("net.dns1", "192.168.1.1"), 0);
    EXPECT_EQ(vxmtest::readFile(dir_.file("net.dns1")), "192.168.1.1");
    EXPECT_EQ(get("net.dns1"), "192.168.1.1");
    EXPECT_EQ(VXM_property_set("net.dns1", "10.0.0.1"), 0);
    EXPECT_EQ(get("net.dns1"), "10.0.0.1");
    EXPECT_EQ(entries(), std::vector<std::string>{"net.dns1"});  // no temporary file stays
}

TEST_F(Properties, UnsetOrEmptyLeavesTheBufferUntouched) {
    char value[16];
    std::memset(value, 'z', sizeof value);
    EXPECT_EQ(VXM_property_get("persist.sys.vxm.ipaddress", value, sizeof value), -1);
    EXPECT_EQ(value[0], 'z');
    EXPECT_EQ(VXM_property_set("persist.sys.vxm.ipaddress", ""), 0);
    EXPECT_EQ(VXM_property_get("persist.sys.vxm.ipaddress", value, sizeof value), -1);
    EXPECT_EQ(value[15], 'z');
    EXPECT_EQ(VXM_property_get(nullptr, value, sizeof value), -1);
    EXPECT_EQ(VXM_property_get("a", nullptr, 8), -1);
    EXPECT_EQ(VXM_property_get("a", value, 0), -1);
}

TEST_F(Properties, GetTruncatesToTheCallersBuffer) {
    ASSERT_EQ(VXM_property_set("ro.build.version.release", "4.4.2"), 0);
    char small[4];
    EXPECT_EQ(VXM_property_get("ro.build.version.release", small, sizeof small), 0);
    EXPECT_STREQ(small, "4.4");
    // Sizes up to and above the bounds-checked copy's own maximum (32 KiB).
    for (unsigned int size : {128u, 32768u, 32769u, 40000u}) {
        std::vector<char> large(size, 'z');
        EXPECT_EQ(VXM_property_get("ro.build.version.release", large.data(), size), 0) << size;
        EXPECT_EQ(std::strncmp(large.data(), "4.4.2", 6), 0) << size;  // with the terminator
    }
    char one[1] = {'z'};
    EXPECT_EQ(VXM_property_get("ro.build.version.release", one, sizeof one), 0);
    EXPECT_EQ(one[0], '\0');
}

TEST_F(Properties, ValuesAreAtMostNinetyOneBytes) {
    const std::string longest(91, 'v');
    EXPECT_EQ(VXM_property_set("sys.long", longest.c_str()), 0);
    EXPECT_EQ(get("sys.long"), longest);
    EXPECT_EQ(VXM_property_set("sys.long", std::string(92, 'w').c_str()), -1);
    EXPECT_EQ(get("sys.long"), longest);
    EXPECT_EQ(VXM_property_set("sys.other", std::string(200, 'w').c_str()), -1);
    EXPECT_EQ(get("sys.other"), "<unset>");
}

TEST_F(Properties, KeysMustBeFileNames) {
    EXPECT_EQ(VXM_property_set("", "x"), -1);
    EXPECT_EQ(VXM_property_set("net/dns1", "x"), -1);
    EXPECT_EQ(VXM_property_set(".hidden", "x"), -1);
    EXPECT_EQ(VXM_property_set("..", "x"), -1);
    EXPECT_EQ(VXM_property_set(nullptr, "x"), -1);
    EXPECT_EQ(VXM_property_set("a", nullptr), -1);
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(get("../etc"), "<unset>");
}

TEST_F(Properties, ReadOnlyKeysAreSetOnce) {
    EXPECT_EQ(VXM_property_set("ro.product.model", "box-1"), 0);
    EXPECT_EQ(VXM_property_set("ro.product.model", "box-2"), -1);
    EXPECT_EQ(VXM_property_set("ro.product.model", "box-1"), -1);
    EXPECT_EQ(get("ro.product.model"), "box-1");
    // Only the prefix "ro." makes a key read-only.
    EXPECT_EQ(VXM_property_set("rom.version", "1"), 0);
    EXPECT_EQ(VXM_property_set("rom.version", "2"), 0);
    EXPECT_EQ(get("rom.version"), "2");
}

TEST_F(Properties, OneOfConcurrentReadOnlyWritersWins) {
    std::atomic<int> wins{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([i, &wins] {
            if (VXM_property_set("ro.serialno", std::to_string(i).c_str()) == 0) ++wins;
        });
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(wins.load(), 1);
    EXPECT_NE(get("ro.serialno"), "<unset>");
    EXPECT_EQ(entries(), std::vector<std::string>{"ro.serialno"});
}

TEST_F(Properties, ReadersNeverSeeAPartialValue) {
    const std::string a(91, 'a');
    const std::string b(40, 'b');
    ASSERT_EQ(VXM_property_set("sys.state", a.c_str()), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < 400; ++i)
                if (VXM_property_set("sys.state", ((i + w) % 2 ? a : b).c_str()) != 0) ++bad;
        });
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&] {
            while (!stop.load()) {
                std::string value = get("sys.state");
                if (value != a && value != b) ++bad;
                ++reads;
            }
        });
    for (int w = 0; w < 2; ++w) threads[w].join();
    stop = true;
    for (std::size_t t = 2; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(entries(), std::vector<std::string>{"sys.state"});
}

TEST_F(Properties, CreatesAMissingDirectory) {
    const std::string nested = dir_.file("store");
    setenv("VXM_PROPERTY_DIR", nested.c_str(), 1);
    EXPECT_EQ(get("net.dns2"), "<unset>");
    EXPECT_EQ(VXM_property_set("net.dns2", "8.8.4.4"), 0);
    EXPECT_EQ(vxmtest::readFile(nested + "/net.dns2"), "8.8.4.4");
    unlink((nested + "/net.dns2").c_str());
    rmdir(nested.c_str());
}

#if defined(VXM_GETPROP) && defined(VXM_SETPROP)

struct ToolRun {
    std::string out;
    int status;
};

// Runs a command (standard error joined to the output) and returns its output and exit status.
ToolRun run(const std::string& command) {
    ToolRun result{"", -1};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[256];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        result.out.append(chunk, got);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

const std::string kGet = VXM_GETPROP;
const std::string kSet = VXM_SETPROP;

TEST_F(Properties, ToolsSetAndPrint) {
    ToolRun set = run(kSet + " net.dns1 '8.8.8.8'");
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(get("net.dns1"), "8.8.8.8");
    ASSERT_EQ(VXM_property_set("a.key", "with spaces"), 0);
    ASSERT_EQ(VXM_property_set("ro.build.version.release", "7.1.2"), 0);
    ASSERT_EQ(VXM_property_set("empty", ""), 0);

    ToolRun list = run(kGet);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out,
              "[a.key]: [with spaces]\n"
              "[empty]: []\n"
              "[net.dns1]: [8.8.8.8]\n"
              "[ro.build.version.release]: [7.1.2]\n");

    ToolRun one = run(kGet + " a.key");
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out, "with spaces\n");
    EXPECT_EQ(run(kGet + " missing").out, "\n");
    EXPECT_EQ(run(kGet + " missing fallback").out, "fallback\n");
    EXPECT_EQ(run(kGet + " a.key fallback").out, "with spaces\n");
}

TEST_F(Properties, ToolsReportRefusals) {
    ASSERT_EQ(VXM_property_set("ro.hardware", "arm"), 0);
    ToolRun refused = run(kSet + " ro.hardware x86");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "vxm-setprop: could not set [ro.hardware] to [x86]\n");
    EXPECT_EQ(get("ro.hardware"), "arm");

    ToolRun usage = run(kSet + " only.key");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.out, "usage: vxm-setprop KEY VALUE\n");
    ToolRun getUsage = run(kGet + " a b c");
    EXPECT_EQ(getUsage.status, 2);
    EXPECT_EQ(getUsage.out, "usage: vxm-getprop [KEY [DEFAULT]]\n");
}

#endif

}  // namespace
