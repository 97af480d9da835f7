// The network module on real cards inside a box (network.box): the card record and the task
// thread, the readers, card enumeration, addresses, link state, MAC and DNS, the wireless card,
// the gateway on both of its ways, the statistics record, and the socket family: its card queries,
// connects that run out, and host names.
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <optional>

#include "integration/box.h"
#include "network/network_internal.h"
#include "support/socket_records.h"
#include "vxmosal/VXM_stats.h"

namespace {

using namespace vxmtest;
using std::chrono::seconds;
// Every test runs with a sink that records, so each logging call takes its sink's path.
struct NetworkBox : BoxTest {
    LogCapture log;
};
constexpr char kGatewayFile[] = "/tmp/Gateway";

using Dir = std::filesystem::directory_iterator;
std::string sysfs(const std::string& c, const std::string& f) { return readFile("/sys/class/net/" + c + "/" + f); }

// The last record of the capture above level, or none (level 0, empty texts).
Rec lastAbove(const LogCapture& log, int level = VXM_LOG_DEBUG) {
    Rec last{0, "", ""};
    for (const LogRecord& record : log.all())
        if (record.level > level) last = {record.level, record.function, record.message, record.module};
    return last;
}

TEST_F(NetworkBox, CardRecordAndItsName) {
    VXM_NETWORK_CARD_INFO* def = VXM_network_getNetWorkCardInfo(nullptr);
    VXM_NETWORK_CARD_INFO given = cardNamed("abcdefghijklmnopqrst", "abcdefghijklmnop", 1);
    EXPECT_EQ(VXM_network_setNetWorkCardInfo(nullptr), def);
    EXPECT_EQ(VXM_network_getNetWorkCardInfo(&given), &given);
    std::tie(def->connType, given.connType) = std::make_tuple(3u, 2u);
    EXPECT_EQ(VXM_network_setNetWorkCardInfo(&given), def);  // names cut to 15, the connection type kept
    const std::string cut = std::string("abcdefghijklmno") + '\0';
    EXPECT_EQ(std::make_tuple(std::string(def->ifrName, 16), std::string(def->ifrExtName, 16), def->cardType,
                              def->connType), std::make_tuple(cut, cut, 1u, 3u));
    setDefaultCard("wlan0", 2);  // the old, longer texts are cleared
    EXPECT_EQ(std::string(def->ifrName, 16) + std::string(def->ifrExtName, 16), "wlan0" + std::string(27, '\0'));
    struct Row { const char* card; int length; int result; const char* text; bool ex = false; };
    const Row rows[] = {  // card "": none given; text null: no buffer given
        {"", 16, 0, "eth0"}, {"", 3, 0, "et"}, {"", 0, -1, "kept"}, {"", 8, -1, nullptr},
        {"ppp0", 2, 0, "p", true}, {"", 16, -1, "kept", true}, {"wlan0123456789xxx", 8, 0, "wlan012"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.card) + " " + std::to_string(row.length) + (row.ex ? " ex" : ""));
        char buffer[16] = "kept";
        char* out = row.text ? buffer : nullptr;
        const VXM_NETWORK_CARD_INFO card = cardNamed(row.card);
        if (!row.ex) setDefaultCard(row.card);
        const int result = row.ex ? VXM_network_getIfrNameEx(*row.card ? &card : nullptr, out, row.length)
                                  : VXM_network_getIfrName(out, row.length);
        EXPECT_EQ(result, row.result);
        if (out) EXPECT_STREQ(buffer, row.text);
    }
    // A reader racing writers sees a terminated name made of the names written.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) setDefaultCard(i % 2 ? "eth0" : "wlan0123456789x", 1);
    });
    bool bounded = true;
    for (int i = 0; i < 20000 && bounded; ++i) {
        char name[16];
        VXM_network_getIfrName(name, sizeof name);
        bounded = strnlen(name, 16) < 16 && std::strspn(name, "ethwlan0123456789x") == std::strlen(name);
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(bounded);
}

// ---- the task thread ----

std::pair<VXM_UINT32, VXM_UINT32> g_tasks[16];  // written before the count that publishes it
std::atomic<int> g_taskCount{0}, g_taskThread{0};

int recordTask(VXM_UINT32 first, VXM_UINT32 second) {
    g_tasks[g_taskCount % 16] = {first, second};
    g_taskThread = static_cast<int>(gettid());
    ++g_taskCount;
    return first == 5 ? 5 : 0;
}

TEST(NetworkTaskThread, TasksRunInOrderOnTheNamedThreadAndAFullQueueDropsItsOldest) {
    EXPECT_EQ(VXM_network_postTask(1, 2), -1);  // no queue yet
    LogCapture log;
    EXPECT_EQ(VXM_network_threadInit(), 0);
    ASSERT_TRUE(waitUntil([] { return threadsNamed("net_pro").size() == 1; }, seconds(5)));
    auto first = [](VXM_UINT32 i) { return i == 4 ? 5 : i * 100; };  // the task of 5 fails
    for (VXM_UINT32 i = 1; i <= 12; ++i) ASSERT_EQ(VXM_network_postTask(first(i), i * 10), 0);
    EXPECT_EQ(VXM_network_setNetMsgCallback(recordTask), 0);
    const auto ran = [&] { return g_taskCount == 10 && log.withFormat("exec task %s!").size() == 10; };
    ASSERT_TRUE(waitUntil(ran, seconds(5)));
    const auto done = log.withFormat("exec task %s!");
    for (VXM_UINT32 i = 0; i < 10; ++i) {
        EXPECT_EQ(g_tasks[i], std::make_pair(first(i + 3), (i + 3) * 10));
        EXPECT_EQ(done[i].message, i == 1 ? "exec task Failed!" : "exec task Success!") << i;
    }
    EXPECT_EQ(readFile("/proc/self/task/" + std::to_string(g_taskThread.load()) + "/comm"), "net_pro\n");
    EXPECT_EQ(VXM_network_deInit(), 0);
    EXPECT_EQ(VXM_network_postTask(1, 2), -1);
    EXPECT_EQ(VXM_network_deInit(), 0);
    VXM_network_setNetMsgCallback(nullptr);
    // Posts racing starts and stops reach no released queue.
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) VXM_network_postTask(2, 2);
    });
    for (int round = 0; round < 20; ++round) {
        VXM_network_threadInit();
        VXM_network_deInit();
    }
    stop = true;
    poster.join();
    EXPECT_TRUE(waitUntil([] { return threadsNamed("net_pro").empty(); }, seconds(5)));
}

