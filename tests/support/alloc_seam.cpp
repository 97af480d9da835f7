// The allocation seam of alloc_seam.h. malloc is reached through the linker's --wrap
// (__wrap_malloc stands in for it in the program's own objects, __real_malloc is the C library's or
// the sanitizer's); operator new is replaced for the whole process and forwards
// to the next definition (the C++ library's, or the sanitizer's, which keeps new and delete paired).
#include "support/alloc_seam.h"

#include <dlfcn.h>
#include <errno.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
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
template <typename Fn>
Fn next(const char* unsignedLong, const char* unsignedInt) {
    void* fn = dlsym(RTLD_NEXT, std::is_same_v<std::size_t, unsigned long> ? unsignedLong : unsignedInt);
    if (fn == nullptr) std::abort();
    return reinterpret_cast<Fn>(fn);
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

// The library allocates through malloc: it fails with ENOMEM when its turn comes.
extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    if (!failsNow()) return __real_malloc(size);
    errno = ENOMEM;
    return nullptr;
}

// The throwing forms throw std::bad_alloc when their turn comes, the nothrow ones return null, as
// the real ones do when memory runs out.
void* operator new(std::size_t size) {
    static const auto real = next<void* (*)(std::size_t)>("_Znwm", "_Znwj");
    if (failsNow()) throw std::bad_alloc();
    return real(size);
}
void* operator new[](std::size_t size) {
    static const auto real = next<void* (*)(std::size_t)>("_Znam", "_Znaj");
    if (failsNow()) throw std::bad_alloc();
    return real(size);
}
void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    using Fn = void* (*)(std::size_t, const std::nothrow_t&);
    static const auto real = next<Fn>("_ZnwmRKSt9nothrow_t", "_ZnwjRKSt9nothrow_t");
    return failsNow() ? nullptr : real(size, tag);
}
