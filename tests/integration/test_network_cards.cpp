// Card enumeration on real interfaces (directory order, capacity, classification, whole-name
// existence, an unreadable directory), the interface name helpers, the connection-type table and
// the address-text checks.
#include <dirent.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h

// The card names of /sys/class/net as the directory lists them.
std::vector<std::string> cardsInDirectoryOrder() {
    std::vector<std::string> names;
    if (DIR* dir = opendir("/sys/class/net")) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.rfind("eth", 0) == 0 || name.rfind("ra", 0) == 0 || name.rfind("wlan", 0) == 0)
                names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

VXM_NETWORK_CARD_INFO marked() {
    VXM_NETWORK_CARD_INFO card;
    std::memset(&card, 0x5a, sizeof card);
    std::memcpy(card.ifrExtName, "ext", 4);
    card.connType = 99;
    return card;
}

// /sys/class hidden under an empty tmpfs in the test's own mount namespace.
class HiddenInterfaceDirectory {
public:
    HiddenInterfaceDirectory() : ok_(mount("tmpfs", "/sys/class", "tmpfs", 0, nullptr) == 0) {}
    ~HiddenInterfaceDirectory() {
        if (ok_) umount2("/sys/class", MNT_DETACH);
    }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

class NetworkCards : public vxmtest::NetBedTest {
protected:
    // eth0, lo, wlan0 and ppp0 (a renamed veth).
    void makeBox() {
        ASSERT_TRUE(bed().addCard("eth0"));
        ASSERT_TRUE(bed().addCard("wlan0"));
        ASSERT_TRUE(bed().addCard("ppp9"));
        ASSERT_TRUE(bed().rename("ppp9", "ppp0"));
    }
};

TEST_F(NetworkCards, CountAndListFollowTheDirectoryOrder) {
    makeBox();
    const std::vector<std::string> order = cardsInDirectoryOrder();
    ASSERT_EQ(order.size(), 2u);
    LogCapture log;
    EXPECT_EQ(VXM_network_getCount(), 2);
    expectOnly(log, VXM_LOG_INFO, "count:2");
    EXPECT_EQ(log.all()[0].function, "VXM_network_getCount");

    VXM_NETWORK_CARD_INFO cards[8];
    for (auto& c : cards) c = marked();
    int count = 8;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    ASSERT_EQ(count, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cards[i].ifrName, order[i]);
        EXPECT_EQ(cards[i].cardType, order[i] == "eth0" ? 1u : 2u);
        EXPECT_STREQ(cards[i].ifrExtName, "ext");
        EXPECT_EQ(cards[i].connType, 99u);
    }
    EXPECT_EQ(cards[2].cardType, marked().cardType);  // untouched

    cards[0] = marked();
    count = 1;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(cards[0].ifrName, order[0]);
    for (int capacity : {0, -3}) {
        cards[0] = marked();
        count = capacity;
        ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(cards[0].cardType, marked().cardType);
    }
}

TEST_F(NetworkCards, NamesOfAnyCardPrefixAndFullLengthAreListed) {
    ASSERT_TRUE(bed().addCard("ra0"));
    ASSERT_TRUE(bed().addCard("eth0123456789ab"));  // 15 characters, the most a name has
    ASSERT_TRUE(bed().addCard("ethernet"));
    ASSERT_TRUE(bed().addCard("wlanx"));
    ASSERT_TRUE(bed().addCard("wl0"));
    ASSERT_TRUE(bed().addCard("r0"));
    const std::vector<std::string> order = cardsInDirectoryOrder();
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(VXM_network_getCount(), 4);
    VXM_NETWORK_CARD_INFO cards[8] = {};
    int count = 8;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    ASSERT_EQ(count, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cards[i].ifrName, order[i]);
        EXPECT_EQ(cards[i].cardType, order[i].rfind("eth", 0) == 0 ? 1u : 2u) << order[i];
    }
}

TEST_F(NetworkCards, TheWirelessCardIsTheFirstWirelessEntry) {
    ASSERT_TRUE(bed().addCard("eth0"));
    VXM_NETWORK_CARD_INFO card = marked();
    const VXM_NETWORK_CARD_INFO before = card;
    LogCapture log;
    EXPECT_EQ(VXM_network_getWifiNetCards(&card), -1);
    EXPECT_EQ(std::memcmp(&card, &before, sizeof card), 0);
    EXPECT_TRUE(log.all().empty());

    ASSERT_TRUE(bed().addCard("ra0"));
    EXPECT_EQ(VXM_network_getWifiNetCards(&card), 0);
    EXPECT_STREQ(card.ifrName, "ra0");
    EXPECT_EQ(card.cardType, 2u);
    EXPECT_STREQ(card.ifrExtName, "ext");
    EXPECT_EQ(card.connType, 99u);

    ASSERT_TRUE(bed().addCard("wlan0"));
    std::string first;
    for (const auto& name : cardsInDirectoryOrder())
        if (name != "eth0" && first.empty()) first = name;
    EXPECT_EQ(VXM_network_getWifiNetCards(&card), 0);
    EXPECT_EQ(card.ifrName, first);
    EXPECT_EQ(VXM_network_getWifiNetCards(nullptr), -1);
}