// ---- readers ----

TEST_F(NetworkBox, FileAndCommandReaders) {
    TempDir dir;
    const std::string eth7 = "/sys/class/net/eth7/operstate", minus = dir.file("minus");
    std::ofstream(minus) << "-1\n";
    std::ofstream(dir.file("long")) << std::string(2000, 'x');
    char buffer[1024] = "kept";
    VXM_network_get_content(dir.file("long").c_str(), buffer);
    EXPECT_EQ(std::string(buffer), std::string(1023, 'x'));
    std::strcpy(buffer, "kept");
    VXM_network_get_content(eth7.c_str(), buffer);
    EXPECT_EQ(problems(log), "fopen[" + eth7 + ", r]  ini file fail.\nVXM_network_content  open '" + eth7 +
                                 "' failed as No such file or directory\n");
    VXM_network_get_content(nullptr, buffer);
    EXPECT_STREQ(buffer, "kept");
    VXM_INT64 value = 77;
    VXM_network_get_content_int(minus.c_str(), &value);
    VXM_network_get_content_int(nullptr, &value);
    VXM_network_popen_get_content("echo k", "k", nullptr);
    VXM_network_popen_get_int("echo k", "k", nullptr);
    EXPECT_EQ(actShellCmd(nullptr), -1);
    EXPECT_EQ(value, -1);

    struct Row { const char* command; const char* key; const char* text; int number; const char* lastLog; int level; };
    const Row rows[] = {  // "&" is let through; the first line with the key decides
        {"true & printf 'a\\nx=42 kb\\nx=7\\n'", "x=", "42 kb\n", 42, "ptr =42 kb\n", 1},
        {"echo nothing", "x=", "", 0, "can't find 'x=' after exe 'echo nothing'", 2},
        {"echo a; echo x=1", "x=", "", 0, "VXM_network_popen_get_int  open 'echo a; echo x=1' failed", 1},
        {nullptr, "k", "", 0, "VXM_network_content   input para error", 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command ? row.command : "null");
        std::memset(buffer, 0, sizeof buffer);  // nothing is written but the text after the key
        log.clear();
        VXM_network_popen_get_content(row.command, row.key, buffer);
        const Rec last = lastAbove(log, -1);
        EXPECT_EQ(std::make_tuple(std::string(buffer), last.message, last.level),
                  std::make_tuple(row.text, row.lastLog, row.level));
        int number = -5;
        VXM_network_popen_get_int(row.command, row.key, &number);
        EXPECT_EQ(number, row.number);
    }
}

// ---- cards ----

TEST_F(NetworkBox, CardsAreListedInDirectoryOrderClassifiedAndFoundByWholeName) {
    Card ra0("ra0"), longName("eth0123456789ab"), ethernet("ethernet"), wl0("wl0");
    std::vector<std::string> order;  // eth0, eth1 of the box and three of the test's
    for (const auto& entry : Dir("/sys/class/net")) {
        const std::string name = entry.path().filename();
        if (name.rfind("eth", 0) == 0 || name.rfind("ra", 0) == 0 || name.rfind("wlan", 0) == 0) order.push_back(name);
    }
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(VXM_network_getCount(), 5);
    VXM_NETWORK_CARD_INFO cards[8];
    std::memset(cards, 0x5a, sizeof cards);
    int count = 0;
    for (int capacity : {8, 1, -3}) {
        count = capacity;
        ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
        ASSERT_EQ(count, std::clamp(capacity, 0, 5));
        for (int i = 0; i < count; ++i)  // only names and types are written
            EXPECT_EQ(std::make_tuple(std::string(cards[i].ifrName), cards[i].cardType, cards[i].connType),
                      std::make_tuple(order[i], order[i].rfind("eth", 0) == 0 ? 1u : 2u, 0x5a5a5a5au));
    }
    EXPECT_EQ(cards[5].cardType, 0x5a5a5a5au);
    EXPECT_EQ(VXM_network_getWifiNetCards(&cards[7]), 0);
    EXPECT_EQ(std::make_pair(std::string(cards[7].ifrName), cards[7].cardType), std::make_pair(std::string("ra0"), 2u));
    for (const auto& [name, found] : {std::pair{"lo", 1}, {"eth", 0}, {"eth00", 0}}) {
        const VXM_NETWORK_CARD_INFO card = cardNamed(name);
        int exists = -1;
        EXPECT_EQ(VXM_network_netCardExist(&card, &exists), 0);
        EXPECT_EQ(exists, found) << name;
    }
    int exists = -1;
    EXPECT_EQ(VXM_network_getWifiNetCards(nullptr) + VXM_network_getNetCards(cards, nullptr), -2);
    EXPECT_EQ(VXM_network_netCardExist(nullptr, &exists), -1);  // no default card

    // /sys/class hidden: each scan fails, and no card exists.
    ASSERT_EQ(mount("tmpfs", "/sys/class", "tmpfs", 0, nullptr), 0);
    count = 2;
    EXPECT_EQ(VXM_network_getCount(), 0);
    EXPECT_EQ(VXM_network_getNetCards(cards, &count), -1);
    EXPECT_EQ(VXM_network_getWifiNetCards(cards), -1);
    EXPECT_EQ(VXM_network_netCardExist(cards, &exists), 0);
    EXPECT_EQ(exists, 0);
    umount2("/sys/class", MNT_DETACH);
}

