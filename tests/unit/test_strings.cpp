// Splitting, copies, IPv4 recognition, URLs, the environment, random numbers, the gap between calls
// and the callback table.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_utility.h"

namespace {

// Texts copied whole, around the bounds-checked copy's own maximum (32 KiB with the terminator).
std::vector<std::string> copiedTexts() {
    std::vector<std::string> texts = {"value with = sign", ""};
    for (std::size_t length : {32767u, 32768u, 40000u}) {
        std::string text(length, ' ');
        for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
        texts.push_back(text);
    }
    return texts;
}

TEST(Split, DropsEmptyTokensAndStopsAtCapacity) {
    char text[] = "a,,b,";
    char* tokens[5] = {};
    EXPECT_EQ(VXM_utl_split(text, ",", tokens, 5), 2);
    EXPECT_STREQ(tokens[0], "a");
    EXPECT_STREQ(tokens[1], "b");
    EXPECT_EQ(tokens[2], nullptr);
    // Only the delimiters that end a token are overwritten.
    EXPECT_EQ(0, std::memcmp(text, "a\0,b\0", 6));

    char once[] = "a,,b,";
    char* one[1] = {};
    EXPECT_EQ(VXM_utl_split(once, ",", one, 1), 1);
    EXPECT_STREQ(one[0], "a");

    char lines[] = "12\n\n34\n56 7\n";
    char* ids[2] = {};
    EXPECT_EQ(VXM_utl_split(lines, "\n ", ids, 2), 2);
    EXPECT_STREQ(ids[1], "34");

    char onlyDelims[] = ",,,";
    EXPECT_EQ(VXM_utl_split(onlyDelims, ",", tokens, 5), 0);
}

TEST(Split, RefusesBadArguments) {
    char text[] = "a,b";
    char empty[] = "";
    char* tokens[2] = {};
    EXPECT_EQ(VXM_utl_split(nullptr, ",", tokens, 2), -1);
    EXPECT_EQ(VXM_utl_split(empty, ",", tokens, 2), -1);
    EXPECT_EQ(VXM_utl_split(text, nullptr, tokens, 2), -1);
    EXPECT_EQ(VXM_utl_split(text, "", tokens, 2), -1);
    EXPECT_EQ(VXM_utl_split(text, ",", nullptr, 2), -1);
    EXPECT_EQ(VXM_utl_split(text, ",", tokens, 0), -1);
    EXPECT_EQ(VXM_utl_split(text, ",", tokens, -3), -1);
    EXPECT_STREQ(text, "a,b");
}

TEST(DupString, CopiesIntoANewBlock) {
    for (const std::string& original : copiedTexts()) {
        SCOPED_TRACE(original.size());
        char* copy = VXM_dup_string(original.c_str());
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, original.c_str());
        EXPECT_TRUE(original == copy) << "copied " << std::strlen(copy) << " characters";
        VXM_free(copy);
    }
    EXPECT_EQ(VXM_dup_string(nullptr), nullptr);
}

TEST(IsIPv4, DotBeforeColonWithinSeventeenCharacters) {
    EXPECT_EQ(VXM_is_IPv4("192.168.1.10"), 1);
    EXPECT_EQ(VXM_is_IPv4(".x"), 1);
    EXPECT_EQ(VXM_is_IPv4(":1.2"), 0);
    EXPECT_EQ(VXM_is_IPv4("fe80::1.2"), 0);
    EXPECT_EQ(VXM_is_IPv4("2001:db8::1"), 0);
    EXPECT_EQ(VXM_is_IPv4("localhost"), 0);
    EXPECT_EQ(VXM_is_IPv4(""), 0);
    EXPECT_EQ(VXM_is_IPv4(nullptr), 0);
    EXPECT_EQ(VXM_is_IPv4((std::string(16, 'a') + ".b").c_str()), 1);  // "." at position 16
    EXPECT_EQ(VXM_is_IPv4((std::string(17, 'a') + ".b").c_str()), 0);  // "." at position 17
}

TEST(UrlHostAndPort, Ipv4AndNames) {
    char host[64];
    int port = 0;
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("rtsp://10.0.0.5:554/live/ch1", host, sizeof host,
                                                &port),
              0);
    EXPECT_STREQ(host, "10.0.0.5");
    EXPECT_EQ(port, 554);
    // A name longer than 15 characters is cut there and then misses the ":".
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://abcdefghijklmnopq:80/", host, sizeof host,
                                                &port),
              -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://tv.example:8080", host, 47, &port), 0);
    EXPECT_STREQ(host, "tv.example");
    EXPECT_EQ(port, 8080);
}

