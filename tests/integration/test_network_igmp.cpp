// IGMP leave and join messages as they leave eth0 of the box (192.168.1.10), caught byte for byte
// on a packet socket; the failures of each sender; and the kernel's forced IGMP version written
// through the box's vxmopend.
#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/syscall.h>

#include <algorithm>
#include <thread>

#include "integration/box.h"
#include "vxmosal/VXM_utility.h"

namespace {

using namespace vxmtest;
using Packets = std::vector<std::string>;  // each in hex

// The IGMP packets that leave eth0 while body runs, until expected have come (at most 5 s) and
// then 300 ms pass quietly (only a socket of every protocol sees what is sent).
template <typename Body>
Packets sentBy(std::size_t expected, Body body) {
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll at{AF_PACKET, htons(ETH_P_ALL), static_cast<int>(if_nametoindex("eth0"))};
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return {"no packet socket"};
    body();
    Packets out;
    unsigned char packet[2048];
    for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, out.size() < expected ? 5000 : 300) == 1;) {
        const ssize_t got = recv(fd, packet, sizeof packet, 0);
        if (got <= 9 || packet[0] >> 4 != 4 || packet[9] != IPPROTO_IGMP) continue;
        out.emplace_back();
        for (ssize_t i = 0; i < got; ++i)
            out.back().append({"0123456789ABCDEF"[packet[i] >> 4], "0123456789ABCDEF"[packet[i] & 15]});
    }
    close(fd);
    return out;
}

// A leave to all routers (224.0.0.2) with the router alert, and a version 3 report to 224.0.0.22.
constexpr char kLeave[] = "46C000200000400001024263C0A8010AE0000002940400001700F8FCEF010101";
constexpr char kLeaveFrom10[] = "46C00020000040000102DBD90A141E28E0000002940400001700F8FCEF010101";
constexpr char kLeaveNoGroup[] = "46C000200000400001024263C0A8010AE0000002940400001700E8FF00000000";
constexpr char kReport[] = "46C000280000400001024247C0A8010AE0000016940400002200%04X0000000104000000EF0101%02X";
constexpr char kReportLeave[] = "46C000280000400001024247C0A8010AE0000016940400002200EAFB0000000103000000EF010101";
constexpr char kReportNoGroup[] = "46C000280000400001024247C0A8010AE0000016940400002200D9FE000000010400000000000000";
constexpr char kSource[] = "persist.sys.vxm.ipaddress";

// A join of 239.1.1.last.
std::string join(int last) {
    char text[sizeof kReport];
    std::snprintf(text, sizeof text, kReport, 0xE9FC - last, last);
    return text;
}

int sendAll(unsigned int join) {
    return VXM_network_IGMPLeave("239.1.1.1") + VXM_network_IGMPLeave2("239.1.1.1") +
           VXM_network_IGMPLeave3("239.1.1.1", join);
}

// Every test runs with a sink that records, so each logging call takes its sink's path.
struct NetworkIgmp : BoxTest {
    LogCapture log;
};