TEST(NetworkTexts, ConnectionTypesAndAddressTexts) {
    const std::pair<const char*, int> types[] = {{"PPPoE", 2}, {"Static", 0}, {"DHCP", 1},  {"IPoE", 3},
                                                 {"3", 0},     {"2abc", 1},   {"1", 2},     {"pppoe", -1},
                                                 {"0", -1},    {"DHCP ", -1}, {nullptr, -1}};
    LogCapture log;
    for (const auto& row : types) {
        SCOPED_TRACE(row.first ? row.first : "null");
        EXPECT_EQ(VXM_network_setConnType(row.first), row.second < 0 ? -1 : 0);
        int type = -1;
        EXPECT_EQ(VXM_network_getConnType(&type), 0);
        EXPECT_EQ(type, row.second < 0 ? 2 : row.second);  // a refused one keeps the last
    }
    EXPECT_EQ(VXM_network_getConnType(nullptr), -1);
    VXM_network_setConnType("Static");
    const struct { const char* text; int v4; int valid; } texts[] = {
        {"192.168.1.1a", 1, 0}, {"10.0.0.255", 1, 1}, {"192.168.1", 0, 0}, {"::1", 0, 1},
        {"fe80::1%eth0", 0, 0}, {"", 0, 0}, {nullptr, 0, 0},
    };
    for (const auto& row : texts) {
        EXPECT_EQ(VXM_network_isIPv4(row.text), row.v4) << (row.text ? row.text : "null");
        EXPECT_EQ(VXM_isValidIPAddr(row.text), row.valid) << (row.text ? row.text : "null");
    }
}

// ---- card queries: addresses, MAC, DNS ----

using Query = int (*)(const VXM_NETWORK_CARD_INFO*, char*, int);
template <int index>
int dnsAt(const VXM_NETWORK_CARD_INFO*, char* text, int length) { return VXM_network_getDNS(text, index, length); }

TEST_F(NetworkBox, CardQueries) {
    Card eight("eth0abcd"), nine("eth0abcde"), bare("eth2"), wlan("wlan0"), ppp("ppp0");
    ASSERT_EQ(sh("ip -6 addr add 2001:db8::8/64 dev eth0abcd nodad && ip -6 addr add 2001:db8::9/64 dev eth0abcde nodad"
                 " && ip -6 addr add fe80::1234/64 dev eth2 nodad && ip link set wlan0 address 0a:1b:2c:3d:4e:5f"), 0);
    const char* servers[] = {"10.0.0.53", nullptr, "2001:db8::53"};
    EXPECT_EQ(VXM_network_setDNS(servers, 3), 0);
    EXPECT_EQ(VXM_network_setDNS(nullptr, 1) + VXM_network_setDNS(servers, 0), -2);
    EXPECT_EQ(std::tie(log.all()[0].level, log.all()[0].message), std::make_tuple(3, "aszDNS[1] is null."));
    EXPECT_EQ(readFile(std::string(getenv("VXM_PROPERTY_DIR")) + "/net.dns3"), "2001:db8::53");
    const Query ip = VXM_network_getIpAddr, mask = VXM_network_getNetMask, v6 = VXM_network_getIpv6Addr;
    const Query mac = VXM_network_getMacAddr, plain = VXM_network_getMacAddrOnlyNum;
    const Query eth0Mac = [](const VXM_NETWORK_CARD_INFO*, char* t, int n) { return VXM_network_getEth0MacAddr(t, n); };
    const Query sockMac = [](const VXM_NETWORK_CARD_INFO*, char* t, int) { return VXM_sock_getMac(t); };
    // The record of an error: the text is checked where it carries a name or an errno.
    const Rec error{4, "", ""}, noMac{4, "", "ioctl error,errno = 19,get mac failed."};
    const std::string full6 = "2001:0db8:0000:0000:0000:0000:0000:000";
    struct Row { Query query; const char* card; int length, result; std::string text; Rec log; const char* ext = ""; };
    const Row rows[] = {  // card "": the unset default card; the last record above debug level, or none
        {ip, "eth0", 32, 0, "192.168.1.10", {}},
        {ip, "eth0123456789abcdefg", 32, -1, "kept",
         {4, "", "failed to read eth0123456789ab IP, ioctl error: No such device."}},
        {ip, "eth0", 5, 0, "kept", {}},  // too short for the text: success, nothing written
        {v6, "eth0", 128, 0, full6 + "1", {}},
        {v6, "eth0", 20, 0, "2001:0db8:0000:0000", {}},
        {v6, "eth0abcd", 64, 0, full6 + "8", {}},
        {v6, "eth0abcde", 64, -1, "kept", error},  // names beyond 8 miss
        {v6, "eth2", 64, -1, "kept", error},       // link-local only
        {mask, "eth7", 32, -1, "kept", {4, "", "create ioctl error,errno = 19."}},
        {mask, "eth0", 0, -1, "kept", error},
        {mask, "", 32, -1, "kept", error},
        {ip, "eth0", 0, -1, "kept", error},
        {mac, "eth0", 18, 0, "02:00:00:AA:BB:0C", {}},
        {plain, "eth0", 18, 0, "020000AABB0C", {}, "wlan0"},
        {mac, "ppp0", 18, 0, "0A:1B:2C:3D:4E:5F", {4, "", "PPPoE not have Mac address, use wlan0"}, "wlan0"},
        {mac, "ppp0", 18, -1, "kept", noMac},
        {plain, "eth7", 18, -1, "kept", noMac},
        {mac, "eth0", 17, -1, "kept", error},
        {eth0Mac, "", 10, 0, "02:00:00:", {}},  // eth0 whatever the default card
        {eth0Mac, "", 0, -1, "kept", {}},
        {sockMac, "", 0, 0, "02:00:00:aa:bb:0c", {}},  // the socket family's, in lower case
        {dnsAt<0>, "", 64, 0, "10.0.0.53", {}},
        {dnsAt<0>, "", 5, 0, "10.0", {}},
        {dnsAt<1>, "", 64, 0, "kept", {}},  // the null server was not written
        {dnsAt<2>, "", 64, -1, "kept", {}},
    };
    const auto descriptors = openDescriptors();
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + " " + row.card);
        VXM_NETWORK_CARD_INFO card = cardNamed(row.card, row.ext);
        char text[128] = "kept";
        const auto query = [&] { return row.query(*row.card ? &card : nullptr, text, row.length); };
        {
            LogCapture mine;  // its end leaves the rest of the test without a sink
            EXPECT_EQ(query(), row.result);
            EXPECT_EQ(text, row.text);
            const Rec last = lastAbove(mine);
            EXPECT_EQ(last.level, row.log.level);
            if (!row.log.message.empty()) EXPECT_EQ(last.message, row.log.message);
        }
        EXPECT_EQ(query(), row.result);  // the same without a sink: no work is done in a record's arguments
        EXPECT_EQ(row.query(*row.card ? &card : nullptr, nullptr, row.length), -1);  // no buffer
    }
    EXPECT_EQ(openDescriptors(), descriptors);  // every query closes what it opens
    std::thread([&] {  // in a namespace of its own, without eth0
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        char text[18] = "kept";
        EXPECT_EQ(VXM_sock_getMac(text) + VXM_network_getEth0MacAddr(text, sizeof text), -2);
        EXPECT_STREQ(text, "kept");
    }).join();
}

