// The exported face of the two registries: live mutexes and live registered threads.
#include "VXM_StatInfoMgr.h"

#include "vxmosal/VXM_registry.h"

namespace {

constexpr std::size_t kDumpPathSize = 1024;

template <typename Registry>
void dumpInto(const char* dir, const char* fileName) noexcept {
    Registry* registry = Registry::liveInstance();
    if (registry == nullptr) return;
    if (dir == nullptr) {
        registry->stateInfo_dump(nullptr);
        return;
    }
    char path[kDumpPathSize];
    vxm::internal::formatTruncated(path, sizeof path, "%s%s", dir, fileName);
    registry->stateInfo_dump(path);
}

template <typename Registry, typename Key>
void add(Key key, unsigned int createTime) noexcept {
    if (Registry* registry = Registry::liveInstance()) registry->addInfo(key, createTime);
}

template <typename Registry, typename Key>
void forget(Key key) noexcept {
    if (Registry* registry = Registry::liveInstance()) registry->deleteInfo(key);
}

}  // namespace

extern "C" {

void VXM_AddMutexInfo(unsigned long mutex, unsigned int createTime) {
    if (mutex == 0) {
        VXM_LOG(VXM_LOG_ERROR, vxm::kStatInfoMgrTag, "Mutex is NULL");
        return;
    }
    add<vxm::MutexRegistry>(mutex, createTime);
}

void VXM_AddThreadInfo(int thread, unsigned int createTime) {
    add<vxm::ThreadRegistry>(thread, createTime);
}

void VXM_DeleteMutexInfo(unsigned long mutex) { forget<vxm::MutexRegistry>(mutex); }

void VXM_DeleteThreadInfo(int thread) { forget<vxm::ThreadRegistry>(thread); }

void VXM_Mutex_dump(const char* dir) {
    dumpInto<vxm::MutexRegistry>(dir, "/mutexInfo.txt");
}

void VXM_Thread_dump(const char* dir) {
    dumpInto<vxm::ThreadRegistry>(dir, "/threadsInfo.txt");
}

}  // extern "C"
