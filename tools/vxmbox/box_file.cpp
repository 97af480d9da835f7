// The box file parser: see box_file.h.
#include "box_file.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace vxmbox {
namespace {

constexpr std::size_t kMaxCardName = 15;    // IFNAMSIZ less the terminator
constexpr std::size_t kMaxPropertyValue = 91;

std::string trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

bool parseInt(const std::string& text, long low, long high, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

bool isAddress(int family, const std::string& text) {
    unsigned char buffer[16];
    return inet_pton(family, text.c_str(), buffer) == 1;
}

// "address" or "address/len"; without a length the card gets /24 (IPv4) or /64 (IPv6).
bool normaliseCidr(int family, const std::string& text, std::string& out) {
    const long bits = family == AF_INET ? 32 : 128;
    std::size_t slash = text.find('/');
    long length = family == AF_INET ? 24 : 64;
    if (slash != std::string::npos && !parseInt(text.substr(slash + 1), 1, bits, length)) return false;
    std::string address = text.substr(0, slash);
    if (!isAddress(family, address)) return false;
    out = address + "/" + std::to_string(length);
    return true;
}

bool parseBool(const std::string& text, bool& out) {
    if (text == "yes" || text == "true" || text == "1") {
        out = true;
        return true;
    }
    if (text == "no" || text == "false" || text == "0") {
        out = false;
        return true;
    }
    return false;
}

bool isMac(const std::string& text) {
    if (text.size() != 17) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    // The kernel refuses a group (multicast) address and the all-zero one as a card's own.
    return (std::strtol(text.substr(0, 2).c_str(), nullptr, 16) & 1) == 0 && text != "00:00:00:00:00:00";
}

bool isCardName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

bool isPropertyKey(const std::string& key) {
    return !key.empty() && key[0] != '.' && key.find('/') == std::string::npos &&
           key.find_first_of(std::string(" \t\0", 3)) == std::string::npos;  // the key names a file
}

bool isFrequency(const std::string& text) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isdigit(static_cast<unsigned char>(text[0])) &&
           value > 0 && value < 100;
}

class Parser {
public:
    explicit Parser(Box& box) : box_(box) {}

    // "" or what is wrong with the line.
    std::string line(const std::string& key, const std::string& value) {
        if (!seen_.insert(key).second) return "'" + key + "' is given twice";
        if (key.rfind("card.", 0) == 0) return cardKey(key, value);
        if (key.rfind("property.", 0) == 0) {
            std::string name = key.substr(9);
            if (!isPropertyKey(name)) return "'" + name + "' is not a property key";
            return setProperty(name, value);
        }
        if (key == "release") return setProperty("ro.build.version.release", value);
        if (key == "dns1" || key == "dns2") {
            if (!isAddress(AF_INET, value) && !isAddress(AF_INET6, value))
                return "'" + value + "' is not an IPv4 or IPv6 address";
            return setProperty("net." + key, value);
        }
        long number = 0;
        if (key == "wifi.rssi") {
            if (!parseInt(value, -128, 0, number)) return "wifi.rssi is a whole number of dBm from -128 to 0";
            box_.rssi = static_cast<int>(number);
        } else if (key == "wifi.snr") {
            if (!parseInt(value, 0, 100, number)) return "wifi.snr is a whole number from 0 to 100";
            box_.snr = static_cast<int>(number);
        } else if (key == "wifi.txbad") {
            if (!parseInt(value, 0, 2147483647, number)) return "wifi.txbad is a whole number of 0 or more";
            box_.txbad = static_cast<int>(number);
        } else if (key == "wifi.frequency") {
            if (!isFrequency(value)) return "wifi.frequency is in GHz, such as 2.437";
            box_.frequency = value;
        } else {
            return "unknown key '" + key + "'";
        }
        return "";
    }

