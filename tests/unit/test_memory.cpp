// Memory wrappers and the fixed-result entry points.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "vxmosal/VXM_memory.h"

namespace {

constexpr unsigned int kCheckedMax = 256u << 20;  // the bounds-checked fill and copy's own maximum

TEST(Malloc, ZeroSizeAllocatesNothing) { EXPECT_EQ(VXM_malloc(0), nullptr); }

TEST(Malloc, BlockIsZeroFilled) {
    for (unsigned int size : {1u, 7u, 4096u, 1u << 20}) {
        auto* block = static_cast<unsigned char*>(VXM_malloc(size));
        ASSERT_NE(block, nullptr) << size;
        unsigned char expected[4096] = {};
        EXPECT_EQ(std::memcmp(block, expected, size < 4096 ? size : 4096), 0) << size;
        EXPECT_EQ(block[size - 1], 0) << size;
        VXM_free(block);
    }
}

TEST(Malloc, BlockAboveTheCheckedFillLimitIsStillZeroed) {
    // 300 MiB: larger than the bounds-checked fill accepts in one call.
    const unsigned int size = 300u << 20;
    auto* block = static_cast<unsigned char*>(VXM_malloc(size));
    if (block == nullptr) GTEST_SKIP() << "no 300 MiB block on this machine";
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[size / 2], 0);
    EXPECT_EQ(block[size - 1], 0);
    VXM_free(block);
}

TEST(ReallocMem, GrowsAndKeepsTheOldBytes) {
    // Also to a size above the bounds-checked copy's own maximum.
    for (unsigned int newSize : {16u, kCheckedMax + 1}) {
        auto* block = static_cast<char*>(VXM_malloc(4));
        std::memcpy(block, "abcd", 4);
        auto* grown = static_cast<char*>(VXM_reallocMem(block, newSize, 4));
        ASSERT_NE(grown, nullptr) << newSize;
        EXPECT_EQ(std::memcmp(grown, "abcd", 4), 0) << newSize;
        VXM_free(grown);
    }
}

TEST(ReallocMem, NotLargerReleasesAndYieldsNull) {
    // Both calls must release the block (LeakSanitizer reports it otherwise).
    EXPECT_EQ(VXM_reallocMem(VXM_malloc(8), 8, 8), nullptr);
    EXPECT_EQ(VXM_reallocMem(VXM_malloc(8), 4, 8), nullptr);
}

TEST(ReallocMem, NullBlockGivesAFreshBlock) {
    void* block = VXM_reallocMem(nullptr, 16, 4);
    ASSERT_NE(block, nullptr);
    VXM_free(block);
}

TEST(Strdup, CopiesAndRefusesNull) {
    EXPECT_EQ(VXM_strdup(nullptr), nullptr);
    const char original[] = "refresh_timer";
    char* copy = VXM_strdup(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_STREQ(copy, original);
    VXM_free(copy);
}

TEST(Alignment, PassesThrough) {
    void* block = nullptr;
    ASSERT_EQ(VXM_posix_memalign(&block, 64, 100), 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 64, 0u);
    VXM_free(block);

    void* page = VXM_valloc(10);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % sysconf(_SC_PAGESIZE), 0u);
    VXM_free(page);
}

TEST(Bzero, ZeroesExactlyTheLength) {
    EXPECT_EQ(VXM_bzero(nullptr, 10), 0);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(VXM_bzero(buffer, 5), 0);
    EXPECT_EQ(std::memcmp(buffer, "\0\0\0\0\0xxx", 8), 0);
    // Above the bounds-checked fill's own maximum as well.
    const unsigned int large = kCheckedMax + 1;
    std::unique_ptr<unsigned char[]> block(new unsigned char[large + 1]);
    block[0] = block[large - 1] = block[large] = 'x';
    EXPECT_EQ(VXM_bzero(block.get(), large), 0);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[large - 1], 0);
    EXPECT_EQ(block[large], 'x');
}

TEST(Stubs, ReturnTheirConstants) {
    int value = 5;
    EXPECT_EQ(VXM_realloc(&value, 64), nullptr);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(VXM_get_diskUsage(), 0);
    EXPECT_EQ(VXM_network_setAccessType(), 0);
    EXPECT_EQ(VXM_bind_core(), 0);
    EXPECT_EQ(quro_wifi_restart(), 0);
    EXPECT_EQ(quro_wifi_open(), 0);
    EXPECT_EQ(VXM_wifi_getConnStatus(), -1);
    EXPECT_EQ(quro_wifi_getConnStatus(), -1);
    EXPECT_EQ(quro_wifi_connectToSSID(), -1);
    EXPECT_EQ(quro_wifi_searchList(), -1);
    EXPECT_EQ(quro_wifi_sync_ifrname(), -1);
}

}  // namespace
