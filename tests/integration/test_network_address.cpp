// IPv4 address, netmask and IPv6 address of real cards: the default card, names cut to 15
// characters, a card without an address, a card that vanished, only link-local IPv6, the first
// global address whatever the table's order, unshortened text and short buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

constexpr char kIpv6Check[] =
    "pTempNetworkCard && '\\0' != pTempNetworkCard->ifrName[0] && pszIpAddr && iLen > 0 not true. ";

class NetworkAddress : public vxmtest::NetBedTest {};

TEST_F(NetworkAddress, IPv4AddressAndNetmaskOfACardAndOfTheDefault) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("wlan0", true, false));  // an address needs no carrier
    ASSERT_TRUE(bed().addIPv4("eth0", "10.1.2.3/24"));
    ASSERT_TRUE(bed().addIPv4("wlan0", "172.16.254.1/12"));
    LogCapture log;
    char text[32];
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0"), wlan0 = cardNamed("wlan0");
    ASSERT_EQ(VXM_network_getIpAddr(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "10.1.2.3");
    ASSERT_EQ(VXM_network_getNetMask(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "255.255.255.0");
    ASSERT_EQ(VXM_network_getIpAddr(&wlan0, text, 16), 0);
    EXPECT_STREQ(text, "172.16.254.1");
    ASSERT_EQ(VXM_network_getNetMask(&wlan0, text, 16), 0);
    EXPECT_STREQ(text, "255.240.0.0");
    EXPECT_TRUE(log.all().empty());
    setDefaultCard("wlan0");
    ASSERT_EQ(VXM_network_getIpAddr(nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "172.16.254.1");
    ASSERT_EQ(VXM_network_getNetMask(nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "255.240.0.0");
}

TEST_F(NetworkAddress, NamesInTheRecordAreCutTo15Characters) {
    ASSERT_TRUE(bed().addCard("eth0123456789ab"));
    ASSERT_TRUE(bed().addIPv4("eth0123456789ab", "192.168.7.9/16"));
    char text[32];
    for (const std::string name : {"eth0123456789ab", "eth0123456789abc", "eth0123456789abcdefg"}) {
        VXM_NETWORK_CARD_INFO c = cardNamed(name);  // 16 bytes and more: no terminator in the record
        std::memset(text, 0, sizeof text);
        ASSERT_EQ(VXM_network_getIpAddr(&c, text, sizeof text), 0) << name;
        EXPECT_STREQ(text, "192.168.7.9");
        ASSERT_EQ(VXM_network_getNetMask(&c, text, sizeof text), 0) << name;
        EXPECT_STREQ(text, "255.255.0.0");
    }
}

TEST_F(NetworkAddress, ACardWithoutAnAddressOrThatVanishedFails) {
    ASSERT_TRUE(bed().addCard("eth1"));
    LogCapture log;
    char text[32] = "kept";
    VXM_NETWORK_CARD_INFO eth1 = cardNamed("eth1");
    EXPECT_EQ(VXM_network_getIpAddr(&eth1, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpAddr",
               "failed to read eth1 IP, ioctl error: Cannot assign requested address.");
    EXPECT_EQ(VXM_network_getNetMask(&eth1, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "getNetMask", "create ioctl error,errno = 99.");
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(log.all().size(), 2u);

    // Listed, then gone before the query.
    ASSERT_TRUE(bed().addCard("eth2"));
    ASSERT_TRUE(bed().addIPv4("eth2", "10.9.9.9/8"));
    VXM_NETWORK_CARD_INFO cards[4] = {};
    int count = 4;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    ASSERT_EQ(count, 2);
    ASSERT_TRUE(bed().removeCard("eth2"));
    VXM_NETWORK_CARD_INFO eth2 = cardNamed("eth2");
    log.clear();
    EXPECT_EQ(VXM_network_getIpAddr(&eth2, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpAddr", "failed to read eth2 IP, ioctl error: No such device.");
    EXPECT_EQ(VXM_network_getNetMask(&eth2, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "getNetMask", "create ioctl error,errno = 19.");
    EXPECT_EQ(VXM_network_getIpv6Addr(&eth2, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "parse_inet_file", "find ipv6 addr failed!!");
    EXPECT_STREQ(text, "kept");
}

TEST_F(NetworkAddress, BadArgumentsAreRefusedWithTheirMessages) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addIPv4("eth0", "10.0.0.1/8"));
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    char text[32] = "kept";
    LogCapture log;
    // No default card set.
    EXPECT_EQ(VXM_network_getIpAddr(nullptr, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpAddr", "Invaild param.");
    EXPECT_EQ(VXM_network_getNetMask(nullptr, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getNetMask", "Invaild param.");
    EXPECT_EQ(VXM_network_getIpv6Addr(nullptr, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpv6Addr", kIpv6Check);
    VXM_NETWORK_CARD_INFO empty{};
    EXPECT_EQ(VXM_network_getIpAddr(&empty, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpAddr", "Invaild param.");
    // Lengths and buffers.
    for (int length : {0, -1}) {
        EXPECT_EQ(VXM_network_getIpAddr(&eth0, text, length), -1);
        expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpAddr", "Invaild param.");
        EXPECT_EQ(VXM_network_getIpv6Addr(&eth0, text, length), -1);
        expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpv6Addr", kIpv6Check);
    }
    EXPECT_EQ(VXM_network_getNetMask(&eth0, text, 0), -1);
    expectLast(log, VXM_LOG_ERROR, "getNetMask", "pszIfrName= NULL");
    EXPECT_EQ(VXM_network_getNetMask(&eth0, text, -1), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getNetMask", "Invaild param.");
    EXPECT_EQ(VXM_network_getIpAddr(&eth0, nullptr, 32), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpAddr", "Invaild param.");
    EXPECT_EQ(VXM_network_getNetMask(&eth0, nullptr, 32), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getNetMask", "Invaild param.");
    EXPECT_EQ(VXM_network_getIpv6Addr(&eth0, nullptr, 32), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getIpv6Addr", kIpv6Check);
    EXPECT_STREQ(text, "kept");
    // A buffer too short for the dotted text still succeeds.
    char small[5] = "abc";
    EXPECT_EQ(VXM_network_getIpAddr(&eth0, small, sizeof small), 0);
    EXPECT_EQ(VXM_network_getNetMask(&eth0, small, sizeof small), 0);
}

TEST_F(NetworkAddress, TheFirstGlobalIPv6AddressIsGivenInFull) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("eth1"));
    ASSERT_TRUE(bed().addIPv6("eth0", "fe80::1234/64"));
    ASSERT_TRUE(bed().addIPv6("eth1", "2001:db8:1::5/64"));
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0"), eth1 = cardNamed("eth1");
    LogCapture log;
    char text[128] = "kept";
    EXPECT_EQ(VXM_network_getIpv6Addr(&eth0, text, sizeof text), -1);  // link-local only
    expectLast(log, VXM_LOG_ERROR, "parse_inet_file", "find ipv6 addr failed!!");
    EXPECT_EQ(log.all().front().message, "Enter VXM_network_getIpv6Addr");
    EXPECT_EQ(log.all().front().level, VXM_LOG_DEBUG);
    EXPECT_STREQ(text, "kept");

    ASSERT_TRUE(bed().addIPv6("eth0", "2001:db8::1/64"));
    const std::string table = vxmtest::readFile("/proc/net/if_inet6");
    ASSERT_NE(table.find("fe80000000000000000000000000123"), std::string::npos) << table;
    log.clear();
    ASSERT_EQ(VXM_network_getIpv6Addr(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "2001:0db8:0000:0000:0000:0000:0000:0001");
    ASSERT_EQ(log.all().size(), 1u);
    ASSERT_EQ(VXM_network_getIpv6Addr(&eth1, text, 40), 0);
    EXPECT_STREQ(text, "2001:0db8:0001:0000:0000:0000:0000:0005");
    setDefaultCard("eth1");
    std::memset(text, 'z', sizeof text);
    ASSERT_EQ(VXM_network_getIpv6Addr(nullptr, text, 20), 0);
    EXPECT_STREQ(text, "2001:0db8:0001:0000");
    ASSERT_EQ(VXM_network_getIpv6Addr(nullptr, text, 1), 0);
    EXPECT_STREQ(text, "");
}

TEST_F(NetworkAddress, OnlyNamesOfUpTo8CharactersMatchTheTable) {
    ASSERT_TRUE(bed().addCard("eth0abcd"));
    ASSERT_TRUE(bed().addCard("eth0abcde"));
    ASSERT_TRUE(bed().addCard("eth1"));
    ASSERT_TRUE(bed().addIPv6("eth0abcd", "2001:db8::8/64"));
    ASSERT_TRUE(bed().addIPv6("eth0abcde", "2001:db8::9/64"));
    ASSERT_TRUE(bed().addIPv6("eth1", "2001:db8::10/64"));
    char text[64];
    VXM_NETWORK_CARD_INFO eight = cardNamed("eth0abcd"), nine = cardNamed("eth0abcde"), eth1 = cardNamed("eth1");
    ASSERT_EQ(VXM_network_getIpv6Addr(&eight, text, sizeof text), 0);
    EXPECT_STREQ(text, "2001:0db8:0000:0000:0000:0000:0000:0008");
    LogCapture log;
    EXPECT_EQ(VXM_network_getIpv6Addr(&nine, text, sizeof text), -1);
    expectLast(log, VXM_LOG_ERROR, "parse_inet_file", "find ipv6 addr failed!!");
    // A longer device name in the table neither matches its first 8 characters nor upsets the
    // lines after it.
    ASSERT_EQ(VXM_network_getIpv6Addr(&eth1, text, sizeof text), 0);
    EXPECT_STREQ(text, "2001:0db8:0000:0000:0000:0000:0000:0010");
}

}  // namespace
