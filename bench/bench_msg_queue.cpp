// Message queues between two threads against a std::mutex + std::condition_variable ring of the same
// capacity and message size, and against GLib's GAsyncQueue: throughput of one poster and one
// receiver over a fixed count of messages, and the round trip of one message over two queues.
//
// VXM_msg_post never blocks on a full ring (it refuses the message), so in the throughput run every
// poster first takes one of kCapacity credits, which the receiver gives back once it has copied a
// message out: the three queues never hold more than kCapacity messages and block their poster the
// same way. Each received message's sequence number is checked, so a lost, doubled or reordered
// message ends the benchmark with an error.
//
// Those credits cost a semaphore wait and post per message and hand every message across in step,
// so the credit-paced run measures them more than the queues: it reads about 1.0 whatever the queues
// cost, at about a million messages a second. The contract run measures the queues as a program uses
// them: 8-byte messages, a poster that retries a refused VXM_msg_post at once (after a yield), a
// receiver in VXM_msg_peek, against a ring whose post fails at once when full and whose receive
// blocks; with capacity 64 (often full) and 32,768 (never full), and with 1 and 2 poster/receiver
// pairs, each pair on a queue of its own. A third ring pays what the interface fixes for every
// queue (see FixedCostRing), so that the gap to the plain ring splits into that and the rest.
#include <glib.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <sched.h>
#include <semaphore.h>

#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "vxmosal/VXM_os_msg.h"

namespace {

constexpr unsigned int kCapacity = 64;
constexpr std::uint64_t kMessages = 100000;  // per throughput iteration
constexpr std::uint64_t kStop = ~std::uint64_t{0};

struct Message {
    std::uint64_t seq;
    unsigned char payload[24];
};
static_assert(sizeof(Message) == 32, "messages are 32 bytes in every queue");

Message makeMessage(std::uint64_t seq) {
    Message message;
    message.seq = seq;
    std::memset(message.payload, static_cast<int>(seq & 0xff), sizeof message.payload);
    return message;
}

// Free places in the queue, shared by poster and receiver of the throughput run.
class Credits {
public:
    Credits() { sem_init(&sem_, 0, kCapacity); }
    ~Credits() { sem_destroy(&sem_); }
    Credits(const Credits&) = delete;
    Credits& operator=(const Credits&) = delete;
    void take() {
        while (sem_wait(&sem_) != 0 && errno == EINTR) {
        }
    }
    void give() { sem_post(&sem_); }

private:
    sem_t sem_;
};

// The library's queue, without the drop flag. post() retries a refused message (there should be
// none: the credits keep a place free) and counts the refusals.
class VxmQueue {
public:
    VxmQueue() : queue_(VXM_msg_create(kCapacity, sizeof(Message), 0)) {}
    ~VxmQueue() {
        if (queue_ != 0) VXM_msg_destroy(queue_);
    }
    VxmQueue(const VxmQueue&) = delete;
    VxmQueue& operator=(const VxmQueue&) = delete;
    const char* failure() const { return queue_ == 0 ? "VXM_msg_create failed" : nullptr; }

    void post(const Message& message) {
        while (VXM_msg_post(queue_, &message) != 0) {
            ++refused_;
            sched_yield();
        }
    }
    // The semaphore is a hint that may have nothing behind it: -1 means "call again".
    void receive(Message& message) {
        while (VXM_msg_peek(queue_, &message) != 0) {
        }
    }
    std::uint64_t refused() const { return refused_; }

private:
    VXM_MSG_QUEUE queue_;
    std::uint64_t refused_ = 0;  // written by the posting thread only
};

// A ring of places for messages, which each baseline keeps under its own lock.
template <typename Message>
class Slots {
public:
    explicit Slots(unsigned int capacity) : slots_(capacity) {}
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == slots_.size(); }
    // False when the ring is full.
    bool push(const Message& message) {
        if (full()) return false;
        slots_[(head_ + count_) % slots_.size()] = message;
        ++count_;
        return true;
    }
    Message pop() {
        const Message message = slots_[head_];
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return message;
    }

private:
    std::vector<Message> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// The baseline: a ring of kCapacity messages under one mutex, with one condition per direction.
class CondvarRing {
public:
    CondvarRing() : slots_(kCapacity) {}
    const char* failure() const { return nullptr; }

    void post(const Message& message) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [this] { return !slots_.full(); });
        slots_.push(message);
        lock.unlock();
        notEmpty_.notify_one();
    }
    void receive(Message& message) {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [this] { return !slots_.empty(); });
        message = slots_.pop();
        lock.unlock();
        notFull_.notify_one();
    }
    std::uint64_t refused() const { return 0; }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    Slots<Message> slots_;
};

