// What the tests of the spine, the statistics and the checksum share: waiting and timing.
#ifndef VXMOSAL_TESTS_SPINE_H
#define VXMOSAL_TESTS_SPINE_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
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

}  // namespace vxmtest

#endif
