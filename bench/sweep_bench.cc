// The cost of the engine's application sweep (4 times a second during a session) over the
// real /proc.
//
// The benchmark starts its own sleeping processes: in the usual shape ten of them are
// applications (a copy of /bin/sleep inside a fixture bundle) and the rest plain processes,
// as on a desktop; in the worst shape every one is an application, so each costs the sweep
// its identity and two set lookups. The blocked application is not among them, so nothing
// is closed. The sleepers are ended by pid when the benchmark finishes, and each exits by
// itself after ten minutes should the benchmark be killed.
#include "bench/sleeping_processes.h"
#include "blocking/mac_blocking_engine.h"
#include "platform/open_file_limit.h"
#include "platform/testing/fake_accessibility.h"
#include "platform/testing/fake_tool_runner.h"
#include "platform/testing/manual_run_loop.h"
#include "platform/testing/memory_user_defaults.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace kestralune {
namespace {

constexpr std::size_t kUsualApplications = 10;

// Starts or ends processes until exactly `count` run, the first `applications` of them
// inside the bundle, then lets them settle.
void resize(SleepingProcesses& processes, std::size_t count, std::size_t applications) {
    if (count == processes.size() && applications == processes.bundledCount()) {
        return;
    }
    processes.setBundledCount(applications);
    processes.resize(count);
    SleepingProcesses::settle();
}

SleepingProcesses& sleepers() {
    static SleepingProcesses instance;
    return instance;
}

class IdleServer final : public BlockServerControl {
  public:
    void start() override {}
    void stop() override {}
    void update(std::vector<std::string>, std::vector<std::string>, bool) override {}
    void resetBlockedRequests() override {}
    bool isRunning() override { return false; }
    std::int64_t blockedRequestCount() override { return 0; }
};

// An engine over the real workspace with one blocked application that is not running.
struct SweepingEngine {
    SweepingEngine() {
        engine = MacBlockingEngine::create({
            .runLoop = loop,
            .toolRunner = std::make_shared<FakeToolRunner>(),
            .workspace = makeWorkspace(loop),
            .accessibility = std::make_shared<FakeAccessibility>(),
            .standardDefaults = std::make_shared<MemoryUserDefaults>(),
            .openDefaultsSuite = [](const std::string&) { return nullptr; },
            .ownBundleIdentifier = "com.example.host",
            .ownProcessIdentifier = static_cast<std::int32_t>(::getpid()),
            .server = std::make_unique<IdleServer>(),
        });
        EncodableMap configuration;
        configuration[EncodableValue("blockedApps")] =
            EncodableList{"com.example.blocked", "/Applications/Blocked.app"};
        configuration[EncodableValue("allWebsitesBlocked")] = false;
        engine->applyConfiguration(configuration);
    }
    ManualRunLoop loop;
    std::shared_ptr<MacBlockingEngine> engine;
};

// Arguments: own sleeping processes, and whether every one is an application.
void shapes(benchmark::internal::Benchmark* benchmark) {
    for (const std::int64_t all : {0, 1}) {
        for (const std::int64_t count : {100, 1000, 3000}) {
            benchmark->Args({count, all});
        }
    }
    benchmark->ArgNames({"processes", "allApplications"})->Unit(benchmark::kMicrosecond);
}

void populate(const benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    resize(sleepers(), count, state.range(1) != 0 ? count : kUsualApplications);
}

// One sweep tick once the workspace knows every process.
void BM_WarmSweep(benchmark::State& state) {
    populate(state);
    SweepingEngine sweeping;
    sweeping.engine->sweepRunningApplications();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sweeping.engine->sweepRunningApplications());
    }
}
BENCHMARK(BM_WarmSweep)->Apply(shapes);

// Sweeps at the session's own pace, one every 0.25 s, so the workspace's periodic full
// reading of /proc (every two seconds) and its re-reading of executables to notice a late
// exec (each process about every half second) fall into the figure as they do in a session.
void BM_SweepAtSessionPace(benchmark::State& state) {
    populate(state);
    SweepingEngine sweeping;
    sweeping.engine->sweepRunningApplications();
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        state.ResumeTiming();
        benchmark::DoNotOptimize(sweeping.engine->sweepRunningApplications());
    }
}
BENCHMARK(BM_SweepAtSessionPace)
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({3000, 0})
    ->Args({1000, 1})
    ->ArgNames({"processes", "allApplications"})
    ->Iterations(40)
    ->Unit(benchmark::kMicrosecond);

// The workspace's part of the warm sweep: the same scan without the engine's decisions.
void BM_WarmScanOnly(benchmark::State& state) {
    populate(state);
    ManualRunLoop loop;
    auto workspace = makeWorkspace(loop);
    workspace->runningApplications();
    for (auto _ : state) {
        benchmark::DoNotOptimize(workspace->runningApplications());
    }
}
BENCHMARK(BM_WarmScanOnly)->Apply(shapes);

// The first sweep of a new engine and workspace: every process is new to it.
void BM_ColdSweep(benchmark::State& state) {
    populate(state);
    for (auto _ : state) {
        SweepingEngine sweeping;
        benchmark::DoNotOptimize(sweeping.engine->sweepRunningApplications());
    }
}
BENCHMARK(BM_ColdSweep)->Apply(shapes);

// A warm sweep over 1,000 sleepers (the usual shape) that meets K plain processes started
// since the last tick.
void BM_SweepAfterNewProcesses(benchmark::State& state) {
    resize(sleepers(), 1000, kUsualApplications);
    const std::size_t base = sleepers().size();
    SweepingEngine sweeping;
    sweeping.engine->sweepRunningApplications();
    for (auto _ : state) {
        state.PauseTiming();
        sleepers().spawn(static_cast<std::size_t>(state.range(0)));
        state.ResumeTiming();
        benchmark::DoNotOptimize(sweeping.engine->sweepRunningApplications());
        state.PauseTiming();
        sleepers().shrinkTo(base);
        sweeping.engine->sweepRunningApplications();  // forget them again
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SweepAfterNewProcesses)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestralune

int main(int argc, char** argv) {
    kestralune::raiseOpenFileLimit();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