// GAsyncQueue carries pointers, so messages go through a pool of kCapacity places and are copied in
// and out as in the other two queues. A place is reused only after kCapacity later posts, by when
// the credits (or the round trip) guarantee that the receiver has copied it out.
class GlibQueue {
public:
    GlibQueue() : queue_(g_async_queue_new()), pool_(kCapacity) {}
    ~GlibQueue() { g_async_queue_unref(queue_); }
    GlibQueue(const GlibQueue&) = delete;
    GlibQueue& operator=(const GlibQueue&) = delete;
    const char* failure() const { return queue_ == nullptr ? "g_async_queue_new failed" : nullptr; }

    void post(const Message& message) {
        Message* place = &pool_[next_];
        next_ = (next_ + 1) % pool_.size();
        *place = message;
        g_async_queue_push(queue_, place);
    }
    void receive(Message& message) { message = *static_cast<Message*>(g_async_queue_pop(queue_)); }
    std::uint64_t refused() const { return 0; }

private:
    GAsyncQueue* queue_;
    std::vector<Message> pool_;
    std::size_t next_ = 0;  // used by the posting thread only
};

template <typename Queue>
void throughput(benchmark::State& state) {
    Queue queue;
    if (const char* failure = queue.failure()) {
        state.SkipWithError(failure);
        return;
    }
    Credits credits;
    std::uint64_t posted = 0;
    std::uint64_t received = 0;
    std::uint64_t misordered = 0;
    for (auto _ : state) {
        std::thread receiver([&] {
            Message message;
            std::uint64_t expected = 0;
            do {
                queue.receive(message);
                credits.give();
                if (message.seq != expected) ++misordered;
                expected = message.seq + 1;
                ++received;
            } while (message.seq != kMessages - 1);
        });
        for (std::uint64_t seq = 0; seq < kMessages; ++seq) {
            credits.take();
            queue.post(makeMessage(seq));
        }
        posted += kMessages;
        receiver.join();
    }
    if (received != posted || misordered != 0 || queue.refused() != 0) {
        std::string error = "posted " + std::to_string(posted) + ", received " + std::to_string(received) +
                            ", out of order " + std::to_string(misordered) + ", refused " +
                            std::to_string(queue.refused());
        state.SkipWithError(error.c_str());
        return;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(posted));
}

// One iteration: a message to the echo thread over one queue and back over the other.
template <typename Queue>
void pingPong(benchmark::State& state) {
    Queue there;
    Queue back;
    if (const char* failure = there.failure() != nullptr ? there.failure() : back.failure()) {
        state.SkipWithError(failure);
        return;
    }
    std::thread echo([&] {
        Message message;
        for (;;) {
            there.receive(message);
            if (message.seq == kStop) break;
            back.post(message);
        }
    });
    std::uint64_t seq = 0;
    std::uint64_t mismatched = 0;
    for (auto _ : state) {
        there.post(makeMessage(seq));
        Message answer;
        back.receive(answer);
        if (answer.seq != seq) ++mismatched;
        ++seq;
    }
    there.post(makeMessage(kStop));
    echo.join();
    if (mismatched != 0 || there.refused() != 0 || back.refused() != 0) {
        std::string error = std::to_string(mismatched) + " of " + std::to_string(seq) +
                            " round trips brought back another message; refused " +
                            std::to_string(there.refused() + back.refused());
        state.SkipWithError(error.c_str());
    }
}

// ---- the contract run ----

constexpr std::uint64_t kContractMessages = 20000;  // per pair and iteration

class VxmContractQueue {
public:
    explicit VxmContractQueue(unsigned int capacity)
        : queue_(VXM_msg_create(capacity, sizeof(std::uint64_t), 0)) {}
    ~VxmContractQueue() {
        if (queue_ != 0) VXM_msg_destroy(queue_);
    }
    VxmContractQueue(const VxmContractQueue&) = delete;
    VxmContractQueue& operator=(const VxmContractQueue&) = delete;
    bool made() const { return queue_ != 0; }
    bool tryPost(std::uint64_t message) { return VXM_msg_post(queue_, &message) == 0; }
    // The semaphore may have nothing behind it: -1 means "call again".
    std::uint64_t receive() {
        std::uint64_t message = 0;
        while (VXM_msg_peek(queue_, &message) != 0) {
        }
        return message;
    }

private:
    VXM_MSG_QUEUE queue_;
};

