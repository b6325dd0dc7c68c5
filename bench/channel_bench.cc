// Channel round trips through the host's socket, and the idle host's footprint.
//
// Starts the built host bundle with a temporary HOME and runtime folder, then:
//  1. sequential: one client calls "getBlockedAttemptCount" kSequentialCalls times;
//  2. concurrent: kClients clients on their own threads make kCallsPerClient calls each;
//  3. idle: with no client connected, the host's CPU time (utime + stime) over kIdleSeconds
//     and its resident memory (VmRSS).
// Prints calls/s and latency percentiles for 1 and 2, and for comparison the sequential
// figures of "getInitialAuthLink", which does not wait for the block server's queue. Bounded in
// count and time; the host is asked to quit at the end (and killed if it does not).
//
// Usage: kestralune-channel-bench [PATH_TO_HOST]
#include "channel/socket_transport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWarmUpCalls = 2'000;
constexpr int kSequentialCalls = 50'000;
constexpr int kClients = 8;
constexpr int kCallsPerClient = 10'000;
constexpr int kIdleSeconds = 5;
constexpr std::chrono::milliseconds kTimeout{5'000};

struct Figures {
    double callsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

double percentile(std::vector<double>& sorted, double fraction) {
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

Figures summarise(std::vector<double> latenciesMicros, double seconds) {
    std::sort(latenciesMicros.begin(), latenciesMicros.end());
    return Figures{static_cast<double>(latenciesMicros.size()) / seconds,
                   percentile(latenciesMicros, 0.50), percentile(latenciesMicros, 0.99),
                   latenciesMicros.back()};
}

// Calls the method `count` times, appending each round trip's latency in microseconds.
bool callRepeatedly(ChannelClient& client, int count, std::vector<double>& latencies,
                    const char* method = "getBlockedAttemptCount") {
    const MethodCall call{method, {}};
    for (int i = 0; i < count; ++i) {
        const auto start = SteadyClock::now();
        auto reply = client.call("orrindale/blocking", call, kTimeout);
        const auto end = SteadyClock::now();
        if (!reply || !std::holds_alternative<MethodSuccess>(reply.value())) {
            return false;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    return true;
}

std::unique_ptr<ChannelClient> connectWithin(const fs::path& socket, std::chrono::seconds limit) {
    const auto deadline = SteadyClock::now() + limit;
    while (SteadyClock::now() < deadline) {
        auto client = ChannelClient::connect(socket, kTimeout);
        if (client) {
            auto probe =
                client.value()->call("kestralune/control", MethodCall{"getMenu", {}}, kTimeout);
            if (probe) {
                return std::move(client).value();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

// utime + stime of `pid`, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::stol(field);
        } else if (number == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

std::string statusField(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            auto value = line.substr(name.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return "?";
}

void printFigures(const char* label, const Figures& figures) {
    std::printf("%-34s %10.0f calls/s   p50 %7.1f us   p99 %7.1f us   max %8.1f us\n", label,
                figures.callsPerSecond, figures.p50, figures.p99, figures.max);
}

int run(const std::string& hostPath) {
    const fs::path root = fs::temp_directory_path() / ("klbench-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "home");
    fs::create_directories(root / "run");
    fs::permissions(root / "run", fs::perms::owner_all, fs::perm_options::replace);
    const fs::path socket = root / "run" / "kestralune" / "com.orrindale.app.sock";

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0) {
            environment.push_back(text);
        }
    }
    environment.push_back("HOME=" + (root / "home").string());
    environment.push_back("XDG_RUNTIME_DIR=" + (root / "run").string());
    std::vector<char*> rawEnvironment;
    for (auto& entry : environment) {
        rawEnvironment.push_back(entry.data());
    }
    rawEnvironment.push_back(nullptr);
    std::string program = hostPath;
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (root / "host.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t host = -1;
    if (::posix_spawn(&host, program.c_str(), &actions, nullptr, argv, rawEnvironment.data()) !=
        0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);

    int status = 1;
    auto client = connectWithin(socket, std::chrono::seconds(15));
    if (!client) {
        std::fprintf(stderr, "the host did not answer\n");
    } else {
        std::vector<double> latencies;
        latencies.reserve(kSequentialCalls);
        callRepeatedly(*client, kWarmUpCalls, latencies);
        latencies.clear();
        const auto start = SteadyClock::now();
        const bool sequentialOk = callRepeatedly(*client, kSequentialCalls, latencies);
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();

        // For comparison: a row that never leaves the main thread (the count waits for the
        // block server's queue on every call).
        std::vector<double> mainOnly;
        mainOnly.reserve(kSequentialCalls);
        const auto mainOnlyStart = SteadyClock::now();
        const bool mainOnlyOk =
            callRepeatedly(*client, kSequentialCalls, mainOnly, "getInitialAuthLink");
        const double mainOnlySeconds =
            std::chrono::duration<double>(SteadyClock::now() - mainOnlyStart).count();
        client.reset();

        std::vector<std::vector<double>> perClient(kClients);
        std::vector<char> ok(kClients, 0);
        std::vector<std::thread> threads;
        const auto concurrentStart = SteadyClock::now();
        for (int i = 0; i < kClients; ++i) {
            threads.emplace_back([&, i] {
                auto own = ChannelClient::connect(socket, kTimeout);
                if (own) {
                    perClient[i].reserve(kCallsPerClient);
                    ok[i] = callRepeatedly(*own.value(), kCallsPerClient, perClient[i]);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const double concurrentSeconds =
            std::chrono::duration<double>(SteadyClock::now() - concurrentStart).count();
        std::vector<double> all;
        for (const auto& part : perClient) {
            all.insert(all.end(), part.begin(), part.end());
        }

        if (!sequentialOk || !mainOnlyOk || std::count(ok.begin(), ok.end(), 0) != 0) {
            std::fprintf(stderr, "a call failed\n");
        } else {
            std::printf("getBlockedAttemptCount round trips through the channel socket\n");
            printFigures("sequential, 1 client (50,000)", summarise(latencies, seconds));
            printFigures("concurrent, 8 clients (8 x 10,000)", summarise(all, concurrentSeconds));
            std::printf("getInitialAuthLink (main thread only), for comparison\n");
            printFigures("sequential, 1 client (50,000)", summarise(mainOnly, mainOnlySeconds));

            // Let the last connections close before measuring the idle host.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const long before = cpuTicks(host);
            std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
            const long after = cpuTicks(host);
            const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
            std::printf("idle host over %d s: CPU %.3f s (%ld ticks), VmRSS %s, VmHWM %s\n",
                        kIdleSeconds, static_cast<double>(after - before) / ticksPerSecond,
                        after - before, statusField(host, "VmRSS").c_str(),
                        statusField(host, "VmHWM").c_str());
            status = 0;
        }
    }

    ::kill(host, SIGTERM);
    const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
    int hostStatus = 0;
    while (::waitpid(host, &hostStatus, WNOHANG) == 0) {
        if (SteadyClock::now() > deadline) {
            ::kill(host, SIGKILL);
            ::waitpid(host, &hostStatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fs::remove_all(root);
    return status;
}

}  // namespace
}  // namespace kestralune

int main(int argc, char** argv) {
    return kestralune::run(argc > 1 ? argv[1] : KESTRALUNE_HOST_PATH);
}
