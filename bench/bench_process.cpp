// Finding a process by name: VXM_get_exec_pid per call against running "pgrep -x" for the same
// name (fork and exec through popen), both looking for a sleep child of this program. Wall time,
// since the CPU time of pgrep's processes is not this thread's.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_ratio.h"
#include "vxmosal/VXM_process.h"

extern char** environ;

namespace {

// A sleep child under a name of its own (a link to sleep in a temporary directory).
class Target {
public:
    Target() {
        char dir[] = "/tmp/vxmbench.XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        name_ = "vxb" + std::to_string(getpid());
        link_ = dir_ + "/" + name_;
        if (symlink("/bin/sleep", link_.c_str()) != 0) return;
        char* argv[] = {const_cast<char*>(name_.c_str()), const_cast<char*>("600"), nullptr};
        if (posix_spawn(&pid_, link_.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid_ = -1;
            return;
        }
        for (int i = 0; i < 500 && VXM_get_exec_pid(name_.c_str()) != pid_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~Target() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!link_.empty()) unlink(link_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool ready() const { return pid_ > 0 && VXM_get_exec_pid(name_.c_str()) == pid_; }
    pid_t pid() const { return pid_; }
    const std::string& name() const { return name_; }

private:
    std::string dir_;
    std::string name_;
    std::string link_;
    pid_t pid_ = -1;
};

Target* g_target = nullptr;

void vxmGetExecPid(benchmark::State& state) {
    const char* name = g_target->name().c_str();
    for (auto _ : state) {
        int pid = VXM_get_exec_pid(name);
        if (pid != g_target->pid()) {
            state.SkipWithError("VXM_get_exec_pid did not find the child");
            return;
        }
        benchmark::DoNotOptimize(pid);
    }
}

// The shell's way: "pgrep -x NAME" through popen, reading the one id it prints.
void pgrepExact(benchmark::State& state) {
    const std::string command = "pgrep -x " + g_target->name();
    for (auto _ : state) {
        FILE* stream = popen(command.c_str(), "r");
        int pid = -1;
        if (stream == nullptr || std::fscanf(stream, "%d", &pid) != 1 || pid != g_target->pid()) {
            if (stream != nullptr) pclose(stream);
            state.SkipWithError("pgrep -x did not find the child");
            return;
        }
        pclose(stream);
        benchmark::DoNotOptimize(pid);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Target target;
    if (!target.ready()) {
        std::fprintf(stderr, "bench_process: the sleep child could not be started\n");
        return 1;
    }
    g_target = &target;
    using vxm::bench::kRepetitions;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_get_exec_pid", vxmGetExecPid),
                    benchmark::RegisterBenchmark("pgrep_x_popen", pgrepExact)})
        b->Repetitions(kRepetitions)->DisplayAggregatesOnly(true)->UseRealTime();

    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_get_exec_pid", "VXM_get_exec_pid", "pgrep_x_popen", "popen(\"pgrep -x NAME\")+pclose",
          vxm::bench::Goal::AtMost, 0.5, vxm::bench::Measure::RealTime}});
}