// The plain way: a ring under a std::mutex, a post that fails at once when the ring is full, a
// receive that waits on a condition variable while it is empty.
class FailFastRing {
public:
    explicit FailFastRing(unsigned int capacity) : slots_(capacity) {}
    bool made() const { return true; }
    bool tryPost(std::uint64_t message) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!slots_.push(message)) return false;
        }
        notEmpty_.notify_one();
        return true;
    }
    std::uint64_t receive() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [this] { return !slots_.empty(); });
        return slots_.pop();
    }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    Slots<std::uint64_t> slots_;
};

// The same ring paying what every queue of the library must, in a plain way: a system semaphore
// posted by every post, refused or not, and taken by every receive, which finds the ring empty when
// the count it took stood for a refused post. A receive that finds no count sleeps on a word of its
// own that the next post clears, so that a post costs no system call while nobody sleeps; in
// sem_wait, every post would enter the kernel until the receiver ran again. A receive also counts
// itself in and out, as a queue must so that a destroy can wake a waiting receiver and release
// nothing until it has left. This ring's ratio against the plain ring is the cost of what the
// interface fixes; the library's ratio against this ring is the cost of its own code, or its gain
// where it pays the fixed costs more cheaply.
class FixedCostRing {
public:
    explicit FixedCostRing(unsigned int capacity) : slots_(capacity) {
        pthread_mutex_init(&mutex_, nullptr);
        sem_init(&sem_, 0, 1);
    }
    ~FixedCostRing() {
        sem_destroy(&sem_);
        pthread_mutex_destroy(&mutex_);
    }
    FixedCostRing(const FixedCostRing&) = delete;
    FixedCostRing& operator=(const FixedCostRing&) = delete;
    bool made() const { return true; }
    bool tryPost(std::uint64_t message) {
        pthread_mutex_lock(&mutex_);
        const bool stored = slots_.push(message);
        pthread_mutex_unlock(&mutex_);
        sem_post(&sem_);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_relaxed) != 0 && sleeping_.exchange(0) != 0)
            futex(FUTEX_WAKE_PRIVATE, 1);
        return stored;
    }
    std::uint64_t receive() {
        inside_.fetch_add(1);
        const std::uint64_t message = take();
        inside_.fetch_sub(1);
        return message;
    }

private:
    std::uint64_t take() {
        for (;;) {
            if (sem_trywait(&sem_) != 0) {
                sleeping_.store(1);
                std::atomic_thread_fence(std::memory_order_seq_cst);
                if (sem_trywait(&sem_) != 0) {
                    futex(FUTEX_WAIT_PRIVATE, 1);
                    continue;
                }
            }
            pthread_mutex_lock(&mutex_);
            const bool found = !slots_.empty();
            const std::uint64_t message = found ? slots_.pop() : 0;
            pthread_mutex_unlock(&mutex_);
            if (found) return message;
        }
    }

    void futex(int op, int value) {
        syscall(SYS_futex, reinterpret_cast<int*>(&sleeping_), op, value, nullptr, nullptr, 0);
    }

    pthread_mutex_t mutex_;
    sem_t sem_;
    std::atomic<int> sleeping_{0};
    std::atomic<int> inside_{0};
    Slots<std::uint64_t> slots_;
};

// Arguments: the capacity of each queue and the number of pairs. Each pair's poster sends
// kContractMessages sequence numbers, retrying a refused post after a yield; its receiver checks
// that they arrive in order.
template <typename Queue>
void contract(benchmark::State& state) {
    const auto capacity = static_cast<unsigned int>(state.range(0));
    const auto pairs = static_cast<std::size_t>(state.range(1));
    std::vector<std::unique_ptr<Queue>> queues;
    for (std::size_t i = 0; i < pairs; ++i) {
        queues.push_back(std::make_unique<Queue>(capacity));
        if (!queues.back()->made()) {
            state.SkipWithError("the queue could not be made");
            return;
        }
    }
    std::atomic<std::uint64_t> misordered{0};
    std::uint64_t moved = 0;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < pairs; ++i) {
            Queue& queue = *queues[i];
            threads.emplace_back([&queue, &misordered] {
                for (std::uint64_t expected = 0; expected < kContractMessages; ++expected)
                    if (queue.receive() != expected) misordered.fetch_add(1, std::memory_order_relaxed);
            });
            threads.emplace_back([&queue] {
                for (std::uint64_t seq = 0; seq < kContractMessages; ++seq)
                    while (!queue.tryPost(seq)) sched_yield();
            });
        }
        for (std::thread& thread : threads) thread.join();
        moved += pairs * kContractMessages;
    }
    if (misordered.load() != 0) {
        std::string error = std::to_string(misordered.load()) + " messages arrived out of order";
        state.SkipWithError(error.c_str());
        return;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(moved));
}

}  // namespace

