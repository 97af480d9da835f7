// Platform services the library needs but this machine's system does not offer under the target's
// names. Each has one small file beside this header; a target build swaps the file, nothing else.
#ifndef VXMOSAL_PLATFORM_PLATFORM_H
#define VXMOSAL_PLATFORM_PLATFORM_H

#include <cstdint>

namespace vxm::platform {

enum class Clock { Monotonic, RealTime };

// Nanoseconds of the given clock.
std::int64_t systemTime(Clock clock);

// Runs thread tid (0: the calling thread) at the given nice value. Returns 0 or -1.
int setThreadPriority(int tid, int nice);

}  // namespace vxm::platform

#endif
