/* The public headers compile as C99 and the library answers a C host. */
#include <stdio.h>
#include <string.h>

#include "vxmosal/vxmosal.h"

static int failures = 0;
static int records = 0;
static int lastLevel = 0;
static char lastModule[32];

#define EXPECT(cond)                                                        \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                     \
        }                                                                   \
    } while (0)

static void sink(const char* file, int line, const char* function, int tid, int kind, int level,
                 const char* module, const char* format, ...) {
    (void)file; (void)line; (void)function; (void)tid; (void)format;
    EXPECT(kind == 1);
    records++;
    lastLevel = level;
    strncpy(lastModule, module, sizeof lastModule - 1);
}

static void* body(void* arg) {
    *(int*)arg = 42;
    return NULL;
}

int main(void) {
    unsigned long mutex, thread = 0;
    unsigned long sem = 0;
    int value = 0;
    VXM_TIME_INFO now;

    g_VXMLogCallback = sink;
    mutex = VXM_mutex_create();
    EXPECT(mutex != 0);
    EXPECT(VXM_mutex_lock(mutex) == 0);
    EXPECT(VXM_mutex_unlock(mutex) == 0);
    EXPECT(VXM_mutex_destroy(mutex) == 0);
    EXPECT(VXM_sem_create(0, &sem) == 0);
    EXPECT(VXM_sem_trywait(sem) == VXM_ERR_SEM_TIMEOUT);
    EXPECT(VXM_sem_destroy(sem) == 0);
    EXPECT(VXM_thread_createJoinable(body, &value, &thread, 0, 0) == 0);
    EXPECT(VXM_thread_join(thread) == 0);
    EXPECT(value == 42);
    EXPECT(VXM_get_time(&now) == 0 && now.year >= 2024);
    records = 0;
    EXPECT(VXM_get_time(NULL) == -1);
    EXPECT(records == 1 && lastLevel == VXM_LOG_ERROR && strcmp(lastModule, "os_utility") == 0);
    g_VXMLogCallback = NULL;
    EXPECT(VXM_malloc(0) == NULL);
    EXPECT(strcmp(VXMOSAL_VERSION, "1.0.0") == 0);
    if (failures == 0) printf("C host: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
