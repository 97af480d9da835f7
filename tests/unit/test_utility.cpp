// The utility family on real files. Files: opening with permission bits, existence tests, whole-file
// reads and writes, deletion, the last path component and archive extraction (archives made with zip,
// the real unzip). System properties over the property directory: values, limits, the "ro." rule,
// replacement under concurrent writers and readers, the release class, and the output of vxm-getprop
// and vxm-setprop. Strings: splitting, copies, IPv4 recognition, URLs, the environment, random
// numbers, the gap between calls and the callback table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <set>
#include <thread>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/wait_until.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_process.h"
#include "vxmosal/VXM_time.h"
#include "vxmosal/VXM_utility.h"

namespace {

using namespace vxmtest;

unsigned permissions(const std::string& path) { return unsigned(std::filesystem::status(path).permissions()); }

TEST(Files, OpenReadWriteTestAndDeleteWholeFiles) {
    TempDir dir;
    const std::string content("line one\n\0binary\xff", 17), old = dir.file("settings.ini");
    for (auto [mode, bits] : {std::pair<const char*, unsigned>{"w", 0640}, {"a", 0604}}) {
        FILE* file = VXM_File_Open(old.c_str(), mode, bits);
        ASSERT_NE(file, nullptr) << mode;
        EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0) << "the descriptor leaks into commands";
        std::fclose(file);
        EXPECT_EQ(permissions(old), bits) << mode;
    }
    EXPECT_EQ(VXM_file_write(old.c_str(), content.data(), 17), 0);
    EXPECT_EQ(permissions(old), 0600u) << "the file is kept to its owner";
    // Kernel files report no size: they read as empty.
    for (auto [name, expected] : {std::pair<std::string, std::string>{old, content}, {"/proc/self/status", ""}}) {
        char* buffer = nullptr;
        unsigned int size = 99;
        ASSERT_EQ(VXM_file_read(name.c_str(), &buffer, &size), 0) << name;
        EXPECT_EQ(std::string(buffer, size + 1), expected + '\0') << name;
        VXM_free(buffer);
    }
    char sentinel = 0, *buffer = &sentinel;
    unsigned int size = 42;
    LogCapture log;
    EXPECT_EQ(VXM_file_read(dir.file("missing").c_str(), &buffer, &size) + VXM_file_read(nullptr, &buffer, &size) +
                  VXM_file_read(old.c_str(), nullptr, &size) + VXM_file_read(old.c_str(), &buffer, nullptr), -4);
    EXPECT_TRUE(buffer == &sentinel && size == 42u) << "a failure leaves the out arguments alone";
    EXPECT_EQ(VXM_file_write(old.c_str(), "x", 0) + VXM_file_write(old.c_str(), nullptr, 1) +
                  VXM_file_write(nullptr, "x", 1) + VXM_file_write(dir.file("no/out").c_str(), "x", 1), -4);
    EXPECT_EQ(readFile(old), content);
    EXPECT_TRUE(!VXM_File_Open(nullptr, "r", 0600) && !VXM_File_Open(old.c_str(), nullptr, 0600) &&
                !VXM_File_Open(dir.file("no/such.ini").c_str(), "r", 0600));
    const std::string open = "4 os_utility VXM_File_Open: ", invalid = open + "The parameters is invalid!.\n";
    EXPECT_EQ(logLines(log), open + "fopen[" + dir.file("no/out") + ", w] ini file fail.\n" + invalid + invalid +
                                 open + "fopen[" + dir.file("no/such.ini") + ", r] ini file fail.\n");
    ASSERT_EQ(symlink(old.c_str(), dir.file("to_file").c_str()) + mkfifo(dir.file("fifo").c_str(), 0600) +
                  symlink(dir.path().c_str(), dir.file("to_dir").c_str()) +
                  symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    // filedir, file and dir as the digits of one number
    const std::pair<std::string, int> rows[] = {{"settings.ini", 110}, {"", 101},        {"to_file", 110},
                                                {"to_dir", 101},       {"dangling", 0}, {"fifo", 100}};
    for (const auto& [name, expected] : rows) {
        const std::string at = name.empty() ? dir.path() : dir.file(name);
        EXPECT_EQ(VXM_filedir_exist(at.c_str()) * 100 + VXM_file_exist(at.c_str()) * 10 + VXM_dir_exist(at.c_str()),
                  expected) << at;
    }
    EXPECT_EQ(VXM_del_file(old.c_str()), 0);
    EXPECT_EQ(VXM_filedir_exist(old.c_str()) + VXM_del_file(old.c_str()), -1);
    // The last component starts this far into the path.
    for (auto [text, at] : {std::pair<std::string, int>{"/data/local/tmp/update.zip", 16}, {"/data/local/", 0},
                            {"update.zip", 0}, {"/", 0}})
        EXPECT_EQ(VXM_path_absoluteToRelative(&text[0]) - &text[0], at) << text;
}

TEST(Files, UnzipExtractsAndReportsEachFailure) {
    TempDir dir;
    const std::string zip = dir.file("ok.zip"), out = dir.file("out");
    ASSERT_EQ(std::system(("cd '" + dir.path() + "' && mkdir -p src/sub && echo alpha >src/a.txt && echo beta "
                           ">src/sub/b.txt && cd src && zip -qr ../ok.zip a.txt sub").c_str()), 0);
    std::string bytes = readFile(zip);  // a member whose stored data no longer matches its checksum
    std::ofstream(dir.file("bad.zip"), std::ios::binary) << bytes.replace(bytes.find("alpha\n"), 1, "A");
    // Slashes pad the target to a command of exactly N characters without changing the directory.
    const std::size_t fixed = std::string("unzip -oq  -d ;echo RET:$?").size() + zip.size() + dir.path().size() + 3;
    auto padded = [&](std::size_t length) { return dir.path() + std::string(length - fixed, '/') + "out"; };
    const std::string refused = dir.file("a&b.zip");
    struct Row { const char* name; std::string archive, target; int result; bool extracted; std::string ours; };
    const Row rows[] = {
        {"beyond 511 characters nothing runs", zip, padded(512), -1, false, ""},
        {"511 characters, existing files overwritten", zip, padded(511), 0, true, ""},
        {"bad checksum: unzip's status", dir.file("bad.zip"), out, 2, true, ""},
        {"refused by the guarded shell", refused, out, -1, false, "popen failed"},
        {"the shell ends early", zip + " -d " + out + ";kill $$;", out, -1, true, "read result error"},
        {"members printed before the status line", "-p " + zip, out, -1, false, "VXM_unzip failed"},
        {"null archive", "", out, -1, false, ""}, {"null target", zip, "", -1, false, ""}};
    auto text = [](const std::string& given) { return given.empty() ? nullptr : given.c_str(); };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::ofstream(dir.file("out/a.txt")) << "changed";
        unlink(dir.file("out/sub/b.txt").c_str());
        testing::internal::CaptureStderr();  // fd 2, so that what unzip writes is caught as well
        EXPECT_EQ(VXM_unzip(text(row.archive), text(row.target)), row.result);
        const std::string written = testing::internal::GetCapturedStderr();  // and unzip's own remarks
        for (const std::string mark : {"popen failed", "read result error", "VXM_unzip failed"})
            EXPECT_EQ(written.find(mark) != std::string::npos, mark == row.ours) << mark;
        EXPECT_EQ(readFile(dir.file("out/sub/b.txt")) == "beta\n", row.extracted);
        if (row.result == 0) EXPECT_EQ(readFile(dir.file("out/a.txt")), "alpha\n");
    }
}