// ---- link and the wireless card ----

TEST_F(NetworkBox, CableStateActivityAndTheWirelessCard) {
    VXM_NETWORK_CARD_INFO* wifi = VXM_network_getWIFICardInfo();
    std::strcpy(wifi->ifrName, "wlan0extra");
    wifi->cardType = 1;
    EXPECT_EQ(VXM_network_getWIFICardInfo(), wifi);  // each call writes the record afresh
    EXPECT_EQ(std::string(wifi->ifrName, 16) + std::to_string(wifi->cardType), "wlan0" + std::string(11, '\0') + "2");
    int state = -1;
    EXPECT_EQ(VXM_network_getWifiNetCards(wifi), -1);  // no wireless card yet
    EXPECT_EQ(VXM_network_getWIFIState(nullptr, &state), 0);  // no wlan0 yet
    EXPECT_EQ(state, 0);
    EXPECT_EQ(VXM_network_getWIFIState(nullptr, nullptr), -1);
    Card running("eth4"), wlan0("wlan0", true, false), wlan1("wlan1", false, true);
    // wireless: the state of wlan0, whatever the card asked about
    struct Row { const char* card; bool up, carrier; int cable, report, active, activeResult, wireless; };
    const Row rows[] = {{"eth4", 1, 1, 2, 2, 2, 0, 1}, {"wlan0", 1, 0, 1, 1, 2, 0, 1}, {"wlan0", 0, 1, 1, 1, 1, 0, 1},
                        {"wlan0", 1, 1, 2, 2, 2, 0, 2}, {"eth7", 1, 1, 0, 1, 0, -1, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.card + std::to_string(row.up) + std::to_string(row.carrier));
        if (std::string(row.card) == "wlan0") ASSERT_TRUE(wlan0.set(row.up, row.carrier));
        VXM_NETWORK_CARD_INFO card = cardNamed(row.card);
        int cable = -1, report = -1, active = -1, wireless = -1;
        EXPECT_EQ(VXM_network_getCableState(&card, &cable), 0);
        EXPECT_EQ(VXM_network_getCableState_for_error_report(row.card, &report), 0);
        EXPECT_EQ(VXM_network_getNetActive(row.card, &active), row.activeResult);
        EXPECT_EQ(VXM_network_getWIFIState(wifi, &wireless), 0);
        EXPECT_EQ(std::make_tuple(cable, report, active, wireless),
                  std::make_tuple(row.cable, row.report, row.active, row.wireless));
    }
    setDefaultCard("wlan0", 2);
    EXPECT_EQ(VXM_network_getCableState(nullptr, &state), 0);
    EXPECT_EQ(state, 2);
    VXM_NETWORK_CARD_INFO eth4 = cardNamed("eth4"), gone = cardNamed("eth7");
    auto adminUp = [] { return std::strtoul(sysfs("eth4", "flags").c_str(), nullptr, 16) & 1; };
    for (const auto& [active, up] : {std::pair<int, unsigned long>{1, 0}, {7, 0}, {2, 1}, {0, 1}}) {
        EXPECT_EQ(VXM_network_setNetActive(&eth4, active), 0);
        EXPECT_EQ(adminUp(), up) << active;
    }

    // The waits of the entry points: up is enough, running is not needed.
    ASSERT_TRUE(wlan0.set(true, false));
    VXM_NETWORK_CARD_INFO up = cardNamed("wlan0"), down = cardNamed("wlan1"), blank{};
    int result = 5;
    const int request = 0;
    EXPECT_EQ(VXM_wifi_searchList(&up, &result), 0);
    EXPECT_EQ(VXM_wifi_connectToSSID(&up, &request), -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VXM_wifi_connectToSSID(&down, &request) + VXM_wifi_searchList(&down, &result), -1);  // 2 s and 3 s
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4990));

    setDefaultCard("");
    EXPECT_EQ(VXM_network_getNetActive("", &state), 0);  // an empty name is no failure
    EXPECT_EQ(VXM_network_setNetActive(nullptr, 2), -1);
    log.clear();  // the reporting query logs its own failure only, with the errno of the request
    EXPECT_EQ(VXM_network_setNetActive(&gone, 2) + VXM_network_getCableState_for_error_report("eth7", &state), -1);
    EXPECT_EQ(problems(log), "recv error, errno:19.\nioctl error, errno:19 ifrName:'eth7'.\n");
    EXPECT_EQ(VXM_network_getCableState(&gone, nullptr) + VXM_network_getCableState_for_error_report(nullptr, &state) +
                  VXM_network_getNetActive("eth7", nullptr) + VXM_network_getNetCardDuplex(nullptr) +
                  VXM_network_getNetCardCapacity(nullptr), -5);
    EXPECT_EQ(VXM_wifi_searchList(nullptr, &result) + VXM_wifi_searchList(&up, nullptr) +
                  VXM_wifi_connectToSSID(&blank, &request) + VXM_wifi_connectToSSID(&up, nullptr), -4);
    EXPECT_EQ(result, 5);
}

