// One interface's statistics record: its addresses and gateway, its link, the kernel's counters
// under "/sys/class/net", and for "wlan0" the radio figures the wireless tools print.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_memory.h"

using vxm::network::kContentSize;
using vxm::network::kModuleTag;

namespace {

constexpr char kNetDir[] = "/sys/class/net";
constexpr char kWirelessName[] = "wlan0";
constexpr std::size_t kPathSize = 1024;
constexpr std::int64_t kFrequencyUnit = 100000000;

// The counter files in the order they are read, each with its field.
struct Counter {
    const char* pattern;
    VXM_INT64 VXM_NETWORK_STATIC_INFO::*field;
};

constexpr Counter kCounters[] = {
    {"%s/%s/statistics/collisions", &VXM_NETWORK_STATIC_INFO::collisions},
    {"%s/%s/statistics/multicast", &VXM_NETWORK_STATIC_INFO::multicast},
    {"%s/%s/statistics/rx_bytes", &VXM_NETWORK_STATIC_INFO::rx_bytes},
    {"%s/%s/statistics/rx_compressed", &VXM_NETWORK_STATIC_INFO::rx_compressed},
    {"%s/%s/statistics/rx_crc_errors", &VXM_NETWORK_STATIC_INFO::rx_crc_errors},
    {"%s/%s/statistics/rx_dropped", &VXM_NETWORK_STATIC_INFO::rx_dropped},
    {"%s/%s/statistics/rx_errors", &VXM_NETWORK_STATIC_INFO::rx_errors},
    {"%s/%s/statistics/rx_over_errors", &VXM_NETWORK_STATIC_INFO::rx_over_errors},
    {"%s/%s/statistics/rx_packets", &VXM_NETWORK_STATIC_INFO::rx_packets},
    {"%s/%s/statistics/rx_fifo_errors", &VXM_NETWORK_STATIC_INFO::rx_fifo_errors},
    {"%s/%s/statistics/tx_aborted_errors", &VXM_NETWORK_STATIC_INFO::tx_aborted_errors},
    {"%s/%s/statistics/tx_bytes", &VXM_NETWORK_STATIC_INFO::tx_bytes},
    {"%s/%s/statistics/tx_carrier_errors", &VXM_NETWORK_STATIC_INFO::tx_carrier_errors},
    {"%s/%s/statistics/tx_compressed", &VXM_NETWORK_STATIC_INFO::tx_compressed},
    {"%s/%s/statistics/tx_dropped", &VXM_NETWORK_STATIC_INFO::tx_dropped},
    {"%s/%s/statistics/tx_errors", &VXM_NETWORK_STATIC_INFO::tx_errors},
    {"%s/%s/statistics/tx_fifo_errors", &VXM_NETWORK_STATIC_INFO::tx_fifo_errors},
    {"%s/%s/statistics/tx_heartbeat_errors", &VXM_NETWORK_STATIC_INFO::tx_heartbeat_errors},
    {"%s/%s/statistics/tx_packets", &VXM_NETWORK_STATIC_INFO::tx_packets},
    {"%s/%s/statistics/tx_window_errors", &VXM_NETWORK_STATIC_INFO::tx_window_errors},
};

// Whether card's name begins with wanted (at most 15 characters, terminated).
bool matches(const VXM_NETWORK_CARD_INFO& card, const char* wanted) {
    return std::strncmp(card.ifrName, wanted, std::strlen(wanted)) == 0;
}

void VXM_network_getwifi_dbm(VXM_NETWORK_STATIC_INFO* info) {
    const int rssi = info->rssi;
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "rssi=%d", rssi);
    if (rssi < -99)
        info->quality = 0.0f;
    else if (rssi <= -56)
        info->quality = static_cast<float>(rssi + 100) / 45.0f;
    else
        info->quality = 1.0f;
}