class Properties : public ::testing::Test {
protected:
    void SetUp() override { setenv("VXM_PROPERTY_DIR", dir_.path().c_str(), 1); }
    void TearDown() override { unsetenv("VXM_PROPERTY_DIR"); }
    // The number of the directory's entries, dot-files included: no temporary file may stay behind.
    auto entries() const {
        return std::distance(std::filesystem::directory_iterator(dir_.path()), std::filesystem::directory_iterator());
    }
    TempDir dir_;
};

// The value read into a buffer of size bytes, up to its terminator or the buffer's end.
std::string get(const char* key, unsigned int size = VXM_PROPERTY_VALUE_MAX) {
    std::vector<char> value(size, 'z');
    return VXM_property_get(key, value.data(), size) == 0 ? std::string(value.data(), strnlen(value.data(), size))
                                                           : "<unset>";
}

TEST_F(Properties, SetAndGetFollowTheStoreRulesAndGiveTheReleaseClass) {
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
    EXPECT_EQ(readFile(dir_.file("net.dns1")), "10.0.0.1");  // exactly the value
    EXPECT_EQ(entries(), 5) << "one file per property set";
    char value[4] = {'z'};
    EXPECT_EQ(VXM_property_set(nullptr, "x") + VXM_property_set("a", nullptr) + VXM_property_get(nullptr, value, 4) +
                  VXM_property_get("a", nullptr, 8) + VXM_property_get("net.dns1", value, 0), -5);
    EXPECT_EQ(value[0], 'z');
    // Cut to the caller's buffer, also above the bounds-checked copy's own maximum (32 KiB).
    for (unsigned int size : {1u, 4u, 32768u, 32769u})
        EXPECT_EQ(get("net.dns1", size), std::string("10.0.0.1").substr(0, size - 1)) << size;
    // The release class: the first of "4.4", "5.1", "7.0" and "8.0" found anywhere in the build property.
    const std::pair<const char*, int> releases[] = {{nullptr, 0}, {"4.4.2", 4}, {"5.1.1", 5}, {"7.1.2", 0},
                                                    {"8.0.0", 8}, {"7.0", 7},   {"14.4", 4},  {"5.1-4.4", 4}};
    for (const auto& [release, type] : releases) {
        if (release) std::ofstream(dir_.file("ro.build.version.release"), std::ios::binary) << release;
        EXPECT_EQ(VXM_utl_get_os_type(), type) << (release ? release : "unset");
    }
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
    EXPECT_EQ(readFile(dir_.file("store/deeper/net.dns2")), "8.8.4.4");
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
        EXPECT_EQ(readFile(out), expected) << command;
    }
}

