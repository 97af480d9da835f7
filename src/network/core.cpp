// The network card record, the default card and the network task thread with its queue.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "internal/log.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_os_msg.h"
#include "vxmosal/VXM_os_thread.h"
#include "vxmosal/VXM_time.h"

namespace vxm::network {
namespace {

constexpr unsigned int kQueueCapacity = 10;
constexpr unsigned int kMessageSize = 8;  // two 32-bit words
constexpr unsigned int kThreadStack = 0x20000;
constexpr VXM_UINT32 kTaskPauseMs = 10;

VXM_NETWORK_CARD_INFO g_defaultCard;
std::atomic<VXM_MSG_QUEUE> g_queue{0};
// Posts in progress, so that the stop releases the queue only after every post that took it has
// left (no library lock is held while another is taken). The task thread's receives are covered by
// the queue's own lifetime check.
struct PostGate {
    std::mutex lock;
    std::condition_variable left;
    int posts = 0;
};

// Built in static storage, never destroyed (a post may come at exit): its first use needs no
// memory and so cannot fail.
PostGate& gate() noexcept {
    alignas(PostGate) static unsigned char storage[sizeof(PostGate)];
    static PostGate* instance = new (storage) PostGate;
    return *instance;
}
std::atomic<VXM_NETWORK_MSG_CALLBACK> g_callback{nullptr};
std::atomic<int> g_running{0};

void loadName(char (&dst)[VXM_NETWORK_NAME_SIZE], const char (&src)[VXM_NETWORK_NAME_SIZE]) noexcept {
    for (std::size_t i = 0; i < VXM_NETWORK_NAME_SIZE; ++i) dst[i] = __atomic_load_n(&src[i], __ATOMIC_RELAXED);
}

}  // namespace

VXM_NETWORK_CARD_INFO& defaultCard() noexcept { return g_defaultCard; }

VXM_NETWORK_CARD_INFO snapshot(const VXM_NETWORK_CARD_INFO* card) noexcept {
    if (card != nullptr && card != &g_defaultCard) return *card;
    VXM_NETWORK_CARD_INFO copy;
    loadName(copy.ifrName, g_defaultCard.ifrName);
    loadName(copy.ifrExtName, g_defaultCard.ifrExtName);
    copy.cardType = __atomic_load_n(&g_defaultCard.cardType, __ATOMIC_RELAXED);
    copy.connType = __atomic_load_n(&g_defaultCard.connType, __ATOMIC_RELAXED);
    return copy;
}

void storeName(char (&dst)[VXM_NETWORK_NAME_SIZE], const char* src) noexcept {
    const std::size_t length = strnlen(src, kNameMax);
    for (std::size_t i = 0; i < VXM_NETWORK_NAME_SIZE; ++i)
        __atomic_store_n(&dst[i], i < length ? src[i] : '\0', __ATOMIC_RELAXED);
}

void storeWord(VXM_UINT32& dst, VXM_UINT32 value) noexcept { __atomic_store_n(&dst, value, __ATOMIC_RELAXED); }

}  // namespace vxm::network

using namespace vxm::network;

extern "C" {

VXM_NETWORK_CARD_INFO* VXM_network_setNetWorkCardInfo(const VXM_NETWORK_CARD_INFO* card) {
    if (card == nullptr) return &g_defaultCard;
    const VXM_NETWORK_CARD_INFO source = snapshot(card);
    storeWord(g_defaultCard.cardType, source.cardType);
    storeName(g_defaultCard.ifrName, source.ifrName);
    storeName(g_defaultCard.ifrExtName, source.ifrExtName);
    return &g_defaultCard;
}

VXM_NETWORK_CARD_INFO* VXM_network_getNetWorkCardInfo(VXM_NETWORK_CARD_INFO* card) {
    return card != nullptr ? card : &g_defaultCard;
}

int VXM_network_setNetMsgCallback(VXM_NETWORK_MSG_CALLBACK callback) {
    g_callback.store(callback, std::memory_order_relaxed);
    return 0;
}

int VXM_network_threadInit(void) {
    g_running.store(1, std::memory_order_relaxed);
    if (g_queue.load(std::memory_order_acquire) == 0) {
        VXM_MSG_QUEUE queue = VXM_msg_create(kQueueCapacity, kMessageSize, VXM_MSG_DROP_OLDEST);
        if (queue == 0) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "creat message failed!");
        } else {
            bool kept = false;
            {
                std::lock_guard<std::mutex> guard(gate().lock);
                if (g_queue.load(std::memory_order_relaxed) == 0) {
                    g_queue.store(queue, std::memory_order_release);
                    kept = true;
                }
            }
            if (!kept) VXM_msg_destroy(queue);  // another start made one first
        }
    }
    VXM_thread_create(VXM_netProThread, nullptr, nullptr, 0, kThreadStack);
    return 0;
}

int VXM_network_deInit(void) {
    g_running.store(0, std::memory_order_relaxed);
    // The destroy wakes a task thread blocked in the queue and waits until it has left; a thread
    // that took the handle just before finds the queue gone and takes nothing.
    VXM_MSG_QUEUE queue = 0;
    {
        PostGate& posts = gate();
        std::unique_lock<std::mutex> guard(posts.lock);
        queue = g_queue.exchange(0, std::memory_order_acq_rel);
        posts.left.wait(guard, [&posts] { return posts.posts == 0; });
    }
    if (queue != 0) VXM_msg_destroy(queue);
    return 0;
}

void* VXM_netProThread(void*) {
    VXM_thread_setname("net_pro");
    while (g_running.load(std::memory_order_relaxed) != 0) {
        VXM_sleep(kTaskPauseMs);
        VXM_NETWORK_MSG_CALLBACK callback = g_callback.load(std::memory_order_relaxed);
        if (callback == nullptr) continue;
        VXM_UINT32 message[2] = {0, 0};
        if (VXM_msg_peek(g_queue.load(std::memory_order_acquire), message) != 0) continue;
        int result = callback(message[0], message[1]);
        VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "exec task %s!", result == 0 ? "Success" : "Failed");
    }
    return nullptr;
}

int VXM_network_postTask(VXM_UINT32 first, VXM_UINT32 second) {
    PostGate& posts = gate();
    VXM_MSG_QUEUE queue = 0;
    {
        std::lock_guard<std::mutex> guard(posts.lock);
        queue = g_queue.load(std::memory_order_relaxed);
        if (queue == 0) return -1;
        ++posts.posts;
    }
    const VXM_UINT32 message[2] = {first, second};
    int result = VXM_msg_post(queue, message);
    std::lock_guard<std::mutex> guard(posts.lock);
    if (--posts.posts == 0) posts.left.notify_all();
    return result;
}

}  // extern "C"