TEST(UrlHostAndPort, BracketedIpv6LosesItsZone) {
    char host[64];
    int port = 0;
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://[fe80::1%eth0]:8080/index", host,
                                                sizeof host, &port),
              0);
    EXPECT_STREQ(host, "fe80::1");
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("rtp://[2001:db8::7]:5004", host, sizeof host,
                                                &port),
              0);
    EXPECT_STREQ(host, "2001:db8::7");
    EXPECT_EQ(port, 5004);
    // A host buffer above the bounds-checked copy's own maximum (256 MiB) is filled all the same.
    const std::size_t large = (256u << 20) + 1;
    std::unique_ptr<char[]> big(new char[large]);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("rtp://[2001:db8::7]:5004", big.get(),
                                                static_cast<int>(large), &port),
              0);
    EXPECT_STREQ(big.get(), "2001:db8::7");
}

TEST(UrlHostAndPort, Failures) {
    char host[64];
    int port = 7;
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://10.0.0.5/path", host, sizeof host, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("10.0.0.5:80", host, sizeof host, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://10.0.0.5:80", host, 46, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://[fe80::1:80", host, sizeof host, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://[fe80::1]/x", host, sizeof host, &port), -1);
    const std::string longAddress = "http://[" + std::string(47, 'a') + "]:80";
    EXPECT_EQ(VXM_network_URLResolveHostAndPort(longAddress.c_str(), host, 47, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort(nullptr, host, sizeof host, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://a:1", nullptr, sizeof host, &port), -1);
    EXPECT_EQ(VXM_network_URLResolveHostAndPort("http://a:1", host, sizeof host, nullptr), -1);
}

TEST(GetEnvStr, CopiesTheValueOrReportsItUnset) {
    vxmtest::LogCapture log;
    for (const std::string& value : copiedTexts()) {
        SCOPED_TRACE(value.size());
        setenv("VXM_TEST_ENV", value.c_str(), 1);
        char* copy = VXM_GetEnvStr("VXM_TEST_ENV");
        ASSERT_NE(copy, nullptr);
        EXPECT_TRUE(value == copy) << "copied " << std::strlen(copy) << " characters";
        VXM_free(copy);
    }
    EXPECT_TRUE(log.all().empty());

    unsetenv("VXM_TEST_ENV");
    EXPECT_EQ(VXM_GetEnvStr("VXM_TEST_ENV"), nullptr);
    auto records = log.all();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "os_utility");
    EXPECT_EQ(records[0].message, "getenv NULL");
    EXPECT_EQ(records[0].function, "VXM_GetEnvStr");
}

TEST(GenRandom, DrawsVaryingBits) {
    std::set<unsigned int> values;
    unsigned int allBits = 0;
    for (int i = 0; i < 64; ++i) {
        unsigned int value = VXM_gen_random();
        values.insert(value);
        allBits |= value;
    }
    EXPECT_GT(values.size(), 60u);
    EXPECT_EQ(allBits, 0xffffffffu);
}

TEST(ResponseTime, MeasuresTheGapToThePreviousCall) {
    VXM_get_responseTime();
    EXPECT_LT(VXM_get_responseTime(), 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const int gap = VXM_get_responseTime();
    EXPECT_GE(gap, 110);
    EXPECT_LT(gap, 5000);
}

TEST(RootFunCallback, CopiesInAndOut) {
    EXPECT_EQ(VXM_utl_getRootFunCallback(), static_cast<void*>(RootFunCallback));
    unsigned char table[VXM_ROOT_FUN_CALLBACK_SIZE];
    for (int i = 0; i < VXM_ROOT_FUN_CALLBACK_SIZE; ++i) table[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(VXM_utl_regRootFunCallback(table), 0);
    EXPECT_EQ(0, std::memcmp(RootFunCallback, table, sizeof table));

    unsigned char out[VXM_ROOT_FUN_CALLBACK_SIZE] = {};
    EXPECT_EQ(VXM_utl_curRootFunCallback(out), 0);
    EXPECT_EQ(0, std::memcmp(out, table, sizeof table));

    EXPECT_NE(VXM_utl_curRootFunCallback(nullptr), 0);
    EXPECT_EQ(0, std::memcmp(RootFunCallback, table, sizeof table));

    // A null table clears the registration.
    EXPECT_NE(VXM_utl_regRootFunCallback(nullptr), 0);
    const unsigned char zero[VXM_ROOT_FUN_CALLBACK_SIZE] = {};
    EXPECT_EQ(0, std::memcmp(RootFunCallback, zero, sizeof zero));
}

}  // namespace
