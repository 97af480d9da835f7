// Splitting, copies, IPv4 recognition, URLs, the environment, random numbers, the gap between calls
// and the callback table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <set>

#include "support/log_capture.h"
#include "support/opend_daemon.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_time.h"
#include "vxmosal/VXM_utility.h"

namespace {

TEST(Strings, SplitIPv4TextAndUrls) {
    struct Row { const char* text; const char* delims; int capacity, result; const char* joined; };
    const Row rows[] = {{"12\n\n34\n56 7\n", "\n ", 2, 2, "12|34"}, {",,,", ",", 5, 0, ""}, {"", ",", 2, -1, ""},
                        {nullptr, ",", 2, -1, ""}, {"a,b", "", 2, -1, ""}, {"a,b", nullptr, 2, -1, ""},
                        {"a,b", ",", 0, -1, ""}};
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
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://a:1", nullptr, 64, &port) +
                  VXM_network_URLResolveHostAndPort("http://a:1", host, 64, nullptr), -2);
    // A host buffer above the bounds-checked copy's own maximum (256 MiB) is filled all the same.
    const std::size_t large = (256u << 20) + 1;
    std::unique_ptr<char[]> big(new char[large]);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("rtp://[2001:db8::7]:5004", big.get(), int(large), &port), 0);
    EXPECT_STREQ(big.get(), "2001:db8::7");
}

// Copies around the bounds-checked copy's own maximum (32 KiB with the terminator) stay whole.
TEST(Strings, CopiesRandomBitsResponseTimeAndTheCallbackTable) {
    vxmtest::LogCapture log;
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
    EXPECT_EQ(vxmtest::logLines(log), "4 os_utility VXM_GetEnvStr: getenv NULL\n");
    std::set<unsigned int> values;
    unsigned int allBits = 0;
    for (int i = 0; i < 64; ++i) allBits |= *values.insert(VXM_gen_random()).first;
    EXPECT_TRUE(values.size() > 60u && allBits == 0xffffffffu) << values.size() << " values, bits " << allBits;
    VXM_get_responseTime();  // measured on the library's own ticks: a slow tick thread cannot fail it
    const VXM_UINT32 start = VXM_get_ticks();
    ASSERT_TRUE(vxmtest::waitUntil([&] { return VXM_get_ticks() - start >= 300; }, std::chrono::seconds(5)));
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
