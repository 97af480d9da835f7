// The statistics record of real cards: every counter against the veth's own sysfs files after
// frames the test sends across the pair, the addresses and gateway, the link flag, the totals and
// the error ratio; names that match several cards, all cards or none; no cards at all; and for
// wlan0 the radio figures, from absent wireless tools and from stand-ins that print known answers.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

constexpr char kIpv6Default[] = "/proc/sys/net/ipv6/conf/default/disable_ipv6";
constexpr VXM_INT64 kUnset = -7;  // what the test puts in fields before a call

struct CounterField {
    const char* file;
    VXM_INT64 VXM_NETWORK_STATIC_INFO::*field;
};

const CounterField kCounterFields[] = {
    {"collisions", &VXM_NETWORK_STATIC_INFO::collisions},
    {"multicast", &VXM_NETWORK_STATIC_INFO::multicast},
    {"rx_bytes", &VXM_NETWORK_STATIC_INFO::rx_bytes},
    {"rx_compressed", &VXM_NETWORK_STATIC_INFO::rx_compressed},
    {"rx_crc_errors", &VXM_NETWORK_STATIC_INFO::rx_crc_errors},
    {"rx_dropped", &VXM_NETWORK_STATIC_INFO::rx_dropped},
    {"rx_errors", &VXM_NETWORK_STATIC_INFO::rx_errors},
    {"rx_fifo_errors", &VXM_NETWORK_STATIC_INFO::rx_fifo_errors},
    {"rx_over_errors", &VXM_NETWORK_STATIC_INFO::rx_over_errors},
    {"rx_packets", &VXM_NETWORK_STATIC_INFO::rx_packets},
    {"tx_aborted_errors", &VXM_NETWORK_STATIC_INFO::tx_aborted_errors},
    {"tx_bytes", &VXM_NETWORK_STATIC_INFO::tx_bytes},
    {"tx_carrier_errors", &VXM_NETWORK_STATIC_INFO::tx_carrier_errors},
    {"tx_compressed", &VXM_NETWORK_STATIC_INFO::tx_compressed},
    {"tx_dropped", &VXM_NETWORK_STATIC_INFO::tx_dropped},
    {"tx_errors", &VXM_NETWORK_STATIC_INFO::tx_errors},
    {"tx_fifo_errors", &VXM_NETWORK_STATIC_INFO::tx_fifo_errors},
    {"tx_heartbeat_errors", &VXM_NETWORK_STATIC_INFO::tx_heartbeat_errors},
    {"tx_packets", &VXM_NETWORK_STATIC_INFO::tx_packets},
    {"tx_window_errors", &VXM_NETWORK_STATIC_INFO::tx_window_errors},
};

VXM_INT64 sysfsCounter(const std::string& card, const std::string& file) {
    return std::atoll(readFile("/sys/class/net/" + card + "/statistics/" + file).c_str());
}

// A record named name whose other fields hold markers the call must leave or overwrite.
VXM_NETWORK_STATIC_INFO recordNamed(const std::string& name) {
    VXM_NETWORK_STATIC_INFO info;
    std::memset(&info, 0, sizeof info);
    std::strncpy(info.ifrName, name.c_str(), sizeof info.ifrName - 1);
    std::strcpy(info.reserved, "reserved");
    std::strcpy(info.ipAddr, "ip?");
    std::strcpy(info.netMask, "mask?");
    std::strcpy(info.gateway, "gw?");
    info.linkUp = 7;
    for (const auto& counter : kCounterFields) info.*counter.field = kUnset;
    info.rx_frame_errors = info.rx_length_errors = info.rx_missed_errors = kUnset;
    info.txTotal = info.rxTotal = kUnset;
    info.txBad = info.snr = info.rssi = -7;
    info.quality = -7.0f;
    info.frequency = kUnset;
    info.rxErrorRatio = -7.0f;
    return info;
}

