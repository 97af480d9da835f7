// The default gateway of real cards on both ways: the route dump (below release class 5, the
// property unset included) against what "ip route" lists, with routes of other cards, tables and
// families, 10.0.0.0/8 after the default route and a dump too large for the buffer; and the ip
// tool's listing of the card's own table run by the real vxmopend into /tmp/Gateway, with its
// empty, foreign and too long answers. Bad arguments are refused before anything is opened.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

constexpr char kRelease[] = "ro.build.version.release";
constexpr char kGatewayFile[] = "/tmp/Gateway";
constexpr char kReadCheck[] = "NLMSG_OK(nlHdr, (VXM_UINT32)readLen) && nlHdr->nlmsg_type != NLMSG_ERROR not true. ";

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

class NetworkGateway : public vxmtest::NetBedTest {
protected:
    void SetUp() override {
        NetBedTest::SetUp();
        if (IsSkipped()) return;
        unlink(kGatewayFile);
    }

    // eth0 192.168.1.10/24 and eth1 192.168.2.10/24, both up with carrier.
    void twoCards() {
        ASSERT_TRUE(bed().addCard("eth0"));
        ASSERT_TRUE(bed().addCard("eth1"));
        ASSERT_TRUE(bed().addIPv4("eth0", "192.168.1.10/24"));
        ASSERT_TRUE(bed().addIPv4("eth1", "192.168.2.10/24"));
    }

    // What the route dump gives for card, worked out from "ip -4 route show table main", which
    // lists the same dump in the same order: the gateway of the last route whose destination text
    // holds "0.0.0.0" and that leaves through card; "" when there is none.
    std::string expectedFromIp(const std::string& card) {
        std::istringstream lines(bed().ipOutput({"-4", "route", "show", "table", "main"}));
        std::string found;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string destination, word, dev, via = "0.0.0.0";
            words >> destination;
            if (destination == "default") destination = "0.0.0.0";
            destination = destination.substr(0, destination.find('/'));
            while (words >> word) {
                if (word == "dev") words >> dev;
                if (word == "via") words >> via;
            }
            if (destination.find("0.0.0.0") != std::string::npos && dev == card) found = via;
        }
        return found;
    }
};

// ---- the route dump ----