// A tap card held open by the test (so it has a carrier), whose speed and duplex can be set.
struct Tap {
    explicit Tap(const char* name) : fd(open("/dev/net/tun", O_RDWR | O_CLOEXEC)) {
        std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
        request.ifr_flags = IFF_TAP | IFF_NO_PI;
        ok = ioctl(fd, TUNSETIFF, &request) == 0 && sh(std::string("ip link set up ") + name) == 0 &&
             waitUntil([&] { return sysfs(name, "operstate") == "unknown\n"; }, seconds(5));
    }
    ~Tap() { close(fd); }
    bool setLink(VXM_UINT32 speed, bool full) {
        ethtool_cmd command{ETHTOOL_SSET};
        ethtool_cmd_speed_set(&command, speed);
        command.duplex = full ? DUPLEX_FULL : DUPLEX_HALF;
        request.ifr_data = reinterpret_cast<char*>(&command);
        return ioctl(vxm::network::RequestSocket().get(), SIOCETHTOOL, &request) == 0;
    }
    int fd;
    ifreq request{};
    bool ok = false;
};

TEST_F(NetworkBox, DuplexAndSpeedOfTheDefaultCard) {
    Card seven("eth0abc", false);
    Tap tap("eth8");
    struct Row { const char* card; VXM_UINT32 type; int duplexResult, duplex, speedResult, speed; const char* log; };
    const Row rows[] = {
        // eth0abc's files (down: unreadable, then up), eth0abcde's cable state (unknown: the files are read)
        {"eth0abcde", 1, 0, 1, -1, 100, "speed file fread error, errno=22."},
        {"eth0abcde", 1, 0, 1, 0, 10000, "ioctl error, errno:19."},
        {"eth9", 1, -1, 1, -1, 100, "open network speed file error."},
        {"", 1, 0, 1, 0, 10000, "Invaild param,ifrname empty."},  // eth0's files, no cable state
        {"wlan0", 2, 0, 1, 0, 54, "ioctl error, errno:19."},
        {"wlan0", 0, 0, -1, 0, -1, "ioctl error, errno:19."},
        {"eth1", 1, 0, 1, 0, 0, ""},  // down: speed 0
        {"eth8", 1, 0, 0, 0, 1000, "network is Half duplex"},
        {"eth8", 1, 0, 1, 0, 100000, "network is FULL duplex"},  // 6 characters: the most that is read
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.card + std::string(" ") + std::to_string(row.type));
        if (&row == &rows[1]) ASSERT_TRUE(seven.set(true, true));
        if (std::string(row.card) == "eth8" && !(tap.ok && tap.setLink(row.speed, row.duplex))) {  // the last rows
            ASSERT_TRUE(!tap.ok || errno == ENOSYS) << strerror(errno);
            GTEST_SKIP() << (tap.ok ? "the emulator does not pass the link settings request on" : "no /dev/net/tun");
        }
        setDefaultCard(row.card, row.type);
        log.clear();
        int duplex = -1, speed = -1;
        EXPECT_EQ(VXM_network_getNetCardDuplex(&duplex), row.duplexResult);
        EXPECT_EQ(VXM_network_getNetCardCapacity(&speed), row.speedResult);
        EXPECT_EQ(std::make_tuple(duplex, speed, lastAbove(log, -1).message),
                  std::make_tuple(row.duplex, row.speed, row.log));
    }
}

// ---- the gateway ----

