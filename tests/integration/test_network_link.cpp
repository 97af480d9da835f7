// Link properties of real cards: cable state with and without carrier, activity and the up/down
// switch, and the default card's duplex and speed from its kernel files (veth cards, and a tap card
// whose speed and duplex the test sets), with the 7-character cut of the name.
#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

bool adminUp(const std::string& name) {
    return (std::strtoul(vxmtest::readFile("/sys/class/net/" + name + "/flags").c_str(), nullptr, 16) & 0x1) != 0;
}

// A tap card held open by the test (so it has carrier), whose speed and duplex can be set.
class TapCard {
public:
    explicit TapCard(const std::string& name) : name_(name) {
        fd_ = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd_ < 0) return;
        ifreq request{};
        request.ifr_flags = IFF_TAP | IFF_NO_PI;
        std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
        ok_ = ioctl(fd_, TUNSETIFF, &request) == 0 && vxmtest::runProgram({"ip", "link", "set", name, "up"}) == 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        // A tap reports "unknown", which counts as running.
        while (ok_ && vxmtest::readFile("/sys/class/net/" + name + "/operstate") != "unknown\n") {
            if (std::chrono::steady_clock::now() > end) ok_ = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~TapCard() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }

    // Sets speed (Mbit/s) and duplex through the kernel's link settings request.
    bool setLink(unsigned int speed, bool full) {
        int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0) return false;
        ethtool_cmd command{};
        command.cmd = ETHTOOL_GSET;
        ifreq request{};
        std::strncpy(request.ifr_name, name_.c_str(), IFNAMSIZ - 1);
        request.ifr_data = reinterpret_cast<char*>(&command);
        bool done = ioctl(sock, SIOCETHTOOL, &request) == 0;
        command.cmd = ETHTOOL_SSET;
        ethtool_cmd_speed_set(&command, speed);
        command.duplex = full ? DUPLEX_FULL : DUPLEX_HALF;
        done = done && ioctl(sock, SIOCETHTOOL, &request) == 0;
        close(sock);
        return done;
    }

private:
    std::string name_;
    int fd_ = -1;
    bool ok_ = false;
};

class NetworkLink : public vxmtest::NetBedTest {};

TEST_F(NetworkLink, CableStateFollowsTheCarrier) {
    ASSERT_TRUE(bed().addCard("eth0", true, true));
    ASSERT_TRUE(bed().addCard("wlan0", true, false));  // up, but not running
    ASSERT_TRUE(bed().addCard("eth1", false, true));
    LogCapture log;
    int state = -1;
    for (const auto& expected : std::vector<std::pair<std::string, int>>{{"eth0", 2}, {"wlan0", 1}, {"eth1", 1}}) {
        VXM_NETWORK_CARD_INFO c = cardNamed(expected.first);
        state = -1;
        EXPECT_EQ(VXM_network_getCableState(&c, &state), 0);
        EXPECT_EQ(state, expected.second) << expected.first;
        state = -1;
        EXPECT_EQ(VXM_network_getCableState_for_error_report(expected.first.c_str(), &state), 0);
        EXPECT_EQ(state, expected.second) << expected.first;
    }
    EXPECT_TRUE(log.all().empty());
    setDefaultCard("wlan0", 2);
    EXPECT_EQ(VXM_network_getCableState(nullptr, &state), 0);
    EXPECT_EQ(state, 1);
    ASSERT_TRUE(bed().setCarrier("wlan0", true));
    EXPECT_EQ(VXM_network_getCableState(nullptr, &state), 0);
    EXPECT_EQ(state, 2);
    // A card record passed as the name.
    VXM_NETWORK_CARD_INFO wlan0 = cardNamed("wlan0");
    EXPECT_EQ(VXM_network_getCableState_for_error_report(reinterpret_cast<const char*>(&wlan0), &state), 0);
    EXPECT_EQ(state, 2);
}

