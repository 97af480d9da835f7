// Message queues: a ring of capacity + 1 fixed-size slots, a mutex over the ring and a semaphore
// that wakes receivers.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "internal/log.h"
#include "internal/no_throw.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_msg.h"

namespace {

constexpr char kModuleTag[] = "MSG";

struct Queue {
    unsigned char* buffer;
    VXM_UINT32 slots;  // capacity + 1: one slot always stays free
    VXM_UINT32 size;
    VXM_UINT32 readIndex;
    VXM_UINT32 writeIndex;
    unsigned long sem;
    unsigned long mutex;
    VXM_UINT32 flags;
    // Lifetime: receivers inside VXM_msg_peek (guarded by the lifetimes' lock), and whether a
    // destroy has begun (written under that lock, read atomically by woken receivers). A destroy
    // wakes the receivers and releases nothing until all have left.
    int receivers;
    bool closing;
};

// The queues that exist. A receive first checks its handle here, so that a receive racing with (or
// following) a destroy never touches released memory.
class Lifetimes {
public:
    // Publishes the queue; false when the set has no memory for it.
    bool add(Queue* queue) noexcept {
        return vxm::internal::noThrow(false, [&] {
            std::lock_guard<std::mutex> guard(lock_);
            live_.insert(queue);
            return true;
        });
    }

    // Enters a receive; false when the queue is gone or going.
    bool enter(Queue* queue) noexcept {
        std::lock_guard<std::mutex> guard(lock_);
        if (live_.count(queue) == 0 || closing(queue)) return false;
        ++queue->receivers;
        return true;
    }

    void leave(Queue* queue) noexcept {
        std::lock_guard<std::mutex> guard(lock_);
        if (--queue->receivers == 0 && closing(queue)) left_.notify_all();
    }

    static bool closing(const Queue* queue) noexcept { return __atomic_load_n(&queue->closing, __ATOMIC_ACQUIRE); }

    // Marks the queue as going, wakes every receiver blocked on its semaphore and waits until each
    // has left. A queue never published (a failed create) has no receivers.
    void retire(Queue* queue) noexcept {
        std::unique_lock<std::mutex> guard(lock_);
        if (live_.erase(queue) == 0) return;
        __atomic_store_n(&queue->closing, true, __ATOMIC_RELEASE);
        for (int i = 0; i < queue->receivers; ++i) VXM_sem_post(queue->sem);
        left_.wait(guard, [queue] { return queue->receivers == 0; });
    }

private:
    std::mutex lock_;
    std::condition_variable left_;
    std::unordered_set<Queue*> live_;
};

// Built in static storage, never destroyed (receivers may run at exit): its first use needs no
// memory and so cannot fail.
Lifetimes& lifetimes() noexcept {
    alignas(Lifetimes) static unsigned char storage[sizeof(Lifetimes)];
    static Lifetimes* instance = new (storage) Lifetimes;
    return *instance;
}

Queue* toQueue(VXM_MSG_QUEUE handle) noexcept { return reinterpret_cast<Queue*>(handle); }

unsigned char* slot(const Queue* queue, VXM_UINT32 index) noexcept {
    return queue->buffer + static_cast<std::size_t>(index) * queue->size;
}

}  // namespace

extern "C" {

VXM_MSG_QUEUE VXM_msg_create(unsigned int capacity, unsigned int size, unsigned int flags) {
    if (capacity == 0 || size == 0) return 0;
    auto* queue = static_cast<Queue*>(VXM_malloc(sizeof(Queue)));
    if (queue == nullptr) return 0;
    VXM_MSG_QUEUE handle = reinterpret_cast<VXM_MSG_QUEUE>(queue);
    const unsigned long long bytes = static_cast<unsigned long long>(size) * (capacity + 1ull);
    if (capacity == ~0u || bytes > ~0u) {
        VXM_msg_destroy(handle);
        return 0;
    }
    queue->buffer = static_cast<unsigned char*>(VXM_malloc(static_cast<unsigned int>(bytes)));
    queue->slots = capacity + 1;
    queue->size = size;
    queue->flags = flags;
    if (queue->buffer == nullptr || VXM_sem_create(1, &queue->sem) != 0 ||
        (queue->mutex = VXM_mutex_create()) == 0 || !lifetimes().add(queue)) {
        VXM_msg_destroy(handle);
        return 0;
    }
    return handle;
}

int VXM_msg_post(VXM_MSG_QUEUE handle, const void* msg) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || msg == nullptr) return -1;
    if (VXM_mutex_lock(queue->mutex) != 0) return -1;
    int result = 0;
    VXM_UINT32 next = (queue->writeIndex + 1) % queue->slots;
    if (next == queue->readIndex) {
        if (queue->flags & VXM_MSG_DROP_OLDEST)
            queue->readIndex = (next + 1) % queue->slots;
        else
            result = -1;
    }
    if (result == 0) {
        std::memcpy(slot(queue, queue->writeIndex), msg, queue->size);
        queue->writeIndex = next;
    }
    VXM_mutex_unlock(queue->mutex);
    VXM_sem_post(queue->sem);
    return result;
}

int VXM_msg_peek(VXM_MSG_QUEUE handle, void* dest) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || dest == nullptr) return -1;
    if (!lifetimes().enter(queue)) return -1;
    int result = -1;
    if (VXM_sem_wait(queue->sem) == 0 && !Lifetimes::closing(queue) &&
        VXM_mutex_lock(queue->mutex) == 0) {
        if (queue->readIndex != queue->writeIndex) {
            std::memcpy(dest, slot(queue, queue->readIndex), queue->size);
            queue->readIndex = (queue->readIndex + 1) % queue->slots;
            result = 0;
        }
        VXM_mutex_unlock(queue->mutex);
    }
    lifetimes().leave(queue);
    return result;
}

int VXM_msg_empty(VXM_MSG_QUEUE handle, int* empty) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr || empty == nullptr) return -1;
    if (VXM_mutex_lock(queue->mutex) != 0) return -1;
    *empty = queue->readIndex == queue->writeIndex ? 1 : 0;
    VXM_mutex_unlock(queue->mutex);
    return 0;
}

int VXM_msg_destroy(VXM_MSG_QUEUE handle) {
    Queue* queue = toQueue(handle);
    if (queue == nullptr) return -1;
    lifetimes().retire(queue);
    if (queue->sem != 0) VXM_sem_destroy(queue->sem);
    if (queue->mutex != 0) VXM_mutex_destroy(queue->mutex);
    if (queue->readIndex != queue->writeIndex)
        VXM_LOG(VXM_LOG_WARN, kModuleTag, "Messge list is not emply but is destroy  ");
    VXM_free(queue->buffer);
    VXM_free(queue);
    return 0;
}

}  // extern "C"
