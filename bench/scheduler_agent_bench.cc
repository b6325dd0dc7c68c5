// The scheduler agent's common run, the schedule window closed, as launchd pays for it: one
// whole process, spawned and waited for, in wall time. The peer is /bin/true, spawned the same
// way in the same rounds (the two take turns), so the ratio shows what the agent adds to a
// bare process start. The agent runs from the built bundle against a temporary HOME holding a
// snapshot whose window opens two hours from now, so every step up to the evaluation runs.
// Every run must end with status 0; the bench stops otherwise.
//
// Usage: kestralune-scheduler-agent-bench [PATH_TO_AGENT]
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWarmUpRuns = 20;
constexpr int kRuns = 500;
constexpr double kGoalMilliseconds = 5.0;

struct Figures {
    double mean;
    double p95;
};

Figures figuresOf(std::vector<double> milliseconds) {
    std::sort(milliseconds.begin(), milliseconds.end());
    const double sum = std::accumulate(milliseconds.begin(), milliseconds.end(), 0.0);
    return {sum / static_cast<double>(milliseconds.size()),
            milliseconds[static_cast<std::size_t>(0.95 *
                                                  static_cast<double>(milliseconds.size() - 1))]};
}

// Wall time of one run in milliseconds, or a negative value when it did not exit with 0.
double timedRun(const char* path) {
    char* const argv[] = {const_cast<char*>(path), nullptr};
    const auto started = SteadyClock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::chrono::duration<double, std::milli> took = SteadyClock::now() - started;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took.count() : -1;
}

// A window of an hour that opens two hours from now, every day.
std::string closedWindow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const int minute = local.tm_hour * 60 + local.tm_min;
    const auto clock = [](int at) {
        return std::to_string(at / 60 % 24) + ":" + std::to_string(at % 60);
    };
    return R"({"enabled":true,"start":")" + clock(minute + 120) + R"(","end":")" +
           clock(minute + 180) + R"(","weekdays":[1,2,3,4,5,6,7]})";
}

int run(const char* agent) {
    std::string home = (fs::temp_directory_path() / "kestralune-bench-XXXXXX").string();
    if (::mkdtemp(home.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = fs::path(home) / ".local/share/com.orrindale.app";
    fs::create_directories(folder);
    std::ofstream(folder / "background-schedule.json") << closedWindow();
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");

    std::vector<double> agentRuns;
    std::vector<double> peerRuns;
    bool failed = false;
    for (int round = 0; round < kWarmUpRuns + kRuns && !failed; ++round) {
        const double agentTook = timedRun(agent);
        const double peerTook = timedRun("/bin/true");
        failed = agentTook < 0 || peerTook < 0;
        if (round >= kWarmUpRuns) {
            agentRuns.push_back(agentTook);
            peerRuns.push_back(peerTook);
        }
    }
    fs::remove_all(home);
    if (failed) {
        std::fprintf(stderr, "a run did not end with status 0\n");
        return 1;
    }

    const Figures agentFigures = figuresOf(agentRuns);
    const Figures peerFigures = figuresOf(peerRuns);
    std::printf("whole process, spawn to reaped, %d runs each, taking turns\n", kRuns);
    std::printf("%-28s mean %7.3f ms   p95 %7.3f ms   (goal: under %.0f ms)\n",
                "agent, window closed", agentFigures.mean, agentFigures.p95, kGoalMilliseconds);
    std::printf("%-28s mean %7.3f ms   p95 %7.3f ms\n", "/bin/true (peer)", peerFigures.mean,
                peerFigures.p95);
    std::printf("%-28s mean %7.2fx         p95 %7.2fx\n", "agent / peer",
                agentFigures.mean / peerFigures.mean, agentFigures.p95 / peerFigures.p95);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc > 1 ? argv[1] : KESTRALUNE_SCHEDULER_PATH);
}
