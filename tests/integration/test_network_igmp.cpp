// IGMP leave and join messages on a real card: the packets are captured on the card with tshark
// and compared byte for byte, and tshark's own checksum validation must find both checksums good.
// The failures of each sender (no source, no raw-socket right, no route), and the kernel's forced
// IGMP version written through the real vxmopend.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"
#include "vxmosal/VXM_utility.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h
using Bytes = std::vector<unsigned char>;

constexpr char kSourceProperty[] = "persist.sys.vxm.ipaddress";
constexpr char kForcedVersion[] = "/proc/sys/net/ipv4/conf/all/force_igmp_version";
constexpr std::size_t kEthernetHeader = 14;
constexpr auto kToolWait = std::chrono::seconds(10);
constexpr auto kPacketWait = std::chrono::seconds(5);
// How long a capture goes on after the expected packets, so that one more would be seen.
constexpr auto kQuietAfter = std::chrono::milliseconds(300);

// tshark on one card with the capture filter "igmp": the frames in a pcap file and, line by line
// as they come, tshark's verdict on the IPv4 header and IGMP checksums (0 bad, 1 good).
class IgmpCapture {
public:
    explicit IgmpCapture(const std::string& card) {
        std::vector<std::string> args = {"tshark", "-i", card, "-f", "igmp", "-l", "-n", "-P", "-F", "pcap",
                                         "-w", dir_.file("frames.pcap"), "-o", "ip.check_checksum:TRUE",
                                         "-T", "fields", "-e", "ip.checksum.status", "-e",
                                         "igmp.checksum.status"};
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(dir_.file("fields").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        ready_ = pid_ > 0 && waitUntil([&] { return readFile(dir_.file("stderr")).find("Capture started") != std::string::npos; },
                                       kToolWait);
    }
    ~IgmpCapture() { stop(); }

    bool ready() const { return ready_; }
    std::string errors() const { return readFile(dir_.file("stderr")); }

    // Waits for count packets, then a little longer for any more, and ends the capture.
    void finish(std::size_t count) {
        waitUntil([&] { return readLines(dir_.file("fields")).size() >= count; }, kPacketWait);
        std::this_thread::sleep_for(kQuietAfter);
        stop();
    }

    // Each captured frame without its Ethernet header.
    std::vector<Bytes> packets() const {
        std::ifstream in(dir_.file("frames.pcap"), std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<Bytes> out;
        for (std::size_t at = 24; at + 16 <= file.size();) {  // the file header, then each record's
            std::uint32_t length;
            std::memcpy(&length, file.data() + at + 8, 4);
            at += 16;
            if (at + length > file.size() || length < kEthernetHeader) break;
            out.emplace_back(file.begin() + at + kEthernetHeader, file.begin() + at + length);
            at += length;
        }
        return out;
    }

    // One line per packet: the two checksum verdicts, tab-separated.
    std::vector<std::string> verdicts() const { return readLines(dir_.file("fields")); }

private:
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    TempDir dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

bool tsharkPresent() { return runProgram({"tshark", "--version"}) == 0; }

Bytes leavePacket(const Bytes& source, const Bytes& headerSum, const Bytes& group, const Bytes& igmpSum) {
    Bytes p = {0x46, 0xC0, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02};
    p.insert(p.end(), headerSum.begin(), headerSum.end());
    p.insert(p.end(), source.begin(), source.end());
    p.insert(p.end(), {0xE0, 0x00, 0x00, 0x02, 0x94, 0x04, 0x00, 0x00, 0x17, 0x00});
    p.insert(p.end(), igmpSum.begin(), igmpSum.end());
    p.insert(p.end(), group.begin(), group.end());
    return p;
}

Bytes reportPacket(unsigned char record, const Bytes& group, const Bytes& igmpSum) {
    Bytes p = {0x46, 0xC0, 0x00, 0x28, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0x42, 0x47, 0xC0, 0xA8, 0x01, 0x0A,
               0xE0, 0x00, 0x00, 0x16, 0x94, 0x04, 0x00, 0x00, 0x22, 0x00};
    p.insert(p.end(), igmpSum.begin(), igmpSum.end());
    p.insert(p.end(), {0x00, 0x00, 0x00, 0x01, record, 0x00, 0x00, 0x00});
    p.insert(p.end(), group.begin(), group.end());
    return p;
}

const Bytes kCardAddress = {0xC0, 0xA8, 0x01, 0x0A};  // 192.168.1.10
const Bytes kGroup = {0xEF, 0x01, 0x01, 0x01};        // 239.1.1.1
const Bytes kNoGroup = {0x00, 0x00, 0x00, 0x00};
const Bytes kLeave = leavePacket(kCardAddress, {0x42, 0x63}, kGroup, {0xF8, 0xFC});
// The Leave Group for 0.0.0.0: the words 0x1700 alone.
const Bytes kLeaveNoGroup = leavePacket(kCardAddress, {0x42, 0x63}, kNoGroup, {0xE8, 0xFF});

// The captured packets are these, in order, and tshark finds every checksum good. The kernel
// writes the IPv4 header checksum of a packet that carries its own header again (the same bytes
// when the library's is right), so the header's checksum is checked on its own by the unit test
// of the checksum.
void expectPackets(const IgmpCapture& capture, const std::vector<Bytes>& expected) {
    EXPECT_EQ(capture.packets(), expected);
    EXPECT_EQ(capture.verdicts(), std::vector<std::string>(expected.size(), "1\t1"));
}

// (level, message) of every record, in order, each from function.
void expectRecords(const LogCapture& log, const std::string& function,
                   const std::vector<std::pair<int, std::string>>& expected) {
    auto all = log.all();
    ASSERT_EQ(all.size(), expected.size());
    for (std::size_t i = 0; i < all.size(); ++i) expectRecord(all[i], expected[i].first, function, expected[i].second);
}

// eth0 at 192.168.1.10/24 with a route for the multicast range, the default card eth0, and tshark.
class NetworkIgmp : public NetBedTest {
protected:
    void SetUp() override {
        NetBedTest::SetUp();
        if (IsSkipped()) return;
        if (!tsharkPresent()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
        ASSERT_TRUE(bed().addCard("eth0"));
        ASSERT_TRUE(bed().addIPv4("eth0", "192.168.1.10/24"));
        ASSERT_EQ(runProgram({"ip", "route", "add", "224.0.0.0/4", "dev", "eth0"}), 0);
        setDefaultCard("eth0", VXM_CARD_TYPE_WIRED);
    }
    void TearDown() override {
        VXM_network_setConnType("Static");
        VXM_network_setPPPoeIPHeader(0);
        NetBedTest::TearDown();
    }
};

TEST_F(NetworkIgmp, LeaveSendsOneLeaveGroupFromTheSourceProperty) {
    ASSERT_EQ(VXM_property_set(kSourceProperty, "192.168.1.10"), 0);
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1"), 0);
    expectRecords(log, "VXM_network_IGMPLeave",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: setsockopt size = 0"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: send data size = 32"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave"}});
    capture.finish(1);
    expectPackets(capture, {kLeave});
}

TEST_F(NetworkIgmp, LeaveTakesThePropertyNotTheCardAndSendsNothingWithoutIt) {
    // A source that is not the card's is sent as it stands.
    ASSERT_EQ(VXM_property_set(kSourceProperty, "10.20.30.40"), 0);
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1"), 0);
    ASSERT_EQ(unlink((bed().propertyDir() + "/" + kSourceProperty).c_str()), 0);
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1"), -1);
    expectRecords(log, "VXM_network_IGMPLeave",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave"}, {VXM_LOG_ERROR, "VXM_property_get ip FAILD !!!"}});
    // PPPoE with the header switch on still needs the property.
    ASSERT_EQ(VXM_network_setConnType("PPPoE"), 0);
    VXM_network_setPPPoeIPHeader(1);
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1"), -1);
    expectLast(log, VXM_LOG_ERROR, "VXM_network_IGMPLeave", "VXM_property_get ip FAILD !!!");
    capture.finish(1);
    expectPackets(capture, {leavePacket({0x0A, 0x14, 0x1E, 0x28}, {0xDB, 0xD9}, kGroup, {0xF8, 0xFC})});
}

TEST_F(NetworkIgmp, OnPppoeWithoutTheHeaderSwitchTheKernelFillsTheSource) {
    ASSERT_EQ(VXM_network_setConnType("PPPoE"), 0);
    VXM_network_setPPPoeIPHeader(0);
    ASSERT_EQ(VXM_property_set(kSourceProperty, "10.20.30.40"), 0);  // not read
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1"), 0);
    expectRecords(log, "VXM_network_IGMPLeave",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: setsockopt size = 0"},
                   {VXM_LOG_ERROR, "INCORRECT IP ADDRESS!\n"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: send data size = 32"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave"}});
    capture.finish(1);
    expectPackets(capture, {kLeave});  // the card's address, chosen by the kernel
}

TEST_F(NetworkIgmp, Leave2SendsOneLeaveGroupFromTheDefaultCard) {
    ASSERT_EQ(VXM_property_set(kSourceProperty, "10.20.30.40"), 0);  // not read
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave2("239.1.1.1"), 0);
    expectRecords(log, "VXM_network_IGMPLeave2",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave2"},
                   {VXM_LOG_DEBUG, "VXM_net_IGMPleave success: send data size = 32"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave2"}});
    capture.finish(1);
    expectPackets(capture, {kLeave});
}

TEST_F(NetworkIgmp, Leave3SendsOneReportThatLeavesOrJoins) {
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 0), 0);
    expectRecords(log, "VXM_network_IGMPLeave3",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave3"}, {VXM_LOG_DEBUG, "Success to the VXM_net_IGMPJoin"}});
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 1), 0);
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 0x80000000u), 0);
    EXPECT_EQ(log.all().size(), 4u);
    expectLast(log, VXM_LOG_DEBUG, "VXM_network_IGMPLeave3", "Success to the VXM_net_IGMPJoin");
    capture.finish(3);
    const Bytes join = reportPacket(0x04, kGroup, {0xE9, 0xFB});
    expectPackets(capture, {reportPacket(0x03, kGroup, {0xEA, 0xFB}), join, join});
}

TEST_F(NetworkIgmp, SendersOnSeveralThreadsEachSendTheirOwnPacket) {
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    constexpr int kThreads = 4;
    int results[kThreads] = {-2, -2, -2, -2};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&results, i] {
            results[i] = VXM_network_IGMPLeave3(("239.1.1." + std::to_string(i + 1)).c_str(), 1);
        });
    for (auto& t : threads) t.join();
    for (int result : results) EXPECT_EQ(result, 0);
    capture.finish(kThreads);
    auto packets = capture.packets();
    ASSERT_EQ(packets.size(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(capture.verdicts(), std::vector<std::string>(kThreads, "1\t1"));
    std::sort(packets.begin(), packets.end(), [](const Bytes& a, const Bytes& b) { return a.back() < b.back(); });
    const unsigned char sums[kThreads] = {0xFB, 0xFA, 0xF9, 0xF8};  // 0xE9FB less one per step of the group's last byte
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(packets[i], reportPacket(0x04, {0xEF, 0x01, 0x01, static_cast<unsigned char>(i + 1)},
                                           {0xE9, sums[i]}))
            << i;
}

TEST_F(NetworkIgmp, AGroupThatIsNoAddressGoesOutAsZero) {
    ASSERT_EQ(VXM_property_set(kSourceProperty, "192.168.1.10"), 0);
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.256"), 0);
    expectRecords(log, "VXM_network_IGMPLeave",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: setsockopt size = 0"},
                   {VXM_LOG_ERROR, "INCORRECT IP ADDRESS!\n"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: send data size = 32"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave"}});
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave2("group"), 0);
    expectRecords(log, "VXM_network_IGMPLeave2",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave2"},
                   {VXM_LOG_ERROR, "INCORRECT IP ADDRESS!\n"},
                   {VXM_LOG_DEBUG, "VXM_net_IGMPleave success: send data size = 32"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave2"}});
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3("", 1), 0);
    expectRecords(log, "VXM_network_IGMPLeave3",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave3"},
                   {VXM_LOG_ERROR, "INCORRECT IP ADDRESS!\n"},
                   {VXM_LOG_DEBUG, "Success to the VXM_net_IGMPJoin"}});
    capture.finish(3);
    // The report's words 0x2200, 0x0001 and 0x0400 alone.
    expectPackets(capture, {kLeaveNoGroup, kLeaveNoGroup, reportPacket(0x04, kNoGroup, {0xD9, 0xFE})});
}

