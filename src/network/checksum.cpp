// The Internet checksum of the IGMP messages and their IPv4 header.
#include <cstring>

#include "internal/log.h"
#include "network/network_internal.h"

using vxm::network::kModuleTag;

std::uint16_t VXM_network_checksum(const void* buffer, std::size_t length) noexcept {
    if (buffer == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "param error!");
        return 0xFFFF;
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) {
        std::uint16_t word;
        std::memcpy(&word, bytes + i, sizeof word);  // the processor's own order
        sum += word;
    }
    if (i < length) sum += bytes[i];
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum);
}
