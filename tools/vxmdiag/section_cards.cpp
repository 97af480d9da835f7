// The default card (--card), and every card with its type, link and activity, speed and duplex, MAC, IPv4 address, netmask,
// IPv6 address, gateway and traffic counters, and the DNS servers.
#include <cstring>
#include <string>

#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace vxmdiag {
namespace {

constexpr int kMaxCards = 32;
constexpr int kTextSize = 128;

const char* typeName(VXM_UINT32 type) {
    switch (type) {
        case VXM_CARD_TYPE_WIRED: return "wired";
        case VXM_CARD_TYPE_WIRELESS: return "wireless";
        default: return "unknown";
    }
}

const char* stateName(int state, const char* up, const char* down) {
    return state == VXM_LINK_UP ? up : state == VXM_LINK_DOWN ? down : "unknown";
}

// A text query's result, or its failure in place.
Value textOf(int (*query)(const VXM_NETWORK_CARD_INFO*, char*, int), const VXM_NETWORK_CARD_INFO& card,
             const char* name) {
    char text[kTextSize] = {};
    if (query(&card, text, sizeof text) != 0) return Value::failure(std::string(name) + " returned -1");
    return Value::text(text);
}

// Speed and duplex concern the default card: each card is made the default while they are read.
void addSpeedAndDuplex(Value& out, const VXM_NETWORK_CARD_INFO& card) {
    VXM_NETWORK_CARD_INFO saved = *VXM_network_getNetWorkCardInfo(nullptr);
    VXM_network_setNetWorkCardInfo(&card);
    int speed = -1, duplex = -1;
    out.add("speed_mbps", VXM_network_getNetCardCapacity(&speed) == 0
                              ? Value::integer(speed)
                              : Value::failure("VXM_network_getNetCardCapacity returned -1"));
    out.add("duplex", VXM_network_getNetCardDuplex(&duplex) == 0
                          ? Value::text(duplex == 1 ? "full" : duplex == 0 ? "half" : "unknown")
                          : Value::failure("VXM_network_getNetCardDuplex returned -1"));
    VXM_network_setNetWorkCardInfo(&saved);
}

// The gateway query succeeds without an answer when no default route leaves through the card.
Value gatewayOf(const VXM_NETWORK_CARD_INFO& card) {
    char text[kTextSize] = {};
    if (VXM_network_getGateway(&card, text, sizeof text) != 0) return Value::failure("VXM_network_getGateway returned -1");
    return Value::text(text[0] != '\0' ? text : "none");
}

// The radio figures the statistics record carries for "wlan0", from the wireless tools.
Value wirelessOf(const VXM_NETWORK_STATIC_INFO& info) {
    Value out = Value::object();
    int state = 0;
    out.add("state", VXM_network_getWIFIState(nullptr, &state) == 0
                         ? Value::text(state == 2 ? "running" : state == 1 ? "not running" : "unknown")
                         : Value::failure("VXM_network_getWIFIState returned -1"));
    out.add("rssi_dbm", Value::integer(info.rssi));
    out.add("snr", Value::integer(info.snr));
    out.add("quality_percent", Value::integer(static_cast<long long>(info.quality * 100.0f + 0.5f)));
    out.add("tx_bad", Value::integer(info.txBad));
    out.add("frequency_hz", Value::integer(info.frequency));
    return out;
}

// The card's counters (and, for "wlan0", its radio figures under "wireless"). The statistics
// record is matched by name prefix, so a card whose name begins another card's (eth1, eth10)
// would show a mix: that is reported instead.
Value trafficOf(const VXM_NETWORK_CARD_INFO& card, const VXM_NETWORK_CARD_INFO* cards, int count) {
    int matching = 0;
    for (int i = 0; i < count; ++i)
        if (std::strncmp(cards[i].ifrName, card.ifrName, std::strlen(card.ifrName)) == 0) ++matching;
    if (matching > 1)
        return Value::failure(formatText("VXM_network_getStatic would mix %d cards named %s...", matching, card.ifrName));
    VXM_NETWORK_STATIC_INFO info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.ifrName, card.ifrName, strnlen(card.ifrName, sizeof info.ifrName - 1));
    if (VXM_network_getStatic(&info) != 0) return Value::failure("VXM_network_getStatic returned -1");
    Value out = Value::object();
    if (std::strcmp(card.ifrName, "wlan0") == 0) out.add("wireless", wirelessOf(info));
    out.add("rx_bytes", Value::integer(info.rx_bytes));
    out.add("rx_packets", Value::integer(info.rx_packets));
    out.add("rx_errors", Value::integer(info.rx_errors));
    out.add("rx_dropped", Value::integer(info.rx_dropped));
    out.add("tx_bytes", Value::integer(info.tx_bytes));
    out.add("tx_packets", Value::integer(info.tx_packets));
    out.add("tx_errors", Value::integer(info.tx_errors));
    out.add("tx_dropped", Value::integer(info.tx_dropped));
    out.add("collisions", Value::integer(info.collisions));
    out.add("multicast", Value::integer(info.multicast));
    return out;
}

