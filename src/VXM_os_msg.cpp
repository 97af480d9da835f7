// Message queues: a ring of capacity + 1 fixed-size slots, a mutex over the ring and a counting
// semaphore that wakes receivers. The mutex and the semaphore live in the queue's record, on one
// cache line with the ring's indices, so that handing a message from a poster to a receiver moves
// that one line each way rather than three (the record's, the mutex's, the semaphore's).
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "internal/log.h"
#include "internal/sync.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_os_msg.h"
#include "vxmosal/VXM_registry.h"
#include "vxmosal/VXM_time.h"

namespace {

using vxm::internal::futexWait;
using vxm::internal::futexWake;

constexpr char kModuleTag[] = "MSG";
constexpr std::size_t kCacheLine = 64;

// In Queue::life, beside the count of receivers inside VXM_msg_peek: a destroy has begun.
constexpr int kClosing = 1 << 30;
// In Queue::hints, beside the semaphore's count: a receiver may be asleep waiting for a count.
constexpr int kSleeper = 1 << 30;
constexpr int kMostHints = kSleeper - 1;

struct Queue {
    // Set by the create.
    unsigned char* buffer;
    VXM_UINT32 slots;  // capacity + 1: one slot always stays free
    VXM_UINT32 size;
    VXM_UINT32 flags;
    bool mutexMade;
    Queue* nextFree;
    // Written by posters and receivers alike.
    // Recorded in the registry like every mutex made, but not recursive: only the queue's own calls
    // take it, and never twice, so it need not pay for the owner and count checks.
    alignas(kCacheLine) pthread_mutex_t mutex;
    VXM_UINT32 readIndex;
    VXM_UINT32 writeIndex;
    // The semaphore: its count, plus kSleeper while a receiver may be asleep on it. The first post
    // after a receiver fell asleep clears the bit and wakes the sleepers with one system call; the
    // other posts make none.
    std::atomic<int> hints;
    // Receivers inside VXM_msg_peek, plus kClosing once a destroy has begun. A destroy wakes the
    // receivers and releases nothing until all have left.
    std::atomic<int> life;
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
    std::size_t space = sizeof(Queue) + alignof(Queue) - 1;
    void* memory = VXM_malloc(static_cast<unsigned int>(space));
    if (memory == nullptr) return nullptr;
    return new (std::align(alignof(Queue), sizeof(Queue), memory, space)) Queue{};
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

unsigned long mutexHandle(Queue* queue) noexcept { return reinterpret_cast<unsigned long>(&queue->mutex); }

// Adds one count to the semaphore and wakes its sleepers, if any. At its highest count a post is
// lost, as a system semaphore's would be.
void postHint(Queue* queue) noexcept {
    int hints = queue->hints.load(std::memory_order_relaxed);
    do {
        if (hints == kMostHints) return;
    } while (!queue->hints.compare_exchange_weak(hints, (hints & kMostHints) + 1));
    if (hints & kSleeper) futexWake(queue->hints, INT_MAX);
}

bool closing(const Queue* queue) noexcept { return (queue->life.load() & kClosing) != 0; }

// Takes one count of the semaphore, sleeping while it has none; false when a destroy began.
bool takeHint(Queue* queue) noexcept {
    int hints = queue->hints.load(std::memory_order_relaxed);
    for (;;) {
        if ((hints & kMostHints) != 0) {
            if (queue->hints.compare_exchange_weak(hints, hints - 1)) return true;
            continue;
        }
        if (hints == 0 && !queue->hints.compare_exchange_weak(hints, kSleeper)) continue;
        // Checked after the sleeper bit is set: a destroy sets kClosing before it clears the bit.
        if (closing(queue)) return false;
        futexWait(queue->hints, kSleeper);
        hints = queue->hints.load(std::memory_order_relaxed);
    }
}

// Enters a receive; false when the queue is gone or going.
bool enter(Queue* queue) noexcept {
    int life = 0;  // the usual case: the only receiver
    do {
        if (life & kClosing) return false;
    } while (!queue->life.compare_exchange_weak(life, life + 1));
    return true;
}

void leave(Queue* queue) noexcept {
    if (queue->life.fetch_sub(1) == kClosing + 1) futexWake(queue->life, 1);
}

// Wakes the receivers inside VXM_msg_peek and waits until each has left; false when a destroy had
// begun already. A queue whose create failed has no receivers.
bool retire(Queue* queue) noexcept {
    if (queue->life.fetch_or(kClosing) & kClosing) return false;
    queue->hints.fetch_and(~kSleeper);
    futexWake(queue->hints, INT_MAX);
    for (int life; (life = queue->life.load()) != kClosing;) futexWait(queue->life, life);
    return true;
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
    queue->flags = flags;
    queue->readIndex = queue->writeIndex = 0;
    queue->hints.store(1, std::memory_order_relaxed);
    queue->life.store(0);
    queue->mutexMade = queue->buffer != nullptr && pthread_mutex_init(&queue->mutex, nullptr) == 0;
    if (!queue->mutexMade) {
        VXM_msg_destroy(handle);
        return 0;
    }
    VXM_AddMutexInfo(mutexHandle(queue), VXM_get_ticks());
    return handle;
}

int VXM_msg_post(VXM_MSG_QUEUE handle, const void* msg) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || msg == nullptr) return -1;
    if (pthread_mutex_lock(&queue->mutex) != 0) return -1;
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
    pthread_mutex_unlock(&queue->mutex);
    postHint(queue);
    return result;
}

int VXM_msg_peek(VXM_MSG_QUEUE handle, void* dest) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || dest == nullptr) return -1;
    if (!enter(queue)) return -1;
    int result = -1;
    if (takeHint(queue) && !closing(queue) && pthread_mutex_lock(&queue->mutex) == 0) {
        if (queue->readIndex != queue->writeIndex) {
            copyMessage(dest, slot(queue, queue->readIndex), queue->size);
            queue->readIndex = queue->readIndex + 1 == queue->slots ? 0 : queue->readIndex + 1;
            result = 0;
        }
        pthread_mutex_unlock(&queue->mutex);
    }
    leave(queue);
    return result;
}

int VXM_msg_empty(VXM_MSG_QUEUE handle, int* empty) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || empty == nullptr) return -1;
    if (pthread_mutex_lock(&queue->mutex) != 0) return -1;
    *empty = queue->readIndex == queue->writeIndex ? 1 : 0;
    pthread_mutex_unlock(&queue->mutex);
    return 0;
}

// A second destroy of the same handle finds it closing already and returns -1.
int VXM_msg_destroy(VXM_MSG_QUEUE handle) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || !retire(queue)) return -1;
    if (queue->mutexMade) {
        VXM_DeleteMutexInfo(mutexHandle(queue));
        pthread_mutex_destroy(&queue->mutex);
        queue->mutexMade = false;
    }
    if (queue->readIndex != queue->writeIndex)
        VXM_LOG(VXM_LOG_WARN, kModuleTag, "Messge list is not emply but is destroy  ");
    VXM_free(queue->buffer);
    queue->buffer = nullptr;
    keepRecord(queue);
    return 0;
}

}  // extern "C"