#endif

TEST(Strings, SplitIPv4TextAndUrls) {
    struct Row { const char* text; const char* delims; int capacity, result; const char* joined; };
    const Row rows[] = {{"12\n\n34\n56 7\n", "\n ", 2, 2, "12|34"}, {",,,", ",", 5, 0, ""}, {"", ",", 2, -1, ""},
                        {nullptr, ",", 2, -1, ""}, {"a,b", "", 2, -1, ""}, {"a,b", ",", 0, -1, ""}};
    for (const Row& row : rows) {
        std::string text = row.text != nullptr ? row.text : "", joined;
        char* tokens[5] = {};
        const int count = VXM_utl_split(row.text ? &text[0] : nullptr, row.delims, tokens, row.capacity);
        for (int i = 0; i < count; ++i) joined += (i ? "|" : "") + std::string(tokens[i]);
        EXPECT_EQ(std::to_string(count) + " " + joined, std::to_string(row.result) + " " + row.joined) << &row - rows;
    }
    char text[] = "a,,b,";
    char* tokens[2] = {};
    EXPECT_EQ(VXM_utl_split(text, ",", nullptr, 2), -1);
    ASSERT_EQ(VXM_utl_split(text, ",", tokens, 2), 2);
    EXPECT_EQ(0, std::memcmp(text, "a\0,b\0", 6)) << "only delimiters that end a token are overwritten";
    // IPv4 text has a dot before any colon within seventeen characters.
    for (auto [text, result] : {std::pair<const char*, int>{".x", 1}, {":1.2", 0}, {"fe80::1.2", 0}, {"localhost", 0},
                                {"", 0}, {nullptr, 0}, {"aaaaaaaaaaaaaaaa.b", 1}, {"aaaaaaaaaaaaaaaaa.b", 0}})
        EXPECT_EQ(VXM_is_IPv4(text), result) << (text ? text : "null");
    // URLs: the host and port of the authority, IPv6 in brackets without its zone.
    struct Url { const char* url; int size; const char* expected; };
    const Url urls[] = {{"http://tv.example:8080", 47, "tv.example:8080"}, {"http://10.0.0.5:80", 46, "-1"},
                        {"http://[fe80::1%eth0]:8080/index", 64, "fe80::1:8080"}, {"10.0.0.5:80", 64, "-1"},
                        {"http://abcdefghijklmnopq:80/", 64, "-1"},  // cut at 15 characters, it misses the ":"
                        {"http://10.0.0.5/path", 64, "-1"}, {"http://[fe80::1:80", 64, "-1"}, {nullptr, 64, "-1"},
                        {"http://[fe80::1]/x", 64, "-1"},
                        {"http://[aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa]:80", 47, "-1"}};
    char host[64] = {};
    int port = -7;
    for (const Url& row : urls) {
        const int result = VXM_network_URLResolveHostAndPort(row.url, host, row.size, &port);
        const std::string got = result != 0 ? std::to_string(result) : host + (":" + std::to_string(port));
        EXPECT_EQ(got, row.expected) << &row - urls;
    }
    // A host buffer above the bounds-checked copy's own maximum (256 MiB) is filled all the same.
    const std::size_t large = (256u << 20) + 1;
    std::unique_ptr<char[]> big(new char[large]);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("rtp://[2001:db8::7]:5004", big.get(), int(large), &port), 0);
    EXPECT_STREQ(big.get(), "2001:db8::7");
}

