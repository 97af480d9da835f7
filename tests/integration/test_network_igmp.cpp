// IGMP leave and join messages as they leave eth0 of the box (192.168.1.10), caught byte for byte
// on a packet socket; the failures of each sender; and the kernel's forced IGMP version written
// through the box's vxmopend.
#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "integration/box.h"
#include "vxmosal/VXM_utility.h"

namespace {

using namespace vxmtest;
using Bytes = std::vector<unsigned char>;

// The IGMP packets leaving a card, from the moment it is made (only a socket of every protocol
// sees what is sent).
class IgmpCapture {
public:
    explicit IgmpCapture(const char* card) : fd_(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL))) {
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = static_cast<int>(if_nametoindex(card));
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    }
    ~IgmpCapture() { close(fd_); }
    bool ok() const { return ok_; }
    // The IGMP packets that come until expected have come (at most 5 s) and 300 ms more pass quietly.
    std::vector<Bytes> packets(std::size_t expected) {
        std::vector<Bytes> out;
        pollfd ready{fd_, POLLIN, 0};
        while (poll(&ready, 1, out.size() < expected ? 5000 : 300) == 1) {
            Bytes packet(2048);
            const ssize_t got = recv(fd_, packet.data(), packet.size(), 0);
            if (got > 9 && packet[0] >> 4 == 4 && packet[9] == IPPROTO_IGMP) out.emplace_back(packet.begin(), packet.begin() + got);
        }
        return out;
    }

private:
    int fd_;
    bool ok_ = false;
};

Bytes leave(const Bytes& source, const Bytes& headerSum, const Bytes& group, const Bytes& igmpSum) {
    Bytes p = {0x46, 0xC0, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02};
    p.insert(p.end(), headerSum.begin(), headerSum.end());
    p.insert(p.end(), source.begin(), source.end());
    p.insert(p.end(), {0xE0, 0x00, 0x00, 0x02, 0x94, 0x04, 0x00, 0x00, 0x17, 0x00});
    p.insert(p.end(), igmpSum.begin(), igmpSum.end());
    p.insert(p.end(), group.begin(), group.end());
    return p;
}

Bytes report(unsigned char record, const Bytes& group, const Bytes& igmpSum) {
    Bytes p = {0x46, 0xC0, 0x00, 0x28, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0x42, 0x47, 0xC0, 0xA8, 0x01, 0x0A,
               0xE0, 0x00, 0x00, 0x16, 0x94, 0x04, 0x00, 0x00, 0x22, 0x00};
    p.insert(p.end(), igmpSum.begin(), igmpSum.end());
    p.insert(p.end(), {0x00, 0x00, 0x00, 0x01, record, 0x00, 0x00, 0x00});
    p.insert(p.end(), group.begin(), group.end());
    return p;
}

const Bytes kCard = {0xC0, 0xA8, 0x01, 0x0A}, kGroup = {0xEF, 0x01, 0x01, 0x01}, kNone = {0, 0, 0, 0};
const Bytes kLeave = leave(kCard, {0x42, 0x63}, kGroup, {0xF8, 0xFC});
const Bytes kJoin = report(0x04, kGroup, {0xE9, 0xFB});
constexpr char kSource[] = "persist.sys.vxm.ipaddress";
const Rec kIncorrect{4, "", "INCORRECT IP ADDRESS!\n"};

class NetworkIgmp : public BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        if (IsSkipped()) return;
        setDefaultCard("eth0", VXM_CARD_TYPE_WIRED);
        setProperty(kSource, "192.168.1.10");
    }
    void TearDown() override {
        VXM_network_setConnType("Static");
        VXM_network_setPPPoeIPHeader(0);
        BoxTest::TearDown();
    }
};

