// Channel round trips through the host's socket, against a bare socket round trip, and the
// idle host's footprint.
//
// The baseline: two processes (fork) bouncing a message the size of a getInitialAuthLink call
// frame over a Unix-domain stream socket pair with blocking reads and writes, no framework.
// Then the built host bundle is started with a temporary HOME and runtime folder, and:
//  1. sequential: one client calls "getInitialAuthLink" (answered on the main thread) and
//     "getBlockedAttemptCount" (which also waits for the block server's queue); the bare round
//     trip and the two rows take turns in kRounds rounds, so load from elsewhere on the machine
//     falls on all three alike. This is done twice: with both ends of every round trip on one
//     core, then with the caller on one core and its peer (the echo process, the host's main
//     thread) on another; left to itself the scheduler switches between the two during a run.
//     Each row prints its median rate over the rounds, the median of its per-round ratio to the
//     bare round trip, and the CPU time per call of the client thread (user, system) and of the
//     host's main thread;
//  2. concurrent: kClients clients on their own threads make kCallsPerClient calls each, placed
//     by the scheduler;
//  3. idle: with no client connected, the host's CPU time (utime + stime) over kIdleSeconds
//     and its resident memory (VmRSS).
// Bounded in count and time; the host is asked to quit at the end (and killed if it does not).
//
// Usage: kestralune-channel-bench [PATH_TO_HOST]
#include "channel/channel_frame.h"
#include "channel/socket_transport.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

