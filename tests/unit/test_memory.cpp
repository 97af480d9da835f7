// Memory wrappers and the fixed-result entry points.
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "support/spine.h"
#include "vxmosal/VXM_memory.h"

namespace {

TEST(Memory, BlocksAreZeroFilledAndGrowKeepingTheirBytesAndStubsReturnTheirConstants) {
    EXPECT_EQ(VXM_malloc(0), nullptr);
    // Also one byte more than the bounds-checked fill and copy take in one call.
    for (unsigned int size : {7u, (256u << 20) + 1}) {
        SCOPED_TRACE(size);
        auto* block = static_cast<unsigned char*>(VXM_malloc(size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[0] | block[size / 2] | block[size - 1], 0);
        std::memcpy(block, "abcd", 4);
        auto* grown = static_cast<char*>(VXM_reallocMem(block, size + 1, 4));
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(std::memcmp(grown, "abcd", 4), 0);
        grown[size] = 'x';
        EXPECT_EQ(VXM_bzero(grown, size), 0);
        EXPECT_EQ(grown[0] | grown[size - 1] | (grown[size] ^ 'x'), 0) << "zeroed too little, or past the length";
        VXM_free(grown);
    }
    // Not larger: the block is released (LeakSanitizer would see it otherwise) and null returned.
    EXPECT_EQ(VXM_reallocMem(VXM_malloc(8), 8, 8), nullptr);
    void* fresh = VXM_reallocMem(nullptr, 16, 4);
    EXPECT_NE(fresh, nullptr);
    VXM_free(fresh);
    EXPECT_EQ(VXM_bzero(nullptr, 10), 0);
    // The system's calls pass through; the stubs return their constants.
    EXPECT_EQ(VXM_strdup(nullptr), nullptr);
    char* copy = VXM_strdup("refresh_timer");
    EXPECT_STREQ(copy, "refresh_timer");
    VXM_free(copy);
    void* blocks[2] = {nullptr, VXM_valloc(10)};
    ASSERT_EQ(VXM_posix_memalign(&blocks[0], 64, 100), 0);
    for (auto [block, alignment] : {std::pair{blocks[0], 64L}, {blocks[1], sysconf(_SC_PAGESIZE)}}) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u) << alignment;
        VXM_free(block);
    }
    EXPECT_EQ(VXM_realloc(blocks, 64), nullptr);
    int (*const stubs[])() = {VXM_get_diskUsage, VXM_network_setAccessType, VXM_bind_core, quro_wifi_restart,
                              quro_wifi_open, VXM_wifi_getConnStatus, quro_wifi_getConnStatus,
                              quro_wifi_connectToSSID, quro_wifi_searchList, quro_wifi_sync_ifrname};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(stubs[i](), i < 5 ? 0 : -1) << "stub " << i;
}

}  // namespace
