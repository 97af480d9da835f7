// Traffic per second of every card, from the difference of its counters between two calls.
#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace vxmdiag {
namespace {

constexpr int kMaxCards = 32;

struct Sample {
    std::chrono::steady_clock::time_point at;
    unsigned long long counters[4];  // tx bytes, rx bytes, tx packets, rx packets
};

constexpr const char* kRateNames[4] = {"tx_bytes_per_s", "rx_bytes_per_s", "tx_packets_per_s",
                                       "rx_packets_per_s"};

std::map<std::string, Sample>& previousSamples() {
    static std::map<std::string, Sample> samples;
    return samples;
}

Value cardRates(const VXM_NETWORK_CARD_INFO& card) {
    Value out = Value::object();
    out.add("name", Value::text(card.ifrName));
    char ip[64] = {};
    if (VXM_network_getIpAddr(&card, ip, sizeof ip) != 0 || ip[0] == '\0') {
        out.add("rates", Value::failure("no IPv4 address to count by"));
        return out;
    }
    Sample now{std::chrono::steady_clock::now(), {}};
    if (VXM_get_netStat(ip, &now.counters[0], &now.counters[1], &now.counters[2], &now.counters[3]) != 0) {
        out.add("rates", Value::failure("VXM_get_netStat returned -1"));
        return out;
    }
    auto& samples = previousSamples();
    auto found = samples.find(card.ifrName);
    if (found == samples.end()) {
        out.add("rates", Value::failure("first sample, rates follow at the next refresh"));
    } else {
        double seconds = std::chrono::duration<double>(now.at - found->second.at).count();
        for (int i = 0; i < 4; ++i) {
            // A counter that went back (the card was reset) starts again from zero.
            unsigned long long delta = now.counters[i] >= found->second.counters[i]
                                           ? now.counters[i] - found->second.counters[i]
                                           : now.counters[i];
            out.add(kRateNames[i],
                    Value::integer(seconds > 0 ? static_cast<std::int64_t>(delta / seconds + 0.5) : 0));
        }
    }
    samples[card.ifrName] = now;
    return out;
}

}  // namespace

Value ratesSection() {
    Value section = Value::object();
    VXM_NETWORK_CARD_INFO cards[kMaxCards];
    std::memset(cards, 0, sizeof cards);
    int count = kMaxCards;
    if (VXM_network_getNetCards(cards, &count) != 0) {
        section.add("cards", Value::failure("VXM_network_getNetCards returned -1"));
        return section;
    }
    Value list = Value::list();
    for (int i = 0; i < count; ++i) list.push(cardRates(cards[i]));
    section.add("cards", list);
    return section;
}

}  // namespace vxmdiag
