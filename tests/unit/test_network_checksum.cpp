// The Internet checksum of the IGMP messages and their IPv4 header, as the bytes lie in memory
// (which are the bytes on the wire; the IGMP box test sees whole messages): folded carries, an odd
// last byte, nothing, null.
#include <cstdint>
#include <cstring>

#include "network/network_internal.h"
#include "support/spine.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(NetworkChecksum, WireBytesOfFoldedCarriesOddLengthsAndNull) {
    const struct { const char* name; Bytes data; Bytes sum; } rows[] = {
        {"a carry folded back, and the carry of that", {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}, {0xFE, 0xFF}},
        {"an odd last byte padded with zero", {0x01, 0x02, 0x03}, {0xFB, 0xFD}},
        {"nothing", {}, {0xFF, 0xFF}},
    };
    for (const auto& row : rows) {
        const std::uint16_t sum = VXM_network_checksum(row.data.data(), row.data.size());
        Bytes wire(2);
        std::memcpy(wire.data(), &sum, 2);
        EXPECT_EQ(wire, row.sum) << row.name;
    }
    EXPECT_EQ(VXM_network_checksum(nullptr, 8), 0xFFFF);
}

}  // namespace
