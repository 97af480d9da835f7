// Strings, URLs, the environment, random numbers, the gap between calls and the callers' table of
// callbacks.
#include <stdlib.h>
#include <string.h>

#include <openssl/rand.h>

#include <atomic>
#include <cstdio>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_time.h"
#include "vxmosal/VXM_utility.h"

namespace {

constexpr char kModuleTag[] = "os_utility";

constexpr int kIpv4DotLastPosition = 16;
constexpr int kUrlHostMin = 47;             // room for any IPv6 text with a zone
constexpr std::size_t kEnvLengthLimit = 4294967294u;  // length + 1 must fit 32 bits
constexpr std::size_t kMallocSizeMax = 4294967295u;   // VXM_malloc's size is 32 bits

std::atomic<VXM_UINT32> g_lastResponseTicks{0};

}  // namespace

extern "C" {

alignas(void*) unsigned char RootFunCallback[VXM_ROOT_FUN_CALLBACK_SIZE] = {};

int VXM_utl_split(char* text, const char* delim, char** tokens, int capacity) {
    if (text == nullptr || text[0] == '\0' || delim == nullptr || delim[0] == '\0' ||
        tokens == nullptr || capacity <= 0)
        return -1;
    char* rest = nullptr;
    int count = 0;
    for (char* token = strtok_r(text, delim, &rest); token != nullptr;
         token = strtok_r(nullptr, delim, &rest)) {
        tokens[count++] = token;
        if (count == capacity) break;
    }
    return count;
}

char* VXM_dup_string(const char* text) {
    if (text == nullptr) return nullptr;
    const std::size_t length = strlen(text);
    if (length >= kMallocSizeMax) return nullptr;  // length + 1 bytes cannot be allocated
    auto* copy = static_cast<char*>(VXM_malloc(static_cast<unsigned int>(length + 1)));
    if (copy == nullptr) return nullptr;
    vxm::internal::copyText(copy, length + 1, text, length);
    return copy;
}

int VXM_is_IPv4(const char* text) {
    if (text == nullptr || text[0] == '\0') return 0;
    if (text[0] == '.') return 1;
    if (text[0] == ':') return 0;
    for (int i = 1;; ++i) {
        if (text[i] == '\0' || i > kIpv4DotLastPosition) return 0;
        if (text[i] == '.') return 1;
        if (text[i] == ':') return 0;
    }
}

int VXM_network_URLResolveHostAndPort(const char* url, char* host, int hostSize, int* port) {
    if (url == nullptr || host == nullptr || port == nullptr || hostSize < kUrlHostMin) return -1;
    const char* scheme = strstr(url, "://");
    if (scheme == nullptr) return -1;
    const char* start = scheme + 3;
    if (*start != '[') {
        // "%15[^:]" stores at most 16 bytes, well inside the host buffer.
        return std::sscanf(start, "%15[^:]:%d", host, port) == 2 ? 0 : -1;
    }
    const char* close = strchr(start + 1, ']');
    if (close == nullptr) return -1;
    const std::size_t length = static_cast<std::size_t>(close - (start + 1));
    if (length >= static_cast<std::size_t>(hostSize)) return -1;
    vxm::internal::copyText(host, static_cast<std::size_t>(hostSize), start + 1, length);
    if (std::sscanf(close, "]:%d", port) != 1) return -1;
    for (char* zone = host; *zone != '\0'; ++zone)
        if (*zone == '%') *zone = '\0';
    return 0;
}

char* VXM_GetEnvStr(const char* name) {
    const char* value = name != nullptr ? getenv(name) : nullptr;
    if (value == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "getenv NULL");
        return nullptr;
    }
    const std::size_t length = strlen(value);
    if (length >= kEnvLengthLimit) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "len is too large for VXM_MALLOC");
        return nullptr;
    }
    auto* copy = static_cast<char*>(VXM_malloc(static_cast<unsigned int>(length + 1)));
    if (copy == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_GetEnvStr malloc null");
        return nullptr;
    }
    vxm::internal::copyText(copy, length + 1, value, length);
    return copy;
}

unsigned int VXM_gen_random(void) {
    unsigned char bytes[4] = {};
    if (RAND_bytes(bytes, sizeof bytes) <= 0) return 0;
    unsigned int value = 0;
    memcpy_s(&value, sizeof value, bytes, sizeof bytes);
    return value;
}

int VXM_get_responseTime(void) {
    const VXM_UINT32 now = VXM_get_ticks();
    const VXM_UINT32 gap = now - g_lastResponseTicks.load(std::memory_order_relaxed);
    g_lastResponseTicks.store(VXM_get_ticks(), std::memory_order_relaxed);
    return static_cast<int>(gap);
}

int VXM_utl_regRootFunCallback(const void* table) {
    return memcpy_s(RootFunCallback, sizeof RootFunCallback, table, sizeof RootFunCallback);
}

int VXM_utl_curRootFunCallback(void* out) {
    return memcpy_s(out, sizeof RootFunCallback, RootFunCallback, sizeof RootFunCallback);
}

void* VXM_utl_getRootFunCallback(void) { return RootFunCallback; }

}  // extern "C"
