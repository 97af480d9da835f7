// Splitting, copies, IPv4 recognition, URLs, the environment, random numbers, the gap between calls
// and the callback table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

#include "support/log_capture.h"
#include "support/opend_daemon.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_time.h"
#include "vxmosal/VXM_utility.h"

namespace {

TEST(Strings, SplitKeepsNoEmptyTokensAndStopsAtTheCapacity) {
    struct Row { const char* text; const char* delims; int capacity, result; const char* joined; };
    const Row rows[] = {{"a,,b,", ",", 5, 2, "a|b"}, {"a,,b,", ",", 1, 1, "a"}, {"12\n\n34\n56 7\n", "\n ", 2, 2, "12|34"},
                        {",,,", ",", 5, 0, ""}, {"", ",", 2, -1, ""}, {"a,b", "", 2, -1, ""}, {"a,b", ",", 0, -1, ""}, {"a,b", ",", -3, -1, ""}};
    for (const Row& row : rows) {
        std::string text = row.text, joined;
        char* tokens[5] = {};
        ASSERT_EQ(VXM_utl_split(&text[0], row.delims, tokens, row.capacity), row.result) << row.text << " " << row.capacity;
        for (int i = 0; i < row.result; ++i) joined += (i ? "|" : "") + std::string(tokens[i]);
        EXPECT_EQ(joined, row.joined) << row.text << " " << row.capacity;
    }
    char text[] = "a,,b,";
    char* tokens[2] = {};
    EXPECT_EQ(VXM_utl_split(nullptr, ",", tokens, 2) + VXM_utl_split(text, nullptr, tokens, 2) + VXM_utl_split(text, ",", nullptr, 2), -3);
    ASSERT_EQ(VXM_utl_split(text, ",", tokens, 2), 2);
    EXPECT_EQ(0, std::memcmp(text, "a\0,b\0", 6)) << "only delimiters that end a token are overwritten";
}

// Copies around the bounds-checked copy's own maximum (32 KiB with the terminator) stay whole.
TEST(Strings, DupStringAndGetEnvStrCopyWholeTexts) {
    vxmtest::LogCapture log;
    for (std::size_t length : {0u, 17u, 32767u, 32768u, 40000u}) {
        std::string text(length, ' ');
        for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
        setenv("VXM_TEST_ENV", text.c_str(), 1);
        for (char* copy : {VXM_dup_string(text.c_str()), VXM_GetEnvStr("VXM_TEST_ENV")}) {
            EXPECT_TRUE(copy != nullptr && text == copy) << length << " became " << (copy ? std::strlen(copy) : 0);
            VXM_free(copy);
        }
    }
    unsetenv("VXM_TEST_ENV");
    EXPECT_EQ(VXM_dup_string(nullptr), VXM_GetEnvStr("VXM_TEST_ENV"));
    EXPECT_EQ(vxmtest::logLines(log), "4 os_utility VXM_GetEnvStr: getenv NULL\n");
}

TEST(Strings, IPv4TextHasADotBeforeAnyColonWithinSeventeenCharacters) {
    const std::pair<std::string, int> rows[] = {{"192.168.1.10", 1}, {".x", 1}, {":1.2", 0}, {"fe80::1.2", 0}, {"localhost", 0},
                                                {"", 0}, {std::string(16, 'a') + ".b", 1}, {std::string(17, 'a') + ".b", 0}};
    for (const auto& [text, result] : rows) EXPECT_EQ(VXM_is_IPv4(text.c_str()), result) << text;
    EXPECT_EQ(VXM_is_IPv4(nullptr), 0);
}

TEST(Strings, UrlHostAndPort) {
    struct Row { const char* url; int size; const char* expected; };
    const Row rows[] = {{"rtsp://10.0.0.5:554/live/ch1", 64, "10.0.0.5:554"}, {"http://tv.example:8080", 47, "tv.example:8080"},
                        {"http://[fe80::1%eth0]:8080/index", 64, "fe80::1:8080"}, {"rtp://[2001:db8::7]:5004", 64, "2001:db8::7:5004"},
                        {"http://abcdefghijklmnopq:80/", 64, "-1"},  // cut at 15 characters, it misses the ":"
                        {"http://10.0.0.5/path", 64, "-1"}, {"10.0.0.5:80", 64, "-1"}, {"http://10.0.0.5:80", 46, "-1"},
                        {"http://[fe80::1:80", 64, "-1"}, {"http://[fe80::1]/x", 64, "-1"}, {"http://[aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa]:80", 47, "-1"}};
    for (const Row& row : rows) {
        char host[64] = {};
        int port = -7;
        const int result = VXM_network_URLResolveHostAndPort(row.url, host, row.size, &port);
        EXPECT_EQ(result != 0 ? std::to_string(result) : host + (":" + std::to_string(port)), row.expected) << row.url;
    }
    char host[64];
    int port = 0;
    EXPECT_EQ(VXM_network_URLResolveHostAndPort(nullptr, host, 64, &port) + VXM_network_URLResolveHostAndPort("http://a:1", nullptr, 64, &port) +
                  VXM_network_URLResolveHostAndPort("http://a:1", host, 64, nullptr), -3);
    // A host buffer above the bounds-checked copy's own maximum (256 MiB) is filled all the same.
    const std::size_t large = (256u << 20) + 1;
    std::unique_ptr<char[]> big(new char[large]);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("rtp://[2001:db8::7]:5004", big.get(), static_cast<int>(large), &port), 0);
    EXPECT_STREQ(big.get(), "2001:db8::7");
}

TEST(Strings, RandomBitsResponseTimeAndTheCallbackTable) {
    std::set<unsigned int> values;
    unsigned int allBits = 0;
    for (int i = 0; i < 64; ++i) allBits |= *values.insert(VXM_gen_random()).first;
    EXPECT_TRUE(values.size() > 60u && allBits == 0xffffffffu) << values.size() << " values, bits " << allBits;
    VXM_get_responseTime();  // measured on the library's own ticks: a slow tick thread cannot fail it
    const VXM_UINT32 start = VXM_get_ticks();
    ASSERT_TRUE(vxmtest::waitUntil([&] { return VXM_get_ticks() - start >= 300; }, std::chrono::seconds(5)));
    EXPECT_GE(VXM_get_responseTime(), 300) << "the gap to the previous call";
    EXPECT_LT(VXM_get_responseTime(), 300) << "and only that gap";
    EXPECT_EQ(VXM_utl_getRootFunCallback(), static_cast<void*>(RootFunCallback));
    unsigned char table[VXM_ROOT_FUN_CALLBACK_SIZE], out[VXM_ROOT_FUN_CALLBACK_SIZE] = {}, zero[VXM_ROOT_FUN_CALLBACK_SIZE] = {};
    for (int i = 0; i < VXM_ROOT_FUN_CALLBACK_SIZE; ++i) table[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(VXM_utl_regRootFunCallback(table), 0);
    EXPECT_EQ(VXM_utl_curRootFunCallback(out), 0);
    EXPECT_EQ(0, std::memcmp(out, table, sizeof table));
    EXPECT_NE(VXM_utl_curRootFunCallback(nullptr), 0);
    EXPECT_EQ(0, std::memcmp(RootFunCallback, table, sizeof table));
    EXPECT_NE(VXM_utl_regRootFunCallback(nullptr), 0);  // a null table clears the registration
    EXPECT_EQ(0, std::memcmp(RootFunCallback, zero, sizeof zero));
}

}  // namespace