// Sends count frames of length bytes (headers included) out of card with an ethertype no protocol
// handles, so that nothing answers them; false when a frame could not be sent whole.
bool sendFrames(const std::string& card, int count, std::size_t length) {
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex(card.c_str()));
    to.sll_halen = ETH_ALEN;
    std::memset(to.sll_addr, 0xff, ETH_ALEN);
    std::vector<unsigned char> frame(length, 0x5a);
    std::memset(frame.data(), 0xff, ETH_ALEN);                         // broadcast destination
    std::memcpy(frame.data() + ETH_ALEN, "\x02\x00\x00\x00\x00\x01", ETH_ALEN);
    frame[12] = 0x88;  // a local experimental ethertype
    frame[13] = 0xb5;
    bool ok = to.sll_ifindex != 0;
    for (int i = 0; ok && i < count; ++i)
        ok = sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
             static_cast<ssize_t>(frame.size());
    close(fd);
    return ok;
}

class NetworkStatistics : public vxmtest::NetBedTest {
protected:
    // Cards made here send nothing on their own (no IPv6 router solicitations or reports), so
    // their counters move only with the test's frames.
    void SetUp() override {
        NetBedTest::SetUp();
        if (IsSkipped()) return;
        savedIpv6Default_ = readFile(kIpv6Default);
        std::ofstream(kIpv6Default) << "1\n";
    }
    void TearDown() override {
        if (!savedIpv6Default_.empty()) std::ofstream(kIpv6Default) << savedIpv6Default_;
        NetBedTest::TearDown();
    }

    std::string savedIpv6Default_;
};

TEST_F(NetworkStatistics, ACardsCountersAddressesAndLinkAfterTrafficAcrossThePair) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("wlan0"));
    ASSERT_TRUE(bed().addIPv4("eth0", "192.168.50.1/24"));
    ASSERT_TRUE(bed().addIPv4("wlan0", "10.50.0.1/16"));
    ASSERT_TRUE(bed().route({"add", "default", "via", "192.168.50.254", "dev", "eth0"}));
    const std::string peer = bed().peerOf("eth0");
    const VXM_INT64 rxBefore = sysfsCounter("eth0", "rx_packets"), txBefore = sysfsCounter("eth0", "tx_packets");
    const VXM_INT64 rxBytesBefore = sysfsCounter("eth0", "rx_bytes"), txBytesBefore = sysfsCounter("eth0", "tx_bytes");
    ASSERT_TRUE(sendFrames(peer, 25, 100));   // arrives on eth0
    ASSERT_TRUE(sendFrames("eth0", 9, 300));  // leaves eth0
    ASSERT_TRUE(waitUntil([&] { return sysfsCounter("eth0", "rx_packets") == rxBefore + 25; }, std::chrono::seconds(3)));

    VXM_NETWORK_STATIC_INFO info = recordNamed("eth0");
    ASSERT_EQ(VXM_network_getStatic(&info), 0);
    EXPECT_EQ(info.rx_packets - rxBefore, 25);
    EXPECT_EQ(info.rx_bytes - rxBytesBefore, 25 * 100);
    EXPECT_EQ(info.tx_packets - txBefore, 9);
    EXPECT_EQ(info.tx_bytes - txBytesBefore, 9 * 300);
    for (const auto& counter : kCounterFields)
        EXPECT_EQ(info.*counter.field, sysfsCounter("eth0", counter.file)) << counter.file;
    EXPECT_EQ(info.txTotal, info.tx_dropped + info.tx_errors + info.tx_packets);
    EXPECT_EQ(info.rxTotal, info.rx_packets + info.rx_errors + info.rx_dropped);
    EXPECT_EQ(info.rx_errors, 0);
    EXPECT_EQ(info.rxErrorRatio, 0.0f);  // written: packets were received, none in error
    EXPECT_EQ(info.linkUp, 1);
    EXPECT_STREQ(info.ipAddr, "192.168.50.1");
    EXPECT_STREQ(info.netMask, "255.255.255.0");
    EXPECT_STREQ(info.gateway, "192.168.50.254");
    // Not this function's: the reserved bytes, the three unread counters, the radio figures.
    EXPECT_STREQ(info.reserved, "reserved");
    EXPECT_EQ(info.rx_frame_errors, kUnset);
    EXPECT_EQ(info.rx_length_errors, kUnset);
    EXPECT_EQ(info.rx_missed_errors, kUnset);
    EXPECT_EQ(info.rssi, -7);
    EXPECT_EQ(info.snr, -7);
    EXPECT_EQ(info.txBad, -7);
    EXPECT_EQ(info.quality, -7.0f);
    EXPECT_EQ(info.frequency, kUnset);
    EXPECT_EQ(info.ifrName, std::string("eth0"));
}

