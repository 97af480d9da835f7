// Mutex creation and uncontended locking against the bare recursive system mutex they wrap, and
// locking against the smallest wrapper of that mutex exported from a shared library: the floor for
// any exported lock.
#include <pthread.h>

#include <cstdlib>

#include "bench_ratio.h"
#include "vxmbench_baseline.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_time.h"

namespace {

void vxmCreateDestroy(benchmark::State& state) {
    VXM_get_ticks();  // creation records a tick; keep the tick thread's start out of the loop
    for (auto _ : state) {
        unsigned long mutex = VXM_mutex_create();
        benchmark::DoNotOptimize(mutex);
        // Destroying in the same iteration keeps the registry of live mutexes from filling up.
        VXM_mutex_destroy(mutex);
    }
}

// The same system work as VXM_mutex_create and VXM_mutex_destroy, without the registry.
void pthreadCreateDestroy(benchmark::State& state) {
    for (auto _ : state) {
        auto* mutex = static_cast<pthread_mutex_t*>(std::malloc(sizeof(pthread_mutex_t)));
        benchmark::DoNotOptimize(mutex);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        pthread_mutex_destroy(mutex);
        std::free(mutex);
    }
}

void vxmLockUnlock(benchmark::State& state) {
    unsigned long mutex = VXM_mutex_create();
    if (mutex == 0) {
        state.SkipWithError("VXM_mutex_create failed");
        return;
    }
    for (auto _ : state) {
        VXM_mutex_lock(mutex);
        VXM_mutex_unlock(mutex);
    }
    VXM_mutex_destroy(mutex);
}

void initRecursive(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void pthreadLockUnlock(benchmark::State& state) {
    pthread_mutex_t mutex;
    initRecursive(&mutex);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}

// The mutex is on the heap, as VXM_mutex_create puts it.
void wrapperLockUnlock(benchmark::State& state) {
    auto* mutex = static_cast<pthread_mutex_t*>(std::malloc(sizeof(pthread_mutex_t)));
    if (mutex == nullptr) {
        state.SkipWithError("malloc failed");
        return;
    }
    initRecursive(mutex);
    benchmark::DoNotOptimize(mutex);
    for (auto _ : state) {
        vxmbench_mutex_lock(mutex);
        vxmbench_mutex_unlock(mutex);
    }
    pthread_mutex_destroy(mutex);
    std::free(mutex);
}

}  // namespace

int main(int argc, char** argv) {
    using vxm::bench::kRepetitions;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_mutex_create_destroy", vxmCreateDestroy),
                    benchmark::RegisterBenchmark("pthread_mutex_create_destroy", pthreadCreateDestroy),
                    benchmark::RegisterBenchmark("VXM_mutex_lock_unlock", vxmLockUnlock),
                    benchmark::RegisterBenchmark("pthread_mutex_lock_unlock", pthreadLockUnlock),
                    benchmark::RegisterBenchmark("wrapper_mutex_lock_unlock", wrapperLockUnlock)})
        b->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);

    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_mutex_create_destroy", "VXM_mutex_create+VXM_mutex_destroy",
          "pthread_mutex_create_destroy", "malloc+pthread_mutex_init+pthread_mutex_destroy+free",
          vxm::bench::Goal::None, 0.0},
         {"VXM_mutex_lock_unlock", "VXM_mutex_lock+VXM_mutex_unlock", "pthread_mutex_lock_unlock",
          "pthread_mutex_lock+pthread_mutex_unlock", vxm::bench::Goal::None, 0.0},
         {"VXM_mutex_lock_unlock", "VXM_mutex_lock+VXM_mutex_unlock", "wrapper_mutex_lock_unlock",
          "exported wrapper lock+unlock", vxm::bench::Goal::AtMost, 1.03}});
}
