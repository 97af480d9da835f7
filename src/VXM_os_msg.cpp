// Message queues: a ring of capacity + 1 fixed-size slots, a mutex over the ring and a semaphore
// that wakes receivers.
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "internal/log.h"
#include "internal/sync.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_msg.h"

namespace {

using vxm::internal::futexWait;
using vxm::internal::futexWake;
using vxm::internal::mutexOf;
using vxm::internal::semOf;

constexpr char kModuleTag[] = "MSG";

// In Queue::life, beside the count of receivers inside VXM_msg_peek: a destroy has begun.
constexpr int kClosing = 1 << 30;

struct Queue {
    unsigned char* buffer;
    VXM_UINT32 slots;  // capacity + 1: one slot always stays free
    VXM_UINT32 size;
    VXM_UINT32 readIndex;
    VXM_UINT32 writeIndex;
    unsigned long sem;
    unsigned long mutex;
    VXM_UINT32 flags;
    // Receivers inside VXM_msg_peek, plus kClosing once a destroy has begun. A destroy wakes the
    // receivers and releases nothing until all have left.
    std::atomic<int> life;
    // 1 while a receiver may be asleep waiting for the semaphore. Receivers sleep here rather than
    // in the semaphore's own wait, so that a post wakes them with one system call, not one per post
    // until a woken receiver runs again.
    std::atomic<int> sleeping;
    Queue* nextFree;
};

// Records of destroyed queues. They are kept for the next queues rather than released, so that a
// receive on a destroyed handle reads a record that says so instead of released memory.
std::mutex g_freeLock;
Queue* g_freeRecords = nullptr;

Queue* takeRecord() noexcept {
    {
        std::lock_guard<std::mutex> guard(g_freeLock);
        if (Queue* queue = g_freeRecords) {
            g_freeRecords = queue->nextFree;
            return queue;
        }
    }
    void* memory = VXM_malloc(sizeof(Queue));
    return memory == nullptr ? nullptr : new (memory) Queue{};
}

void keepRecord(Queue* queue) noexcept {
    std::lock_guard<std::mutex> guard(g_freeLock);
    queue->nextFree = g_freeRecords;
    g_freeRecords = queue;
}

Queue* toQueue(VXM_MSG_QUEUE handle) noexcept { return reinterpret_cast<Queue*>(handle); }

unsigned char* slot(const Queue* queue, VXM_UINT32 index) noexcept {
    return queue->buffer + static_cast<std::size_t>(index) * queue->size;
}

// Messages of 4, 8 and 16 bytes, the usual sizes, are copied inline rather than through a call.
void copyMessage(void* to, const void* from, VXM_UINT32 size) noexcept {
    switch (size) {
        case 4: std::memcpy(to, from, 4); break;
        case 8: std::memcpy(to, from, 8); break;
        case 16: std::memcpy(to, from, 16); break;
        default: std::memcpy(to, from, size); break;
    }
}

void wakeSleepers(Queue* queue) noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (queue->sleeping.load(std::memory_order_relaxed) != 0 && queue->sleeping.exchange(0) != 0)
        futexWake(queue->sleeping, INT_MAX);
}

// Enters a receive; false when the queue is gone or going.
bool enter(Queue* queue) noexcept {
    int life = queue->life.load(std::memory_order_relaxed);
    do {
        if (life & kClosing) return false;
    } while (!queue->life.compare_exchange_weak(life, life + 1));
    return true;
}

void leave(Queue* queue) noexcept {
    if (queue->life.fetch_sub(1) == kClosing + 1) futexWake(queue->life, 1);
}

bool closing(const Queue* queue) noexcept { return (queue->life.load() & kClosing) != 0; }

// Takes one count of the semaphore, sleeping while it has none; false when a destroy began.
bool takeHint(Queue* queue) noexcept {
    sem_t* sem = semOf(queue->sem);
    for (;;) {
        if (sem_trywait(sem) == 0) return true;
        if (closing(queue)) return false;
        queue->sleeping.store(1);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (sem_trywait(sem) == 0) return true;
        if (closing(queue)) return false;
        futexWait(queue->sleeping, 1);
    }
}

