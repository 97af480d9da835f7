// The registry of live objects: one process-wide instance per kind of object (mutexes, threads),
// each guarded by a recursive mutex of its own that is itself never recorded.
#ifndef VXMOSAL_VXM_STATINFOMGR_H
#define VXMOSAL_VXM_STATINFOMGR_H

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>

#include "internal/log.h"
#include "internal/no_throw.h"
#include "internal/safe_string.h"
#include "vxmosal/VXM_mutex.h"

namespace vxm {

inline constexpr char kStatInfoMgrTag[] = "StatInfoMgr";

// Formatting policies: the pattern of one dump line, given (key, creation time).
struct CFormatForMutexInfo {
    static int format(char* line, std::size_t size, unsigned long key, unsigned int time) noexcept {
        // The pattern prints the low 32 bits of the handle.
        return internal::formatTruncated(line, size, "pMutex is [%x],create Mutex time is[%u]",
                                         static_cast<unsigned int>(key), time);
    }
};

struct CFormatForThreadInfo {
    static int format(char* line, std::size_t size, int key, unsigned int time) noexcept {
        return internal::formatTruncated(line, size, "pThread is [0x%08x],create thread time is[%u]",
                                         static_cast<unsigned int>(key), time);
    }
};

template <typename Key, typename Policy>
class CStatInfoMgr {
public:
    static constexpr std::size_t kMaxEntries = 200;
    static constexpr std::size_t kLineSize = 128;

    static CStatInfoMgr& getInstance() noexcept {
        static CStatInfoMgr instance;
        return instance;
    }

    // The instance, or null once it has been destroyed at process exit: objects released after
    // that (the other registry's own mutex, detached threads) are then simply not recorded.
    static CStatInfoMgr* liveInstance() noexcept {
        return destroyed_.load(std::memory_order_acquire) ? nullptr : &getInstance();
    }

    // A record the map has no memory for is dropped silently, as one beyond the last entry is.
    void addInfo(Key key, unsigned int time) noexcept {
        Lock lock(mutex_);
        if (map_.size() > kMaxEntries - 1) return;
        internal::noThrow(false, [&] {
            map_.emplace(key, time);  // an existing key keeps its first time
            return true;
        });
    }

    void deleteInfo(Key key) noexcept {
        Lock lock(mutex_);
        map_.erase(key);
    }

    void stateInfo_dump(char* path) noexcept {
        if (path == nullptr) {
            VXM_LOG(VXM_LOG_ERROR, kStatInfoMgrTag, "write path is NULL");
            return;
        }
        // The map never holds more than kMaxEntries, so the snapshot needs no memory of its own.
        Entry snapshot[kMaxEntries];
        std::size_t count = 0;
        {
            Lock lock(mutex_);
            for (const auto& [key, time] : map_) {
                if (count == kMaxEntries) break;
                snapshot[count++] = Entry{key, time};
            }
        }
        FILE* file = std::fopen(path, "w+");
        if (file == nullptr) {
            VXM_LOG(VXM_LOG_ERROR, kStatInfoMgrTag, "open file failed");
            return;
        }
        int fd = fileno(file);
        if (fd >= 0) fchmod(fd, 0600);
        for (std::size_t index = 0; index < count; ++index) {
            char text[kLineSize];
            char line[kLineSize];
            Policy::format(text, sizeof text, snapshot[index].key, snapshot[index].time);
            internal::formatTruncated(line, sizeof line, "[%d]: [%s]\n", static_cast<int>(index), text);
            std::fwrite(line, 1, std::strlen(line), file);
        }
        std::fclose(file);
    }

    virtual ~CStatInfoMgr() {
        destroyed_.store(true, std::memory_order_release);
        {
            Lock lock(mutex_);
            map_.clear();
        }
        VXM_mutex_destroy(mutex_);
    }

    CStatInfoMgr(const CStatInfoMgr&) = delete;
    CStatInfoMgr& operator=(const CStatInfoMgr&) = delete;

private:
    struct Entry {
        Key key;
        unsigned int time;
    };

    CStatInfoMgr() noexcept : mutex_(VXM_mutex_createWithoutMutexMgr()) {
        if (mutex_ == 0) VXM_LOG(VXM_LOG_ERROR, kStatInfoMgrTag, "create MutexMgrMutex failed!");
    }

    // Without a mutex (its creation failed) the registry runs unlocked, as it was made.
    class Lock {
    public:
        explicit Lock(unsigned long mutex) noexcept : mutex_(mutex) { VXM_mutex_lock(mutex_); }
        ~Lock() { VXM_mutex_unlock(mutex_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        unsigned long mutex_;
    };

    unsigned long mutex_;
    std::map<Key, unsigned int> map_;
    static inline std::atomic<bool> destroyed_{false};
};

using MutexRegistry = CStatInfoMgr<unsigned long, CFormatForMutexInfo>;
using ThreadRegistry = CStatInfoMgr<int, CFormatForThreadInfo>;

}  // namespace vxm

#endif
