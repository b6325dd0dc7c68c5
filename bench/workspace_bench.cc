// The cost of the app sweep's scan of running applications over the real /proc.
//
// The benchmark starts its own sleeping processes (a few of them inside a fixture bundle,
// so that applications exist) until about N processes are running, and ends them by pid
// when it finishes. Each sleeper exits by itself after ten minutes should the benchmark be
// killed. Figures: a warm scan plus the sweep's set lookups (every 0.25 s during a session),
// the scans that meet new processes, and the directory read behind a full scan.
#include "platform/linux/workspace_linux.h"
#include "platform/testing/manual_run_loop.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

extern char** environ;

namespace kestralune {
namespace {

constexpr int kBundledSleepers = 10;

std::size_t processCount() {
    std::size_t count = 0;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
        }
        ::closedir(proc);
    }
    return count;
}

// The benchmark's own sleeping processes.
class Sleepers {
  public:
    Sleepers() {
        char pattern[] = "/tmp/kestralune-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        const auto macos = root / "Sleeper.app/Contents/MacOS";
        std::filesystem::create_directories(macos);
        std::filesystem::copy_file("/bin/sleep", macos / "sleeper");
        bundled = (macos / "sleeper").string();
        std::ofstream(root / "Sleeper.app/Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.example.sleeper</string>"
               "</dict></plist>\n";
    }
    ~Sleepers() {
        shrinkTo(0);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    // Starts or ends sleepers until about `target` processes run on the machine (fewer
    // than the machine already runs is not possible), then lets them settle past the
    // workspace's first look at young processes.
    void populate(std::size_t target) {
        const std::size_t others = processCount() - pids.size();
        const std::size_t wanted = target > others ? target - others : 0;
        if (wanted == pids.size()) {
            return;
        }
        if (wanted < pids.size()) {
            shrinkTo(wanted);
        } else {
            spawn(wanted - pids.size());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }

    // Starts `count` more sleepers, some inside the bundle.
    std::vector<pid_t> spawn(std::size_t count) {
        std::vector<pid_t> started;
        for (std::size_t index = 0; index < count; ++index) {
            const bool inBundle = pids.size() < kBundledSleepers;
            const std::string program = inBundle ? bundled : "/bin/sleep";
            char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("600"), nullptr};
            pid_t pid = 0;
            if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) {
                pids.push_back(pid);
                started.push_back(pid);
            }
        }
        return started;
    }

    void shrinkTo(std::size_t count) {
        while (pids.size() > count) {
            ::kill(pids.back(), SIGKILL);
            ::waitpid(pids.back(), nullptr, 0);
            pids.pop_back();
        }
    }

    std::size_t size() const { return pids.size(); }

  private:
    std::filesystem::path root;
    std::string bundled;
    std::vector<pid_t> pids;
};

Sleepers& sleepers() {
    static Sleepers instance;
    return instance;
}

void reportPopulation(benchmark::State& state, std::size_t applications) {
    state.counters["processes"] = static_cast<double>(processCount());
    state.counters["applications"] = static_cast<double>(applications);
}

// One sweep tick once the workspace knows every process: the scan plus the blocker's two
// set lookups per application.
void BM_WarmSweep(benchmark::State& state) {
    sleepers().populate(static_cast<std::size_t>(state.range(0)));
    ManualRunLoop loop;
    LinuxWorkspace workspace(loop);
    const std::unordered_set<std::string> blocked = {"com.example.blocked",
                                                     "/Applications/Blocked.app"};
    std::size_t applications = workspace.runningApplications().size();
    for (auto _ : state) {
        int matches = 0;
        const auto running = workspace.runningApplications();
        for (const auto& application : running) {
            matches += blocked.contains(*application->bundleIdentifier());
            matches += blocked.contains(*application->bundlePath());
        }
        benchmark::DoNotOptimize(matches);
        applications = running.size();
    }
    reportPopulation(state, applications);
}
BENCHMARK(BM_WarmSweep)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);

// The first scan of a new workspace: every running process is new to it.
void BM_FirstScan(benchmark::State& state) {
    sleepers().populate(static_cast<std::size_t>(state.range(0)));
    ManualRunLoop loop;
    std::size_t applications = 0;
    for (auto _ : state) {
        LinuxWorkspace workspace(loop);
        applications = workspace.runningApplications().size();
    }
    reportPopulation(state, applications);
}
BENCHMARK(BM_FirstScan)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);

// Reading the /proc directory alone: the floor of the full scan that runs every two seconds,
// and whenever many pids were handed out since the last scan.
void BM_ProcListing(benchmark::State& state) {
    sleepers().populate(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(processCount());
    }
    reportPopulation(state, 0);
}
BENCHMARK(BM_ProcListing)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);

// A warm workspace over about 1,000 processes meets K processes started since its last scan.
void BM_ScanAfterNewProcesses(benchmark::State& state) {
    sleepers().populate(1000);
    const std::size_t base = sleepers().size();
    ManualRunLoop loop;
    LinuxWorkspace workspace(loop);
    workspace.runningApplications();
    for (auto _ : state) {
        state.PauseTiming();
        sleepers().spawn(static_cast<std::size_t>(state.range(0)));
        state.ResumeTiming();
        benchmark::DoNotOptimize(workspace.runningApplications());
        state.PauseTiming();
        sleepers().shrinkTo(base);
        workspace.runningApplications();  // forget them again
        state.ResumeTiming();
    }
    reportPopulation(state, 0);
}
BENCHMARK(BM_ScanAfterNewProcesses)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestralune

BENCHMARK_MAIN();
