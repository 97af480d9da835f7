// What the tests of the spine, the statistics and the checksum share: waiting, timing, and the
// comparison of log records with a table of expected ones.
#ifndef VXMOSAL_TESTS_SPINE_H
#define VXMOSAL_TESTS_SPINE_H

#include <gtest/gtest.h>

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

inline long msSince(Steady::time_point start, Steady::time_point to = Steady::now()) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - start).count());
}
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
        const std::string& text = rows[i].message;
        std::size_t keep = !text.empty() && text.back() == '*' ? text.size() - 1 : std::string::npos;
        EXPECT_EQ(std::make_tuple(records[i].level, records[i].module, records[i].message.substr(0, keep)),
                  std::make_tuple(rows[i].level, rows[i].module, text.substr(0, keep))) << i;
    }
}

}  // namespace vxmtest

#endif
