/* The public headers compile as C99, the records have the target's layout, and the library answers
 * a C host. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "vxmosal/vxmosal.h"

/* Fails to compile when a field of an interface record moves or a width changes. */
#define AT(type, field, offset) typedef char at_##type##_##field[offsetof(type, field) == (offset) ? 1 : -1]
#define SIZE(name, expr, size) typedef char size_##name[sizeof(expr) == (size) ? 1 : -1]
AT(VXM_TIME_INFO, second, 0); AT(VXM_TIME_INFO, minute, 4); AT(VXM_TIME_INFO, hour, 8);
AT(VXM_TIME_INFO, day, 12); AT(VXM_TIME_INFO, month, 16); AT(VXM_TIME_INFO, year, 20);
SIZE(time_info, VXM_TIME_INFO, 24); SIZE(uint32, VXM_UINT32, 4); SIZE(int32, VXM_INT32, 4);
SIZE(handle, unsigned long, sizeof(void*));
/* Texts, the 32-bit link flag, 64-bit counters on 8-byte boundaries, then the radio figures. */
AT(VXM_NETWORK_STATIC_INFO, reserved, 16); AT(VXM_NETWORK_STATIC_INFO, ipAddr, 32);
AT(VXM_NETWORK_STATIC_INFO, netMask, 160); AT(VXM_NETWORK_STATIC_INFO, gateway, 288);
AT(VXM_NETWORK_STATIC_INFO, linkUp, 416); AT(VXM_NETWORK_STATIC_INFO, collisions, 424);
AT(VXM_NETWORK_STATIC_INFO, rx_fifo_errors, 480); AT(VXM_NETWORK_STATIC_INFO, rx_over_errors, 512);
AT(VXM_NETWORK_STATIC_INFO, tx_window_errors, 600); AT(VXM_NETWORK_STATIC_INFO, txTotal, 608);
AT(VXM_NETWORK_STATIC_INFO, rxTotal, 616); AT(VXM_NETWORK_STATIC_INFO, txBad, 624);
AT(VXM_NETWORK_STATIC_INFO, quality, 636); AT(VXM_NETWORK_STATIC_INFO, frequency, 640);
AT(VXM_NETWORK_STATIC_INFO, rxErrorRatio, 648); SIZE(statistics, VXM_NETWORK_STATIC_INFO, 656);

static int failures = 0, records = 0;

#define EXPECT(cond) \
    if (!(cond)) fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond), failures++

static void sink(const char* file, int line, const char* function, int tid, int kind, int level,
                 const char* module, const char* format, ...) {
    (void)file; (void)line; (void)function; (void)tid; (void)kind; (void)level; (void)module; (void)format;
    records++;
}

static void* body(void* arg) {
    *(int*)arg = 42;
    return NULL;
}

int main(void) {
    unsigned long mutex, thread = 0;
    int value = 0;
    g_VXMLogCallback = sink;
    mutex = VXM_mutex_create();
    EXPECT(mutex != 0 && VXM_mutex_lock(mutex) == 0 && VXM_mutex_unlock(mutex) == 0);
    EXPECT(VXM_mutex_destroy(mutex) == 0);
    EXPECT(VXM_thread_createJoinable(body, &value, &thread, 0, 0) == 0);
    EXPECT(VXM_thread_join(thread) == 0 && value == 42);
    records = 0;
    EXPECT(VXM_get_time(NULL) == -1 && records == 1);
    g_VXMLogCallback = NULL;
    EXPECT(strcmp(VXMOSAL_VERSION, "1.0.0") == 0);
    return failures == 0 ? 0 : 1;
}
