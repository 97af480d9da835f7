// Message queues: ring order, the wake-up semaphore, the drop flag, bad arguments and destruction
// while a receiver is blocked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/registry_dump.h"
#include "vxmosal/VXM_os_msg.h"

namespace {

struct Message {
    int value;
    char text[12];
};

Message make(int value) {
    Message m{};
    m.value = value;
    std::snprintf(m.text, sizeof m.text, "m%d", value);
    return m;
}

// Takes the next message, skipping the -1 answers of a hint with nothing behind it.
int receive(VXM_MSG_QUEUE queue, Message* out) {
    for (int i = 0; i < 10; ++i)
        if (VXM_msg_peek(queue, out) == 0) return 0;
    return -1;
}

TEST(MsgQueue, RefusesEmptyShapesAndNulls) {
    EXPECT_EQ(VXM_msg_create(0, 8, 0), 0u);
    EXPECT_EQ(VXM_msg_create(10, 0, 0), 0u);
    Message m = make(1);
    int empty = 0;
    EXPECT_EQ(VXM_msg_post(0, &m), -1);
    EXPECT_EQ(VXM_msg_peek(0, &m), -1);
    EXPECT_EQ(VXM_msg_empty(0, &empty), -1);
    EXPECT_EQ(VXM_msg_destroy(0), -1);
    VXM_MSG_QUEUE queue = VXM_msg_create(2, sizeof(Message), 0);
    ASSERT_NE(queue, 0u);
    EXPECT_EQ(VXM_msg_post(queue, nullptr), -1);
    EXPECT_EQ(VXM_msg_peek(queue, nullptr), -1);
    EXPECT_EQ(VXM_msg_empty(queue, nullptr), -1);
    EXPECT_EQ(VXM_msg_destroy(queue), 0);
}

TEST(MsgQueue, MessagesAboveTheCheckedCopysMaximumAreCopiedWhole) {
    const unsigned int size = (256u << 20) + 1;  // one byte more than the bounds-checked copy takes
    VXM_MSG_QUEUE queue = VXM_msg_create(1, size, 0);
    if (queue == 0) GTEST_SKIP() << "no room for a 512 MiB ring on this machine";
    std::unique_ptr<unsigned char[]> in(new unsigned char[size]), out(new unsigned char[size]);
    in[0] = 'a';
    in[size - 1] = 'z';
    out[0] = out[size - 1] = 0;
    ASSERT_EQ(VXM_msg_post(queue, in.get()), 0);
    ASSERT_EQ(VXM_msg_peek(queue, out.get()), 0);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[size - 1], 'z');
    VXM_msg_destroy(queue);
}

TEST(MsgQueue, FirstPeekOnANewQueueReturnsAtOnce) {
    VXM_MSG_QUEUE queue = VXM_msg_create(3, sizeof(Message), 0);
    ASSERT_NE(queue, 0u);
    int empty = 0;
    ASSERT_EQ(VXM_msg_empty(queue, &empty), 0);
    EXPECT_EQ(empty, 1);
    Message out{};
    EXPECT_EQ(VXM_msg_peek(queue, &out), -1);  // the semaphore's initial hint

    std::atomic<int> result{1};
    std::thread receiver([&] { result = VXM_msg_peek(queue, &out); });
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(result, 1) << "the second peek did not block";
    Message in = make(7);
    ASSERT_EQ(VXM_msg_post(queue, &in), 0);
    receiver.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.value, 7);
    EXPECT_STREQ(out.text, "m7");
    VXM_msg_destroy(queue);
}

TEST(MsgQueue, FullRingRefusesWithoutTheDropFlag) {
    VXM_MSG_QUEUE queue = VXM_msg_create(3, sizeof(Message), 0);
    for (int i = 1; i <= 3; ++i) {
        Message m = make(i);
        EXPECT_EQ(VXM_msg_post(queue, &m), 0) << i;
    }
    Message fourth = make(4);
    EXPECT_EQ(VXM_msg_post(queue, &fourth), -1);
    int empty = 1;
    VXM_msg_empty(queue, &empty);
    EXPECT_EQ(empty, 0);
    for (int i = 1; i <= 3; ++i) {
        Message out{};
        ASSERT_EQ(receive(queue, &out), 0);
        EXPECT_EQ(out.value, i);
    }
    // The semaphore was posted for the refused message too: the ring is empty, the hint is not.
    Message out{};
    EXPECT_EQ(VXM_msg_peek(queue, &out), -1);
    VXM_msg_empty(queue, &empty);
    EXPECT_EQ(empty, 1);
    VXM_msg_destroy(queue);
}

