// Recursive mutexes and counting semaphores.
#include <pthread.h>

#include <future>

#include "support/spine.h"
#include "vxmosal/VXM_mutex.h"

namespace {

// Whether another thread could take the mutex at this moment.
bool freeForOthers(unsigned long mutex) {
    return std::async(std::launch::async, [mutex] {
        auto* system = reinterpret_cast<pthread_mutex_t*>(mutex);
        const bool taken = pthread_mutex_trylock(system) == 0;
        if (taken) pthread_mutex_unlock(system);
#ifndef __SANITIZE_THREAD__  // the thread sanitizer reports the deliberate misuse itself
        else EXPECT_EQ(VXM_mutex_unlock(mutex), -1) << "a thread unlocked a mutex it does not own";
#endif
        return taken;
    }).get();
}

TEST(Mutex, RecursiveAndRecordedUntilDestroyed) {
    unsigned long recorded = VXM_mutex_create(), unrecorded = VXM_mutex_createWithoutMutexMgr();
    EXPECT_TRUE(vxmtest::listed(false, recorded));
    EXPECT_FALSE(vxmtest::listed(false, unrecorded));
    for (unsigned long mutex : {recorded, unrecorded}) {
        EXPECT_EQ(VXM_mutex_lock(mutex) + VXM_mutex_lock(mutex), 0);
        EXPECT_EQ(VXM_mutex_unlock(mutex), 0);
        EXPECT_FALSE(freeForOthers(mutex)) << "free while still locked once by its owner";
        EXPECT_EQ(VXM_mutex_unlock(mutex), 0);
        EXPECT_TRUE(freeForOthers(mutex));
        EXPECT_EQ(VXM_mutex_destroy(mutex), 0);
    }
    EXPECT_FALSE(vxmtest::listed(false, recorded));
}

TEST(Semaphore, CountsAndWaitsWithATimeoutAndNullHandlesAreRefused) {
    // Every call refuses a null handle; the wait with a time-out says so with a result of its own.
    EXPECT_EQ(VXM_mutex_lock(0) + VXM_sem_post(0), -2);
    EXPECT_EQ(VXM_sem_wait_timeout(0, 50), VXM_ERR_NULL_HANDLE);
    unsigned long sem = 0;
    ASSERT_EQ(VXM_sem_create(2, &sem), 0);
    EXPECT_EQ(VXM_sem_trywait(sem) + VXM_sem_wait(sem), 0);
    EXPECT_EQ(VXM_sem_trywait(sem), VXM_ERR_SEM_TIMEOUT);
    EXPECT_EQ(VXM_sem_post(sem) + VXM_sem_wait_timeout(sem, 50), 0) << "a count there at once";
    auto start = vxmtest::Steady::now();
    auto wait = std::async(std::launch::async, [sem] { return VXM_sem_wait_timeout(sem, 50); });
    if (wait.wait_for(std::chrono::seconds(5)) != std::future_status::ready) VXM_sem_post(sem);  // it blocks: free it
    EXPECT_EQ(wait.get(), VXM_ERR_SEM_TIMEOUT);
    EXPECT_GE(vxmtest::msSince(start), 50);
    // A post that comes while the wait polls ends it; a zero time-out waits without limit.
    for (unsigned int timeout : {0u, 60000u}) {
        auto poster = std::async(std::launch::async, [sem] { return vxmtest::sleepMs(100), VXM_sem_post(sem); });
        EXPECT_EQ(VXM_sem_wait_timeout(sem, timeout) + poster.get(), 0) << timeout;
    }
    EXPECT_EQ(VXM_sem_destroy(sem), 0);
}

}  // namespace
