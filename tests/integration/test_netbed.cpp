// The test bed itself: its cards are the namespace's own and show in /sys/class/net, carrier
// follows the peer, addresses and the property directory are private, and its daemon serves the
// channel. Every network test relies on these.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "integration/netbed.h"
#include "support/files.h"
#include "vxmosal/VXM_channel.h"
#include "vxmosal/VXM_utility.h"

namespace {

using vxmtest::readFile;

std::string sysfs(const std::string& card, const std::string& file) {
    std::string text = readFile("/sys/class/net/" + card + "/" + file);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

bool listed(const std::string& card) {
    return !sysfs(card, "ifindex").empty();
}

class NetBedSelf : public vxmtest::NetBedTest {};

TEST_F(NetBedSelf, CardsAreTheNamespacesOwnAndGoWithTheBed) {
    EXPECT_TRUE(listed("lo"));
    EXPECT_FALSE(listed("eth0"));  // the host's cards are not seen
    {
        vxmtest::NetBed second;
        ASSERT_TRUE(second.addCard("eth0"));
        EXPECT_TRUE(listed("eth0"));
        EXPECT_TRUE(listed("peer0"));
    }
    EXPECT_FALSE(listed("eth0"));
    EXPECT_FALSE(listed("peer0"));
}

TEST_F(NetBedSelf, CarrierFollowsThePeer) {
    ASSERT_TRUE(bed().addCard("eth0", true, true));
    ASSERT_TRUE(bed().addCard("wlan0", true, false));
    ASSERT_TRUE(bed().addCard("eth1", false, true));
    EXPECT_EQ(sysfs("eth0", "operstate"), "up");
    EXPECT_EQ(sysfs("eth0", "carrier"), "1");
    EXPECT_EQ(sysfs("wlan0", "operstate"), "lowerlayerdown");
    EXPECT_EQ(sysfs("wlan0", "carrier"), "0");
    EXPECT_EQ(std::strtoul(sysfs("wlan0", "flags").c_str(), nullptr, 16) & 0x1, 0x1u);  // up
    EXPECT_EQ(std::strtoul(sysfs("eth1", "flags").c_str(), nullptr, 16) & 0x1, 0x0u);
    ASSERT_TRUE(bed().setCarrier("wlan0", true));
    EXPECT_EQ(sysfs("wlan0", "carrier"), "1");
}

TEST_F(NetBedSelf, RenameKeepsThePeerAndTheState) {
    ASSERT_TRUE(bed().addCard("eth9"));
    ASSERT_TRUE(bed().rename("eth9", "ppp0"));
    EXPECT_FALSE(listed("eth9"));
    EXPECT_EQ(sysfs("ppp0", "operstate"), "up");
    ASSERT_TRUE(bed().setCarrier("ppp0", false));
    EXPECT_EQ(sysfs("ppp0", "carrier"), "0");
    EXPECT_TRUE(bed().removeCard("ppp0"));
    EXPECT_FALSE(listed("ppp0"));
}

TEST_F(NetBedSelf, AddressesAndMacLandOnTheCard) {
    ASSERT_TRUE(bed().addCard("eth0"));
    EXPECT_TRUE(bed().addIPv4("eth0", "10.20.30.40/24"));
    EXPECT_TRUE(bed().addIPv6("eth0", "2001:db8::1/64"));
    EXPECT_TRUE(bed().setMac("eth0", "02:00:00:aa:bb:cc"));
    EXPECT_EQ(sysfs("eth0", "address"), "02:00:00:aa:bb:cc");
    std::string table = readFile("/proc/net/if_inet6");
    EXPECT_NE(table.find("20010db8000000000000000000000001"), std::string::npos) << table;
    EXPECT_FALSE(bed().addIPv4("eth7", "10.0.0.1/8"));  // no such card
}

TEST_F(NetBedSelf, PropertiesGoToThePrivateDirectory) {
    ASSERT_EQ(std::string(getenv("VXM_PROPERTY_DIR")), bed().propertyDir());
    EXPECT_EQ(bed().propertyDir().rfind("/tmp/", 0), 0u);
    ASSERT_EQ(VXM_property_set("net.dns1", "10.0.0.53"), 0);
    EXPECT_EQ(bed().property("net.dns1"), "10.0.0.53");
}

TEST_F(NetBedSelf, TheDaemonServesTheChannelAndStopsCleanly) {
    EXPECT_EQ(VXM_utl_execFind("echo bed-alive", "bed-alive"), 0);  // no daemon yet
    ASSERT_TRUE(bed().startDaemon()) << bed().daemonLog();
    EXPECT_EQ(VXM_utl_execFind("echo bed-alive", "bed-alive"), 1);
    EXPECT_EQ(bed().stopDaemon(), 0) << bed().daemonLog();
    EXPECT_EQ(bed().daemonLog().find("Sanitizer"), std::string::npos) << bed().daemonLog();
    EXPECT_EQ(VXM_utl_execFind("echo bed-alive", "bed-alive"), 0);
}

}  // namespace