// Below release class 5 the gateway comes from the netlink route dump; from class 5 on, from the
// daemon's listing of the card's table (listing given: the daemon is away and the old listing is read).
TEST_F(NetworkBox, GatewayOnBothWays) {
    ASSERT_EQ(sh("ip link set eth1 up && ip addr add 192.168.2.10/24 dev eth1"), 0);
    const char *kGw = "192.168.1.1", *kNoChange = "true", *kKept = "kept";
    const std::string batch = "for i in $(seq 0 399); do echo route add 172.16.$((i / 200)).$((i % 200))/32 dev eth0;"
                              " done | ip -batch -";  // a dump too large for the buffer
    const std::string flush = "ip route flush root 172.16.0.0/16 && ip route flush root 10.0.0.0/8 && "
                              "ip route flush table 200 && ip link set eth1 down && ip addr flush dev eth1";
    const Rec away{4, "", "VXM_csopen exec [chmod 644 /tmp/Gateway] faild"};  // the listing's last step
    struct Row { const char* release; std::string change; const char* card; int length; int result; const char* text;
                 Rec last; const char* listing = nullptr; };
    const Row rows[] = {  // last: the last record, or none
        {"", kNoChange, "eth0", 16, 0, kGw, {}},  // unset: class 0
        {"7.1.2", kNoChange, "eth0", 16, 0, kGw, {}},  // a release of no class: 0
        // Routes of other tables, families and cards are never taken; 10.0.0.0/8 counts as a default
        // route and the last in the dump decides; a buffer too short keeps what it held.
        {"4.4", "ip route add default via 192.168.1.9 dev eth0 table 200 && ip -6 route add default via 2001:db8::9 dev"
                " eth0 metric 5", "eth1", 32, 0, kKept, {}},
        {"4.4", "ip route add 10.0.0.0/8 dev eth0", "eth0", 32, 0, "0.0.0.0", {}},
        {"4.4", "ip route replace 10.0.0.0/8 via 192.168.1.254 dev eth0", "eth0", 32, 0, "192.168.1.254", {}},
        {"4.4", "ip route replace 10.0.0.0/8 via 192.168.2.254 dev eth1", "eth0", 32, 0, kGw, {}},
        {"4.4", "ip route add 172.20.0.0/16 via 192.168.2.2 dev eth1", "eth1", 32, 0, "192.168.2.254", {}},
        {"4.4", kNoChange, "eth0", 8, 0, kKept, {}},
        {"4.4", kNoChange, "", 32, -1, kKept, {4, "", "Invaild param."}},
        {"4.4", batch, "eth0", 32, -1, kKept, {4, "", "get gateway error."}},
        {"8.0.0", flush, "eth0", 32, 0, kGw, {}},
        {"8.0.0", kNoChange, "eth0", 11, 0, "", {}},  // 11 characters do not fit in 11 bytes
        {"8.0.0", kNoChange, "eth0", 12, 0, kGw, {}},
        {"8.0.0", kNoChange, "eth1", 32, -1, kKept, {1, "", "VXM gateway file is empty"}},  // down: no table
        {"8.0.0", kNoChange, "eth0", 32, -1, kKept, {1, "", "VXM open gateway file err"}, ""},
        // The first line that is no default route gives nothing; a large buffer takes the word as well.
        {"8.0.0", kNoChange, "eth0", 32, 0, kKept, away, "10.0.0.0/8 via 192.168.2.1 dev eth1\n"},
        {"8.0.0", kNoChange, "eth0", 40000, 0, "10.9.8.7", away, "default via 10.9.8.7 dev eth0 proto static\n"},
    };
    const auto descriptors = openDescriptors();
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + row.release + " " + row.change);
        setProperty("ro.build.version.release", row.release);
        ASSERT_EQ(sh(row.change), 0);
        unlink(kGatewayFile);
        std::optional<NoDaemon> gone;
        if (row.listing) gone.emplace();
        if (row.listing && *row.listing) std::ofstream(kGatewayFile) << row.listing;
        VXM_NETWORK_CARD_INFO card = cardNamed(row.card);
        std::string text = kKept + std::string(std::max(row.length, 32), '\0');
        log.clear();
        EXPECT_EQ(VXM_network_getGateway(*row.card ? &card : nullptr, text.data(), row.length), row.result);
        EXPECT_STREQ(text.c_str(), row.text);
        const Rec last = lastAbove(log, 0);
        EXPECT_EQ(std::tie(last.level, last.message), std::tie(row.last.level, row.last.message));
        if (row.release[0] != '8') EXPECT_EQ(access(kGatewayFile, F_OK), -1);  // no listing made
    }
    EXPECT_EQ(openDescriptors(), descriptors);  // every query closes what it opens
    unlink(kGatewayFile);
    setProperty("ro.build.version.release", "4.4");
}

// ---- statistics ----

struct Counter { const char* file; VXM_INT64 VXM_NETWORK_STATIC_INFO::*field; };
#define VXM_COUNTER(name) {#name, &VXM_NETWORK_STATIC_INFO::name}
const Counter kCounters[] = {
    VXM_COUNTER(rx_bytes), VXM_COUNTER(rx_packets), VXM_COUNTER(rx_errors), VXM_COUNTER(rx_dropped),
    VXM_COUNTER(tx_bytes), VXM_COUNTER(tx_packets), VXM_COUNTER(tx_errors), VXM_COUNTER(tx_dropped),
    VXM_COUNTER(multicast), VXM_COUNTER(collisions), VXM_COUNTER(rx_crc_errors), VXM_COUNTER(rx_fifo_errors),
    VXM_COUNTER(rx_over_errors), VXM_COUNTER(rx_compressed), VXM_COUNTER(tx_aborted_errors),
    VXM_COUNTER(tx_carrier_errors), VXM_COUNTER(tx_compressed), VXM_COUNTER(tx_fifo_errors),
    VXM_COUNTER(tx_heartbeat_errors), VXM_COUNTER(tx_window_errors),
};
constexpr VXM_INT64 kUnset = -7;

VXM_INT64 counter(const std::string& c, const std::string& f) { return std::atoll(sysfs(c, "statistics/" + f).data()); }

