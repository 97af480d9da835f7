// The exported face of the two registries: live mutexes and live registered threads.
#include "VXM_StatInfoMgr.h"

#include "vxmosal/VXM_registry.h"

namespace {

constexpr std::size_t kDumpPathSize = 1024;

template <typename Registry>
void dumpInto(Registry& registry, const char* dir, const char* fileName) {
    if (dir == nullptr) {
        registry.stateInfo_dump(nullptr);
        return;
    }
    char path[kDumpPathSize];
    vxm::internal::formatTruncated(path, sizeof path, "%s%s", dir, fileName);
    registry.stateInfo_dump(path);
}

}  // namespace

extern "C" {

void VXM_AddMutexInfo(unsigned long mutex, unsigned int createTime) {
    if (mutex == 0) {
        VXM_LOG(VXM_LOG_ERROR, vxm::kStatInfoMgrTag, "Mutex is NULL");
        return;
    }
    vxm::MutexRegistry::getInstance().addInfo(mutex, createTime);
}

void VXM_AddThreadInfo(int thread, unsigned int createTime) {
    vxm::ThreadRegistry::getInstance().addInfo(thread, createTime);
}

void VXM_DeleteMutexInfo(unsigned long mutex) { vxm::MutexRegistry::getInstance().deleteInfo(mutex); }

void VXM_DeleteThreadInfo(int thread) { vxm::ThreadRegistry::getInstance().deleteInfo(thread); }

void VXM_Mutex_dump(const char* dir) {
    dumpInto(vxm::MutexRegistry::getInstance(), dir, "/mutexInfo.txt");
}

void VXM_Thread_dump(const char* dir) {
    dumpInto(vxm::ThreadRegistry::getInstance(), dir, "/threadsInfo.txt");
}

}  // extern "C"
