// What the network tests share: card records by name, the default card, and checks of the
// library's "NETWORK" log records.
#ifndef VXMOSAL_TESTS_NETWORK_CHECKS_H
#define VXMOSAL_TESTS_NETWORK_CHECKS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "support/log_capture.h"
#include "support/opend_daemon.h"  // waitUntil
#include "vxmosal/VXM_network.h"

namespace vxmtest {

constexpr char kNetworkTag[] = "NETWORK";

// A record whose ifrName holds the first 16 bytes of name (no terminator for 16 or more).
inline VXM_NETWORK_CARD_INFO cardNamed(const std::string& name, const std::string& ext = "", VXM_UINT32 type = 0) {
    VXM_NETWORK_CARD_INFO card{};
    std::memcpy(card.ifrName, name.data(), std::min(name.size(), sizeof card.ifrName));
    std::strncpy(card.ifrExtName, ext.c_str(), sizeof card.ifrExtName - 1);
    card.cardType = type;
    return card;
}

inline void setDefaultCard(const std::string& name, VXM_UINT32 type = 0, const std::string& ext = "") {
    VXM_NETWORK_CARD_INFO card = cardNamed(name, ext, type);
    VXM_network_setNetWorkCardInfo(&card);
}

inline void expectRecord(const LogRecord& record, int level, const std::string& function, const std::string& message) {
    EXPECT_EQ(record.level, level) << message;
    EXPECT_EQ(record.kind, 1) << message;
    EXPECT_EQ(record.module, kNetworkTag) << message;
    if (!function.empty()) EXPECT_EQ(record.function, function) << message;
    EXPECT_EQ(record.message, message);
}

// The capture holds exactly one record, this one (any function when function is empty).
inline void expectOnly(const LogCapture& log, int level, const std::string& message, const std::string& function = "") {
    auto all = log.all();
    ASSERT_EQ(all.size(), 1u) << message;
    expectRecord(all[0], level, function, message);
}

// The last record the capture holds is this one.
inline void expectLast(const LogCapture& log, int level, const std::string& function, const std::string& message) {
    auto all = log.all();
    ASSERT_FALSE(all.empty()) << message;
    expectRecord(all.back(), level, function, message);
}

}  // namespace vxmtest

#endif
