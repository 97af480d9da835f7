// Waiting and timing helpers of the thread, queue and timer tests.
#ifndef VXMOSAL_TESTS_SPINE_H
#define VXMOSAL_TESTS_SPINE_H

#include <chrono>
#include <thread>

namespace vxmtest {

using Steady = std::chrono::steady_clock;

inline long msSince(Steady::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count());
}

// Waits until done() holds, at most 5 s (generous under emulation); returns whether it did.
template <typename Check>
bool waitFor(Check done) {
    for (auto start = Steady::now(); !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (msSince(start) > 5000) return done();
    return true;
}

}  // namespace vxmtest

#endif