TEST(MsgQueue, DropFlagKeepsTheNewest) {
    VXM_MSG_QUEUE queue = VXM_msg_create(3, sizeof(Message), VXM_MSG_DROP_OLDEST);
    for (int i = 1; i <= 6; ++i) {
        Message m = make(i);
        EXPECT_EQ(VXM_msg_post(queue, &m), 0) << i;
    }
    for (int i = 4; i <= 6; ++i) {
        Message out{};
        ASSERT_EQ(receive(queue, &out), 0);
        EXPECT_EQ(out.value, i);
    }
    int empty = 0;
    VXM_msg_empty(queue, &empty);
    EXPECT_EQ(empty, 1);
    VXM_msg_destroy(queue);
}

TEST(MsgQueue, MessagesAreCopiedByValue) {
    VXM_MSG_QUEUE queue = VXM_msg_create(1, 4, 0);
    char in[5] = "abcd";
    ASSERT_EQ(VXM_msg_post(queue, in), 0);
    std::memcpy(in, "wxyz", 4);
    char out[8] = "-------";
    ASSERT_EQ(receive(queue, reinterpret_cast<Message*>(out)), 0);
    EXPECT_EQ(std::memcmp(out, "abcd---", 8), 0) << "exactly the message size is copied out";
    VXM_msg_destroy(queue);
}

TEST(MsgQueue, MutexIsListedUntilDestroy) {
    vxmtest::TempDir dir;
    std::size_t before = vxmtest::mutexDump(dir).size();
    VXM_MSG_QUEUE queue = VXM_msg_create(2, 8, 0);
    EXPECT_EQ(vxmtest::mutexDump(dir).size(), before + 1);
    VXM_msg_destroy(queue);
    EXPECT_EQ(vxmtest::mutexDump(dir).size(), before);
}

TEST(MsgQueue, DestroyingANonEmptyQueueWarns) {
    vxmtest::LogCapture capture;
    VXM_MSG_QUEUE queue = VXM_msg_create(2, 8, 0);
    VXM_msg_destroy(queue);
    EXPECT_TRUE(capture.withFormat("Messge list is not emply but is destroy  ").empty());
    queue = VXM_msg_create(2, 8, 0);
    char m[8] = "x";
    VXM_msg_post(queue, m);
    EXPECT_EQ(VXM_msg_destroy(queue), 0);
    auto records = capture.withFormat("Messge list is not emply but is destroy  ");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_WARN);
    EXPECT_EQ(records[0].module, "MSG");
    EXPECT_EQ(records[0].function, "VXM_msg_destroy");
}

TEST(MsgQueue, DestroyWakesBlockedReceiversAndWaitsForThem) {
    for (int round = 0; round < 20; ++round) {
        VXM_MSG_QUEUE queue = VXM_msg_create(4, sizeof(Message), 0);
        ASSERT_NE(queue, 0u);
        Message first{};
        ASSERT_EQ(VXM_msg_peek(queue, &first), -1);  // use up the initial hint
        constexpr int kReceivers = 3;
        std::atomic<int> inside{0};
        std::vector<int> results(kReceivers, 1);
        std::vector<std::thread> receivers;
        for (int i = 0; i < kReceivers; ++i)
            receivers.emplace_back([&, i] {
                Message out{};
                inside++;
                results[i] = VXM_msg_peek(queue, &out);
            });
        while (inside < kReceivers) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        EXPECT_EQ(VXM_msg_destroy(queue), 0);
        for (auto& receiver : receivers) receiver.join();
        for (int result : results) EXPECT_EQ(result, -1);
        // A receive on the destroyed handle does not touch it.
        Message out{};
        EXPECT_EQ(VXM_msg_peek(queue, &out), -1);
    }
}

TEST(MsgQueue, ManyPostersOneReceiverLoseNothing) {
    constexpr int kPosters = 4;
    constexpr int kEach = 2000;
    VXM_MSG_QUEUE queue = VXM_msg_create(16, sizeof(Message), 0);
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                Message m = make(p * kEach + i);
                while (VXM_msg_post(queue, &m) != 0) std::this_thread::yield();
            }
        });
    std::vector<int> next(kPosters, 0);
    int received = 0;
    while (received < kPosters * kEach) {
        Message out{};
        if (VXM_msg_peek(queue, &out) != 0) continue;
        int poster = out.value / kEach;
        ASSERT_EQ(out.value % kEach, next[poster]) << "messages of one poster arrive in order";
        next[poster]++;
        received++;
    }
    for (auto& poster : posters) poster.join();
    VXM_msg_destroy(queue);
}

}  // namespace