TEST_F(NetworkGateway, TheDumpGivesTheDefaultRouteOfTheCardWhateverTheClassBelowFive) {
    twoCards();
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.1", "dev", "eth0"}));
    ASSERT_EQ(expectedFromIp("eth0"), "192.168.1.1");
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    // Unset, 4.4, unknown releases (class 0).
    for (const char* release : {"", "4.4.2", "6.0", "7.1.2"}) {
        if (*release != '\0') ASSERT_TRUE(bed().setProperty(kRelease, release));
        LogCapture log;
        char text[32] = "kept";
        ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0) << release;
        EXPECT_STREQ(text, "192.168.1.1") << release;
        EXPECT_TRUE(log.all().empty()) << release;
    }
    EXPECT_FALSE(exists(kGatewayFile));  // the listing is not used
    // The default card; a 16-byte buffer holds any dotted text.
    setDefaultCard("eth0");
    char text[16] = {};
    ASSERT_EQ(VXM_network_getGateway(nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.1.1");
}

TEST_F(NetworkGateway, ARouteThroughAnotherCardOrInAnotherTableOrFamilyIsNeverTaken) {
    twoCards();
    ASSERT_TRUE(bed().addIPv6("eth0", "2001:db8::10/64"));
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.2.1", "dev", "eth1"}));
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.9", "dev", "eth0", "table", "100"}));
    ASSERT_TRUE(bed().route({"add", "default", "via", "2001:db8::1", "dev", "eth0"}));
    ASSERT_EQ(expectedFromIp("eth0"), "");
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0"), eth1 = cardNamed("eth1");
    LogCapture log;
    char text[32] = "kept";
    EXPECT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "kept");
    ASSERT_EQ(VXM_network_getGateway(&eth1, text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.2.1");
    EXPECT_EQ(expectedFromIp("eth1"), "192.168.2.1");
    // A card that has no routes at all, and one that is not there.
    VXM_NETWORK_CARD_INFO gone = cardNamed("eth7");
    std::strcpy(text, "kept");
    EXPECT_EQ(VXM_network_getGateway(&gone, text, sizeof text), 0);
    EXPECT_STREQ(text, "kept");
    EXPECT_TRUE(log.all().empty());
}

TEST_F(NetworkGateway, TenNetQualifiesLikeADefaultRouteAndTheLastInTheDumpDecides) {
    twoCards();
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.1", "dev", "eth0"}));
    ASSERT_TRUE(bed().route({"add", "10.0.0.0/8", "dev", "eth0"}));  // no gateway
    ASSERT_TRUE(bed().route({"add", "172.20.0.0/16", "via", "192.168.1.2", "dev", "eth0"}));  // does not qualify
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    char text[32] = "kept";
    ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "0.0.0.0");
    EXPECT_EQ(expectedFromIp("eth0"), "0.0.0.0");
    ASSERT_TRUE(bed().route({"replace", "10.0.0.0/8", "via", "192.168.1.254", "dev", "eth0"}));
    ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.1.254");
    EXPECT_EQ(expectedFromIp("eth0"), "192.168.1.254");
    // 10.0.0.0/8 through the other card: the default route decides again.
    ASSERT_TRUE(bed().route({"replace", "10.0.0.0/8", "via", "192.168.2.254", "dev", "eth1"}));
    ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.1.1");
    EXPECT_EQ(expectedFromIp("eth0"), "192.168.1.1");
    // A buffer too short for the text: the call still succeeds and keeps what the buffer held.
    char small[8] = "short";
    EXPECT_EQ(VXM_network_getGateway(&eth0, small, sizeof small), 0);
    EXPECT_STREQ(small, "short");
}

TEST_F(NetworkGateway, ADumpLargerThanTheBufferFailsAndClosesItsSocket) {
    twoCards();
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.1", "dev", "eth0"}));
    std::vector<std::string> routes;
    for (int i = 0; i < 400; ++i)
        routes.push_back("route add 172.16." + std::to_string(i / 200) + "." + std::to_string(i % 200) + "/32 via 192.168.1.1 dev eth0");
    ASSERT_TRUE(bed().ipBatch(routes));
    // Each route takes well over 20 bytes of the dump: 400 of them do not fit in 8192.
    const std::string listing = bed().ipOutput({"-4", "route", "show", "table", "main"});
    ASSERT_GT(std::count(listing.begin(), listing.end(), '\n'), 400);
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    const int before = openDescriptors();
    LogCapture log;
    char text[32] = "kept";
    EXPECT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), -1);
    EXPECT_STREQ(text, "kept");
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    expectRecord(all[0], VXM_LOG_ERROR, "VXM_net_readNlSock", kReadCheck);
    EXPECT_EQ(all[0].format, kReadCheck);  // a format without arguments
    expectRecord(all[1], VXM_LOG_ERROR, "VXM_network_getGateway", "get gateway error.");
    EXPECT_EQ(openDescriptors(), before);
    // Back under the limit, the same call succeeds.
    ASSERT_TRUE(bed().route({"flush", "root", "172.16.0.0/16"}));
    ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.1.1");
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(NetworkGateway, BadArgumentsAreRefusedBeforeAnythingIsOpened) {
    twoCards();
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.1", "dev", "eth0"}));
    ASSERT_TRUE(bed().startDaemon());
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0"), empty{};
    for (const char* release : {"4.4", "5.1"}) {
        ASSERT_TRUE(bed().setProperty(kRelease, release));
        char text[32] = "kept";
        struct Case {
            const VXM_NETWORK_CARD_INFO* card;
            char* buffer;
            int length;
        };
        // No default card set for the null card.
        for (Case c : {Case{nullptr, text, 32}, Case{&empty, text, 32}, Case{&eth0, nullptr, 32}, Case{&eth0, text, 0},
                       Case{&eth0, text, -5}}) {
            LogCapture log;
            EXPECT_EQ(VXM_network_getGateway(c.card, c.buffer, c.length), -1) << release;
            expectOnly(log, VXM_LOG_ERROR, "Invaild param.", "VXM_network_getGateway");
        }
        EXPECT_STREQ(text, "kept");
    }
    EXPECT_FALSE(exists(kGatewayFile));
    EXPECT_EQ(bed().stopDaemon(), 0);
    EXPECT_EQ(bed().daemonLog().find("ip route"), std::string::npos) << bed().daemonLog();
}

// ---- the ip tool's listing through the open daemon ----

