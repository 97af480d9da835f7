// The registry section: the program makes two mutexes and one registered thread of its own, has the
// registries dump the live records into a fresh directory, shows the files, then releases it all.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace vxmdiag {
namespace {

constexpr int kOwnMutexes = 2;
constexpr unsigned int kStartWaitMs = 2000;

// Shared with the waiting thread; the semaphores order every access.
struct Waiter {
    unsigned long started = 0;  // posted by the thread once it runs
    unsigned long release = 0;  // posted by the report once the dumps are written
    unsigned long self = 0;     // written by the thread before it posts started
    int tid = 0;
};

void* waitForRelease(void* arg) {
    auto* waiter = static_cast<Waiter*>(arg);
    VXM_thread_setname("vxmdiag_wait");
    waiter->self = VXM_thread_self();
    waiter->tid = VXM_thread_gettid();
    VXM_sem_post(waiter->started);
    // -1 means an interrupted wait: the semaphore is ours and valid, so wait again.
    while (VXM_sem_wait(waiter->release) != 0) {
    }
    return nullptr;
}

std::string temporaryBase() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
}

// The dump file's lines, as the registry wrote them.
Value readDump(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return Value::failure(formatText("cannot open %s: %s", path.c_str(), std::strerror(errno)));
    Value lines = Value::list();
    std::int64_t count = 0;
    std::string line;
    bool pending = false;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\n') {
            lines.push(Value::text(line));
            ++count;
            line.clear();
            pending = false;
        } else {
            line.push_back(static_cast<char>(c));
            pending = true;
        }
    }
    bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) return Value::failure(formatText("cannot read %s", path.c_str()));
    if (pending) {
        lines.push(Value::text(line));
        ++count;
    }
    Value dump = Value::object();
    dump.add("file", Value::text(path));
    dump.add("line_count", Value::integer(count));
    dump.add("lines", std::move(lines));
    return dump;
}

// The forms in which the dump files show a mutex handle and a thread identifier.
std::string mutexAsDumped(unsigned long mutex) {
    return formatText("%x", static_cast<unsigned int>(mutex));
}

std::string threadAsDumped(unsigned long thread) {
    return formatText("0x%08x", static_cast<unsigned int>(thread));
}

}  // namespace

Value registrySection() {
    Value section = Value::object();
    std::vector<std::string> releaseFailures;
    bool threadLeftRunning = false;

    // Own mutexes.
    unsigned long mutexes[kOwnMutexes] = {};
    Value ownMutexes = Value::list();
    for (unsigned long& mutex : mutexes) {
        mutex = VXM_mutex_create();
        ownMutexes.push(mutex != 0 ? Value::text(mutexAsDumped(mutex))
                                   : Value::failure("VXM_mutex_create returned 0"));
    }
    section.add("own_mutexes", std::move(ownMutexes));

    // Own registered thread, kept alive by a semaphore until the dumps are written.
    Waiter waiter;
    unsigned long thread = 0;
    Value ownThread = Value::object();
    if (VXM_sem_create(0, &waiter.started) != 0) {
        ownThread = Value::failure("VXM_sem_create returned -1");
        waiter.started = 0;
    } else if (VXM_sem_create(0, &waiter.release) != 0) {
        ownThread = Value::failure("VXM_sem_create returned -1");
        waiter.release = 0;
    } else if (VXM_thread_createEX(waitForRelease, &waiter, &thread, 0, 0, 0) != 0) {
        ownThread = Value::failure("VXM_thread_createEX returned -1");
        thread = 0;
    } else if (VXM_sem_wait_timeout(waiter.started, kStartWaitMs) != 0) {
        ownThread = Value::failure(formatText("the thread did not start within %u ms", kStartWaitMs));
    } else {
        ownThread.add("id", Value::text(threadAsDumped(waiter.self)));
        ownThread.add("tid", Value::integer(waiter.tid));
    }
    section.add("own_thread", std::move(ownThread));

    // The dumps.
    std::string templ = temporaryBase() + "/vxmdiag.XXXXXX";
    std::vector<char> dir(templ.begin(), templ.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) {
        std::string why =
            formatText("mkdtemp %s: %s", templ.c_str(), std::strerror(errno));
        section.add("directory", Value::failure(why));
        section.add("mutex_dump", Value::failure("no directory to dump into"));
        section.add("thread_dump", Value::failure("no directory to dump into"));
    } else {
        std::string path(dir.data());
        VXM_Mutex_dump(path.c_str());
        VXM_Thread_dump(path.c_str());
        section.add("directory", Value::text(path));
        section.add("mutex_dump", readDump(path + "/mutexInfo.txt"));
        section.add("thread_dump", readDump(path + "/threadsInfo.txt"));
    }

    // Release everything.
    if (thread != 0) {
        if (VXM_sem_post(waiter.release) != 0) {
            releaseFailures.push_back("VXM_sem_post returned -1 (thread left running)");
            threadLeftRunning = true;
        } else {
            VXM_thread_join(thread);
        }
    }
    for (unsigned long mutex : mutexes) {
        if (mutex == 0) continue;
        int result = VXM_mutex_destroy(mutex);
        if (result != 0)
            releaseFailures.push_back(formatText("VXM_mutex_destroy(%s) returned %d",
                                                 mutexAsDumped(mutex).c_str(), result));
    }
    // A thread left running may still use the semaphores.
    if (!threadLeftRunning) {
        for (unsigned long sem : {waiter.started, waiter.release}) {
            if (sem != 0 && VXM_sem_destroy(sem) != 0)
                releaseFailures.push_back("VXM_sem_destroy returned -1");
        }
    }
    if (releaseFailures.empty()) {
        section.add("release", Value::text("done"));
    } else {
        std::string why;
        for (const std::string& failure : releaseFailures) why += (why.empty() ? "" : "; ") + failure;
        section.add("release", Value::failure(why));
    }
    return section;
}

}  // namespace vxmdiag
