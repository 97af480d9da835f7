// The socket family where loopback cannot show it: connects to addresses that never answer (a
// permanent neighbour entry on a veth card whose peer drops everything), the kernel's own SYN
// time-out, a failed address resolution, the queries of the default card's address, name, index
// and MAC, host lookups through a hosts file of the test's own, and the traffic counters of a card
// by its address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "integration/netbed.h"
#include "internal/unique_fd.h"
#include "integration/network_checks.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/socket_records.h"
#include "vxmosal/VXM_network.h"
#include "vxmosal/VXM_os_net.h"
#include "vxmosal/VXM_stats.h"

namespace {

using namespace vxmtest;
using Clock = std::chrono::steady_clock;

constexpr char kSocketTag[] = "os_net";

using Fd = vxm::internal::UniqueFd;

int streamSocket(int domain) { return socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0); }

bool nonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

// A kernel setting of this namespace, put back when the test ends.
class SysctlValue {
public:
    SysctlValue(std::string path, const std::string& value) : path_(std::move(path)), saved_(readFile(path_)) {
        ok_ = !saved_.empty() && writeText(path_, value);
    }
    ~SysctlValue() {
        if (!saved_.empty()) writeText(path_, saved_);
    }
    SysctlValue(const SysctlValue&) = delete;
    SysctlValue& operator=(const SysctlValue&) = delete;
    bool ok() const { return ok_; }

private:
    std::string path_;
    std::string saved_;
    bool ok_ = false;
};

class SocketOnBed : public NetBedTest {
protected:
    // eth0 with 10.9.0.1/24 and 2001:db8:9::1/64, and neighbours 10.9.0.2 and 2001:db8:9::2 whose
    // hardware address nobody has: what is sent to them leaves the card and is never answered.
    void silentNeighbours() {
        ASSERT_TRUE(bed().addCard("eth0"));
        ASSERT_TRUE(bed().addIPv4("eth0", "10.9.0.1/24"));
        ASSERT_TRUE(bed().addIPv6("eth0", "2001:db8:9::1/64"));
        for (const char* address : {"10.9.0.2", "2001:db8:9::2"})
            ASSERT_EQ(0, runProgram({"ip", "neigh", "replace", address, "lladdr", "02:00:00:00:00:02", "dev", "eth0",
                                     "nud", "permanent"}))
                << address;
    }
};

TEST_F(SocketOnBed, AnAddressThatNeverAnswersTimesOutInWholeSlices) {
    silentNeighbours();
    const struct {
        const char* name;
        VXM_SOCKADDR to;
        int domain;
        int timeoutMs;
        int rest;       // the count-down when the wait ends
        int minimumMs;  // the slices' sum: (timeout / 30 + 1) * 30
    } cases[] = {
        {"v4 100 ms", v4Record("10.9.0.2", 80), AF_INET, 100, -20, 120},
        {"v4 30 ms", v4Record("10.9.0.2", 80), AF_INET, 30, -30, 60},
        {"v4 29 ms", v4Record("10.9.0.2", 80), AF_INET, 29, -1, 30},
        {"v6 100 ms", v6Record("2001:db8:9::2", 80), AF_INET6, 100, -20, 120},
    };
    for (const auto& c : cases) {
        Fd sock(streamSocket(c.domain));
        ASSERT_GE(sock.get(), 0) << c.name;
        LogCapture log;
        const auto start = Clock::now();
        EXPECT_EQ(3, VXM_sock_connectTimeOut(sock.get(), &c.to, c.timeoutMs)) << c.name;
        const auto waitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_FALSE(nonBlocking(sock.get())) << c.name;
        const auto all = log.all();
        ASSERT_EQ(1u, all.size()) << c.name;
        EXPECT_EQ(" %d: RestTime=%d", all[0].format) << c.name;
        EXPECT_EQ(withLine(all[0], ": RestTime=" + std::to_string(c.rest)), all[0].message) << c.name;
        EXPECT_EQ(VXM_LOG_INFO, all[0].level) << c.name;
        EXPECT_EQ(kSocketTag, all[0].module) << c.name;
        // select never returns a slice early; the upper bound only catches a wait that ignored
        // the count-down.
        EXPECT_GE(waitedMs, c.minimumMs - 5) << c.name;
        EXPECT_LT(waitedMs, c.minimumMs + 2000) << c.name;
    }
}

