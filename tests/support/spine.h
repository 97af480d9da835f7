// What the tests of the spine, the statistics and the checksum share: waiting, timing, and the
// comparison of log records with a table of expected ones.
#ifndef VXMOSAL_TESTS_SPINE_H
#define VXMOSAL_TESTS_SPINE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/log_capture.h"
#include "support/registry_dump.h"

namespace vxmtest {

using Steady = std::chrono::steady_clock;

inline long msBetween(Steady::time_point from, Steady::time_point to) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}
inline long msSince(Steady::time_point start) { return msBetween(start, Steady::now()); }
inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until done() holds, at most 5 s (generous under emulation); returns whether it did.
template <typename Check>
bool waitFor(Check done) {
    for (auto start = Steady::now(); !done(); sleepMs(2))
        if (msSince(start) > 5000) return done();
    return true;
}

// An expected record: level, module tag and message; a message ending in '*' is a prefix.
struct Expected { int level; std::string module, message; };

inline void expectRecords(const std::vector<LogRecord>& records, const std::vector<Expected>& rows) {
    ASSERT_EQ(records.size(), rows.size()) << (records.empty() ? "" : records.back().message);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string text = rows[i].message, got = records[i].message;
        if (!text.empty() && text.back() == '*') text.pop_back(), got.resize(std::min(got.size(), text.size()));
        EXPECT_EQ(std::tie(records[i].level, records[i].module, got), std::tie(rows[i].level, rows[i].module, text)) << i;
    }
}

}  // namespace vxmtest

#endif