// Copies around the bounds-checked copy's own maximum (32 KiB with the terminator) stay whole.
TEST(Strings, CopiesRandomBitsResponseTimeAndTheCallbackTable) {
    LogCapture log;
    for (std::size_t length : {0u, 32767u, 32768u}) {
        const std::string text(length, 'v');
        setenv("VXM_TEST_ENV", text.c_str(), 1);
        for (char* copy : {VXM_dup_string(text.c_str()), VXM_GetEnvStr("VXM_TEST_ENV")}) {
            EXPECT_TRUE(copy != nullptr && text == copy) << length;
            VXM_free(copy);
        }
    }
    unsetenv("VXM_TEST_ENV");
    EXPECT_EQ(VXM_dup_string(nullptr), VXM_GetEnvStr("VXM_TEST_ENV"));
    EXPECT_EQ(logLines(log), "4 os_utility VXM_GetEnvStr: getenv NULL\n");  // an error, not a warning
    std::set<unsigned int> values;
    unsigned int allBits = 0;
    for (int i = 0; i < 64; ++i) allBits |= *values.insert(VXM_gen_random()).first;
    EXPECT_TRUE(values.size() > 60u && allBits == 0xffffffffu) << values.size() << " values, bits " << allBits;
    VXM_get_responseTime();  // measured on the library's own ticks: a slow tick thread cannot fail it
    const VXM_UINT32 start = VXM_get_ticks();
    ASSERT_TRUE(waitUntil([&] { return VXM_get_ticks() - start >= 300; }, std::chrono::seconds(5)));
    EXPECT_GE(VXM_get_responseTime(), 300) << "the gap to the previous call";
    EXPECT_LT(VXM_get_responseTime(), 300) << "and only that gap";
    unsigned char table[VXM_ROOT_FUN_CALLBACK_SIZE], out[sizeof table] = {}, zero[sizeof table] = {};
    std::iota(table, table + VXM_ROOT_FUN_CALLBACK_SIZE, 1);
    EXPECT_EQ(VXM_utl_regRootFunCallback(table) + VXM_utl_curRootFunCallback(out), 0);
    EXPECT_EQ(0, std::memcmp(out, table, sizeof table));
    EXPECT_TRUE(VXM_utl_curRootFunCallback(nullptr) != 0 && VXM_utl_regRootFunCallback(nullptr) != 0);
    EXPECT_EQ(0, std::memcmp(RootFunCallback, zero, sizeof zero)) << "a null table clears the registration";
    EXPECT_EQ(VXM_utl_getRootFunCallback(), static_cast<void*>(RootFunCallback));
}

}  // namespace