TEST_F(NetworkIgmp, EachSenderSendsItsPacketAndReportsWhatWentWrong) {
    // pppoe: 1 a PPPoE link, 2 one with the header switch on; source: the property's value, null for
    // none; packet: what leaves eth0, "" for nothing (and then the sender fails); bad: the errors for
    // texts that were no address. The last row leaves a plain link without the header switch.
    struct Row { const char* name; int pppoe; const char* source; int (*send)(const char*); const char* group;
                 std::string packet; std::size_t bad = 0; };
    const auto leave = VXM_network_IGMPLeave, leave2 = VXM_network_IGMPLeave2;
    auto leave3 = [](const char* group) { return VXM_network_IGMPLeave3(group, 0); };
    auto join3 = [](const char* group) { return VXM_network_IGMPLeave3(group, 0x80000000u); };
    const char* const g = "239.1.1.1";
    setDefaultCard("eth0", VXM_CARD_TYPE_WIRED);
    const Row rows[] = {
        {"leave: the property's source", 0, "10.20.30.40", leave, g, kLeaveFrom10},
        {"leave, PPPoE: kernel's source", 1, "10.20.30.40", leave, g, kLeave, 1},
        {"leave, no property", 0, nullptr, leave, g, ""},
        {"leave, PPPoE with header, no property", 2, nullptr, leave, g, ""},
        {"leave, bad group", 0, "192.168.1.10", leave, "1.256", kLeaveNoGroup, 1},
        {"leave, null", 0, "192.168.1.10", leave, nullptr, ""},
        {"leave2", 0, "10.20.30.40", leave2, g, kLeave},
        {"leave2, no group", 0, nullptr, leave2, "group", kLeaveNoGroup, 1},
        {"leave2, null", 0, nullptr, leave2, nullptr, ""},
        {"leave3", 0, nullptr, leave3, g, kReportLeave},
        {"join3", 0, nullptr, join3, g, join(1)},
        {"join3, no group", 0, nullptr, join3, "", kReportNoGroup, 1},
        {"leave3, null", 0, nullptr, leave3, nullptr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VXM_network_setConnType(row.pppoe != 0 ? "PPPoE" : "Static");
        VXM_network_setPPPoeIPHeader(row.pppoe == 2);
        if (row.source) setProperty(kSource, row.source);
        else unlink((std::string(getenv("VXM_PROPERTY_DIR")) + "/" + kSource).c_str());
        log.clear();
        const Packets wanted = row.packet.empty() ? Packets{} : Packets{row.packet};
        EXPECT_EQ(sentBy(wanted.size(), [&] { EXPECT_EQ(row.send(row.group), wanted.empty() ? -1 : 0); }), wanted);
        EXPECT_EQ(log.withFormat("INCORRECT IP ADDRESS!\n").size(), row.bad);
    }
}

TEST_F(NetworkIgmp, SendersOnSeveralThreadsEachSendTheirOwnPacket) {
    const char* const groups[] = {"239.1.1.1", "239.1.1.2", "239.1.1.3", "239.1.1.4"};
    int results[4] = {-2, -2, -2, -2};
    setDefaultCard("eth0", VXM_CARD_TYPE_WIRED);
    Packets packets = sentBy(4, [&] {
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { results[i] = VXM_network_IGMPLeave3(groups[i], 1); });
        for (auto& t : threads) t.join();
    });
    std::sort(packets.begin(), packets.end());  // the later group, the smaller checksum
    EXPECT_EQ(std::vector<int>(results, results + 4), std::vector<int>(4, 0));
    EXPECT_EQ(packets, (Packets{join(4), join(3), join(2), join(1)}));
}

TEST_F(NetworkIgmp, FailuresOfTheSourceTheSocketAndTheRoute) {
    // No default card, so no source address.
    EXPECT_EQ(VXM_network_IGMPLeave2("239.1.1.1") + VXM_network_IGMPLeave3("239.1.1.1", 1), -2);
    setDefaultCard("eth0", VXM_CARD_TYPE_WIRED);
    setProperty(kSource, "192.168.1.10");
    log.clear();
    EXPECT_EQ(sentBy(0, [] {
                  std::thread([] {  // on a thread that has given up every capability
                      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
                      __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
                      ASSERT_EQ(syscall(SYS_capset, &header, none), 0);
                      EXPECT_EQ(sendAll(1), -3);
                  }).join();
              }), Packets{});
    const std::string refused = "create socket failed[errno=1]\n";
    EXPECT_EQ(problems(log), refused + refused + "create socket failed![errno=1]\n");
    ASSERT_EQ(sh("ip route del default && ip route del 192.168.1.0/24"), 0);  // no route to the groups
    log.clear();
    EXPECT_EQ(sendAll(0), -3);
    sh("ip route add 192.168.1.0/24 dev eth0 src 192.168.1.10 && "
       "ip route add default via 192.168.1.1 dev eth0 metric 100");
    const std::string unreachable = "VXM_net_IGMPleave failed: send data error[errno=101]\n";
    EXPECT_EQ(problems(log), unreachable + unreachable + "sendto[errno=101]\n");
}

TEST_F(NetworkIgmp, SetVersionWritesTheKernelSettingThroughTheDaemon) {
    auto forced = [] { return readFile("/proc/sys/net/ipv4/conf/all/force_igmp_version"); };
    for (int version : {3, 2}) {
        EXPECT_EQ(VXM_network_IGMPSetVersion(version), 0);
        EXPECT_TRUE(waitUntil([&] { return forced() == std::to_string(version) + "\n"; }, std::chrono::seconds(5)));
    }
    log.clear();
    EXPECT_EQ(VXM_network_IGMPSetVersion(1) + VXM_network_IGMPSetVersion(0), -2);
    NoDaemon away;  // a version the daemon cannot write fails
    EXPECT_EQ(VXM_network_IGMPSetVersion(3), -1);
    EXPECT_EQ(problems(log), "cs_conn failed:errno=2\nVXM_csopen exec [echo \"3\" > /proc/sys/net/ipv4/conf/all/"
                             "force_igmp_version] faild\n");
    EXPECT_EQ(forced(), "2\n");
}

}  // namespace
