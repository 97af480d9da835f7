// Events and message queues: deadlines, time-outs and lost signals; ring order, the wake-up
// semaphore, the drop flag, bad arguments, and receivers blocked while posts and destruction come.
#include <algorithm>
#include <future>

#include "VXM_event.h"
#include "support/spine.h"
#include "vxmosal/VXM_os_msg.h"

namespace {

bool returned(const std::future<int>& call) {
    return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

TEST(Event, DeadlinesTimeoutsAndSignals) {
    const long rows[][5] = {{100, 250000, 2300, 102, 550000000}, {7, 999000, 1, 8, 0}};
    for (const auto& row : rows) {
        timespec deadline = vxm::eventDeadline(timeval{row[0], row[1]}, static_cast<int>(row[2]));
        EXPECT_EQ(deadline.tv_sec * 1000000000 + deadline.tv_nsec, row[3] * 1000000000 + row[4]) << row[2];
    }
    EXPECT_EQ(VXM_event_destroy(nullptr), VXM_ERR_NULL_HANDLE);
    VXM_EVENT event;
    ASSERT_EQ(VXM_event_create(&event), 0);
    EXPECT_EQ(VXM_event_set(&event), 0);  // nobody waits: lost
    auto start = vxmtest::Steady::now();
    EXPECT_EQ(VXM_event_wait(&event, 150), VXM_ERR_EVENT_TIMEOUT);
    EXPECT_GE(vxmtest::msSince(start), 140);
    auto waiter = std::async(std::launch::async, [&] { return VXM_event_wait(&event, 0); });
    // Signal until the waiter has gone into its wait, without a time limit, and is woken.
    EXPECT_TRUE(vxmtest::waitUntil([&] { return VXM_event_set(&event) == 0 && returned(waiter); }));
    EXPECT_EQ(waiter.get(), 0);
    EXPECT_EQ(VXM_event_destroy(&event), 0);
}

// Capacity 3: four posts refuse the last without the drop flag, six keep the newest three with it.
// The semaphore is posted for every post, stored or not, beside the initial hint, so one more
// receive finds the ring empty. Destroying a queue that still holds a message warns.
TEST(MsgQueue, RingOrderFullRingDropFlagAndBadArguments) {
    for (auto [capacity, size] : {std::pair{0u, 8u}, {1u << 16, 1u << 16}})
        EXPECT_EQ(VXM_msg_create(capacity, size, 0), 0u) << capacity;
    const struct { unsigned flags; std::vector<int> results, received; } rows[] = {
        {0, {0, 0, 0, -1}, {1, 2, 3}}, {VXM_MSG_DROP_OLDEST, {0, 0, 0, 0, 0, 0}, {4, 5, 6}}};
    const std::size_t mutexes = vxmtest::registryDump(false).size();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flags);
        VXM_MSG_QUEUE queue = VXM_msg_create(3, sizeof(int), row.flags);
        EXPECT_EQ(vxmtest::registryDump(false).size(), mutexes + 1) << "its mutex is recorded";
        int m = 0, out[2] = {0, -7}, empty = -2;
        for (int result : row.results) EXPECT_EQ(VXM_msg_post(queue, &++m), result) << m;
        EXPECT_EQ(VXM_msg_empty(queue, &empty) + empty, 0);
        std::vector<int> received;  // until a receive finds the ring empty
        for (int i = 0; i < 10 && VXM_msg_peek(queue, out) == 0; ++i) received.push_back(out[0]);
        EXPECT_EQ(received, row.received);
        EXPECT_EQ(out[1], -7) << "more than the message size was copied out";
        EXPECT_EQ(VXM_msg_empty(queue, &empty) + empty, 1);
        // A null handle or message pointer is refused (one row each shows the shared test).
        EXPECT_EQ(VXM_msg_post(0, &m) + VXM_msg_peek(queue, nullptr) + VXM_event_wait(nullptr, 10), -3);
        VXM_msg_post(queue, &m);
        vxmtest::LogCapture capture;
        EXPECT_EQ(VXM_msg_destroy(queue), 0);
        EXPECT_EQ(vxmtest::logLines(capture), "3 MSG VXM_msg_destroy: Messge list is not emply but is destroy  \n");
    }
}

TEST(MsgQueue, MessagesAboveTheCheckedCopysMaximumGoWhole) {
    const unsigned int size = (256u << 20) + 1;
    VXM_MSG_QUEUE queue = VXM_msg_create(1, size, 0);
    if (queue == 0) GTEST_SKIP() << "no room for a ring of two " << size << "-byte messages";
    std::string in(size, 'a'), out(size, '\0');
    in.back() = 'z';
    EXPECT_EQ(VXM_msg_post(queue, in.data()) + VXM_msg_peek(queue, out.data()), 0);
    EXPECT_TRUE(out == in);
    VXM_msg_destroy(queue);
}

// Three receivers blocked on one queue: each of two posts releases one of them, and destruction
// releases the last and waits for it.
TEST(MsgQueue, EachPostReleasesOneBlockedReceiverAndDestroyTheRest) {
    for (int round = 0; round < 10; ++round) {
        VXM_MSG_QUEUE queue = VXM_msg_create(4, sizeof(int), 0);
        int out[3] = {0, 0, 0};
        ASSERT_EQ(VXM_msg_peek(queue, &out[0]), -1) << "the first receive takes the initial hint";
        std::atomic<int> inside{0};
        std::vector<std::future<int>> receivers;
        for (int& to : out)
            receivers.push_back(std::async(std::launch::async, [&] { return inside++, VXM_msg_peek(queue, &to); }));
        ASSERT_TRUE(vxmtest::waitUntil([&] { return inside == 3; }));
        vxmtest::sleepMs(round % 4);
        for (int m : {1, 2}) EXPECT_EQ(VXM_msg_post(queue, &m), 0);
        EXPECT_TRUE(vxmtest::waitUntil([&] { return std::count_if(receivers.begin(), receivers.end(), returned) == 2; }))
            << "a post left a blocked receiver asleep";
        EXPECT_EQ(VXM_msg_destroy(queue), 0);
        EXPECT_EQ(receivers[0].get() + receivers[1].get() + receivers[2].get(), -1) << "one left for the destruction";
        EXPECT_EQ(out[0] + out[1] + out[2], 3);
        EXPECT_EQ(VXM_msg_peek(queue, &out[0]) + VXM_msg_destroy(queue), -2) << "a receive and a destroy again";
    }
}

}  // namespace
