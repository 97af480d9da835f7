// Message queues between two threads against a std::mutex + std::condition_variable ring of the same
// capacity and message size, and against GLib's GAsyncQueue: throughput of one poster and one
// receiver over a fixed count of messages, and the round trip of one message over two queues.
//
// VXM_msg_post never blocks on a full ring (it refuses the message), so in the throughput run every
// poster first takes one of kCapacity credits, which the receiver gives back once it has copied a
// message out: the three queues never hold more than kCapacity messages and block their poster the
// same way. Each received message's sequence number is checked, so a lost, doubled or reordered
// message ends the benchmark with an error.
#include <glib.h>
#include <sched.h>
#include <semaphore.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
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

// The baseline: a ring of kCapacity messages under one mutex, with one condition per direction.
class CondvarRing {
public:
    CondvarRing() : slots_(kCapacity) {}
    const char* failure() const { return nullptr; }

    void post(const Message& message) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [this] { return count_ < slots_.size(); });
        slots_[(head_ + count_) % slots_.size()] = message;
        ++count_;
        lock.unlock();
        notEmpty_.notify_one();
    }
    void receive(Message& message) {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [this] { return count_ > 0; });
        message = slots_[head_];
        head_ = (head_ + 1) % slots_.size();
        --count_;
        lock.unlock();
        notFull_.notify_one();
    }
    std::uint64_t refused() const { return 0; }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::vector<Message> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
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

    const std::string vxm = "VXM_msg_post+VXM_msg_peek";
    const std::string ring = "mutex+condition_variable ring";
    const std::string glib = "GAsyncQueue push+pop";
    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_msg_throughput", vxm + " throughput", "condvar_ring_throughput", ring + " throughput",
          Goal::AtLeast, 1.0, Measure::ItemsPerSecond},
         {"VXM_msg_throughput", vxm + " throughput", "GAsyncQueue_throughput", glib + " throughput",
          Goal::AtLeast, 1.0, Measure::ItemsPerSecond},
         {"VXM_msg_ping_pong", vxm + " round trip", "condvar_ring_ping_pong", ring + " round trip",
          Goal::None, 0.0, Measure::RealTime},
         {"VXM_msg_ping_pong", vxm + " round trip", "GAsyncQueue_ping_pong", glib + " round trip",
          Goal::None, 0.0, Measure::RealTime}});
}