TEST_F(NetworkLink, CableStateFailuresDifferBetweenTheTwoForms) {
    LogCapture log;
    int state = -1;
    EXPECT_EQ(VXM_network_getCableState(nullptr, &state), 0);  // no default card
    EXPECT_EQ(state, 0);
    expectOnly(log, VXM_LOG_ERROR, "Invaild param,ifrname empty.");
    log.clear();
    VXM_NETWORK_CARD_INFO gone = cardNamed("eth7");
    state = -1;
    EXPECT_EQ(VXM_network_getCableState(&gone, &state), 0);
    EXPECT_EQ(state, 0);
    expectOnly(log, VXM_LOG_ERROR, "ioctl error, errno:19.");
    log.clear();
    state = -1;
    EXPECT_EQ(VXM_network_getCableState_for_error_report("eth7", &state), 0);
    EXPECT_EQ(state, 1);
    expectOnly(log, VXM_LOG_ERROR, "ioctl error, errno:19 ifrName:'eth7'.");
    log.clear();
    state = -1;
    EXPECT_EQ(VXM_network_getCableState_for_error_report("", &state), 0);
    EXPECT_EQ(state, 0);
    expectOnly(log, VXM_LOG_ERROR, "Invaild param,ifrname empty.");
    log.clear();
    EXPECT_EQ(VXM_network_getCableState(&gone, nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
    log.clear();
    EXPECT_EQ(VXM_network_getCableState_for_error_report(nullptr, &state), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
    log.clear();
    EXPECT_EQ(VXM_network_getCableState_for_error_report("eth7", nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
}

TEST_F(NetworkLink, ActivityIsReadAndSwitched) {
    ASSERT_TRUE(bed().addCard("eth0", true, true));
    ASSERT_TRUE(bed().addCard("wlan0", false, true));
    LogCapture log;
    int active = -1;
    EXPECT_EQ(VXM_network_getNetActive("eth0", &active), 0);
    EXPECT_EQ(active, 2);
    EXPECT_EQ(VXM_network_getNetActive("wlan0", &active), 0);
    EXPECT_EQ(active, 1);

    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    EXPECT_EQ(VXM_network_setNetActive(&eth0, 1), 0);
    EXPECT_FALSE(adminUp("eth0"));
    EXPECT_EQ(VXM_network_getNetActive("eth0", &active), 0);
    EXPECT_EQ(active, 1);
    EXPECT_EQ(VXM_network_setNetActive(&eth0, 7), 0);  // written back unchanged
    EXPECT_FALSE(adminUp("eth0"));
    EXPECT_EQ(VXM_network_setNetActive(&eth0, 2), 0);
    EXPECT_TRUE(adminUp("eth0"));
    EXPECT_EQ(VXM_network_setNetActive(&eth0, 0), 0);
    EXPECT_TRUE(adminUp("eth0"));
    setDefaultCard("wlan0", 2);
    EXPECT_EQ(VXM_network_setNetActive(nullptr, 2), 0);
    EXPECT_TRUE(adminUp("wlan0"));
    EXPECT_TRUE(log.all().empty());
}

TEST_F(NetworkLink, ActivityFailures) {
    LogCapture log;
    int active = -1;
    EXPECT_EQ(VXM_network_getNetActive("", &active), 0);
    EXPECT_EQ(active, 0);
    expectOnly(log, VXM_LOG_ERROR, "Invaild param,ifrname empty.");
    log.clear();
    active = -1;
    EXPECT_EQ(VXM_network_getNetActive("eth7", &active), -1);
    EXPECT_EQ(active, 0);
    expectOnly(log, VXM_LOG_ERROR, "ioctl error, errno:19.");
    log.clear();
    EXPECT_EQ(VXM_network_getNetActive(nullptr, &active), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
    log.clear();
    EXPECT_EQ(VXM_network_getNetActive("eth7", nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
    log.clear();
    EXPECT_EQ(VXM_network_setNetActive(nullptr, 2), -1);
    expectOnly(log, VXM_LOG_ERROR, "Invaild param,ifrname empty.");
    log.clear();
    VXM_NETWORK_CARD_INFO gone = cardNamed("eth7");
    EXPECT_EQ(VXM_network_setNetActive(&gone, 2), -1);
    expectOnly(log, VXM_LOG_ERROR, "recv error, errno:19.");
}

TEST_F(NetworkLink, AWiredDefaultCardReadsItsDuplexAndSpeedFiles) {
    ASSERT_TRUE(bed().addCard("eth0"));
    setDefaultCard("eth0", 1);
    LogCapture log;
    int duplex = -1, speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(duplex, 1);
    expectOnly(log, VXM_LOG_INFO, "network is FULL duplex");
    EXPECT_EQ(log.all()[0].function, "VXM_network_getNetCardDuplex");
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(speed, std::atoi(vxmtest::readFile("/sys/class/net/eth0/speed").c_str()));
    EXPECT_EQ(speed, 10000);

    // Unplugged: speed 0, although the file still reads 10000 while the card is up.
    ASSERT_TRUE(bed().setCarrier("eth0", false));
    ASSERT_EQ(vxmtest::readFile("/sys/class/net/eth0/speed"), "10000\n");
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(speed, 0);
}

TEST_F(NetworkLink, GigabitAndHalfDuplexComeFromTheFiles) {
    TapCard tap("eth1");
    if (!tap.ok()) GTEST_SKIP() << "no tap card (/dev/net/tun)";
    // An emulator (qemu-user on the cross build) may not pass the link settings request on.
    if (!tap.setLink(1000, false)) GTEST_SKIP() << "the link settings request was refused: " << std::strerror(errno);
    ASSERT_EQ(vxmtest::readFile("/sys/class/net/eth1/duplex"), "half\n");
    setDefaultCard("eth1", 1);
    LogCapture log;
    int duplex = -1, speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(duplex, 0);
    expectOnly(log, VXM_LOG_INFO, "network is Half duplex");
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(speed, 1000);
    ASSERT_TRUE(tap.setLink(100000, true));  // 6 characters: the most that is read
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(speed, 100000);
}

TEST_F(NetworkLink, WirelessAndUntypedDefaultCardsGiveFixedOrNoAnswers) {
    ASSERT_TRUE(bed().addCard("wlan0"));
    setDefaultCard("wlan0", 2);
    LogCapture log;
    int duplex = -1, speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(duplex, 1);
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(speed, 54);
    EXPECT_TRUE(log.all().empty());
    setDefaultCard("wlan0", 0);
    duplex = speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(duplex, -1);
    EXPECT_EQ(speed, -1);
    EXPECT_EQ(VXM_network_getNetCardDuplex(nullptr), -1);
    EXPECT_EQ(log.all().back().message, "param error!");
    EXPECT_EQ(VXM_network_getNetCardCapacity(nullptr), -1);
    EXPECT_EQ(log.all().back().message, "param error!");
}

TEST_F(NetworkLink, DuplexAndSpeedUseSevenCharactersOfTheName) {
    ASSERT_TRUE(bed().addCard("eth0abc"));
    setDefaultCard("eth0abcde", 1);  // no such card: its cable state is unknown, and the files are eth0abc's
    LogCapture log;
    int duplex = -1, speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(duplex, 1);
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);
    EXPECT_EQ(speed, 10000);
    auto all = log.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].message, "network is FULL duplex");
    EXPECT_EQ(all[1].message, "ioctl error, errno:19.");  // the cable state of eth0abcde
    // eth0abc down: its files refuse to be read.
    ASSERT_TRUE(bed().setUp("eth0abc", false));
    log.clear();
    duplex = speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(duplex, 1);  // the preset
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), -1);
    EXPECT_EQ(log.all().back().message, "speed file fread error, errno=22.");
    EXPECT_EQ(log.all().back().level, VXM_LOG_ERROR);
}

TEST_F(NetworkLink, MissingFilesAreReported) {
    setDefaultCard("eth9", 1);
    LogCapture log;
    int duplex = -1, speed = -1;
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), -1);
    EXPECT_EQ(duplex, 1);
    expectOnly(log, VXM_LOG_ERROR, "open network duplex file error.");
    log.clear();
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), -1);
    EXPECT_EQ(speed, 100);
    EXPECT_EQ(log.all().back().message, "open network speed file error.");
    // An empty default name reads eth0's files.
    setDefaultCard("", 1);
    ASSERT_TRUE(bed().addCard("eth0"));
    log.clear();
    EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), 0);
    EXPECT_EQ(duplex, 1);
    EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), 0);  // cable state unknown: the file decides
    EXPECT_EQ(speed, 10000);
}

}  // namespace

