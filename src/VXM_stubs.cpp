// Entry points the interface declares but this library does not implement: each name is one of two
// shared bodies that read no argument and return a constant.
#include "vxmosal/VXM_memory.h"

// The shared bodies are known not to throw, the C declarations of the names say nothing of it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmissing-attributes"
#endif

extern "C" {

__attribute__((visibility("hidden"))) int vxmStubSucceed(void) { return 0; }
__attribute__((visibility("hidden"))) int vxmStubFail(void) { return -1; }

void* VXM_realloc(void*, unsigned int) { return nullptr; }

int VXM_get_diskUsage(void) __attribute__((alias("vxmStubSucceed")));
int VXM_network_setAccessType(void) __attribute__((alias("vxmStubSucceed")));
int VXM_bind_core(void) __attribute__((alias("vxmStubSucceed")));
int quro_wifi_restart(void) __attribute__((alias("vxmStubSucceed")));
int quro_wifi_open(void) __attribute__((alias("vxmStubSucceed")));
int VXM_wifi_getConnStatus(void) __attribute__((alias("vxmStubFail")));
int quro_wifi_getConnStatus(void) __attribute__((alias("vxmStubFail")));
int quro_wifi_connectToSSID(void) __attribute__((alias("vxmStubFail")));
int quro_wifi_searchList(void) __attribute__((alias("vxmStubFail")));
int quro_wifi_sync_ifrname(void) __attribute__((alias("vxmStubFail")));

}  // extern "C"
