// The cost of the app sweep's scan of running applications over the real /proc.
//
// The benchmark starts its own sleeping processes (a few of them inside a fixture bundle,
// so that applications exist) until about N processes are running, and ends them by pid
// when it finishes. Each sleeper exits by itself after ten minutes should the benchmark be
// killed. Figures: a warm scan plus the sweep's set lookups (every 0.25 s during a session),
// the scans that meet new processes, the directory read behind a full scan, and the link
// reads behind the exec re-check.
#include "bench/sleeping_processes.h"
#include "platform/linux/workspace_linux.h"
#include "platform/testing/manual_run_loop.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

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

// Starts or ends processes until about `target` run on the machine (fewer than the
// machine already runs is not possible), then lets them settle.
void populate(SleepingProcesses& processes, std::size_t target) {
    const std::size_t others = processCount() - processes.size();
    const std::size_t wanted = target > others ? target - others : 0;
    if (wanted == processes.size()) {
        return;
    }
    processes.resize(wanted);
    SleepingProcesses::settle();
}

SleepingProcesses& sleepers() {
    static SleepingProcesses instance(kBundledSleepers);
    return instance;
}

void reportPopulation(benchmark::State& state, std::size_t applications) {
    state.counters["processes"] = static_cast<double>(processCount());
    state.counters["applications"] = static_cast<double>(applications);
}

// One sweep tick once the workspace knows every process: the scan plus the blocker's two
// set lookups per application.
void BM_WarmSweep(benchmark::State& state) {
    populate(sleepers(), static_cast<std::size_t>(state.range(0)));
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
    populate(sleepers(), static_cast<std::size_t>(state.range(0)));
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
    populate(sleepers(), static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(processCount());
    }
    reportPopulation(state, 0);
}
BENCHMARK(BM_ProcListing)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);

// Reading every process's executable link once, warm: the floor of one round of the re-check
// that notices a late exec, which the workspace spreads over the scans of half a second.
void BM_ExecutableLinkRound(benchmark::State& state) {
    populate(sleepers(), static_cast<std::size_t>(state.range(0)));
    std::vector<std::string> links;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') {
                links.push_back(std::string("/proc/") + entry->d_name + "/exe");
            }
        }
        ::closedir(proc);
    }
    char target[PATH_MAX];
    for (auto _ : state) {
        std::size_t readable = 0;
        for (const auto& link : links) {
            readable += ::readlink(link.c_str(), target, sizeof(target)) > 0;
        }
        benchmark::DoNotOptimize(readable);
    }
    reportPopulation(state, 0);
}
BENCHMARK(BM_ExecutableLinkRound)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMicrosecond);

// A warm workspace over about 1,000 processes meets K processes started since its last scan.
void BM_ScanAfterNewProcesses(benchmark::State& state) {
    populate(sleepers(), 1000);
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
