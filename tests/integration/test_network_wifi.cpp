// The wireless card on a real wlan0: its record, its running state with and without carrier, and
// the search and connect entry points' waits while the card is not up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "integration/netbed.h"
#include "integration/network_checks.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_network.h"

namespace {

using namespace vxmtest;  // the bed, the log capture and the checks of network_checks.h
using Clock = std::chrono::steady_clock;

// The call's result and how long it took, in milliseconds.
template <typename Call>
std::pair<int, long> timed(Call call) {
    auto start = Clock::now();
    int result = call();
    return {result, static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count())};
}

TEST(NetworkWifiRecord, TheRecordIsWlan0AndGetsItsNameBack) {
    VXM_NETWORK_CARD_INFO* wifi = VXM_network_getWIFICardInfo();
    ASSERT_NE(wifi, nullptr);
    EXPECT_EQ(std::memcmp(wifi->ifrName, "wlan0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(wifi->cardType, 2u);
    EXPECT_NE(wifi, VXM_network_getNetWorkCardInfo(nullptr));
    EXPECT_EQ(VXM_network_getWIFICardInfo(), wifi);
    std::strcpy(wifi->ifrName, "wlan0extra");
    std::strcpy(wifi->ifrExtName, "ext");
    wifi->cardType = 1;
    wifi->connType = 3;
    EXPECT_EQ(VXM_network_getWIFICardInfo(), wifi);
    EXPECT_EQ(std::memcmp(wifi->ifrName, "wlan0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(wifi->cardType, 2u);
    EXPECT_STREQ(wifi->ifrExtName, "ext");
    EXPECT_EQ(wifi->connType, 3u);
    wifi->cardType = 1;  // the name is right: nothing is rewritten
    VXM_network_getWIFICardInfo();
    EXPECT_EQ(wifi->cardType, 1u);
    std::memset(wifi->ifrExtName, 0, sizeof wifi->ifrExtName);
    wifi->cardType = 2;
    wifi->connType = 0;
}

class NetworkWifi : public vxmtest::NetBedTest {};

TEST_F(NetworkWifi, StateIsTheRunningFlagOfWlan0) {
    LogCapture log;
    int state = -1;
    EXPECT_EQ(VXM_network_getWIFIState(nullptr, &state), 0);  // no wlan0 yet
    EXPECT_EQ(state, 0);
    expectOnly(log, VXM_LOG_ERROR, "ioctl error, errno:19.");

    ASSERT_TRUE(bed().addCard("eth0"));
    ASSERT_TRUE(bed().addCard("wlan0", true, true));
    VXM_NETWORK_CARD_INFO eth0 = cardNamed("eth0");
    ASSERT_TRUE(bed().setCarrier("eth0", false));
    log.clear();
    EXPECT_EQ(VXM_network_getWIFIState(&eth0, &state), 0);  // the card given plays no part
    EXPECT_EQ(state, 2);
    ASSERT_TRUE(bed().setCarrier("wlan0", false));  // up without a link
    EXPECT_EQ(VXM_network_getWIFIState(nullptr, &state), 0);
    EXPECT_EQ(state, 1);
    ASSERT_TRUE(bed().setUp("wlan0", false));
    EXPECT_EQ(VXM_network_getWIFIState(nullptr, &state), 0);
    EXPECT_EQ(state, 1);
    EXPECT_TRUE(log.all().empty());
    EXPECT_EQ(VXM_network_getWIFIState(nullptr, nullptr), -1);
    expectOnly(log, VXM_LOG_ERROR, "param error!");
}

TEST_F(NetworkWifi, SearchAndConnectWaitOnlyWhileTheCardIsNotUp) {
    ASSERT_TRUE(bed().addCard("wlan0", true, false));  // up is enough, running is not needed
    ASSERT_TRUE(bed().addCard("wlan1", false, true));
    VXM_NETWORK_CARD_INFO up = cardNamed("wlan0"), down = cardNamed("wlan1"), gone = cardNamed("wlan7");
    int result = 0;
    const int request = 0;
    auto upSearch = timed([&] { return VXM_wifi_searchList(&up, &result); });
    EXPECT_EQ(upSearch.first, 0);
    EXPECT_LT(upSearch.second, 1000);
    auto upConnect = timed([&] { return VXM_wifi_connectToSSID(&up, &request); });
    EXPECT_EQ(upConnect.first, -1);
    EXPECT_LT(upConnect.second, 1000);

    // The waits, side by side.
    auto downSearch = std::async(std::launch::async, [&] { return timed([&] { return VXM_wifi_searchList(&down, &result); }); });
    auto downConnect =
        std::async(std::launch::async, [&] { return timed([&] { return VXM_wifi_connectToSSID(&down, &request); }); });
    auto goneConnect =
        std::async(std::launch::async, [&] { return timed([&] { return VXM_wifi_connectToSSID(&gone, &request); }); });
    auto search = downSearch.get();
    EXPECT_EQ(search.first, 0);
    EXPECT_GE(search.second, 2990);
    EXPECT_LT(search.second, 10000);
    for (auto connect : {downConnect.get(), goneConnect.get()}) {
        EXPECT_EQ(connect.first, -1);
        EXPECT_GE(connect.second, 1990);
        EXPECT_LT(connect.second, 10000);
    }
    EXPECT_EQ(result, 0);  // nothing written
}

TEST_F(NetworkWifi, BadArgumentsAreRefusedAtOnce) {
    VXM_NETWORK_CARD_INFO empty{}, up = cardNamed("wlan0");
    int result = 5;
    LogCapture log;
    auto run = timed([&] {
        int failures = 0;
        failures += VXM_wifi_searchList(nullptr, &result) == -1;
        failures += VXM_wifi_searchList(&empty, &result) == -1;
        failures += VXM_wifi_searchList(&up, nullptr) == -1;
        failures += VXM_wifi_connectToSSID(nullptr, &result) == -1;
        failures += VXM_wifi_connectToSSID(&empty, &result) == -1;
        failures += VXM_wifi_connectToSSID(&up, nullptr) == -1;
        return failures;
    });
    EXPECT_EQ(run.first, 6);
    EXPECT_LT(run.second, 1000);
    auto all = log.all();
    ASSERT_EQ(all.size(), 6u);
    for (const auto& record : all) {
        EXPECT_EQ(record.message, "Invaild param.");
        EXPECT_EQ(record.level, VXM_LOG_ERROR);
        EXPECT_EQ(record.module, vxmtest::kNetworkTag);
    }
    EXPECT_EQ(result, 5);
}

}  // namespace
