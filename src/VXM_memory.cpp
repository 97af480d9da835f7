// Memory wrappers: zero-filled allocation, grow-only reallocation and the system's own calls.
#include "vxmosal/VXM_memory.h"

#include <cstdlib>
#include <cstring>

#include "internal/safe_string.h"

extern "C" {

void* VXM_malloc(unsigned int size) {
    if (size == 0) return nullptr;
    void* block = std::malloc(size);
    if (block == nullptr) return nullptr;
    // The bounds-checked fill refuses blocks above its own maximum; those are zeroed directly.
    if (memset_s(block, size, 0, size) != 0) std::memset(block, 0, size);
    return block;
}

void* VXM_reallocMem(void* ptr, unsigned int newSize, unsigned int oldSize) {
    void* grown = nullptr;
    if (newSize > oldSize) {
        grown = std::malloc(newSize);
        if (grown != nullptr && ptr != nullptr && oldSize > 0 &&
            memcpy_s(grown, newSize, ptr, oldSize) != 0)
            std::memcpy(grown, ptr, oldSize);
    }
    std::free(ptr);
    return grown;
}

void VXM_free(void* ptr) { std::free(ptr); }

char* VXM_strdup(const char* str) { return str == nullptr ? nullptr : strdup(str); }

int VXM_posix_memalign(void** memptr, size_t alignment, size_t size) {
    return posix_memalign(memptr, alignment, size);
}

void* VXM_valloc(size_t size) { return valloc(size); }

int VXM_bzero(void* ptr, unsigned int len) {
    if (ptr == nullptr) return 0;
    // The bounds-checked fill refuses lengths above its own maximum; those are zeroed directly.
    if (len > RSIZE_MAX_MEM) {
        std::memset(ptr, 0, len);
        return 0;
    }
    return memset_s(ptr, len, 0, len);
}

}  // extern "C"