TEST_F(SocketOnBed, TheKernelsOwnTimeOutIsReportedAsATimeOut) {
    silentNeighbours();
    // One SYN retry: the kernel gives up after about 3 s (1 s, then 2 s).
    SysctlValue retries("/proc/sys/net/ipv4/tcp_syn_retries", "1");
    ASSERT_TRUE(retries.ok());
    Fd sock(streamSocket(AF_INET));
    LogCapture log;
    const VXM_SOCKADDR to = v4Record("10.9.0.2", 80);
    const auto start = Clock::now();
    EXPECT_EQ(3, VXM_sock_connectTimeOut(sock.get(), &to, 10000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(9));  // well before the own count-down
    EXPECT_FALSE(nonBlocking(sock.get()));
    const auto all = log.all();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(withLine(all[0], ": ETIMEDOUT"), all[0].message);
    EXPECT_EQ(VXM_LOG_ERROR, all[0].level);
    EXPECT_EQ(kSocketTag, all[0].module);
}

TEST_F(SocketOnBed, AnUnresolvedNeighbourIsAnUnexpectedPendingError) {
    silentNeighbours();
    // One broadcast solicitation, given up after 100 ms: 10.9.0.3 is unreachable at once.
    const std::string neigh = "/proc/sys/net/ipv4/neigh/eth0/";
    SysctlValue retrans(neigh + "retrans_time_ms", "100");
    SysctlValue broadcast(neigh + "mcast_solicit", "1");
    SysctlValue unicast(neigh + "ucast_solicit", "0");
    ASSERT_TRUE(retrans.ok() && broadcast.ok() && unicast.ok());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(80);
    inet_pton(AF_INET, "10.9.0.3", &to.sin_addr);

    // The classification alone: the flags it is given are not put back for such an error.
    {
        Fd sock(streamSocket(AF_INET));
        ASSERT_EQ(0, fcntl(sock.get(), F_SETFL, O_NONBLOCK));
        ASSERT_EQ(-1, connect(sock.get(), reinterpret_cast<sockaddr*>(&to), sizeof to));
        ASSERT_EQ(EINPROGRESS, errno);
        pollfd ready{sock.get(), POLLOUT, 0};
        ASSERT_EQ(1, poll(&ready, 1, 5000));
        LogCapture log;
        EXPECT_EQ(5, handle_socketOptError(sock.get(), 0));
        EXPECT_TRUE(nonBlocking(sock.get()));
        const auto all = log.all();
        ASSERT_EQ(1u, all.size());
        EXPECT_EQ(withLine(all[0], ": unexcept error num"), all[0].message);
        EXPECT_EQ(VXM_LOG_ERROR, all[0].level);
    }

    // Inside the connect the wait goes on. Reading the pending error clears it, so the next slice
    // that finds the socket writable finds no error left and the call ends as connected.
    {
        Fd sock(streamSocket(AF_INET));
        LogCapture log;
        const VXM_SOCKADDR record = v4Record("10.9.0.3", 80);
        EXPECT_EQ(0, VXM_sock_connectTimeOut(sock.get(), &record, 5000));
        EXPECT_FALSE(nonBlocking(sock.get()));
        const auto all = log.all();
        ASSERT_EQ(1u, all.size());
        EXPECT_EQ(withLine(all[0], ": unexcept error num"), all[0].message);
        char byte = 0;
        EXPECT_EQ(-1, send(sock.get(), &byte, 1, MSG_NOSIGNAL));  // it never was connected
    }
}

// The address cache is the process's: this is the only test here that asks for an address, and
// its first question comes before any answer.
TEST_F(SocketOnBed, DefaultCardAddressNameIndexAndMac) {
    char ip[16] = "untouched";
    unsigned int index = 77;
    // No default card yet: an empty name, no address, no index, and nothing cached.
    EXPECT_EQ(0, VXM_sock_getIp(ip, 0, &index));
    EXPECT_STREQ("", ip);
    EXPECT_EQ(0u, index);
    EXPECT_EQ(0u, VXM_sock_getInterfaceIdx(0));
    EXPECT_EQ(-1, VXM_sock_getIp(nullptr, 0, &index));

    ASSERT_TRUE(bed().addCard("ppp0"));
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("eth1"));
    ASSERT_TRUE(bed().addIPv4("ppp0", "100.64.1.2/32"));
    ASSERT_TRUE(bed().addIPv4("eth0", "192.168.1.20/24"));
    ASSERT_EQ(0, VXM_network_setConnType("PPPoE"));
    setDefaultCard("ppp0", VXM_CARD_TYPE_NONE, "eth0");
    LogCapture log;

    // PPPoE: selector 1 is the PPP interface, any other the card under it.
    EXPECT_EQ(0, VXM_sock_getIp(ip, 1, &index));
    EXPECT_STREQ("100.64.1.2", ip);
    EXPECT_EQ(if_nametoindex("ppp0"), index);
    EXPECT_EQ(0, VXM_sock_getIp(ip, 0, nullptr));
    EXPECT_STREQ("192.168.1.20", ip);
    EXPECT_EQ(0, VXM_sock_getIp(ip, 2, &index));
    EXPECT_STREQ("192.168.1.20", ip);
    EXPECT_EQ(if_nametoindex("eth0"), index);
    EXPECT_EQ(if_nametoindex("ppp0"), VXM_sock_getInterfaceIdx(1));
    EXPECT_EQ(if_nametoindex("eth0"), VXM_sock_getInterfaceIdx(0));
    char name[16];
    EXPECT_EQ(4, VXM_sock_getInterfaceName(name, sizeof name, 1));
    EXPECT_STREQ("ppp0", name);
    EXPECT_EQ(4, VXM_sock_getInterfaceName(name, sizeof name, 0));
    EXPECT_STREQ("eth0", name);
    std::vector<char> large(40000, 'z');  // above the bounds-checked format's own maximum (32 KiB)
    EXPECT_EQ(4, VXM_sock_getInterfaceName(large.data(), static_cast<unsigned int>(large.size()), 0));
    EXPECT_EQ(std::strncmp(large.data(), "eth0", 5), 0);  // with the terminator
    char small[15] = "kept";
    EXPECT_EQ(1, VXM_sock_getInterfaceName(small, sizeof small, 1));
    EXPECT_STREQ("kept", small);
    EXPECT_EQ(1, VXM_sock_getInterfaceName(nullptr, 16, 1));

    // Any other connection type: both selectors mean the record's own name.
    ASSERT_EQ(0, VXM_network_setConnType("DHCP"));
    EXPECT_EQ(0, VXM_sock_getIp(ip, 0, &index));
    EXPECT_STREQ("100.64.1.2", ip);
    EXPECT_EQ(if_nametoindex("ppp0"), index);
    EXPECT_EQ(if_nametoindex("ppp0"), VXM_sock_getInterfaceIdx(0));

    // A card without an address, and one that does not exist, give the last answer.
    setDefaultCard("eth1");
    EXPECT_EQ(0, VXM_sock_getIp(ip, 0, &index));
    EXPECT_STREQ("100.64.1.2", ip);
    EXPECT_EQ(if_nametoindex("eth1"), index);
    setDefaultCard("eth9");
    std::strcpy(ip, "x");
    EXPECT_EQ(0, VXM_sock_getIp(ip, 1, &index));
    EXPECT_STREQ("100.64.1.2", ip);
    EXPECT_EQ(0u, index);
    EXPECT_EQ(0u, VXM_sock_getInterfaceIdx(0));

    // eth0's hardware address, in lower case; gone with eth0.
    ASSERT_TRUE(bed().setMac("eth0", "00:1A:2B:3C:4D:5E"));
    char mac[18];
    EXPECT_EQ(0, VXM_sock_getMac(mac));
    EXPECT_STREQ("00:1a:2b:3c:4d:5e", mac);
    EXPECT_EQ(-1, VXM_sock_getMac(nullptr));
    ASSERT_TRUE(bed().removeCard("eth0"));
    std::strcpy(mac, "kept");
    EXPECT_EQ(-1, VXM_sock_getMac(mac));
    EXPECT_STREQ("kept", mac);
    EXPECT_TRUE(log.all().empty());  // none of these queries logs
    ASSERT_EQ(0, VXM_network_setConnType("Static"));
}