TEST_F(NetworkIgmp, EachSenderSendsItsPacketAndLogsItsSteps) {
    const Rec in1{2, "", "enter VXM_network_IGMPLeave"}, sockopt{2, "", "VXM_net_IGMPleave success: setsockopt size = 0"},
        sent1{2, "", "VXM_net_IGMPleave success: send data size = 32"}, out1{2, "", "leave VXM_network_IGMPLeave"},
        in2{2, "", "enter VXM_network_IGMPLeave2"}, sent2{1, "", "VXM_net_IGMPleave success: send data size = 32"},
        out2{2, "", "leave VXM_network_IGMPLeave2"}, in3{2, "", "enter VXM_network_IGMPLeave3"},
        joined{1, "", "Success to the VXM_net_IGMPJoin"};
    struct Row { const char* name; const char* conn; int header; const char* source; int (*send)(const char*); const char* group;
                 int result; Bytes packet; std::vector<Rec> log; };
    auto leave3 = [](const char* group) { return VXM_network_IGMPLeave3(group, 0); };
    auto join3 = [](const char* group) { return VXM_network_IGMPLeave3(group, 0x80000000u); };
    const Row rows[] = {
        {"leave", "Static", 0, "192.168.1.10", VXM_network_IGMPLeave, "239.1.1.1", 0, kLeave, {in1, sockopt, sent1, out1}},
        {"leave, the property's source", "Static", 0, "10.20.30.40", VXM_network_IGMPLeave, "239.1.1.1", 0,
         leave({0x0A, 0x14, 0x1E, 0x28}, {0xDB, 0xD9}, kGroup, {0xF8, 0xFC}), {in1, sockopt, sent1, out1}},
        {"leave, PPPoE: the kernel's source", "PPPoE", 0, "10.20.30.40", VXM_network_IGMPLeave, "239.1.1.1", 0, kLeave,
         {in1, sockopt, kIncorrect, sent1, out1}},
        {"leave, no property", "Static", 0, nullptr, VXM_network_IGMPLeave, "239.1.1.1", -1, {},
         {in1, {4, "", "VXM_property_get ip FAILD !!!"}}},
        {"leave, PPPoE with header, no property", "PPPoE", 1, nullptr, VXM_network_IGMPLeave, "239.1.1.1", -1, {},
         {in1, {4, "", "VXM_property_get ip FAILD !!!"}}},
        {"leave, no group", "Static", 0, "192.168.1.10", VXM_network_IGMPLeave, "239.1.1.256", 0,
         leave(kCard, {0x42, 0x63}, kNone, {0xE8, 0xFF}), {in1, sockopt, kIncorrect, sent1, out1}},
        {"leave, null", "Static", 0, "192.168.1.10", VXM_network_IGMPLeave, nullptr, -1, {}, {in1, {4, "", "param mul_ip is error"}}},
        {"leave2", "Static", 0, "10.20.30.40", VXM_network_IGMPLeave2, "239.1.1.1", 0, kLeave, {in2, sent2, out2}},
        {"leave2, no group", "Static", 0, nullptr, VXM_network_IGMPLeave2, "group", 0,
         leave(kCard, {0x42, 0x63}, kNone, {0xE8, 0xFF}), {in2, kIncorrect, sent2, out2}},
        {"leave2, null", "Static", 0, nullptr, VXM_network_IGMPLeave2, nullptr, -1, {}, {{4, "", "param mul_ip is error"}}},
        {"leave3", "Static", 0, nullptr, leave3, "239.1.1.1", 0, report(0x03, kGroup, {0xEA, 0xFB}), {in3, joined}},
        {"join3", "Static", 0, nullptr, join3, "239.1.1.1", 0, kJoin, {in3, joined}},
        {"join3, no group", "Static", 0, nullptr, join3, "", 0, report(0x04, kNone, {0xD9, 0xFE}), {in3, kIncorrect, joined}},
        {"leave3, null", "Static", 0, nullptr, leave3, nullptr, -1, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VXM_network_setConnType(row.conn);
        VXM_network_setPPPoeIPHeader(row.header);
        if (row.source) setProperty(kSource, row.source);
        else unlink((std::string(getenv("VXM_PROPERTY_DIR")) + "/" + kSource).c_str());
        IgmpCapture capture("eth0");
        ASSERT_TRUE(capture.ok());
        LogCapture log;
        EXPECT_EQ(row.send(row.group), row.result);
        expectLog(log, row.log);
        EXPECT_EQ(capture.packets(row.packet.empty() ? 0 : 1), row.packet.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{row.packet});
    }
}

TEST_F(NetworkIgmp, SendersOnSeveralThreadsEachSendTheirOwnPacket) {
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ok());
    std::vector<std::thread> threads;
    int results[4] = {-2, -2, -2, -2};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&results, i] { results[i] = VXM_network_IGMPLeave3(("239.1.1." + std::to_string(i + 1)).c_str(), 1); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::vector<int>(results, results + 4), std::vector<int>(4, 0));
    auto packets = capture.packets(4);
    std::sort(packets.begin(), packets.end(), [](const Bytes& a, const Bytes& b) { return a.back() < b.back(); });
    std::vector<Bytes> expected;
    for (unsigned char i = 1; i <= 4; ++i) expected.push_back(report(0x04, {0xEF, 1, 1, i}, {0xE9, static_cast<unsigned char>(0xFC - i)}));
    EXPECT_EQ(packets, expected);
}

