// The wireless card: the library's record of "wlan0", its running state, and the search and
// connect entry points, which only wait while the card is not up.
#include <cstring>

#include "internal/log.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_time.h"

using vxm::network::kModuleTag;

namespace {

constexpr char kWirelessName[] = "wlan0";
constexpr int kUp = 2;
constexpr VXM_UINT32 kSearchWaitMs = 3000;
constexpr VXM_UINT32 kConnectWaitMs = 2000;

VXM_NETWORK_CARD_INFO g_wifiCard;

bool namedWireless() {
    for (std::size_t i = 0; i < sizeof kWirelessName; ++i)
        if (__atomic_load_n(&g_wifiCard.ifrName[i], __ATOMIC_RELAXED) != kWirelessName[i]) return false;
    return true;
}

// Pauses for waitMs unless the card is up; false for bad arguments ("Invaild param.").
bool waitUnlessUp(const VXM_NETWORK_CARD_INFO* card, const void* other, VXM_UINT32 waitMs) {
    if (card == nullptr || card->ifrName[0] == '\0' || other == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "Invaild param.");
        return false;
    }
    char name[VXM_NETWORK_NAME_SIZE] = {};
    std::memcpy(name, card->ifrName, strnlen(card->ifrName, vxm::network::kNameMax));
    int active = 1;
    VXM_network_getNetActive(name, &active);
    if (active != kUp) VXM_sleep(waitMs);
    return true;
}

}  // namespace

extern "C" {

VXM_NETWORK_CARD_INFO* VXM_network_getWIFICardInfo(void) {
    if (namedWireless()) return &g_wifiCard;
    vxm::network::storeWord(g_wifiCard.cardType, VXM_CARD_TYPE_WIRELESS);
    vxm::network::storeName(g_wifiCard.ifrName, kWirelessName);
    return &g_wifiCard;
}

int VXM_network_getWIFIState(const VXM_NETWORK_CARD_INFO*, int* state) {
    VXM_network_getWIFICardInfo();
    if (state == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "param error!");
        return -1;
    }
    // The record was just named "wlan0", which is the card asked about.
    vxm::network::flagState(kWirelessName, IFF_RUNNING, state, true);
    return 0;
}

int VXM_wifi_searchList(const VXM_NETWORK_CARD_INFO* card, void* result) {
    return waitUnlessUp(card, result, kSearchWaitMs) ? 0 : -1;
}

int VXM_wifi_connectToSSID(const VXM_NETWORK_CARD_INFO* card, const void* request) {
    waitUnlessUp(card, request, kConnectWaitMs);
    return -1;
}

}  // extern "C"
