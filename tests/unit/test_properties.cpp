// System properties over the property directory: values, limits, the "ro." rule, replacement under
// concurrent writers and readers, and the output of vxm-getprop and vxm-setprop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/files.h"
#include "vxmosal/VXM_utility.h"

namespace {

class Properties : public ::testing::Test {
protected:
    void SetUp() override { setenv("VXM_PROPERTY_DIR", dir_.path().c_str(), 1); }
    void TearDown() override { unsetenv("VXM_PROPERTY_DIR"); }
    // The number of the directory's entries, dot-files included: no temporary file may stay behind.
    auto entries() const {
        return std::distance(std::filesystem::directory_iterator(dir_.path()), std::filesystem::directory_iterator());
    }
    vxmtest::TempDir dir_;
};

// The value read into a buffer of size bytes, up to its terminator or the buffer's end.
std::string get(const char* key, unsigned int size = VXM_PROPERTY_VALUE_MAX) {
    std::vector<char> value(size, 'z');
    return VXM_property_get(key, value.data(), size) == 0 ? std::string(value.data(), strnlen(value.data(), size))
                                                           : "<unset>";
}

TEST_F(Properties, SetAndGetFollowTheStoreRules) {
    struct Row { const char* key; std::string value; int result; std::string after; };
    const Row rows[] = {{"net.dns1", "192.168.1.1", 0, "192.168.1.1"}, {"net.dns1", "10.0.0.1", 0, "10.0.0.1"},
                        {"sys.long", std::string(91, 'v'), 0, std::string(91, 'v')},
                        {"sys.long", std::string(92, 'w'), -1, std::string(91, 'v')},
                        {"ro.product.model", "box-1", 0, "box-1"}, {"ro.product.model", "box-2", -1, "box-1"},
                        {"rom.version", "1", 0, "1"}, {"rom.version", "2", 0, "2"},  // only "ro." is read-only
                        {"persist.sys.vxm.ipaddress", "", 0, "<unset>"},
                        {"", "x", -1, "<unset>"}, {"net/dns1", "x", -1, "<unset>"}, {".hidden", "x", -1, "<unset>"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.key) + "=" + row.value);
        EXPECT_EQ(VXM_property_set(row.key, row.value.c_str()), row.result);
        EXPECT_EQ(get(row.key), row.after);
    }
    EXPECT_EQ(vxmtest::readFile(dir_.file("net.dns1")), "10.0.0.1");  // exactly the value
    EXPECT_EQ(entries(), 5) << "one file per property set";
    char value[4] = {'z'};
    EXPECT_EQ(VXM_property_set(nullptr, "x") + VXM_property_set("a", nullptr) + VXM_property_get(nullptr, value, 4) +
                  VXM_property_get("a", nullptr, 8) + VXM_property_get("net.dns1", value, 0), -5);
    EXPECT_EQ(value[0], 'z');
    // Cut to the caller's buffer, also above the bounds-checked copy's own maximum (32 KiB).
    for (unsigned int size : {1u, 4u, 32768u, 32769u})
        EXPECT_EQ(get("net.dns1", size), std::string("10.0.0.1").substr(0, size - 1)) << size;
}

TEST_F(Properties, ConcurrentWritersAndReaders) {
    std::atomic<int> wins{0}, bad{0}, reads{0};
    std::atomic<bool> stop{false};
    const std::string a(91, 'a'), b(40, 'b');
    ASSERT_EQ(VXM_property_set("sys.state", a.c_str()), 0);
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([i, &wins] { wins += VXM_property_set("ro.serialno", std::to_string(i).c_str()) == 0; });
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 400; ++i) bad += VXM_property_set("sys.state", ((i + w) % 2 ? a : b).c_str()) != 0;
        });
    std::thread reader([&] {
        for (std::string v; !stop; ++reads) bad += (v = get("sys.state")) != a && v != b;
    });
    for (auto& t : writers) t.join();
    stop = true;
    reader.join();
    EXPECT_TRUE(wins == 1 && bad == 0 && reads > 0) << wins << " read-only writers won; " << bad << " bad values";
    EXPECT_EQ(entries(), 2) << "one file per property set";
    // A missing directory is created by the first write.
    setenv("VXM_PROPERTY_DIR", dir_.file("store/deeper").c_str(), 1);
    EXPECT_EQ(get("net.dns2"), "<unset>");
    EXPECT_EQ(VXM_property_set("net.dns2", "8.8.4.4"), 0);
    EXPECT_EQ(vxmtest::readFile(dir_.file("store/deeper/net.dns2")), "8.8.4.4");
}

#if defined(VXM_GETPROP) && defined(VXM_SETPROP)

TEST_F(Properties, ToolsSetPrintAndRefuse) {
    ASSERT_EQ(VXM_property_set("a.key", "with spaces") + VXM_property_set("ro.hardware", "arm") +
                  VXM_property_set("empty", ""), 0);
    const std::string get = VXM_GETPROP, set = VXM_SETPROP;
    const std::pair<std::string, const char*> rows[] = {
        {set + " net.dns1 '8.8.8.8'", "0\n"}, {get + " a.key fallback", "with spaces\n0\n"},
        {get, "[a.key]: [with spaces]\n[empty]: []\n[net.dns1]: [8.8.8.8]\n[ro.hardware]: [arm]\n0\n"},
        {get + " missing", "\n0\n"}, {get + " missing fallback", "fallback\n0\n"},
        {set + " ro.hardware x86", "vxm-setprop: could not set [ro.hardware] to [x86]\n1\n"},
        {set + " only.key", "usage: vxm-setprop KEY VALUE\n2\n"},
        {get + " a b c", "usage: vxm-getprop [KEY [DEFAULT]]\n2\n"}};
    const std::string out = dir_.file(".out");  // its output and then its exit status; no key starts with "."
    for (const auto& [command, expected] : rows) {
        EXPECT_EQ(std::system((command + " >" + out + " 2>&1; echo $? >>" + out).c_str()), 0);
        EXPECT_EQ(vxmtest::readFile(out), expected) << command;
    }
}

#endif

}  // namespace