// Runs body on a thread whose effective capabilities lack CAP_NET_RAW; false when that fails.
template <typename Body>
bool withoutRawRight(Body body) {
    bool dropped = false;
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0) return;
        data[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
        dropped = syscall(SYS_capset, &header, data) == 0;
        if (dropped) body();
    });
    worker.join();
    return dropped;
}

TEST_F(NetworkIgmp, FailuresOfTheSourceTheSocketAndTheRoute) {
    IgmpCapture capture("eth0");
    ASSERT_TRUE(capture.ok());
    Card bare("eth3");
    ASSERT_TRUE(bare.ok());
    LogCapture log;
    for (const char* card : {"eth3", ""}) {
        setDefaultCard(card, VXM_CARD_TYPE_WIRED);
        EXPECT_EQ(VXM_network_IGMPLeave2("239.1.1.1"), -1);
        EXPECT_EQ(VXM_network_IGMPLeave3("239.1.1.1", 1), -1);
        EXPECT_EQ(log.all().back().message, "Failed to the VXM_network_getIpAddr");
    }
    setDefaultCard("eth0", VXM_CARD_TYPE_WIRED);
    log.clear();
    ASSERT_TRUE(withoutRawRight([] {
        EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1") + VXM_network_IGMPLeave2("239.1.1.1") + VXM_network_IGMPLeave3("239.1.1.1", 1), -3);
    }));
    expectLog(log, {{2, "", "enter VXM_network_IGMPLeave"}, {4, "VXM_network_IGMPLeave", "create socket failed[errno=1]"},
                    {2, "", "enter VXM_network_IGMPLeave2"}, {4, "VXM_network_IGMPLeave2", "create socket failed[errno=1]"},
                    {2, "", "enter VXM_network_IGMPLeave3"}, {4, "VXM_network_IGMPLeave3", "create socket failed![errno=1]"},
                    {2, "", "leave VXM_network_IGMPLeave3"}});
    EXPECT_EQ(capture.packets(0), std::vector<Bytes>{});
    ASSERT_EQ(sh("ip route del default && ip route del 192.168.1.0/24"), 0);  // no route to the groups
    log.clear();
    EXPECT_EQ(VXM_network_IGMPLeave("239.1.1.1") + VXM_network_IGMPLeave2("239.1.1.1") + VXM_network_IGMPLeave3("239.1.1.1", 0), -3);
    sh("ip route add 192.168.1.0/24 dev eth0 src 192.168.1.10 && ip route add default via 192.168.1.1 dev eth0 metric 100");
    EXPECT_EQ(log.withFormat("VXM_net_IGMPleave failed: send data error[errno=%d]").size(), 2u);
    ASSERT_EQ(log.withFormat("sendto[errno=%d]").size(), 1u);
    EXPECT_EQ(log.withFormat("sendto[errno=%d]")[0].message, "sendto[errno=101]");
}

TEST_F(NetworkIgmp, SetVersionWritesTheKernelSettingThroughTheDaemon) {
    auto forced = [] { return readFile("/proc/sys/net/ipv4/conf/all/force_igmp_version"); };
    LogCapture log;
    for (int version : {3, 2}) {
        EXPECT_EQ(VXM_network_IGMPSetVersion(version), 0);
        EXPECT_TRUE(waitUntil([&] { return forced() == std::to_string(version) + "\n"; }, std::chrono::seconds(5)));
    }
    EXPECT_TRUE(waitUntil([] {  // the daemon notes a session once it has ended
        return readFile("/tmp/vxmbox/vxmopend.log").find(R"(command="echo \"3\" > /proc/sys/net/ipv4/conf/all/force_igmp_version")") != std::string::npos;
    }, std::chrono::seconds(5)));
    log.clear();
    EXPECT_EQ(VXM_network_IGMPSetVersion(1) + VXM_network_IGMPSetVersion(0), -2);
    expectLog(log, {{1, "VXM_network_IGMPSetVersion", "set igmp version is [1]"},
                    {1, "VXM_network_IGMPSetVersion", "set igmp version is [0]"}});
    log.clear();
    {
        NoDaemon away;
        EXPECT_EQ(VXM_network_IGMPSetVersion(3), -1);
    }
    expectLog(log, {{1, "", "set igmp version is [3]"}, {4, "cs_conn", "cs_conn failed:errno=2", "os_utility"},
                    {4, "actShellCmd", "VXM_csopen exec [echo \"3\" > /proc/sys/net/ipv4/conf/all/force_igmp_version] faild"}});
    EXPECT_EQ(forced(), "2\n");
}

}  // namespace