Value cardValue(const VXM_NETWORK_CARD_INFO& card, const VXM_NETWORK_CARD_INFO* cards, int count) {
    Value out = Value::object();
    out.add("name", Value::text(card.ifrName));
    out.add("type", Value::text(typeName(card.cardType)));
    int cable = VXM_LINK_UNKNOWN, active = VXM_LINK_UNKNOWN;
    VXM_network_getCableState(&card, &cable);
    out.add("link", Value::text(stateName(cable, "connected", "disconnected")));
    out.add("activity", VXM_network_getNetActive(card.ifrName, &active) == 0
                            ? Value::text(stateName(active, "up", "down"))
                            : Value::failure("VXM_network_getNetActive returned -1"));
    addSpeedAndDuplex(out, card);
    out.add("mac", textOf(VXM_network_getMacAddr, card, "VXM_network_getMacAddr"));
    out.add("ipv4", textOf(VXM_network_getIpAddr, card, "VXM_network_getIpAddr"));
    out.add("netmask", textOf(VXM_network_getNetMask, card, "VXM_network_getNetMask"));
    out.add("ipv6", textOf(VXM_network_getIpv6Addr, card, "VXM_network_getIpv6Addr"));
    out.add("gateway", gatewayOf(card));
    out.add("traffic", trafficOf(card, cards, count));
    return out;
}

// The card type a name gives, as the library classifies cards.
VXM_UINT32 typeOf(const char* name) {
    if (std::strncmp(name, "eth", 3) == 0) return VXM_CARD_TYPE_WIRED;
    if (std::strncmp(name, "ra", 2) == 0 || std::strncmp(name, "wlan", 4) == 0) return VXM_CARD_TYPE_WIRELESS;
    return VXM_CARD_TYPE_NONE;
}

}  // namespace

void pickDefaultCard(const char* name) {
    VXM_NETWORK_CARD_INFO card{};
    if (name != nullptr) {
        std::strncpy(card.ifrName, name, sizeof card.ifrName - 1);
        card.cardType = typeOf(card.ifrName);
    } else {
        int count = 1;
        if (VXM_network_getNetCards(&card, &count) != 0 || count == 0) return;
    }
    VXM_network_setNetWorkCardInfo(&card);
}

Value cardsSection() {
    Value section = Value::object();
    const VXM_NETWORK_CARD_INFO* chosen = VXM_network_getNetWorkCardInfo(nullptr);
    section.add("default_card", chosen->ifrName[0] != '\0' ? Value::text(chosen->ifrName)
                                                           : Value::failure("no card found"));
    VXM_NETWORK_CARD_INFO cards[kMaxCards];
    std::memset(cards, 0, sizeof cards);
    int count = kMaxCards;
    if (VXM_network_getNetCards(cards, &count) != 0) {
        section.add("cards", Value::failure("VXM_network_getNetCards returned -1"));
    } else {
        Value list = Value::list();
        for (int i = 0; i < count; ++i) list.push(cardValue(cards[i], cards, count));
        section.add("count", Value::integer(count));
        section.add("cards", list);
    }
    Value dns = Value::list();
    for (int index = 0; index < 2; ++index) {
        char server[kTextSize] = {};
        VXM_network_getDNS(server, index, sizeof server);
        dns.push(server[0] != '\0' ? Value::text(server) : Value::failure("not set"));
    }
    section.add("dns", dns);
    return section;
}

}  // namespace vxmdiag
