// The Internet checksum of the IGMP messages and their IPv4 header: the worked examples of the
// messages as bytes in memory (which are the bytes on the wire), the folding of carries, an odd
// last byte, and the null buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "network/network_internal.h"
#include "support/log_capture.h"

namespace {

using vxmtest::LogCapture;
using Bytes = std::vector<unsigned char>;

// The checksum as it lies in memory (and on the wire): its two bytes in order.
Bytes checksumBytes(const Bytes& data) {
    const std::uint16_t sum = VXM_network_checksum(data.data(), data.size());
    Bytes out(2);
    std::memcpy(out.data(), &sum, 2);
    return out;
}

TEST(NetworkChecksum, TheMessagesWorkedExamplesGiveTheirWireBytes) {
    // IGMPv2 Leave Group for 239.1.1.1, checksum field zero.
    EXPECT_EQ(checksumBytes({0x17, 0x00, 0x00, 0x00, 0xEF, 0x01, 0x01, 0x01}), (Bytes{0xF8, 0xFC}));
    // IPv4 header with Router Alert, 192.168.1.10 to 224.0.0.2 and to 224.0.0.22.
    EXPECT_EQ(checksumBytes({0x46, 0xC0, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0x00, 0x00, 0xC0, 0xA8,
                             0x01, 0x0A, 0xE0, 0x00, 0x00, 0x02, 0x94, 0x04, 0x00, 0x00}),
              (Bytes{0x42, 0x63}));
    EXPECT_EQ(checksumBytes({0x46, 0xC0, 0x00, 0x28, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0x00, 0x00, 0xC0, 0xA8,
                             0x01, 0x0A, 0xE0, 0x00, 0x00, 0x16, 0x94, 0x04, 0x00, 0x00}),
              (Bytes{0x42, 0x47}));
    // IGMPv3 report for 239.1.1.1 with one record: change to include (leave), to exclude (join).
    EXPECT_EQ(checksumBytes({0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0xEF, 0x01,
                             0x01, 0x01}),
              (Bytes{0xEA, 0xFB}));
    EXPECT_EQ(checksumBytes({0x22, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0x00, 0xEF, 0x01,
                             0x01, 0x01}),
              (Bytes{0xE9, 0xFB}));
    // A message carrying its own checksum sums to zero.
    EXPECT_EQ(checksumBytes({0x17, 0x00, 0xF8, 0xFC, 0xEF, 0x01, 0x01, 0x01}), (Bytes{0x00, 0x00}));
}

TEST(NetworkChecksum, CarriesFoldBackAndAnOddLastByteCountsAlone) {
    const std::uint16_t one = 1;
    const bool little = *reinterpret_cast<const unsigned char*>(&one) == 1;
    // 0xFFFF + 0x0001 carries into bit 16; folded back the sum is 1.
    EXPECT_EQ(VXM_network_checksum(Bytes{0xFF, 0xFF, 0x01, 0x00}.data(), 4), little ? 0xFFFE : 0xFEFF);
    // Sums that carry more than once: eight words of 0xFFFF fold to 0xFFFF.
    Bytes ones(16, 0xFF);
    EXPECT_EQ(VXM_network_checksum(ones.data(), ones.size()), 0x0000);
    // The last byte of an odd length is added as it is (not shifted as a word's high byte would be).
    const Bytes odd{0x01, 0x02, 0x03};
    const std::uint16_t pair = little ? 0x0201 : 0x0102;
    EXPECT_EQ(VXM_network_checksum(odd.data(), 3), static_cast<std::uint16_t>(~(pair + 0x03)));
    EXPECT_EQ(VXM_network_checksum(odd.data(), 1), static_cast<std::uint16_t>(~0x01));
    EXPECT_EQ(VXM_network_checksum(odd.data(), 0), 0xFFFF);
}

TEST(NetworkChecksum, ANullBufferGivesAllOnesWithItsMessage) {
    LogCapture log;
    EXPECT_EQ(VXM_network_checksum(nullptr, 8), 0xFFFF);
    auto all = log.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(all[0].kind, 1);
    EXPECT_EQ(all[0].module, "NETWORK");
    EXPECT_EQ(all[0].function, "VXM_network_checksum");
    EXPECT_EQ(all[0].file, "src/network/checksum.cpp");
    EXPECT_EQ(all[0].message, "param error!");
}

}  // namespace
