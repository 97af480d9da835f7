// Waiting for a condition with a generous bound, and timing what a test waited for.
#ifndef VXMOSAL_TESTS_WAIT_UNTIL_H
#define VXMOSAL_TESTS_WAIT_UNTIL_H

#include <chrono>
#include <thread>

namespace vxmtest {

using Steady = std::chrono::steady_clock;

inline long msSince(Steady::time_point start, Steady::time_point to = Steady::now()) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - start).count());
}
inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until check() holds, at most timeout (by default 5 s, generous under emulation); returns
// whether it did, asking once more when the time is up.
template <typename Check>
bool waitUntil(Check check, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    for (const auto end = Steady::now() + timeout; !check(); sleepMs(2))
        if (Steady::now() > end) return check();
    return true;
}

}  // namespace vxmtest

#endif
