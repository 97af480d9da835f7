// MAC addresses of real cards in both text forms with their size rule, the "ppp0" substitution on
// a real ppp0 card, eth0's MAC whatever the default card, DNS servers in the private property
// directory, and the PPPoE header switch.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

TEST(NetworkPppoeHeader, ZeroUntilSetThenWhateverWasStored) {
    EXPECT_EQ(VXM_network_getPPPoeIPHeader(), 0);
    EXPECT_EQ(VXM_network_setPPPoeIPHeader(5), 0);
    EXPECT_EQ(VXM_network_getPPPoeIPHeader(), 5);
    EXPECT_EQ(VXM_network_setPPPoeIPHeader(-1), 0);
    EXPECT_EQ(VXM_network_getPPPoeIPHeader(), -1);
    VXM_network_setPPPoeIPHeader(0);
}

class NetworkMac : public vxmtest::NetBedTest {
protected:
    void SetUp() override {
        NetBedTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(bed().addCard("eth0"));
        ASSERT_TRUE(bed().setMac("eth0", "02:00:00:aa:bb:0c"));
        ASSERT_TRUE(bed().addCard("wlan0"));
        ASSERT_TRUE(bed().setMac("wlan0", "0a:1b:2c:3d:4e:5f"));
    }
};

TEST_F(NetworkMac, BothFormsInUpperCaseFromEighteenBytes) {
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    LogCapture log;
    char text[18];
    std::memset(text, 'z', sizeof text);
    ASSERT_EQ(VXM_network_getMacAddr(&eth0, text, sizeof text), 0);
    EXPECT_EQ(std::string(text, sizeof text), std::string("02:00:00:AA:BB:0C") + '\0');
    std::memset(text, 'z', sizeof text);
    ASSERT_EQ(VXM_network_getMacAddrOnlyNum(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "020000AABB0C");
    EXPECT_TRUE(log.all().empty());
    setDefaultCard("wlan0");
    char wide[64];
    ASSERT_EQ(VXM_network_getMacAddr(nullptr, wide, sizeof wide), 0);
    EXPECT_STREQ(wide, "0A:1B:2C:3D:4E:5F");
    ASSERT_EQ(VXM_network_getMacAddrOnlyNum(nullptr, wide, sizeof wide), 0);
    EXPECT_STREQ(wide, "0A1B2C3D4E5F");
}

TEST_F(NetworkMac, SizesUpTo17AndOtherBadArgumentsAreRefused) {
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    LogCapture log;
    char text[32] = "kept";
    for (int size : {17, 13, 0, -1}) {
        EXPECT_EQ(VXM_network_getMacAddr(&eth0, text, size), -1) << size;
        expectRecord(log.all().back(), VXM_LOG_ERROR, "VXM_network_getMacAddr", "Invaild param.");
        EXPECT_EQ(VXM_network_getMacAddrOnlyNum(&eth0, text, size), -1) << size;
        expectRecord(log.all().back(), VXM_LOG_ERROR, "VXM_network_getMacAddrOnlyNum", "Invaild param.");
    }
    EXPECT_EQ(VXM_network_getMacAddr(&eth0, nullptr, 18), -1);
    EXPECT_EQ(VXM_network_getMacAddrOnlyNum(&eth0, nullptr, 18), -1);
    EXPECT_EQ(VXM_network_getMacAddr(nullptr, text, 18), -1);  // no default card
    expectRecord(log.all().back(), VXM_LOG_ERROR, "VXM_network_getMacAddr", "Invaild param.");
    EXPECT_EQ(log.all().size(), 11u);
    EXPECT_STREQ(text, "kept");
}

TEST_F(NetworkMac, APppoeCardReportsItsExtensionCard) {
    ASSERT_TRUE(bed().addCard("ppp9"));
    ASSERT_TRUE(bed().setMac("ppp9", "02:99:99:99:99:99"));
    ASSERT_TRUE(bed().rename("ppp9", "ppp0"));  // a ppp0 with an address of its own is still passed over
    VXM_NETWORK_CARD_INFO pppoe = cardNamed("ppp0", "eth0");
    LogCapture log;
    char text[18] = {};
    ASSERT_EQ(VXM_network_getMacAddr(&pppoe, text, sizeof text), 0);
    EXPECT_STREQ(text, "02:00:00:AA:BB:0C");
    ASSERT_EQ(log.all().size(), 1u);
    expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_network_getMacAddr", "PPPoE not have Mac address, use eth0");
    log.clear();
    setDefaultCard("ppp0", 0, "wlan0");
    ASSERT_EQ(VXM_network_getMacAddrOnlyNum(nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "0A1B2C3D4E5F");
    expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_network_getMacAddrOnlyNum", "PPPoE not have Mac address, use wlan0");
    // Only the exact name: ppp00 or eth0 with an extension name ask for themselves.
    log.clear();
    VXM_NETWORK_CARD_INFO plain = cardNamed("eth0", "wlan0");
    ASSERT_EQ(VXM_network_getMacAddr(&plain, text, sizeof text), 0);
    EXPECT_STREQ(text, "02:00:00:AA:BB:0C");
    EXPECT_TRUE(log.all().empty());

    // Without an extension name the request fails.
    VXM_NETWORK_CARD_INFO bare = cardNamed("ppp0");
    std::strcpy(text, "kept");
    EXPECT_EQ(VXM_network_getMacAddr(&bare, text, sizeof text), -1);
    EXPECT_STREQ(text, "kept");
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    expectRecord(all[0], VXM_LOG_ERROR, "VXM_network_getMacAddr", "PPPoE not have Mac address, use ");
    expectRecord(all[1], VXM_LOG_ERROR, "VXM_network_getMacAddr", "ioctl error,errno = 19,get mac failed.");
}

TEST_F(NetworkMac, AVanishedCardFailsItsRequest) {
    VXM_NETWORK_CARD_INFO gone = cardNamed("eth3");
    ASSERT_TRUE(bed().addCard("eth3"));
    ASSERT_TRUE(bed().removeCard("eth3"));
    LogCapture log;
    char text[18] = "kept";
    EXPECT_EQ(VXM_network_getMacAddrOnlyNum(&gone, text, sizeof text), -1);
    EXPECT_STREQ(text, "kept");
    ASSERT_EQ(log.all().size(), 1u);
    expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_network_getMacAddrOnlyNum", "ioctl error,errno = 19,get mac failed.");
}

TEST_F(NetworkMac, Eth0MacIgnoresTheDefaultCard) {
    setDefaultCard("ppp0", 0, "wlan0");
    LogCapture log;
    char text[18];
    ASSERT_EQ(VXM_network_getEth0MacAddr(text, sizeof text), 0);
    EXPECT_STREQ(text, "02:00:00:AA:BB:0C");
    ASSERT_EQ(VXM_network_getEth0MacAddr(text, 10), 0);
    EXPECT_STREQ(text, "02:00:00:");
    EXPECT_TRUE(log.all().empty());
    EXPECT_EQ(VXM_network_getEth0MacAddr(nullptr, 18), -1);
    EXPECT_EQ(VXM_network_getEth0MacAddr(text, 0), -1);
    ASSERT_TRUE(bed().removeCard("eth0"));
    std::strcpy(text, "kept");
    EXPECT_EQ(VXM_network_getEth0MacAddr(text, sizeof text), -1);
    EXPECT_STREQ(text, "kept");
    ASSERT_EQ(log.all().size(), 1u);
    expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_network_getEth0MacAddr", "ioctl error,errno = 19,get mac failed.");
}

class NetworkDns : public vxmtest::NetBedTest {};

TEST_F(NetworkDns, ServersAreNumberedPropertiesAndNullEntriesAreSkipped) {
    const char* servers[] = {"10.0.0.53", nullptr, "2001:db8::53"};
    LogCapture log;
    EXPECT_EQ(VXM_network_setDNS(servers, 3), 0);
    EXPECT_EQ(bed().property("net.dns1"), "10.0.0.53");
    EXPECT_EQ(bed().property("net.dns2"), "");
    EXPECT_EQ(bed().property("net.dns3"), "2001:db8::53");
    ASSERT_EQ(log.all().size(), 1u);
    expectRecord(log.all()[0], VXM_LOG_WARN, "VXM_network_setDNS", "aszDNS[1] is null.");

    char text[64] = "kept";
    EXPECT_EQ(VXM_network_getDNS(text, 1, sizeof text), 0);  // net.dns2 unset
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(VXM_network_getDNS(text, 0, sizeof text), 0);
    EXPECT_STREQ(text, "10.0.0.53");
    EXPECT_EQ(VXM_network_getDNS(text, 0, 5), 0);
    EXPECT_STREQ(text, "10.0");
    const char* two[] = {"1.1.1.1", "8.8.4.4"};
    EXPECT_EQ(VXM_network_setDNS(two, 2), 0);
    EXPECT_EQ(VXM_network_getDNS(text, 1, sizeof text), 0);
    EXPECT_STREQ(text, "8.8.4.4");
    EXPECT_EQ(bed().property("net.dns3"), "2001:db8::53");  // beyond the count: kept
    std::strcpy(text, "kept");
    EXPECT_EQ(VXM_network_getDNS(text, 2, sizeof text), -1);  // only the first two can be read
    EXPECT_EQ(VXM_network_getDNS(text, -1, sizeof text), -1);
    EXPECT_EQ(VXM_network_getDNS(nullptr, 0, 16), -1);
    EXPECT_EQ(VXM_network_getDNS(text, 0, 0), 0);
    EXPECT_STREQ(text, "kept");
}

TEST_F(NetworkDns, BadArgumentsAreRefused) {
    const char* servers[] = {"10.0.0.53"};
    LogCapture log;
    EXPECT_EQ(VXM_network_setDNS(nullptr, 1), -1);
    expectRecord(log.all().back(), VXM_LOG_ERROR, "VXM_network_setDNS", "VXM_network_setDNS arguments error.");
    EXPECT_EQ(VXM_network_setDNS(servers, 0), -1);
    expectRecord(log.all().back(), VXM_LOG_ERROR, "VXM_network_setDNS", "VXM_network_setDNS arguments error.");
    EXPECT_EQ(VXM_network_setDNS(servers, -2), -1);
    EXPECT_EQ(log.all().size(), 3u);
    EXPECT_EQ(bed().property("net.dns1"), "");
}

}  // namespace