TEST_F(NetworkCards, ExistenceIsOfWholeNames) {
    ASSERT_TRUE(bed().addCard("eth0"));
    int exists = -1;
    VXM_NETWORK_CARD_INFO card{};
    for (const auto& probe : std::vector<std::pair<std::string, int>>{
             {"eth0", 1}, {"eth", 0}, {"eth00", 0}, {"ETH0", 0}, {"lo", 1}}) {
        std::memset(&card, 0, sizeof card);
        std::strncpy(card.ifrName, probe.first.c_str(), 15);
        exists = -1;
        EXPECT_EQ(VXM_network_netCardExist(&card, &exists), 0);
        EXPECT_EQ(exists, probe.second) << probe.first;
    }
    // The default card, and a card that goes away.
    ASSERT_TRUE(bed().addCard("eth5"));
    setDefaultCard("eth5");
    EXPECT_EQ(VXM_network_netCardExist(nullptr, &exists), 0);
    EXPECT_EQ(exists, 1);
    ASSERT_TRUE(bed().removeCard("eth5"));
    EXPECT_EQ(VXM_network_netCardExist(nullptr, &exists), 0);
    EXPECT_EQ(exists, 0);

    LogCapture log;
    setDefaultCard("");
    EXPECT_EQ(VXM_network_netCardExist(nullptr, &exists), -1);
    expectOnly(log, VXM_LOG_ERROR, "Invaild param,ifrname empty.");
    log.clear();
    EXPECT_EQ(VXM_network_netCardExist(&card, nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "Invaild param,ifrname empty.");
}

TEST_F(NetworkCards, AnUnreadableDirectoryIsReportedByEachScan) {
    ASSERT_TRUE(bed().addCard("eth0"));
    HiddenInterfaceDirectory hidden;
    ASSERT_TRUE(hidden.ok());
    LogCapture log;
    EXPECT_EQ(VXM_network_getCount(), 0);
    expectOnly(log, VXM_LOG_ERROR, "opendir error, dir:/sys/class/net");
    log.clear();
    VXM_NETWORK_CARD_INFO cards[2] = {};
    int count = 2;
    EXPECT_EQ(VXM_network_getNetCards(cards, &count), -1);
    EXPECT_EQ(count, 2);
    expectOnly(log, VXM_LOG_ERROR, "NULL != (dir = opendir(SEARCH_WIFIETH_PATH)) not true. ");
    EXPECT_EQ(log.all()[0].function, "VXM_network_getNetCards");
    log.clear();
    EXPECT_EQ(VXM_network_getWifiNetCards(cards), -1);
    expectOnly(log, VXM_LOG_ERROR, "opendir error, dir:/sys/class/net");
    log.clear();
    int exists = 7;
    std::strcpy(cards[0].ifrName, "eth0");
    EXPECT_EQ(VXM_network_netCardExist(&cards[0], &exists), 0);
    EXPECT_EQ(exists, 0);
    expectOnly(log, VXM_LOG_ERROR, "opendir error, dir:/sys/class/net");
    log.clear();
    EXPECT_EQ(VXM_network_getNetCards(nullptr, &count), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
    log.clear();
    EXPECT_EQ(VXM_network_getNetCards(cards, nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
}

TEST(NetworkIfrName, TheDefaultNameOrEth0IsCopiedCut) {
    setDefaultCard("");
    char buffer[16];
    EXPECT_EQ(VXM_network_getIfrName(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "eth0");
    EXPECT_EQ(VXM_network_getIfrName(buffer, 3), 0);
    EXPECT_STREQ(buffer, "et");
    EXPECT_EQ(VXM_network_getIfrName(buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
    setDefaultCard("wlan0abcdefghijklmn");
    EXPECT_EQ(VXM_network_getIfrName(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "wlan0abcdefghij");
    char small[8];
    EXPECT_EQ(VXM_network_getIfrName(small, sizeof small), 0);
    EXPECT_STREQ(small, "wlan0ab");
    EXPECT_EQ(VXM_network_getIfrName(nullptr, 8), -1);
    EXPECT_EQ(VXM_network_getIfrName(buffer, 0), -1);
    EXPECT_EQ(VXM_network_getIfrName(buffer, -1), -1);
    setDefaultCard("");

    VXM_NETWORK_CARD_INFO card{};
    std::strcpy(card.ifrName, "ppp0");
    EXPECT_EQ(VXM_network_getIfrNameEx(&card, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "ppp0");
    EXPECT_EQ(VXM_network_getIfrNameEx(&card, buffer, 2), 0);
    EXPECT_STREQ(buffer, "p");
    std::strcpy(buffer, "kept");
    EXPECT_EQ(VXM_network_getIfrNameEx(nullptr, buffer, sizeof buffer), -1);  // no default here
    EXPECT_STREQ(buffer, "kept");
    EXPECT_EQ(VXM_network_getIfrNameEx(&card, nullptr, 8), -1);
    EXPECT_EQ(VXM_network_getIfrNameEx(&card, buffer, 0), -1);
}

TEST(NetworkConnType, WordsAndNumberTextsMapToTheirCodes) {
    VXM_NETWORK_CARD_INFO* def = VXM_network_getNetWorkCardInfo(nullptr);
    const std::vector<std::pair<const char*, int>> accepted = {
        {"PPPoE", 2}, {"Static", 0}, {"DHCP", 1}, {"IPoE", 3}, {"1", 2}, {"3", 0}, {"2", 1}, {"2abc", 1}, {" 1", 2}};
    for (const auto& entry : accepted) {
        EXPECT_EQ(VXM_network_setConnType(entry.first), 0) << entry.first;
        int type = -1;
        EXPECT_EQ(VXM_network_getConnType(&type), 0);
        EXPECT_EQ(type, entry.second) << entry.first;
        EXPECT_EQ(def->connType, static_cast<VXM_UINT32>(entry.second)) << entry.first;
    }
    LogCapture log;
    for (const char* refused : {"pppoe", "static", "0", "4", "", "DHCP ", "-1"}) {
        EXPECT_EQ(VXM_network_setConnType(refused), -1) << refused;
        int type = -1;
        VXM_network_getConnType(&type);
        EXPECT_EQ(type, 2) << refused;  // the last accepted one stays
    }
    EXPECT_EQ(VXM_network_setConnType(nullptr), -1);
    EXPECT_TRUE(log.all().empty());
    EXPECT_EQ(VXM_network_getConnType(nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
    VXM_network_setConnType("Static");
}

TEST(NetworkAddressText, IPv4ChecksReadFourNumbersAndReportTheirCheck) {
    LogCapture log;
    EXPECT_EQ(VXM_network_isIPv4("192.168.1.1a"), 1);
    expectOnly(log, VXM_LOG_INFO, "IP is valid IPv4");
    EXPECT_EQ(log.all()[0].function, "VXM_network_isIPv4");
    log.clear();
    EXPECT_EQ(VXM_network_isIPv4("10.0.0.255"), 1);
    log.clear();
    EXPECT_EQ(VXM_network_isIPv4("192.168.1"), 0);
    expectOnly(log, VXM_LOG_ERROR, "sscanf_s(szIP,\"%hhu.%hhu.%hhu.%hhu\",&a,&b,&c,&d) == 4 not true. ");
    log.clear();
    EXPECT_EQ(VXM_network_isIPv4("::1"), 0);
    log.clear();
    EXPECT_EQ(VXM_network_isIPv4(nullptr), 0);
    expectOnly(log, VXM_LOG_ERROR, "NULL != szIP not true. ");
}

TEST(NetworkAddressText, ValidAddressesAreWhatTheSystemParses) {
    LogCapture log;
    EXPECT_EQ(VXM_isValidIPAddr("192.168.1.1a"), 0);
    EXPECT_EQ(VXM_isValidIPAddr("192.168.1.1"), 1);
    EXPECT_EQ(VXM_isValidIPAddr("192.168.1"), 0);
    EXPECT_EQ(VXM_isValidIPAddr("::1"), 1);
    EXPECT_EQ(VXM_isValidIPAddr("2001:db8::1"), 1);
    EXPECT_EQ(VXM_isValidIPAddr("fe80::1%eth0"), 0);
    EXPECT_EQ(VXM_isValidIPAddr("1.2.3.4:80"), 0);
    EXPECT_EQ(VXM_isValidIPAddr(""), 0);
    EXPECT_EQ(VXM_isValidIPAddr(nullptr), 0);
    EXPECT_TRUE(log.all().empty());
}

}  // namespace
