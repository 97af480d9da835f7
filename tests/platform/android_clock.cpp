// The android clock must read the clock it is asked for: each reading falls between two readings of
// the same system clock.
#include <time.h>

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace {

std::int64_t now(clockid_t id) {
    timespec at{};
    clock_gettime(id, &at);
    return static_cast<std::int64_t>(at.tv_sec) * 1000000000LL + at.tv_nsec;
}

}  // namespace

int main() {
    using vxm::platform::Clock;
    struct Row { const char* name; Clock clock; clockid_t id; };
    const Row rows[] = {{"monotonic", Clock::Monotonic, CLOCK_MONOTONIC},
                        {"real time", Clock::RealTime, CLOCK_REALTIME}};
    int failures = 0;
    for (const Row& row : rows) {
        const std::int64_t before = now(row.id);
        const std::int64_t read = vxm::platform::systemTime(row.clock);
        const std::int64_t after = now(row.id);
        if (read < before || read > after) {
            std::fprintf(stderr, "%s: %lld is not within [%lld, %lld]\n", row.name,
                         static_cast<long long>(read), static_cast<long long>(before),
                         static_cast<long long>(after));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
