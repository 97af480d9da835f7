// The per-thread priority call as setpriority() on the thread's kernel id.
#include <sys/resource.h>

#include "platform/platform.h"
#include "vxmosal/VXM_log.h"

namespace vxm::platform {

int setThreadPriority(int tid, int nice) noexcept {
    if (tid == 0) tid = VXM_thread_gettid();
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0 ? 0 : -1;
}

}  // namespace vxm::platform
