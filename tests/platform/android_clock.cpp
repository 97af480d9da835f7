// The android clock must read the clock it is asked for: each reading falls between two readings of
// the same system clock.
#include <time.h>

#include <cstdio>
#include <utility>

#include "platform/platform.h"

static long long now(clockid_t id) {
    timespec at{};
    clock_gettime(id, &at);
    return at.tv_sec * 1000000000LL + at.tv_nsec;
}

int main() {
    using vxm::platform::Clock;
    int failures = 0;
    for (auto [clock, id] : {std::pair{Clock::Monotonic, CLOCK_MONOTONIC}, {Clock::RealTime, CLOCK_REALTIME}}) {
        const long long before = now(id), read = vxm::platform::systemTime(clock), after = now(id);
        if (read >= before && read <= after) continue;
        std::fprintf(stderr, "clock %d: %lld is not within [%lld, %lld]\n", static_cast<int>(id), read, before, after);
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