// The record of name, every field preset to 7 or -7. The kernel may send on its own at any time:
// each counter of card (the card that decides) lies between the kernel's read before and after.
VXM_NETWORK_STATIC_INFO statistics(const std::string& name, const std::string& card = "") {
    VXM_NETWORK_STATIC_INFO info{};
    std::strncpy(info.ifrName, name.c_str(), sizeof info.ifrName - 1);
    info.linkUp = 7;
    info.rx_frame_errors = info.txTotal = info.rxTotal = info.frequency = kUnset;
    info.txBad = info.snr = info.rssi = -7;
    info.quality = info.rxErrorRatio = -7.0f;
    std::vector<VXM_INT64> before;
    for (const auto& c : kCounters) {
        info.*c.field = kUnset;
        before.push_back(counter(card, c.file));
    }
    EXPECT_EQ(VXM_network_getStatic(&info), 0) << name;
    for (std::size_t i = 0; i < std::size(kCounters) && !card.empty(); ++i) {
        EXPECT_LE(before[i], info.*kCounters[i].field) << name << " " << kCounters[i].file;
        EXPECT_LE(info.*kCounters[i].field, counter(card, kCounters[i].file)) << name << " " << kCounters[i].file;
    }
    return info;
}

// Statistics of the cards a name begins, and the radio figures of wlan0 from the box's tools.
TEST_F(NetworkBox, StatisticsAndRadioFigures) {
    VXM_NETWORK_STATIC_INFO info{};
    EXPECT_EQ(VXM_network_getStatic(nullptr), -1);
    ASSERT_EQ(sh("mount -t tmpfs tmpfs /sys/class/net"), 0);  // no cards at all
    EXPECT_EQ(VXM_network_getStatic(&info), -1);
    umount2("/sys/class/net", MNT_DETACH);
    Card wlan0("wlan0"), eth3("eth3", true, false);
    ASSERT_EQ(sh("ip addr add 10.5.0.2/16 dev wlan0 && ip route add default via 10.5.0.1 dev wlan0 metric 50"
                 " && ip neigh replace 10.5.0.9 lladdr 02:00:00:00:00:09 dev wlan0 nud permanent"), 0);
    ASSERT_TRUE(waitUntil([] { return counter("wlan0", "rx_packets") > 0; }, seconds(20)));  // the peer's chatter
    // Datagrams nobody answers: the card sends far more than it takes in.
    ASSERT_EQ(sh("bash -c 'for i in 1 2 3 4 5 6 7 8; do head -c 1400 /dev/zero >/dev/udp/10.5.0.9/9; done'"), 0);
    struct Row { const char* cards; int rssi; const char* frequency; int gotRssi; float quality; VXM_INT64 hz; };
    const Row rows[] = {
        {"wlan0", -70, "2.437", -70, 30.0f / 45.0f, 200000000}, {"wlan0", -100, "5.18", -100, 0.0f, 500000000},
        {"wlan0", -55, "2.4", -55, 1.0f, 200000000}, {"", -70, "2.4", 0, 1.0f, 0},  // "": no lines with the keys
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.rssi) + " " + row.cards);
        std::ofstream("/tmp/vxmbox/wireless") << "WIRELESS_CARDS='" << row.cards << "'\nRSSI=" << row.rssi
                                              << "\nSNR=25\nTXBAD=12\nFREQUENCY=" << row.frequency << "\n";
        info = statistics("wlan0", "wlan0");
        const int known = *row.cards ? 1 : 0;
        EXPECT_EQ(std::make_tuple(info.rssi, info.snr, info.txBad, info.quality, info.frequency),
                  std::make_tuple(row.gotRssi, 25 * known, 12 * known, row.quality, row.hz));
    }
    EXPECT_EQ(info.txTotal, info.tx_dropped + info.tx_errors + info.tx_packets);
    EXPECT_EQ(info.rxTotal, info.rx_packets + info.rx_errors + info.rx_dropped);
    EXPECT_EQ(std::make_tuple(info.linkUp, info.rx_frame_errors, info.rxErrorRatio), std::make_tuple(1, kUnset, 0.0f));
    EXPECT_EQ(std::string(info.ipAddr) + " " + info.netMask + " " + info.gateway, "10.5.0.2 255.255.0.0 10.5.0.1");
    // "eth" and "" match several cards: the last in the list decides each field, and the link flag
    // is only ever set.
    VXM_NETWORK_CARD_INFO cards[8] = {};
    int count = 8;
    ASSERT_EQ(VXM_network_getNetCards(cards, &count), 0);
    for (const std::string prefix : {"eth", ""}) {
        std::string last;
        for (int i = 0; i < count; ++i)
            if (std::string(cards[i].ifrName).rfind(prefix, 0) == 0) last = cards[i].ifrName;
        EXPECT_EQ(statistics(prefix, last).linkUp, 1);
    }
    info = statistics("eth3", "eth3");  // up without carrier is not up; no packets leave the ratio; no radio
    EXPECT_EQ(std::make_tuple(info.linkUp, info.rxErrorRatio, info.rssi), std::make_tuple(7, -7.0f, -7));
    info = statistics("eth0x");  // matches nothing: nothing filled
    EXPECT_EQ(std::make_tuple(info.linkUp, info.rx_bytes, std::string(info.ipAddr)), std::make_tuple(7, kUnset, ""));
}

// ---- the socket family ----

