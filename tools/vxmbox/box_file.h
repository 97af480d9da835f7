// The box file: "key = value" lines describing a simulated box (its cards, gateway, DNS, release,
// wireless figures and properties). The parser is strict: an unknown key, a key given twice or a
// value that does not fit its key is an error naming the file and line.
#ifndef VXMBOX_BOX_FILE_H
#define VXMBOX_BOX_FILE_H

#include <map>
#include <string>
#include <vector>

namespace vxmbox {

struct Card {
    std::string name;
    std::string kind;      // "wired" or "wireless"
    std::string ipv4;      // "a.b.c.d/len", or empty
    std::string ipv6;      // "x::y/len", or empty
    std::string gateway;   // held by the upstream end, or empty
    std::string gateway6;
    std::string mac;       // empty: the kernel's random one
    bool up = true;
    bool carrier = true;
};

struct Box {
    std::vector<Card> cards;  // in the order the file first names them
    std::map<std::string, std::string> properties;
    int rssi = -58;
    int snr = 31;
    int txbad = 0;
    std::string frequency = "2.437";  // GHz
};

// Reads the file at path into box. Returns "" on success, else the message "PATH:LINE: what".
std::string readBoxFile(const std::string& path, Box& box);
// The same over text already read (name stands for the path in messages).
std::string parseBox(const std::string& text, const std::string& name, Box& box);

}  // namespace vxmbox

#endif