void wirelessFigures(VXM_NETWORK_STATIC_INFO* info) {
    int value = 0;
    VXM_network_popen_get_int("iwpriv wlan0 getRSSI", "rssi=", &value);
    info->rssi = value;
    VXM_network_popen_get_int("iwpriv wlan0 getSNR", "snr=", &value);
    info->snr = value;
    VXM_network_popen_get_int("wpa_cli -i wlan0  -p /data/misc/wifi/sockets  pktcnt_poll", "TXBAD=", &value);
    info->txBad = value;
    char frequency[kContentSize] = {};
    VXM_network_popen_get_content("iwlist wlan0 channel", "Current Frequency:", frequency);
    const float gigahertz = static_cast<float>(std::strtod(frequency, nullptr));
    VXM_network_getwifi_dbm(info);
    info->frequency = static_cast<std::int64_t>(std::trunc(gigahertz)) * kFrequencyUnit;
}

void readCounters(const char* name, VXM_NETWORK_STATIC_INFO* info) {
    char path[kPathSize];
    char content[kContentSize] = {};
    vxm::internal::formatTruncated(path, sizeof path, "%s/%s/operstate", kNetDir, name);
    VXM_network_get_content(path, content);
    if (std::strncmp(content, "up", 2) == 0) info->linkUp = 1;
    for (const Counter& counter : kCounters) {
        vxm::internal::formatTruncated(path, sizeof path, counter.pattern, kNetDir, name);
        VXM_network_get_content_int(path, &(info->*counter.field));
    }
    info->txTotal = info->tx_dropped + info->tx_errors + info->tx_packets;
    info->rxTotal = info->rx_packets + info->rx_errors + info->rx_dropped;
    // The share of received packets that were errors, as a fraction.
    if (info->rx_packets != 0 && info->rxTotal != 0)
        info->rxErrorRatio = static_cast<float>(static_cast<double>(info->rx_errors) / static_cast<double>(info->rxTotal));
}

}  // namespace

extern "C" {

int VXM_network_getStatic(VXM_NETWORK_STATIC_INFO* info) {
    if (info == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_network_getStatic  input para error");
        return -1;
    }
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_network_getStatic start to get static info");
    int count = VXM_network_getCount();
    auto* cards = count > 0 ? static_cast<VXM_NETWORK_CARD_INFO*>(
                                  VXM_malloc(static_cast<unsigned int>(count) * sizeof(VXM_NETWORK_CARD_INFO)))
                            : nullptr;
    if (cards == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_network_getStatic  can't malloc mem for cardinfo card number '%d'", count);
        return -1;
    }
    if (VXM_network_getNetCards(cards, &count) != 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_network_getStatic  get netcard failed");
        VXM_free(cards);
        return -1;
    }
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_network_getStatic count is '%d'", count);
    // The name wanted, terminated even when the caller's 16 bytes are not.
    char wanted[VXM_NETWORK_NAME_SIZE + 1] = {};
    std::memcpy(wanted, info->ifrName, sizeof info->ifrName);
    for (int i = 0; i < count; ++i) {
        VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_network_getStatic card  '%s' intput '%s'", cards[i].ifrName, wanted);
        if (!matches(cards[i], wanted)) continue;
        VXM_network_getIpAddr(&cards[i], info->ipAddr, sizeof info->ipAddr);
        VXM_network_getNetMask(&cards[i], info->netMask, sizeof info->netMask);
        VXM_network_getGateway(&cards[i], info->gateway, sizeof info->gateway);
    }
    for (int i = 0; i < count; ++i) {
        VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_network_getStatic card '%s' intput '%s'", cards[i].ifrName, wanted);
        if (!matches(cards[i], wanted)) continue;
        readCounters(cards[i].ifrName, info);
        if (std::strcmp(wanted, kWirelessName) != 0) continue;
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "ifrName=wlan0");
        wirelessFigures(info);
    }
    VXM_free(cards);
    return 0;
}

}  // extern "C"