// /etc/hosts of the test's own, bind-mounted in this private mount namespace.
class HostsFile {
public:
    explicit HostsFile(const std::string& text) : path_(dir_.file("hosts")) {
        mounted_ = writeText(path_, text) && mount(path_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    }
    ~HostsFile() {
        if (mounted_) umount2("/etc/hosts", MNT_DETACH);
    }
    HostsFile(const HostsFile&) = delete;
    HostsFile& operator=(const HostsFile&) = delete;
    bool mounted() const { return mounted_; }

private:
    TempDir dir_;
    std::string path_;
    bool mounted_ = false;
};

TEST_F(SocketOnBed, HostNamesFromTheHostsFile) {
    std::string aliases;
    for (int i = 0; i < 150; ++i) aliases += " alias" + std::to_string(1000 + i);  // about 2 KiB of entry
    HostsFile hosts("10.1.1.1 twice\n10.1.1.2 twice\n2001:db8::7 onlysix\n10.20.30.40 crowded" + aliases + "\n");
    ASSERT_TRUE(hosts.mounted());
    char out[16] = "kept";
    EXPECT_EQ(0, VXM_sock_getHostByName(out, "twice"));
    EXPECT_STREQ("10.1.1.1", out);
    // The entry does not fit the first buffer: the lookup is repeated in a larger one.
    EXPECT_EQ(0, VXM_sock_getHostByName(out, "crowded"));
    EXPECT_STREQ("10.20.30.40", out);
    EXPECT_EQ(0, VXM_sock_getHostByName(out, "alias1149"));
    EXPECT_STREQ("10.20.30.40", out);
    std::strcpy(out, "kept");
    EXPECT_EQ(-1, VXM_sock_getHostByName(out, "onlysix"));  // no IPv4 address
    EXPECT_STREQ("kept", out);
}

TEST_F(SocketOnBed, TrafficCountersOfTheRunningCardHoldingTheAddress) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("eth1", true, false));  // up, not running
    ASSERT_TRUE(bed().addIPv4("eth0", "10.5.0.1/24"));
    ASSERT_TRUE(bed().addIPv4("eth1", "10.6.0.1/24"));
    ASSERT_EQ(0, runProgram({"ip", "neigh", "replace", "10.5.0.2", "lladdr", "02:00:00:00:00:05", "dev", "eth0",
                             "nud", "permanent"}));
    // Some traffic out of eth0 so its counters are not all zero.
    {
        const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        inet_pton(AF_INET, "10.5.0.2", &to.sin_addr);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(100, sendto(sock, std::string(100, 'x').data(), 100, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
        close(sock);
    }
    const char* names[4] = {"tx_bytes", "rx_bytes", "tx_packets", "rx_packets"};
    auto counters = [&names] {
        std::vector<unsigned long long> values;
        for (const char* name : names)
            values.push_back(std::stoull(readFile(std::string("/sys/class/net/eth0/statistics/") + name)));
        return values;
    };
    unsigned long long tx = 0, rx = 0, txp = 0, rxp = 0;
    // The kernel may send a neighbour or multicast report of its own at any time: the figures lie
    // between the card's counters read before and after.
    const auto before = counters();
    ASSERT_EQ(0, VXM_get_netStat("10.5.0.1", &tx, &rx, &txp, &rxp));
    const auto after = counters();
    const unsigned long long got[4] = {tx, rx, txp, rxp};
    for (int i = 0; i < 4; ++i) {
        EXPECT_LE(before[i], got[i]) << names[i];
        EXPECT_LE(got[i], after[i]) << names[i];
    }
    EXPECT_GE(txp, 5u);
    EXPECT_GE(tx, 5u * (100 + 28 + 14));

    unsigned long long kept = 12345;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, VXM_get_netStat("10.6.0.1", &kept, &kept, &kept, &kept));
    EXPECT_EQ("VXM_get_netCardNameByIP failed ip[10.6.0.1].\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(12345u, kept);
    ASSERT_TRUE(bed().setCarrier("eth1", true));
    EXPECT_EQ(0, VXM_get_netStat("10.6.0.1", &kept, &kept, &kept, &kept));
}

}  // namespace
