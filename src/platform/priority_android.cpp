// The per-thread priority call as the platform's androidSetThreadPriority, which also takes 0 for
// the calling thread and moves the thread to the scheduling group of its priority.
#include <utils/AndroidThreads.h>

#include "platform/platform.h"

namespace vxm::platform {

int setThreadPriority(int tid, int nice) noexcept {
    return androidSetThreadPriority(static_cast<pid_t>(tid), nice) == 0 ? 0 : -1;
}

}  // namespace vxm::platform