int main(int argc, char** argv) {
    using vxm::bench::Goal;
    using vxm::bench::kRepetitions;
    using vxm::bench::Measure;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_msg_throughput", throughput<VxmQueue>),
                    benchmark::RegisterBenchmark("condvar_ring_throughput", throughput<CondvarRing>),
                    benchmark::RegisterBenchmark("GAsyncQueue_throughput", throughput<GlibQueue>),
                    benchmark::RegisterBenchmark("VXM_msg_ping_pong", pingPong<VxmQueue>),
                    benchmark::RegisterBenchmark("condvar_ring_ping_pong", pingPong<CondvarRing>),
                    benchmark::RegisterBenchmark("GAsyncQueue_ping_pong", pingPong<GlibQueue>)})
        b->UseRealTime()->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);
    for (auto* b : {benchmark::RegisterBenchmark("VXM_msg_contract", contract<VxmContractQueue>),
                    benchmark::RegisterBenchmark("fail_fast_ring_contract", contract<FailFastRing>),
                    benchmark::RegisterBenchmark("fixed_cost_ring_contract", contract<FixedCostRing>)})
        b->ArgsProduct({{64, 32768}, {1, 2}})
            ->ArgNames({"capacity", "pairs"})
            ->UseRealTime()
            ->Repetitions(kRepetitions)
            ->DisplayAggregatesOnly(true);

    const std::string vxm = "VXM_msg_post+VXM_msg_peek";
    const std::string ring = "mutex+condition_variable ring";
    const std::string glib = "GAsyncQueue push+pop";
    std::vector<vxm::bench::Ratio> ratios = {
        {"VXM_msg_throughput", vxm + " credit-paced throughput", "condvar_ring_throughput",
         ring + " credit-paced throughput", Goal::None, 0.0, Measure::ItemsPerSecond},
        {"VXM_msg_throughput", vxm + " credit-paced throughput", "GAsyncQueue_throughput",
         glib + " credit-paced throughput", Goal::None, 0.0, Measure::ItemsPerSecond}};
    const std::string failFast = "fail-fast mutex+condition_variable ring";
    const std::string fixedCost = "fail-fast ring with a semaphore per message";
    for (const char* capacity : {"64", "32768"}) {
        for (const char* pairs : {"1", "2"}) {
            const std::string args = std::string("capacity:") + capacity + "/pairs:" + pairs;
            const std::string what = std::string(" throughput, capacity ") + capacity + ", " + pairs +
                                     (pairs[0] == '1' ? " pair" : " pairs on as many queues");
            ratios.push_back({"VXM_msg_contract/" + args, vxm + what, "fail_fast_ring_contract/" + args,
                              failFast + what, Goal::AtLeast, 1.0, Measure::ItemsPerSecond});
            ratios.push_back({"VXM_msg_contract/" + args, vxm + what, "fixed_cost_ring_contract/" + args,
                              fixedCost + what, Goal::AtLeast, 1.0, Measure::ItemsPerSecond});
            ratios.push_back({"fixed_cost_ring_contract/" + args, fixedCost + what,
                              "fail_fast_ring_contract/" + args, failFast + what, Goal::None, 0.0,
                              Measure::ItemsPerSecond});
        }
        const std::string one = std::string("capacity:") + capacity + "/pairs:1";
        const std::string two = std::string("capacity:") + capacity + "/pairs:2";
        const std::string what = std::string(" scaling from 1 to 2 pairs, capacity ") + capacity;
        ratios.push_back({"VXM_msg_contract/" + two, vxm + what, "fail_fast_ring_contract/" + two,
                          failFast + what, Goal::AtLeast, 1.0, Measure::ItemsPerSecond,
                          "VXM_msg_contract/" + one, "fail_fast_ring_contract/" + one});
    }
    ratios.insert(ratios.end(),
                  {{"VXM_msg_ping_pong", vxm + " round trip", "condvar_ring_ping_pong", ring + " round trip",
                    Goal::None, 0.0, Measure::RealTime},
                   {"VXM_msg_ping_pong", vxm + " round trip", "GAsyncQueue_ping_pong", glib + " round trip",
                    Goal::None, 0.0, Measure::RealTime}});
    return vxm::bench::runWithRatios(argc, argv, ratios);
}
