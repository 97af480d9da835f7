// The platform clock read through the platform library's systemTime.
#include <utils/Timers.h>

#include "platform/platform.h"

namespace vxm::platform {

std::int64_t systemTime(Clock clock) noexcept {
    return ::systemTime(clock == Clock::Monotonic ? SYSTEM_TIME_MONOTONIC : SYSTEM_TIME_REALTIME);
}

}  // namespace vxm::platform