namespace {

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

class NetworkDescriptors : public vxmtest::NetBedTest {};

// Every query, on its success and on its failure paths, closes the socket, file or directory it
// opened.
TEST_F(NetworkDescriptors, EveryQueryClosesWhatItOpens) {
    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addIPv4("eth0", "10.4.4.4/24"));
    ASSERT_TRUE(bed().addIPv6("eth0", "2001:db8::4/64"));
    ASSERT_TRUE(bed().addCard("wlan0", true, false));
    const int before = openDescriptors();
    char text[64];
    int value = 0;
    VXM_NETWORK_CARD_INFO cards[4];
    for (int round = 0; round < 20; ++round) {
        for (const char* name : {"eth0", "wlan0", "eth7"}) {
            VXM_NETWORK_CARD_INFO c = cardNamed(name, "", 1);
            setDefaultCard(name, 1);
            VXM_network_getIpAddr(&c, text, sizeof text);
            VXM_network_getNetMask(&c, text, sizeof text);
            VXM_network_getIpv6Addr(&c, text, sizeof text);
            VXM_network_getMacAddr(&c, text, sizeof text);
            VXM_network_getCableState(&c, &value);
            VXM_network_getCableState_for_error_report(name, &value);
            VXM_network_getNetActive(name, &value);
            VXM_network_setNetActive(&c, 7);
            VXM_network_netCardExist(&c, &value);
            VXM_network_getNetCardDuplex(&value);
            VXM_network_getNetCardCapacity(&value);
        }
        int count = 4;
        VXM_network_getNetCards(cards, &count);
        VXM_network_getWifiNetCards(cards);
        VXM_network_getCount();
        VXM_network_getWIFIState(nullptr, &value);
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