TEST_F(NetworkIgmp, ANullGroupSendsNothing) {
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    ASSERT_EQ(VXM_property_set(kSourceProperty, "192.168.1.10"), 0);
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave(nullptr), -1);
    expectRecords(log, "VXM_network_IGMPLeave",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave"}, {VXM_LOG_ERROR, "param mul_ip is error"}});
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave2(nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param mul_ip is error", "VXM_network_IGMPLeave2");
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3(nullptr, 1), -1);
    EXPECT_TRUE(log.all().empty());
    capture.finish(0);
    expectPackets(capture, {});
}

TEST_F(NetworkIgmp, WithoutADefaultCardAddressNothingIsSent) {
    ASSERT_TRUE(bed().addCard("eth1"));  // no IPv4 address
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    setDefaultCard("eth1", VXM_CARD_TYPE_WIRED);
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave2("239.1.1.1"), -1);
    auto all = log.all();
    ASSERT_EQ(all.size(), 3u);
    expectRecord(all[0], VXM_LOG_INFO, "VXM_network_IGMPLeave2", "enter VXM_network_IGMPLeave2");
    expectRecord(all[1], VXM_LOG_ERROR, "VXM_network_getIpAddr",
                 "failed to read eth1 IP, ioctl error: Cannot assign requested address.");
    expectRecord(all[2], VXM_LOG_ERROR, "VXM_network_IGMPLeave2", "Failed to the VXM_network_getIpAddr");
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 1), -1);
    all = log.all();
    ASSERT_EQ(all.size(), 3u);
    expectRecord(all[0], VXM_LOG_INFO, "VXM_network_IGMPLeave3", "enter VXM_network_IGMPLeave3");
    expectRecord(all[2], VXM_LOG_ERROR, "VXM_network_IGMPLeave3", "Failed to the VXM_network_getIpAddr");
    // No default card at all.
    clearDefaultCard();
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 0), -1);
    all = log.all();
    ASSERT_EQ(all.size(), 3u);
    expectRecord(all[1], VXM_LOG_ERROR, "VXM_network_getIpAddr", "Invaild param.");
    expectRecord(all[2], VXM_LOG_ERROR, "VXM_network_IGMPLeave3", "Failed to the VXM_network_getIpAddr");
    capture.finish(0);
    expectPackets(capture, {});
}