// Wakes the receivers inside VXM_msg_peek and waits until each has left. A queue whose create
// failed has none.
void retire(Queue* queue) noexcept {
    queue->life.fetch_or(kClosing);
    wakeSleepers(queue);
    for (int life; (life = queue->life.load()) != kClosing;) futexWait(queue->life, life);
}

}  // namespace

extern "C" {

VXM_MSG_QUEUE VXM_msg_create(unsigned int capacity, unsigned int size, unsigned int flags) {
    if (capacity == 0 || size == 0) return 0;
    const unsigned long long bytes = static_cast<unsigned long long>(size) * (capacity + 1ull);
    if (capacity == ~0u || bytes > ~0u) return 0;
    Queue* queue = takeRecord();
    if (queue == nullptr) return 0;
    VXM_MSG_QUEUE handle = reinterpret_cast<VXM_MSG_QUEUE>(queue);
    queue->buffer = static_cast<unsigned char*>(VXM_malloc(static_cast<unsigned int>(bytes)));
    queue->slots = capacity + 1;
    queue->size = size;
    queue->readIndex = queue->writeIndex = 0;
    queue->sem = queue->mutex = 0;
    queue->flags = flags;
    queue->sleeping.store(0, std::memory_order_relaxed);
    queue->life.store(0);
    if (queue->buffer == nullptr || VXM_sem_create(1, &queue->sem) != 0 ||
        (queue->mutex = VXM_mutex_create()) == 0) {
        VXM_msg_destroy(handle);
        return 0;
    }
    return handle;
}

int VXM_msg_post(VXM_MSG_QUEUE handle, const void* msg) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || msg == nullptr) return -1;
    if (pthread_mutex_lock(mutexOf(queue->mutex)) != 0) return -1;
    int result = 0;
    VXM_UINT32 next = queue->writeIndex + 1 == queue->slots ? 0 : queue->writeIndex + 1;
    if (next == queue->readIndex) {
        if (queue->flags & VXM_MSG_DROP_OLDEST)
            queue->readIndex = next + 1 == queue->slots ? 0 : next + 1;
        else
            result = -1;
    }
    if (result == 0) {
        copyMessage(slot(queue, queue->writeIndex), msg, queue->size);
        queue->writeIndex = next;
    }
    pthread_mutex_unlock(mutexOf(queue->mutex));
    sem_post(semOf(queue->sem));
    wakeSleepers(queue);
    return result;
}

int VXM_msg_peek(VXM_MSG_QUEUE handle, void* dest) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || dest == nullptr) return -1;
    if (!enter(queue)) return -1;
    int result = -1;
    if (takeHint(queue) && !closing(queue) && pthread_mutex_lock(mutexOf(queue->mutex)) == 0) {
        if (queue->readIndex != queue->writeIndex) {
            copyMessage(dest, slot(queue, queue->readIndex), queue->size);
            queue->readIndex = queue->readIndex + 1 == queue->slots ? 0 : queue->readIndex + 1;
            result = 0;
        }
        pthread_mutex_unlock(mutexOf(queue->mutex));
    }
    leave(queue);
    return result;
}

int VXM_msg_empty(VXM_MSG_QUEUE handle, int* empty) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || empty == nullptr) return -1;
    if (pthread_mutex_lock(mutexOf(queue->mutex)) != 0) return -1;
    *empty = queue->readIndex == queue->writeIndex ? 1 : 0;
    pthread_mutex_unlock(mutexOf(queue->mutex));
    return 0;
}

int VXM_msg_destroy(VXM_MSG_QUEUE handle) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr) return -1;
    retire(queue);
    if (queue->sem != 0) VXM_sem_destroy(queue->sem);
    if (queue->mutex != 0) VXM_mutex_destroy(queue->mutex);
    if (queue->readIndex != queue->writeIndex)
        VXM_LOG(VXM_LOG_WARN, kModuleTag, "Messge list is not emply but is destroy  ");
    VXM_free(queue->buffer);
    queue->buffer = nullptr;
    keepRecord(queue);
    return 0;
}

}  // extern "C"
