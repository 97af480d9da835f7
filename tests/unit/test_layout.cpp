// Record layouts and word sizes as the target sees them: the C interface's fixed-width fields, the
// pointer-sized handles and the kernel thread id every log record carries.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <thread>

#include "vxmosal/VXM_log.h"
#include "vxmosal/VXM_network.h"
#include "vxmosal/VXM_time.h"
#include "vxmosal/VXM_types.h"

namespace {

TEST(Layout, TimeInfoIsSixPackedInt32Fields) {
    EXPECT_EQ(sizeof(VXM_TIME_INFO), 24u);
    EXPECT_EQ(offsetof(VXM_TIME_INFO, second), 0u);
    EXPECT_EQ(offsetof(VXM_TIME_INFO, minute), 4u);
    EXPECT_EQ(offsetof(VXM_TIME_INFO, hour), 8u);
    EXPECT_EQ(offsetof(VXM_TIME_INFO, day), 12u);
    EXPECT_EQ(offsetof(VXM_TIME_INFO, month), 16u);
    EXPECT_EQ(offsetof(VXM_TIME_INFO, year), 20u);
    EXPECT_EQ(sizeof(VXM_TIME_INFO::year), 4u);
}

// The statistics record: texts, the 32-bit link flag, 64-bit counters on 8-byte boundaries (as on
// the target's ABI), then the radio figures.
TEST(Layout, StatisticsRecordFieldsInOrder) {
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, reserved), 16u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, ipAddr), 32u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, netMask), 160u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, gateway), 288u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, linkUp), 416u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, collisions), 424u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, rx_fifo_errors), 480u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, rx_over_errors), 512u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, tx_window_errors), 600u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, txTotal), 608u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, rxTotal), 616u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, txBad), 624u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, quality), 636u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, frequency), 640u);
    EXPECT_EQ(offsetof(VXM_NETWORK_STATIC_INFO, rxErrorRatio), 648u);
    EXPECT_EQ(sizeof(VXM_NETWORK_STATIC_INFO), 656u);
}

TEST(Layout, WidthsOfFieldsAndHandles) {
    EXPECT_EQ(sizeof(VXM_UINT32), 4u);
    EXPECT_EQ(sizeof(VXM_INT32), 4u);
    // Handles are unsigned longs that carry pointers.
    EXPECT_EQ(sizeof(unsigned long), sizeof(void*));
#if defined(__arm__)
    EXPECT_EQ(sizeof(unsigned long), 4u);
    EXPECT_EQ(sizeof(void*), 4u);
#endif
}

TEST(Layout, ThreadIdIsTheKernelOne) {
#if defined(__arm__)
    EXPECT_EQ(SYS_gettid, 224);
#endif
    const long mainTid = syscall(SYS_gettid);
    EXPECT_EQ(VXM_thread_gettid(), mainTid);
    EXPECT_EQ(mainTid, static_cast<long>(getpid()));  // gtest runs the tests on the main thread

    long otherTid = 0;
    int otherVxm = 0;
    std::thread other([&] {
        otherTid = syscall(SYS_gettid);
        otherVxm = VXM_thread_gettid();
    });
    other.join();
    EXPECT_EQ(otherVxm, otherTid);
    EXPECT_GT(otherTid, 0);
    EXPECT_NE(otherTid, mainTid);
    EXPECT_EQ(VXM_thread_gettid(), mainTid);
}

}  // namespace