TEST_F(NetworkGateway, FromClassFiveTheCardsOwnTableIsListedIntoTheFile) {
    twoCards();
    ASSERT_TRUE(bed().nameTable(100, "eth0")) << "cannot name a routing table in the private mount namespace";
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.1", "dev", "eth0"}));  // main: not read
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.77", "dev", "eth0", "table", "eth0"}));
    ASSERT_TRUE(bed().startDaemon());
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    for (const char* release : {"5.1.1", "7.0", "8.0.0"}) {
        ASSERT_TRUE(bed().setProperty(kRelease, release));
        unlink(kGatewayFile);
        LogCapture log;
        char text[32] = "kept";
        ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0) << release;
        EXPECT_STREQ(text, "192.168.1.77") << release;
        for (const auto& record : log.all()) EXPECT_NE(record.level, VXM_LOG_ERROR) << record.message;
        // Left in place: what the tool lists for the table named after the card.
        EXPECT_EQ(readFile(kGatewayFile), bed().ipOutput({"route", "list", "table", "eth0"}));
        struct stat st;
        ASSERT_EQ(stat(kGatewayFile, &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
    EXPECT_EQ(bed().stopDaemon(), 0);
    const std::string daemon = bed().daemonLog();
    EXPECT_NE(daemon.find("command=\"ip route list table eth0 > /tmp/Gateway\""), std::string::npos) << daemon;
    EXPECT_NE(daemon.find("command=\"chmod 644 /tmp/Gateway\""), std::string::npos) << daemon;
}

TEST_F(NetworkGateway, AnEmptyOrForeignListingAndAWordTooLongForTheBuffer) {
    twoCards();
    ASSERT_TRUE(bed().nameTable(100, "eth0"));
    ASSERT_TRUE(bed().nameTable(101, "eth1"));
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.1.77", "dev", "eth0", "table", "eth0"}));
    ASSERT_TRUE(bed().route({"add", "10.0.0.0/8", "via", "192.168.2.1", "dev", "eth1", "table", "eth1"}));
    ASSERT_TRUE(bed().setProperty(kRelease, "5.1"));
    ASSERT_TRUE(bed().startDaemon());
    // A card whose table has no name: the tool lists nothing.
    ASSERT_TRUE(bed().addCard("eth5"));
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0"), eth1 = cardNamed("eth1"), eth5 = cardNamed("eth5");
    char text[32] = "kept";
    {
        LogCapture log;
        EXPECT_EQ(VXM_network_getGateway(&eth5, text, sizeof text), -1);
        expectOnly(log, VXM_LOG_DEBUG, "VXM gateway file is empty", "VXM_network_getGateway");
        EXPECT_EQ(readFile(kGatewayFile), "");
    }
    {
        // The first line is not a default route.
        LogCapture log;
        EXPECT_EQ(VXM_network_getGateway(&eth1, text, sizeof text), 0);
        EXPECT_TRUE(log.all().empty());
        EXPECT_EQ(readFile(kGatewayFile).rfind("10.0.0.0/8 via 192.168.2.1 dev eth1", 0), 0u) << readFile(kGatewayFile);
    }
    EXPECT_STREQ(text, "kept");
    // 12 characters do not fit in 12 bytes: the buffer is left empty; 13 bytes hold them.
    char twelve[12] = "kept";
    EXPECT_EQ(VXM_network_getGateway(&eth0, twelve, sizeof twelve), 0);
    EXPECT_STREQ(twelve, "");
    char thirteen[13] = "kept";
    EXPECT_EQ(VXM_network_getGateway(&eth0, thirteen, sizeof thirteen), 0);
    EXPECT_STREQ(thirteen, "192.168.1.77");
}

TEST_F(NetworkGateway, WithoutTheDaemonTheFileIsMissingOrAnOldListingIsRead) {
    twoCards();
    ASSERT_TRUE(bed().setProperty(kRelease, "8.0"));
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    char text[32] = "kept";
    {
        LogCapture log;
        EXPECT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), -1);
        auto all = log.all();
        ASSERT_EQ(all.size(), 5u);
        // Both commands fail to reach the daemon, and there is no file to read.
        EXPECT_EQ(all[0].function, "cs_conn");
        expectRecord(all[1], VXM_LOG_ERROR, "actShellCmd", "VXM_csopen exec [ip route list table eth0 > /tmp/Gateway] faild");
        EXPECT_EQ(all[2].function, "cs_conn");
        expectRecord(all[3], VXM_LOG_ERROR, "actShellCmd", "VXM_csopen exec [chmod 644 /tmp/Gateway] faild");
        expectRecord(all[4], VXM_LOG_DEBUG, "VXM_network_getGateway", "VXM open gateway file err");
    }
    // A listing left by an earlier call is what the next call reads.
    {
        std::ofstream old(kGatewayFile);
        old << "default via 10.9.8.7 dev eth0 proto static\n10.0.0.0/8 dev eth0\n";
    }
    ASSERT_EQ(VXM_network_getGateway(&eth0, text, sizeof text), 0);
    EXPECT_STREQ(text, "10.9.8.7");
    // A buffer above the bounds-checked copy's own maximum (32 KiB) takes the word as well.
    std::vector<char> large(40000, 'z');
    ASSERT_EQ(VXM_network_getGateway(&eth0, large.data(), static_cast<int>(large.size())), 0);
    EXPECT_EQ(std::strncmp(large.data(), "10.9.8.7", 9), 0);  // with the terminator
}

}  // namespace