// Runs body on a thread of its own whose effective capabilities lack CAP_NET_RAW (capabilities
// belong to a thread), so the rest of the process keeps the right. False when it cannot be dropped.
template <typename Body>
bool withoutRawRight(Body body) {
    bool dropped = false;
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0) return;
        data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
        if (syscall(SYS_capset, &header, data) != 0) return;
        dropped = true;
        body();
    });
    worker.join();
    return dropped;
}

TEST_F(NetworkIgmp, WithoutTheRawSocketRightEverySenderFailsAtItsSocket) {
    ASSERT_EQ(VXM_property_set(kSourceProperty, "192.168.1.10"), 0);
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ready()) << capture.errors();
    LogCapture log;
    std::vector<LogRecord> leave, leave2, leave3;
    int results[3] = {0, 0, 0};
    ASSERT_TRUE(withoutRawRight([&] {
        results[0] = VXM_network_IGMPLeave("239.1.1.1");
        leave = log.all();
        log.clear();
        results[1] = VXM_network_IGMPLeave2("239.1.1.1");
        leave2 = log.all();
        log.clear();
        results[2] = VXM_network_IGMPLeave3("239.1.1.1", 1);
        leave3 = log.all();
    }));
    EXPECT_EQ(results[0], -1);
    EXPECT_EQ(results[1], -1);
    EXPECT_EQ(results[2], -1);
    ASSERT_EQ(leave.size(), 2u);
    expectRecord(leave[1], VXM_LOG_ERROR, "VXM_network_IGMPLeave", "create socket failed[errno=1]");
    ASSERT_EQ(leave2.size(), 2u);
    expectRecord(leave2[1], VXM_LOG_ERROR, "VXM_network_IGMPLeave2", "create socket failed[errno=1]");
    ASSERT_EQ(leave3.size(), 3u);
    expectRecord(leave3[1], VXM_LOG_ERROR, "VXM_network_IGMPLeave3", "create socket failed![errno=1]");
    expectRecord(leave3[2], VXM_LOG_INFO, "VXM_network_IGMPLeave3", "leave VXM_network_IGMPLeave3");
    // This thread kept the right.
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 1), 0);
    capture.finish(1);
    expectPackets(capture, {reportPacket(0x04, kGroup, {0xE9, 0xFB})});
}

