// Recursive mutexes and counting semaphores.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/registry_dump.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_time.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(Mutex, NullHandleIsRefused) {
    EXPECT_EQ(VXM_mutex_lock(0), -1);
    EXPECT_EQ(VXM_mutex_unlock(0), -1);
    EXPECT_EQ(VXM_mutex_destroy(0), -1);
}

TEST(Mutex, RecursiveLockHoldsUntilTheLastUnlock) {
    unsigned long mutex = VXM_mutex_create();
    ASSERT_NE(mutex, 0u);
    ASSERT_EQ(VXM_mutex_lock(mutex), 0);
    ASSERT_EQ(VXM_mutex_lock(mutex), 0);

    std::atomic<bool> taken{false};
    std::thread other([&] {
        VXM_mutex_lock(mutex);
        taken = true;
        VXM_mutex_unlock(mutex);
    });
    EXPECT_EQ(VXM_mutex_unlock(mutex), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(taken) << "another thread took a mutex still locked once by its owner";
    EXPECT_EQ(VXM_mutex_unlock(mutex), 0);
    other.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(VXM_mutex_destroy(mutex), 0);
}

TEST(Mutex, UnlockByANonOwnerFails) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "the thread sanitizer reports the deliberate misuse itself";
#endif
    unsigned long mutex = VXM_mutex_createWithoutMutexMgr();
    ASSERT_EQ(VXM_mutex_lock(mutex), 0);
    int result = 0;
    std::thread([&] { result = VXM_mutex_unlock(mutex); }).join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(VXM_mutex_unlock(mutex), 0);
    EXPECT_EQ(VXM_mutex_destroy(mutex), 0);
}

TEST(Mutex, RegistryListsOnlyRecordedLiveMutexes) {
    vxmtest::TempDir dir;
    unsigned long recorded = VXM_mutex_create();
    unsigned long unrecorded = VXM_mutex_createWithoutMutexMgr();
    ASSERT_NE(recorded, 0u);
    ASSERT_NE(unrecorded, 0u);
    EXPECT_TRUE(vxmtest::mutexListed(dir, recorded));
    EXPECT_FALSE(vxmtest::mutexListed(dir, unrecorded));
    VXM_mutex_destroy(recorded);
    VXM_mutex_destroy(unrecorded);
    EXPECT_FALSE(vxmtest::mutexListed(dir, recorded));
}

TEST(Semaphore, NullArgumentsAreRefused) {
    EXPECT_EQ(VXM_sem_create(1, nullptr), -1);
    EXPECT_EQ(VXM_sem_destroy(0), -1);
    EXPECT_EQ(VXM_sem_post(0), -1);
    EXPECT_EQ(VXM_sem_wait(0), -1);
    EXPECT_EQ(VXM_sem_trywait(0), -1);
    EXPECT_EQ(VXM_sem_wait_timeout(0, 50), VXM_ERR_NULL_HANDLE);
}

TEST(Semaphore, CountsPostsAndTakes) {
    unsigned long sem = 0;
    ASSERT_EQ(VXM_sem_create(2, &sem), 0);
    ASSERT_NE(sem, 0u);
    EXPECT_EQ(VXM_sem_trywait(sem), 0);
    EXPECT_EQ(VXM_sem_wait(sem), 0);
    EXPECT_EQ(VXM_sem_trywait(sem), VXM_ERR_SEM_TIMEOUT);
    EXPECT_EQ(VXM_sem_post(sem), 0);
    EXPECT_EQ(VXM_sem_wait_timeout(sem, 50), 0);
    EXPECT_EQ(VXM_sem_destroy(sem), 0);
}

TEST(Semaphore, TimeoutExpiresAfterAboutTheTimeoutPlusOnePoll) {
    unsigned long sem = 0;
    ASSERT_EQ(VXM_sem_create(0, &sem), 0);
    auto start = Clock::now();
    EXPECT_EQ(VXM_sem_wait_timeout(sem, 50), VXM_ERR_SEM_TIMEOUT);
    long waited = msSince(start);
    EXPECT_GE(waited, 50);
    EXPECT_LT(waited, 500);
    VXM_sem_destroy(sem);
}

TEST(Semaphore, TimeoutWaitTakesAPostWithinAPoll) {
    unsigned long sem = 0;
    ASSERT_EQ(VXM_sem_create(0, &sem), 0);
    Clock::time_point posted;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        posted = Clock::now();
        VXM_sem_post(sem);
    });
    EXPECT_EQ(VXM_sem_wait_timeout(sem, 2000), 0);
    long afterPost = msSince(posted);
    poster.join();
    EXPECT_LT(afterPost, 200);
    VXM_sem_destroy(sem);
}

TEST(Semaphore, ZeroTimeoutWaitsWithoutLimit) {
    unsigned long sem = 0;
    ASSERT_EQ(VXM_sem_create(0, &sem), 0);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = VXM_sem_wait_timeout(sem, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result, 1) << "a zero time-out returned before any post";
    VXM_sem_post(sem);
    waiter.join();
    EXPECT_EQ(result, 0);
    VXM_sem_destroy(sem);
}

}  // namespace
