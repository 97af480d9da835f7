// The platform clock read as clock_gettime.
#include <time.h>

#include "platform/platform.h"

namespace vxm::platform {

std::int64_t systemTime(Clock clock) noexcept {
    timespec now{};
    clock_gettime(clock == Clock::Monotonic ? CLOCK_MONOTONIC : CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace vxm::platform