TEST_F(NetworkIgmp, WithoutARouteTheSendFails) {
    ASSERT_EQ(runProgram({"ip", "route", "del", "224.0.0.0/4", "dev", "eth0"}), 0);
    ASSERT_EQ(VXM_property_set(kSourceProperty, "192.168.1.10"), 0);
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1"), -1);
    expectRecords(log, "VXM_network_IGMPLeave",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave"},
                   {VXM_LOG_INFO, "VXM_net_IGMPleave success: setsockopt size = 0"},
                   {VXM_LOG_ERROR, "VXM_net_IGMPleave failed: send data error[errno=101]"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave"}});
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave2("239.1.1.1"), -1);
    expectRecords(log, "VXM_network_IGMPLeave2",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave2"},
                   {VXM_LOG_ERROR, "VXM_net_IGMPleave failed: send data error[errno=101]"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave2"}});
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 0), -1);
    expectRecords(log, "VXM_network_IGMPLeave3",
                  {{VXM_LOG_INFO, "enter VXM_network_IGMPLeave3"},
                   {VXM_LOG_ERROR, "sendto[errno=101]"},
                   {VXM_LOG_INFO, "leave VXM_network_IGMPLeave3"}});
}

// ---- the kernel's forced version ----

std::string forcedVersion() { return readFile(kForcedVersion); }

TEST_F(NetworkIgmp, SetVersionWritesTheKernelSettingThroughTheDaemon) {
    ASSERT_TRUE(bed().startDaemon());
    LogCapture log;
    EXPECT_EQ(VXM_network_IGMPSetVersion(3), 0);
    expectOnly(log, VXM_LOG_DEBUG, "set igmp version is [3]", "VXM_network_IGMPSetVersion");
    EXPECT_TRUE(waitUntil([] { return forcedVersion() == "3\n"; }, kPacketWait)) << forcedVersion();
    // The daemon logs the command, its quotation marks escaped, once it has ended.
    EXPECT_TRUE(waitUntil(
        [&] {
            return bed().daemonLog().find(R"(command="echo \"3\" > /proc/sys/net/ipv4/conf/all/force_igmp_version")") !=
                   std::string::npos;
        },
        kPacketWait))
        << bed().daemonLog();
    EXPECT_EQ(VXM_network_IGMPSetVersion(2), 0);
    EXPECT_TRUE(waitUntil([] { return forcedVersion() == "2\n"; }, kPacketWait)) << forcedVersion();
    // Any other version writes nothing.
    log.clear();
    EXPECT_EQ(VXM_network_IGMPSetVersion(1), -1);
    EXPECT_EQ(VXM_network_IGMPSetVersion(0), -1);
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    expectRecord(all[0], VXM_LOG_DEBUG, "VXM_network_IGMPSetVersion", "set igmp version is [1]");
    expectRecord(all[1], VXM_LOG_DEBUG, "VXM_network_IGMPSetVersion", "set igmp version is [0]");
    EXPECT_EQ(forcedVersion(), "2\n");
    // Without the daemon the command is refused.
    bed().stopDaemon();
    log.clear();
    EXPECT_EQ(VXM_network_IGMPSetVersion(3), -1);
    all = log.all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].message, "cs_conn failed:errno=2");  // the channel's own report
    expectRecord(all[2], VXM_LOG_ERROR, "actShellCmd",
                 "VXM_csopen exec [echo \"3\" > /proc/sys/net/ipv4/conf/all/force_igmp_version] faild");
    EXPECT_EQ(forcedVersion(), "2\n");
}

}  // namespace