TEST_F(NetworkStatistics, ADownCardLeavesTheLinkFlagAndNoPacketsLeaveTheRatio) {
    ASSERT_TRUE(bed().addCard("eth0", false, true));
    ASSERT_TRUE(bed().addIPv4("eth0", "192.168.60.1/24"));
    VXM_NETWORK_STATIC_INFO info = recordNamed("eth0");
    ASSERT_EQ(VXM_network_getStatic(&info), 0);
    EXPECT_EQ(readFile("/sys/class/net/eth0/operstate"), "down\n");
    EXPECT_EQ(info.linkUp, 7);
    EXPECT_EQ(info.rx_packets, 0);
    EXPECT_EQ(info.rxTotal, 0);
    EXPECT_EQ(info.rxErrorRatio, -7.0f);
    EXPECT_STREQ(info.ipAddr, "192.168.60.1");
    EXPECT_STREQ(info.gateway, "gw?");  // no route qualifies
    // Up without carrier is not "up" either.
    ASSERT_TRUE(bed().setCarrier("eth0", false));
    ASSERT_TRUE(bed().setUp("eth0", true));
    ASSERT_EQ(VXM_network_getStatic(&info), 0);
    EXPECT_EQ(info.linkUp, 7);
    ASSERT_TRUE(bed().setCarrier("eth0", true));
    ASSERT_EQ(VXM_network_getStatic(&info), 0);
    EXPECT_EQ(info.linkUp, 1);
}

TEST_F(NetworkStatistics, ANameMatchesEveryCardItBeginsAndTheLastCardDecides) {
    ASSERT_TRUE(bed().addCard("eth0", false, true));
    ASSERT_TRUE(bed().addCard("eth1"));
    ASSERT_TRUE(bed().addCard("wlan0", false, true));
    ASSERT_TRUE(bed().addIPv4("eth0", "192.168.70.1/24"));
    ASSERT_TRUE(bed().addIPv4("eth1", "172.16.70.1/16"));
    ASSERT_TRUE(bed().addIPv4("wlan0", "10.70.0.1/8"));
    ASSERT_TRUE(sendFrames(bed().peerOf("eth1"), 3, 80));
    VXM_NETWORK_CARD_INFO cards[8] = {};
    int count = 8;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    ASSERT_EQ(count, 3);
    // The last card in directory order whose name begins with the given one.
    auto lastOf = [&](const std::string& prefix) {
        std::string last;
        for (int i = 0; i < count; ++i)
            if (std::string(cards[i].ifrName).rfind(prefix, 0) == 0) last = cards[i].ifrName;
        return last;
    };
    for (const std::string prefix : {"eth", ""}) {
        const std::string last = lastOf(prefix);
        VXM_NETWORK_STATIC_INFO info = recordNamed(prefix);
        ASSERT_EQ(VXM_network_getStatic(&info), 0) << prefix;
        char address[32] = {};
        VXM_NETWORK_CARD_INFO lastCard = cardNamed(last);
        ASSERT_EQ(VXM_network_getIpAddr(&lastCard, address, sizeof address), 0);
        EXPECT_STREQ(info.ipAddr, address) << prefix << " last " << last;
        for (const auto& counter : kCounterFields)
            EXPECT_EQ(info.*counter.field, sysfsCounter(last, counter.file)) << prefix << " " << counter.file;
        EXPECT_EQ(info.linkUp, 1) << prefix;  // eth1 is up, whatever the order
        EXPECT_EQ(info.rssi, -7) << prefix;   // the name is not exactly wlan0
    }
    VXM_NETWORK_STATIC_INFO downOnly = recordNamed("eth0");
    ASSERT_EQ(VXM_network_getStatic(&downOnly), 0);
    EXPECT_EQ(downOnly.linkUp, 7);
    EXPECT_STREQ(downOnly.ipAddr, "192.168.70.1");
}