    // Checks that need the whole file.
    std::string finish() {
        for (const Card& card : box_.cards) {
            if (!card.gateway.empty() && card.ipv4.empty()) return "card " + card.name + " has a gateway but no ipv4";
            if (!card.gateway6.empty() && card.ipv6.empty()) return "card " + card.name + " has a gateway6 but no ipv6";
            if (!card.gateway.empty() && card.gateway == card.ipv4.substr(0, card.ipv4.find('/')))
                return "card " + card.name + ": the gateway is the card's own address";
            if (!card.gateway6.empty() && card.gateway6 == card.ipv6.substr(0, card.ipv6.find('/')))
                return "card " + card.name + ": gateway6 is the card's own address";
        }
        return "";
    }

private:
    std::string setProperty(const std::string& name, const std::string& value) {
        if (value.size() > kMaxPropertyValue) return "a property value holds at most 91 bytes";
        box_.properties[name] = value;
        return "";
    }

    std::string cardKey(const std::string& key, const std::string& value) {
        std::size_t dot = key.rfind('.');
        if (dot <= 5) return "a card key is card.NAME.FIELD";
        std::string name = key.substr(5, dot - 5);
        std::string field = key.substr(dot + 1);
        if (name.size() > kMaxCardName) return "card name '" + name + "' is longer than 15 characters";
        if (!isCardName(name)) return "'" + name + "' is not a card name (letters, digits, '_', '-', '.')";
        Card& card = cardNamed(name);
        if (field == "kind") {
            if (value != "wired" && value != "wireless") return "card kind is wired or wireless";
            card.kind = value;
        } else if (field == "ipv4") {
            if (!normaliseCidr(AF_INET, value, card.ipv4)) return "'" + value + "' is not an IPv4 address (a.b.c.d or a.b.c.d/len)";
        } else if (field == "ipv6") {
            if (!normaliseCidr(AF_INET6, value, card.ipv6)) return "'" + value + "' is not an IPv6 address (x::y or x::y/len)";
        } else if (field == "gateway") {
            if (!isAddress(AF_INET, value)) return "'" + value + "' is not an IPv4 address";
            card.gateway = value;
        } else if (field == "gateway6") {
            if (!isAddress(AF_INET6, value)) return "'" + value + "' is not an IPv6 address";
            card.gateway6 = value;
        } else if (field == "mac") {
            if (!isMac(value)) return "'" + value + "' is not a unicast MAC address (02:00:00:00:00:01)";
            card.mac = value;
        } else if (field == "up" || field == "carrier") {
            if (!parseBool(value, field == "up" ? card.up : card.carrier)) return field + " is yes or no";
        } else {
            return "unknown key '" + key + "'";
        }
        return "";
    }

    Card& cardNamed(const std::string& name) {
        for (Card& card : box_.cards)
            if (card.name == name) return card;
        Card card;
        card.name = name;
        card.kind = name.rfind("wlan", 0) == 0 || name.rfind("ra", 0) == 0 ? "wireless" : "wired";
        box_.cards.push_back(card);
        return box_.cards.back();
    }

    Box& box_;
    std::set<std::string> seen_;
};

}  // namespace

std::string parseBox(const std::string& text, const std::string& name, Box& box) {
    box = Box{};
    Parser parser(box);
    std::istringstream in(text);
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        std::size_t equals = line.find('=');
        std::string error;
        if (equals == std::string::npos) {
            error = "expected KEY = VALUE";
        } else {
            std::string key = trim(line.substr(0, equals));
            std::string value = trim(line.substr(equals + 1));
            if (key.empty()) error = "expected KEY = VALUE";
            else error = parser.line(key, value);
        }
        if (!error.empty()) return name + ":" + std::to_string(number) + ": " + error;
    }
    std::string error = parser.finish();
    return error.empty() ? "" : name + ": " + error;
}

std::string readBoxFile(const std::string& path, Box& box) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return path + ": cannot be read";
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return path + ": cannot be read";
    return parseBox(text.str(), path, box);
}

}  // namespace vxmbox