// Queries of the default card and traffic counters; connects where loopback cannot take them: to
// neighbours whose hardware address nobody has (what is sent there is never answered) and to one
// that never resolves; host names from a hosts file of the test's own, one entry too large for the
// first buffer.
TEST_F(NetworkBox, SocketFamily) {
    Card ppp0("ppp0"), unplugged("eth5", true, false);
    ASSERT_EQ(sh("ip addr add 100.64.1.2/32 dev ppp0 && ip addr add 10.6.0.1/24 dev eth5 && ip neigh replace"
                 " 192.168.1.2 lladdr 02:00:00:00:00:02 dev eth0 nud permanent && ip neigh replace 2001:db8::2 lladdr"
                 " 02:00:00:00:00:02 dev eth0 nud permanent"), 0);
    struct Row { const char* conn; const char* card; int selector; const char* ip; const char* name; };
    const Row rows[] = {
        {"Static", "", 0, "", ""},  // no default card, nothing cached yet
        {"PPPoE", "ppp0", 1, "100.64.1.2", "ppp0"}, {"PPPoE", "ppp0", 0, "192.168.1.10", "eth0"},
        {"DHCP", "ppp0", 0, "100.64.1.2", "ppp0"},
        {"DHCP", "eth9", 1, "100.64.1.2", "eth9"},  // no such card: the last answer
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.conn) + " " + row.card + " " + std::to_string(row.selector));
        ASSERT_EQ(VXM_network_setConnType(row.conn), 0);
        setDefaultCard(row.card, 0, "eth0");
        char ip[16] = "kept", name[16];
        unsigned int index = 77;
        EXPECT_EQ(VXM_sock_getIp(ip, row.selector, nullptr) + VXM_sock_getIp(nullptr, row.selector, &index), -1);
        EXPECT_EQ(VXM_sock_getIp(ip, row.selector, &index), 0);
        EXPECT_EQ(std::make_tuple(std::string(ip), index, VXM_sock_getInterfaceIdx(row.selector)),
                  std::make_tuple(std::string(row.ip), if_nametoindex(row.name), if_nametoindex(row.name)));
        EXPECT_EQ(VXM_sock_getInterfaceName(name, sizeof name, row.selector), static_cast<int>(std::strlen(row.name)));
        EXPECT_STREQ(name, row.name);
    }
    char small[15] = "kept";
    EXPECT_EQ(VXM_sock_getInterfaceName(small, sizeof small, 1), 1);
    std::vector<char> large(40000, 'z');
    EXPECT_EQ(VXM_sock_getInterfaceName(large.data(), static_cast<unsigned int>(large.size()), 0), 4);
    EXPECT_EQ(std::strncmp(large.data(), "eth9", 5), 0);
    EXPECT_STREQ(small, "kept");
    VXM_network_setConnType("Static");

    // Traffic counters are only read for a running card that holds the address.
    unsigned long long kept = 12345;
    testing::internal::CaptureStderr();
    EXPECT_EQ(VXM_get_netStat("10.6.0.1", &kept, &kept, &kept, &kept), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VXM_get_netCardNameByIP failed ip[10.6.0.1].\n");
    EXPECT_EQ(kept, 12345u);

    // Kernel settings under /proc/sys/net, the box's own: they end with it.
    using Settings = std::vector<std::pair<const char*, const char*>>;
    struct Connect { VXM_SOCKADDR to; int timeoutMs; Settings sysctls; int result, level; const char* log; };
    const Connect connects[] = {
        {v6Record("2001:db8::2", 80), 30, {}, 3, VXM_LOG_INFO, ": RestTime=-30"},
        // One SYN retry: the kernel gives up long before the call's own count-down.
        {v4Record("192.168.1.2", 80), 60000, {{"ipv4/tcp_syn_retries", "1"}}, 3, VXM_LOG_ERROR, ": ETIMEDOUT"},
        // One solicitation given up after 100 ms: the pending error is none the call expects, and
        // reading it clears it, so the next slice finds the socket writable without an error.
        {v4Record("192.168.1.3", 80), 60000,
         {{"ipv4/neigh/eth0/retrans_time_ms", "100"}, {"ipv4/neigh/eth0/mcast_solicit", "1"},
          {"ipv4/neigh/eth0/ucast_solicit", "0"}}, 0, VXM_LOG_ERROR, ": unexcept error num"},
    };
    for (const Connect& row : connects) {
        SCOPED_TRACE(row.log);
        for (const auto& [key, value] : row.sysctls) std::ofstream("/proc/sys/net/" + std::string(key)) << value;
        const int sock = socket(row.to.family == AF_INET ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        log.clear();
        EXPECT_EQ(VXM_sock_connectTimeOut(sock, &row.to, row.timeoutMs), row.result);
        EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);  // the flags are put back
        close(sock);
        ASSERT_EQ(log.all().size(), 1u);
        const LogRecord record = log.all()[0];
        EXPECT_EQ(std::tie(record.message, record.level, record.module),
                  std::make_tuple(withLine(record, row.log), row.level, std::string("os_net")));
    }

    std::string aliases;
    for (int i = 0; i < 150; ++i) aliases += " alias" + std::to_string(1000 + i);  // 2 KiB of entry
    std::ofstream("/tmp/hosts") << "10.1.1.1 twice\n10.1.1.2 twice\n2001:db8::7 onlysix\n10.20.30.40 crowded"
                                << aliases << "\n";
    ASSERT_EQ(mount("/tmp/hosts", "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    const std::pair<const char*, const char*> hosts[] = {
        {"twice", "10.1.1.1"}, {"alias1149", "10.20.30.40"}, {"onlysix", "kept"}};
    for (const auto& [host, address] : hosts) {
        char out[16] = "kept";
        EXPECT_EQ(VXM_sock_getHostByName(out, host), std::strcmp(address, "kept") ? 0 : -1) << host;
        EXPECT_STREQ(out, address) << host;
    }
    umount2("/etc/hosts", MNT_DETACH);
}

}  // namespace