TEST_F(NetworkStatistics, ANameThatMatchesNoCardFillsNothingAndEachStepIsLogged) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("wlan0"));
    VXM_NETWORK_CARD_INFO cards[4] = {};
    int count = 4;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    ASSERT_EQ(count, 2);
    for (const std::string name : {"eth2", "eth0x", "lo"}) {
        VXM_NETWORK_STATIC_INFO info = recordNamed(name), before = info;
        LogCapture log;
        ASSERT_EQ(VXM_network_getStatic(&info), 0) << name;
        EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << name;
        std::vector<std::pair<int, std::string>> expected = {
            {VXM_LOG_DEBUG, "VXM_network_getStatic start to get static info"},
            {VXM_LOG_INFO, "count:2"},
            {VXM_LOG_DEBUG, "VXM_network_getStatic count is '2'"},
        };
        for (int i = 0; i < count; ++i)
            expected.push_back({VXM_LOG_DEBUG, "VXM_network_getStatic card  '" + std::string(cards[i].ifrName) +
                                                   "' intput '" + name + "'"});
        for (int i = 0; i < count; ++i)
            expected.push_back({VXM_LOG_DEBUG, "VXM_network_getStatic card '" + std::string(cards[i].ifrName) +
                                                   "' intput '" + name + "'"});
        auto all = log.all();
        ASSERT_EQ(all.size(), expected.size()) << name;
        for (std::size_t i = 0; i < all.size(); ++i)
            expectRecord(all[i], expected[i].first, i == 1 ? "VXM_network_getCount" : "VXM_network_getStatic",
                         expected[i].second);
    }
}

