// Where the statistics read the kernel's files. The library reads the real paths; a test that
// compiles the statistics module into itself may point them below a directory of its own.
#ifndef VXMOSAL_UTILITY_STATS_ROOT_H
#define VXMOSAL_UTILITY_STATS_ROOT_H

namespace vxm::stats {

// Prefix put before "/proc/..." ("" for the real files). The text must outlive its use.
void setRootForTesting(const char* root) noexcept;

}  // namespace vxm::stats

#endif
