// What a mutex or semaphore handle is (the address of the system object), for the library's own
// modules, which lock and post their handles directly rather than through the exported calls.
#ifndef VXMOSAL_INTERNAL_SYNC_H
#define VXMOSAL_INTERNAL_SYNC_H

#include <linux/futex.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace vxm::internal {

inline pthread_mutex_t* mutexOf(unsigned long handle) noexcept { return reinterpret_cast<pthread_mutex_t*>(handle); }
inline sem_t* semOf(unsigned long handle) noexcept { return reinterpret_cast<sem_t*>(handle); }

// Sleeps while word holds expected: returns at once when it does not, and on any wake-up.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "an atomic int is a plain 32-bit word the kernel can wait on");
inline void futexWait(std::atomic<int>& word, int expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
inline void futexWake(std::atomic<int>& word, int count) noexcept {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace vxm::internal

#endif
