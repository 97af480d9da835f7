// The allocation seam of alloc_seam.h. The C family is reached through the linker's --wrap (each
// __wrap_NAME stands in for NAME in the program's own objects, __real_NAME is the C library's or
// the sanitizer's); operator new is replaced for the whole process and forwards to the next
// definition (the C++ library's, or the sanitizer's, which keeps new and delete paired).
#include "support/alloc_seam.h"

#include <dlfcn.h>
#include <errno.h>
#include <cstdio>
#include <cstdlib>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

namespace {

std::atomic<unsigned long> g_failAt{0};  // 0: not armed
std::atomic<unsigned long> g_count{0};

// Counts one allocation while armed; true for the one that is to fail.
bool failsNow() {
    const unsigned long failAt = g_failAt.load(std::memory_order_acquire);
    return failAt != 0 && g_count.fetch_add(1, std::memory_order_relaxed) + 1 == failAt;
}

// size_t is mangled "m" where it is unsigned long (x86_64), "j" where it is unsigned int (32-bit ARM).
constexpr const char* sized(const char* unsignedLong, const char* unsignedInt) {
    return std::is_same_v<std::size_t, unsigned long> ? unsignedLong : unsignedInt;
}

template <typename Fn>
Fn nextDefinition(const char* name) {
    auto fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (fn == nullptr) {
        std::fprintf(stderr, "alloc_seam: no %s after the seam\n", name);
        std::abort();
    }
    return fn;
}

}  // namespace

namespace vxmtest::seam {

void arm(unsigned long k) {
    g_count.store(0, std::memory_order_relaxed);
    g_failAt.store(k, std::memory_order_release);
}

unsigned long disarm() {
    g_failAt.store(0, std::memory_order_release);
    return g_count.load(std::memory_order_relaxed);
}

}  // namespace vxmtest::seam

extern "C" {

void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
int __real_posix_memalign(void** block, std::size_t alignment, std::size_t size);
void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
void* __real_valloc(std::size_t size);
char* __real_strdup(const char* text);
char* __real_strndup(const char* text, std::size_t size);

void* __wrap_malloc(std::size_t size) {
    if (!failsNow()) return __real_malloc(size);
    errno = ENOMEM;
    return nullptr;
}

void* __wrap_calloc(std::size_t count, std::size_t size) {
    if (!failsNow()) return __real_calloc(count, size);
    errno = ENOMEM;
    return nullptr;
}

// A failed reallocation leaves the block as it was.
void* __wrap_realloc(void* block, std::size_t size) {
    if (!failsNow()) return __real_realloc(block, size);
    errno = ENOMEM;
    return nullptr;
}

int __wrap_posix_memalign(void** block, std::size_t alignment, std::size_t size) {
    return failsNow() ? ENOMEM : __real_posix_memalign(block, alignment, size);
}

void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
    if (!failsNow()) return __real_aligned_alloc(alignment, size);
    errno = ENOMEM;
    return nullptr;
}

void* __wrap_valloc(std::size_t size) {
    if (!failsNow()) return __real_valloc(size);
    errno = ENOMEM;
    return nullptr;
}

char* __wrap_strdup(const char* text) {
    if (!failsNow()) return __real_strdup(text);
    errno = ENOMEM;
    return nullptr;
}

char* __wrap_strndup(const char* text, std::size_t size) {
    if (!failsNow()) return __real_strndup(text, size);
    errno = ENOMEM;
    return nullptr;
}

}  // extern "C"

// Every form of operator new: the throwing ones throw std::bad_alloc when their turn comes, the
// nothrow ones return null, as the real ones do when memory runs out.
void* operator new(std::size_t size) {
    static const auto next = nextDefinition<void* (*)(std::size_t)>(sized("_Znwm", "_Znwj"));
    if (failsNow()) throw std::bad_alloc();
    return next(size);
}

void* operator new[](std::size_t size) {
    static const auto next = nextDefinition<void* (*)(std::size_t)>(sized("_Znam", "_Znaj"));
    if (failsNow()) throw std::bad_alloc();
    return next(size);
}

void* operator new(std::size_t size, std::align_val_t alignment) {
    static const auto next = nextDefinition<void* (*)(std::size_t, std::align_val_t)>(
        sized("_ZnwmSt11align_val_t", "_ZnwjSt11align_val_t"));
    if (failsNow()) throw std::bad_alloc();
    return next(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment) {
    static const auto next = nextDefinition<void* (*)(std::size_t, std::align_val_t)>(
        sized("_ZnamSt11align_val_t", "_ZnajSt11align_val_t"));
    if (failsNow()) throw std::bad_alloc();
    return next(size, alignment);
}

void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<void* (*)(std::size_t, const std::nothrow_t&)>(
        sized("_ZnwmRKSt9nothrow_t", "_ZnwjRKSt9nothrow_t"));
    return failsNow() ? nullptr : next(size, tag);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<void* (*)(std::size_t, const std::nothrow_t&)>(
        sized("_ZnamRKSt9nothrow_t", "_ZnajRKSt9nothrow_t"));
    return failsNow() ? nullptr : next(size, tag);
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&)>(
        sized("_ZnwmSt11align_val_tRKSt9nothrow_t", "_ZnwjSt11align_val_tRKSt9nothrow_t"));
    return failsNow() ? nullptr : next(size, alignment, tag);
}

void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    static const auto next = nextDefinition<void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&)>(
        sized("_ZnamSt11align_val_tRKSt9nothrow_t", "_ZnajSt11align_val_tRKSt9nothrow_t"));
    return failsNow() ? nullptr : next(size, alignment, tag);
}
