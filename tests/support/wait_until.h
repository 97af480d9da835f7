// Waiting for a condition with a generous bound.
#ifndef VXMOSAL_TESTS_WAIT_UNTIL_H
#define VXMOSAL_TESTS_WAIT_UNTIL_H

#include <chrono>
#include <thread>

namespace vxmtest {

// Waits until check() holds, at most timeout; returns whether it did.
template <typename Check>
bool waitUntil(Check check, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (; !check(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

}  // namespace vxmtest

#endif
