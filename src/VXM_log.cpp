// The process-wide log sink; null until the host installs one.
#include "vxmosal/VXM_log.h"

extern "C" {

VXM_LOG_CALLBACK g_VXMLogCallback = nullptr;

}  // extern "C"