constexpr int kRounds = 7;
constexpr int kCallsPerRound = 20'000;
constexpr int kWarmUpCalls = 2'000;
constexpr int kLatencySample = 8;
constexpr int kClients = 8;
constexpr int kCallsPerClient = 10'000;
constexpr int kIdleSeconds = 5;
constexpr std::chrono::milliseconds kTimeout{5'000};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double>& sorted, double fraction) {
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

bool readFully(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeFully(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// The baseline: a forked process that sends back every `size`-byte message it receives.
class BareEcho {
  public:
    explicit BareEcho(std::size_t size) : message(size, 0x5a) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return;
        }
        child = ::fork();
        if (child == 0) {
            ::close(ends[0]);
            while (readFully(ends[1], message.data(), size) &&
                   writeFully(ends[1], message.data(), size)) {
            }
            ::_exit(0);
        }
        ::close(ends[1]);
        fd = ends[0];
    }
    ~BareEcho() {
        ::close(fd);
        if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
    }

    std::size_t messageSize() const { return message.size(); }
    pid_t pid() const { return child; }

    // Round trips per second over `count` round trips; 0 when one failed.
    double roundTripsPerSecond(int count) {
        const auto start = SteadyClock::now();
        for (int i = 0; i < count; ++i) {
            if (child <= 0 || !writeFully(fd, message.data(), message.size()) ||
                !readFully(fd, message.data(), message.size())) {
                return 0;
            }
        }
        return count / std::chrono::duration<double>(SteadyClock::now() - start).count();
    }

  private:
    std::vector<std::uint8_t> message;
    int fd = -1;
    pid_t child = -1;
};

// CPU time of the calling thread (user, system) and of the host's main thread, in seconds.
struct CpuTimes {
    double clientUser = 0;
    double clientSystem = 0;
    double host = 0;
};

double seconds(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

CpuTimes cpuTimes(pid_t host) {
    CpuTimes times;
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    times.clientUser = seconds(usage.ru_utime);
    times.clientSystem = seconds(usage.ru_stime);
    // The first field: nanoseconds on a CPU, exact where /proc/PID/stat counts clock ticks.
    std::ifstream schedstat("/proc/" + std::to_string(host) + "/task/" + std::to_string(host) +
                            "/schedstat");
    double nanoseconds = 0;
    schedstat >> nanoseconds;
    times.host = nanoseconds / 1e9;
    return times;
}

// One sequential row: its rate, ratio to the bare round trip and CPU time in every round.
struct Row {
    const char* method;
    std::vector<double> rates;
    std::vector<double> ratios;
    std::vector<double> latencies;
    CpuTimes cpu;
};

// Where the two ends of each round trip run: the calling thread, and its peer (the echo process
// and the host).
struct Placement {
    const char* name;
    int callerCpu;
    int peerCpu;
};

// Pins thread `tid` (0: the calling thread) to `cpu`, or gives it every allowed CPU for -1.
void pin(pid_t tid, int cpu, const cpu_set_t& allowed) {
    cpu_set_t set = allowed;
    if (cpu >= 0) {
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
    }
    ::sched_setaffinity(tid, sizeof(set), &set);
}

// The same for every thread of process `pid` (the host's block server queue as well).
void pinProcess(pid_t pid, int cpu, const cpu_set_t& allowed) {
    std::error_code ignored;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        pin(std::stoi(task.path().filename().string()), cpu, allowed);
    }
}

// Calls the method `count` times, appending the latency of every kLatencySample-th call in
// microseconds (timing every call would load the channel rows with clock reads that the bare
// round trip does not make).
bool callRepeatedly(ChannelClient& client, int count, std::vector<double>& latencies,
                    const char* method) {
    const MethodCall call{method, {}};
    for (int i = 0; i < count; ++i) {
        const bool timed = i % kLatencySample == 0;
        const auto start = timed ? SteadyClock::now() : SteadyClock::time_point();
        auto reply = client.call("orrindale/blocking", call, kTimeout);
        if (!reply || !std::holds_alternative<MethodSuccess>(reply.value())) {
            return false;
        }
        if (timed) {
            latencies.push_back(
                std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
        }
    }
    return true;
}

// Calls in turns with the bare round trip; false when a call failed.
bool measureRound(ChannelClient& client, BareEcho& bare, pid_t host, std::vector<Row>& rows,
                  std::vector<double>& bareRates) {
    const double bareRate = bare.roundTripsPerSecond(kCallsPerRound);
    bareRates.push_back(bareRate);
    for (auto& row : rows) {
        const CpuTimes before = cpuTimes(host);
        const auto start = SteadyClock::now();
        if (!callRepeatedly(client, kCallsPerRound, row.latencies, row.method)) {
            return false;
        }
        const double rate =
            kCallsPerRound / std::chrono::duration<double>(SteadyClock::now() - start).count();
        const CpuTimes after = cpuTimes(host);
        row.rates.push_back(rate);
        row.ratios.push_back(rate / bareRate);
        row.cpu.clientUser += after.clientUser - before.clientUser;
        row.cpu.clientSystem += after.clientSystem - before.clientSystem;
        row.cpu.host += after.host - before.host;
    }
    return bareRate > 0;
}

void printRow(const char* label, double rate, double ratio, std::vector<double> latencies) {
    std::sort(latencies.begin(), latencies.end());
    std::printf("%10s %-33s %8.0f/s  %5.2fx  p50 %5.1f us  p99 %6.1f us  max %8.1f us\n", "", label,
                rate, ratio, percentile(latencies, 0.50), percentile(latencies, 0.99),
                latencies.back());
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

int run(const std::string& hostPath) {
    // Forked before anything else starts, while this process has one thread.
    BareEcho bare(encodeFrame(FrameKind::call, 1, "orrindale/blocking",
                              encodeMethodCall(MethodCall{"getInitialAuthLink", {}}))
                      .size());
    if (bare.roundTripsPerSecond(kWarmUpCalls) <= 0) {
        std::fprintf(stderr, "the bare round trip failed\n");
        return 1;
    }

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
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        ::sched_getaffinity(0, sizeof(allowed), &allowed);
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                cpus.push_back(cpu);
            }
        }
        if (cpus.empty()) {
            cpus.push_back(0);
        }
        std::vector<Placement> placements = {{"one core", cpus[0], cpus[0]}};
        if (cpus.size() > 1) {
            placements.push_back({"two cores", cpus[0], cpus[1]});
        }
        std::vector<std::vector<Row>> rowsByPlacement;
        std::vector<std::vector<double>> bareRatesByPlacement;
        bool sequentialOk = true;
        for (const auto& placement : placements) {
            pin(0, placement.callerCpu, allowed);
            pin(bare.pid(), placement.peerCpu, allowed);
            pinProcess(host, placement.peerCpu, allowed);
            auto& rows = rowsByPlacement.emplace_back(
                std::vector<Row>{{"getInitialAuthLink", {}, {}, {}, {}},
                                 {"getBlockedAttemptCount", {}, {}, {}, {}}});
            auto& bareRates = bareRatesByPlacement.emplace_back();
            std::vector<double> warmUp;
            sequentialOk = sequentialOk &&
                           callRepeatedly(*client, kWarmUpCalls, warmUp, "getInitialAuthLink") &&
                           bare.roundTripsPerSecond(kWarmUpCalls) > 0;
            for (int round = 0; sequentialOk && round < kRounds; ++round) {
                sequentialOk = measureRound(*client, bare, host, rows, bareRates);
            }
        }
        pin(0, -1, allowed);
        pinProcess(host, -1, allowed);
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
                    ok[i] = callRepeatedly(*own.value(), kCallsPerClient, perClient[i],
                                           "getBlockedAttemptCount");
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

        if (!sequentialOk || std::count(ok.begin(), ok.end(), 0) != 0) {
            std::fprintf(stderr, "a call failed\n");
        } else {
            std::printf(
                "bare round trip: %zu-byte messages between two processes; channel calls "
                "(medians of %d rounds)\n",
                bare.messageSize(), kRounds);
            std::printf("%-44s %10s  %5s  latency\n", "", "calls", "ratio");
            for (std::size_t p = 0; p < placements.size(); ++p) {
                const double bareRate = median(bareRatesByPlacement[p]);
                std::printf("%-10s %-33s %8.0f/s  1.00x\n", placements[p].name, "bare round trip",
                            bareRate);
                for (const auto& row : rowsByPlacement[p]) {
                    printRow((std::string(row.method) + ", 1 client").c_str(), median(row.rates),
                             median(row.ratios), row.latencies);
                }
            }
            const double concurrentRate = double{kClients * kCallsPerClient} / concurrentSeconds;
            printRow("getBlockedAttemptCount, 8 clients", concurrentRate,
                     concurrentRate / median(bareRatesByPlacement.back()), all);
            std::printf("CPU per call in us: client thread user + system, host main thread\n");
            for (std::size_t p = 0; p < placements.size(); ++p) {
                for (const auto& row : rowsByPlacement[p]) {
                    const double calls = static_cast<double>(row.rates.size()) * kCallsPerRound;
                    std::printf("  %-10s %-24s %5.2f + %5.2f   %5.2f\n", placements[p].name,
                                row.method, row.cpu.clientUser / calls * 1e6,
                                row.cpu.clientSystem / calls * 1e6, row.cpu.host / calls * 1e6);
                }
            }

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