TEST_F(NetworkStatistics, NoRecordOrNoCardsFail) {
    LogCapture log;
    EXPECT_EQ(VXM_network_getStatic(nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "VXM_network_getStatic  input para error", "VXM_network_getStatic");
    // The bed has made no card yet: lo is not one.
    log.clear();
    VXM_NETWORK_STATIC_INFO info = recordNamed(""), before = info;
    EXPECT_EQ(VXM_network_getStatic(&info), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_getStatic",
               "VXM_network_getStatic  can't malloc mem for cardinfo card number '0'");
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

// ---- wlan0's radio figures ----

class NetworkStatisticsWireless : public NetworkStatistics {
protected:
    void SetUp() override {
        NetworkStatistics::SetUp();
        if (IsSkipped()) return;
        savedPath_ = getenv("PATH");
        ASSERT_TRUE(bed().addCard("wlan0"));
    }
    void TearDown() override {
        if (!savedPath_.empty()) setenv("PATH", savedPath_.c_str(), 1);
        unsetenv("VXM_FAKE_WIRELESS_DIR");
        NetworkStatistics::TearDown();
    }
    // The stand-in tools first on PATH, answering from answers_.
    void useStandIns() {
        setenv("PATH", (std::string(VXM_FAKE_WIRELESS_DIR) + ":" + savedPath_).c_str(), 1);
        setenv("VXM_FAKE_WIRELESS_DIR", answers_.path().c_str(), 1);
    }
    void answer(const std::string& file, const std::string& text) { std::ofstream(answers_.file(file)) << text; }
    VXM_NETWORK_STATIC_INFO query() {
        VXM_NETWORK_STATIC_INFO info = recordNamed("wlan0");
        EXPECT_EQ(VXM_network_getStatic(&info), 0);
        return info;
    }

    std::string savedPath_;
    TempDir answers_;
};

TEST_F(NetworkStatisticsWireless, AbsentToolsGiveZeroFiguresAndFullQuality) {
    for (const char* tool : {"iwpriv", "wpa_cli", "iwlist"})
        if (runProgram({"sh", "-c", std::string("command -v ") + tool}) == 0)
            GTEST_SKIP() << tool << " is installed here: its answers are the machine's, not absent";
    LogCapture log;
    VXM_NETWORK_STATIC_INFO info = query();
    EXPECT_EQ(info.rssi, 0);
    EXPECT_EQ(info.snr, 0);
    EXPECT_EQ(info.txBad, 0);
    EXPECT_EQ(info.quality, 1.0f);
    EXPECT_EQ(info.frequency, 0);
    EXPECT_EQ(info.tx_packets, sysfsCounter("wlan0", "tx_packets"));  // the counters come as for any card
    auto named = log.withFormat("ifrName=wlan0");
    ASSERT_EQ(named.size(), 1u);
    expectRecord(named[0], VXM_LOG_INFO, "VXM_network_getStatic", "ifrName=wlan0");
    auto dbm = log.withFormat("rssi=%d");
    ASSERT_EQ(dbm.size(), 1u);
    expectRecord(dbm[0], VXM_LOG_INFO, "VXM_network_getwifi_dbm", "rssi=0");
    EXPECT_EQ(log.withFormat("can't find '%s' after exe '%s'").size(), 4u);
}

TEST_F(NetworkStatisticsWireless, TheToolsAnswersGiveStrengthNoiseFailuresQualityAndFrequency) {
    useStandIns();
    answer("iwpriv.getRSSI", "wlan0     getRSSI:rssi=-70\n");
    answer("iwpriv.getSNR", "wlan0     getSNR:snr=25\n");
    answer("wpa_cli.pktcnt_poll", "TXGOOD=100\nTXBAD=12\nRXGOOD=90\n");
    answer("iwlist.channel", "wlan0     13 channels in total; available frequencies :\n"
                             "          Channel 01 : 2.412 GHz\n"
                             "          Current Frequency:2.437 GHz (Channel 6)\n");
    LogCapture log;
    VXM_NETWORK_STATIC_INFO info = query();
    EXPECT_EQ(info.rssi, -70);
    EXPECT_EQ(info.snr, 25);
    EXPECT_EQ(info.txBad, 12);
    EXPECT_EQ(info.quality, 30.0f / 45.0f);
    EXPECT_EQ(info.frequency, 200000000);
    auto dbm = log.withFormat("rssi=%d");
    ASSERT_EQ(dbm.size(), 1u);
    EXPECT_EQ(dbm[0].message, "rssi=-70");
    // The commands as the tools received them.
    EXPECT_EQ(readLines(answers_.file("calls")),
              (std::vector<std::string>{"iwpriv wlan0 getRSSI", "iwpriv wlan0 getSNR",
                                        "wpa_cli -i wlan0 -p /data/misc/wifi/sockets pktcnt_poll",
                                        "iwlist wlan0 channel"}));
    answer("iwlist.channel", "          Current Frequency:5.18 GHz (Channel 36)\n");
    EXPECT_EQ(query().frequency, 500000000);
    answer("iwlist.channel", "          Frequency:5.18 GHz\n");  // no "Current Frequency:" line
    EXPECT_EQ(query().frequency, 0);
}

TEST_F(NetworkStatisticsWireless, QualityFollowsTheStrengthAtItsBounds) {
    useStandIns();
    const std::pair<int, float> cases[] = {
        {-100, 0.0f}, {-99, 1.0f / 45.0f}, {-80, 20.0f / 45.0f}, {-56, 44.0f / 45.0f}, {-55, 1.0f}, {-20, 1.0f}};
    for (const auto& c : cases) {
        answer("iwpriv.getRSSI", "rssi=" + std::to_string(c.first) + "\n");
        VXM_NETWORK_STATIC_INFO info = query();
        EXPECT_EQ(info.rssi, c.first);
        EXPECT_EQ(info.quality, c.second) << c.first;
    }
    // No "rssi=" line: strength 0, quality 1.0.
    answer("iwpriv.getRSSI", "wlan0     getRSSI:\n");
    VXM_NETWORK_STATIC_INFO info = query();
    EXPECT_EQ(info.rssi, 0);
    EXPECT_EQ(info.quality, 1.0f);
}

}  // namespace
