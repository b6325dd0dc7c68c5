#include "platform/linux/workspace_linux.h"

#include "platform/bundle.h"
#include "platform/linux/pidfd.h"
#include "platform/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace kestralune {

namespace {

// Long enough for a launcher's fork and exec to have happened.
constexpr double kExecSettleSeconds = 1.0;
// How often a process past that age is looked at again for an exec. The launch monitor
// (0.1 s) or the sweep (0.25 s) closes what a scan finds, so a late exec into a blocked
// bundle is closed well within 2 seconds; each round costs a link read per process.
constexpr std::chrono::milliseconds kExecRecheckInterval(1000);

std::string procPath(pid_t pid, const char* leaf) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/%s", static_cast<int>(pid), leaf);
    return path;
}

// Reads a small /proc file whole; nothing when the process is gone or hidden from us.
std::optional<std::string> readProcFile(pid_t pid, const char* leaf) {
    UniqueFd fd(::open(procPath(pid, leaf).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return std::nullopt;
    }
    std::string contents;
    char buffer[4096];
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof(buffer));
        if (count > 0) {
            contents.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            return contents;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

// Field 22 of /proc/PID/stat: clock ticks from boot to the start of the process. With
// the pid it names one process for the life of the system.
std::optional<unsigned long long> readStartTime(pid_t pid) {
    // One read: the line is a few hundred bytes (the command name is at most 64).
    char stat[1024];
    ssize_t length = -1;
    {
        UniqueFd fd(::open(procPath(pid, "stat").c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            return std::nullopt;
        }
        do {
            length = ::read(fd.get(), stat, sizeof(stat) - 1);
        } while (length < 0 && errno == EINTR);
    }
    if (length <= 0) {
        return std::nullopt;
    }
    stat[length] = '\0';
    // The command name (field 2) may hold spaces and parentheses; it ends at the last ')'.
    const char* cursor = std::strrchr(stat, ')');
    if (cursor == nullptr) {
        return std::nullopt;
    }
    for (int field = 3; field <= 22; ++field) {
        cursor = std::strchr(cursor + 1, ' ');
        if (cursor == nullptr) {
            return std::nullopt;
        }
    }
    char* end = nullptr;
    const unsigned long long start = std::strtoull(cursor + 1, &end, 10);
    if (end == cursor + 1) {
        return std::nullopt;
    }
    return start;
}

std::optional<uid_t> readRealUid(pid_t pid) {
    const auto status = readProcFile(pid, "status");
    if (!status) {
        return std::nullopt;
    }
    const auto line = status->find("\nUid:");
    if (line == std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    const char* digits = status->c_str() + line + 5;
    const unsigned long uid = std::strtoul(digits, &end, 10);
    if (end == digits) {
        return std::nullopt;
    }
    return static_cast<uid_t>(uid);
}

// The executable's path; a deleted file keeps the path it had.
std::optional<std::string> readExecutable(pid_t pid) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(procPath(pid, "exe").c_str(), target, sizeof(target));
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof(target)) {
        return std::nullopt;  // kernel thread, another user's process, or gone
    }
    std::string path(target, static_cast<std::size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

// "/x/NAME.app/Contents/MacOS/tool" -> "/x/NAME.app", the same rule as the main bundle.
std::optional<std::string> bundleDirectoryOf(const std::string& executable) {
    constexpr std::string_view kMacOS = "/Contents/MacOS";
    const auto slash = executable.rfind('/');
    if (slash == std::string::npos || slash + 1 == executable.size()) {
        return std::nullopt;
    }
    const std::string_view directory(executable.data(), slash);
    if (!directory.ends_with(kMacOS)) {
        return std::nullopt;
    }
    const std::string_view bundle = directory.substr(0, directory.size() - kMacOS.size());
    const auto nameStart = bundle.rfind('/');
    const std::string_view name =
        nameStart == std::string_view::npos ? bundle : bundle.substr(nameStart + 1);
    if (name.size() <= 4 || !name.ends_with(".app")) {
        return std::nullopt;
    }
    return std::string(bundle);
}

double secondsSinceBoot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class LinuxRunningApplication final : public RunningApplication {
  public:
    LinuxRunningApplication(pid_t pid, std::string identifier, std::string bundlePath,
                            UniqueFd process)
        : pid(pid),
          identifier(std::move(identifier)),
          path(std::move(bundlePath)),
          process(std::move(process)) {}

    std::optional<std::string> bundleIdentifier() const override { return identifier; }
    std::optional<std::string> bundlePath() const override { return path; }
    std::int32_t processIdentifier() const override { return pid; }

    bool terminate() override { return send(SIGTERM); }
    bool forceTerminate() override { return send(SIGKILL); }
    bool kill() override { return send(SIGKILL); }

    // The pidfd turns readable once the process has exited, reaped or not.
    bool isTerminated() const override {
        pollfd watched{process.get(), POLLIN, 0};
        return ::poll(&watched, 1, 0) > 0;
    }

  private:
    bool send(int signal) {
        // Never init, never the host itself, whatever a caller's lists say.
        if (pid <= 1 || pid == ::getpid() || isTerminated()) {
            return false;
        }
        return pidfdSendSignal(process.get(), signal);
    }

    pid_t pid;
    std::string identifier;
    std::string path;
    UniqueFd process;
};

}  // namespace

// The cache behind the scans: what each live process is, and what each bundle is called.
//
// Finding new processes: the kernel hands out pids in increasing order, wrapping at
// pid_max, and /proc/loadavg names the last one given out in our pid namespace. When it
// has moved forward by a little since the previous scan, only the pids in between can
// belong to new processes, and those are probed one by one; otherwise (a wrap, a large
// jump, no usable reading) the whole /proc directory is read. A full read also runs every
// kFullScanInterval to drop ended processes and to catch pids handed out out of order
// (checkpoint-restore tools can choose pids).
//
// Noticing an exec: Linux tells no unprivileged process about another's exec, so the
// executable link of every process we can read (the user's own; kernel threads and other
// users' processes have none for us) is read again and compared with the last reading.
// Processes in their first second, when launchers exec, are read on every scan; older ones
// once per kExecRecheckInterval, a slice on each scan in proportion to the time since the
// previous one, so the cost is steady and does not grow with the scan rate.
class ProcessTable {
  public:
    ProcessTable()
        : proc(::opendir("/proc")),
          loadAverage(::open("/proc/loadavg", O_RDONLY | O_CLOEXEC)),
          lastPidUsable(procIsOurNamespace()),
          user(::getuid()),
          ticksPerSecond(::sysconf(_SC_CLK_TCK)),
          lastRecheck(SteadyClock::now()) {}
    ~ProcessTable() {
        if (proc != nullptr) {
            ::closedir(proc);
        }
    }
    ProcessTable(const ProcessTable&) = delete;
    ProcessTable& operator=(const ProcessTable&) = delete;

    std::vector<std::shared_ptr<RunningApplication>> scan() {
        const auto now = SteadyClock::now();
        // Before finding new processes, which have just been read.
        recheckExecutables(now);
        // Read before looking, so a process started during the scan is probed next time.
        const auto lastPid = readLastPid();
        if (lastPid && previousLastPid && *lastPid >= *previousLastPid &&
            *lastPid - *previousLastPid <= kMaxProbedPids &&
            now - lastFullScan < kFullScanInterval) {
            for (pid_t pid = *previousLastPid + 1; pid <= *lastPid; ++pid) {
                probe(pid);
            }
        } else {
            fullScan();
            lastFullScan = now;
        }
        previousLastPid = lastPid;
        return liveApplications();
    }

  private:
    using SteadyClock = std::chrono::steady_clock;

    // Beyond this many pids since the last scan, reading the directory is cheaper.
    static constexpr pid_t kMaxProbedPids = 128;
    static constexpr auto kFullScanInterval = std::chrono::seconds(2);
    static constexpr ino_t kUnknownInode = 0;

    struct Record {
        ino_t inode = 0;                   // of /proc/PID; changes when the pid is reused
        unsigned long long startTime = 0;  // the identity when the inode alone is unsure
        std::string executable;            // as last read; empty when it cannot be read
        std::uint64_t generation = 0;
    };

    // A process whose executable is read again; stale once its pid names another process.
    struct Watched {
        pid_t pid = 0;
        unsigned long long startTime = 0;
    };

    struct BundleVersion {
        dev_t device = 0;
        ino_t inode = 0;
        timespec modified{};
        off_t size = 0;
        std::optional<std::string> identifier;

        bool matches(const struct stat& info) const {
            return device == info.st_dev && inode == info.st_ino && size == info.st_size &&
                   modified.tv_sec == info.st_mtim.tv_sec &&
                   modified.tv_nsec == info.st_mtim.tv_nsec;
        }
    };

    static pid_t parsePid(const char* name) {
        long value = 0;
        for (const char* c = name; *c != '\0'; ++c) {
            if (*c < '0' || *c > '9' || value > INT_MAX / 10) {
                return 0;
            }
            value = value * 10 + (*c - '0');
        }
        return static_cast<pid_t>(value);
    }

    // /proc/loadavg speaks for the caller's pid namespace; it is only a guide to the
    // /proc we read when that /proc belongs to the same namespace.
    static bool procIsOurNamespace() {
        char self[32];
        const ssize_t length = ::readlink("/proc/self", self, sizeof(self) - 1);
        if (length <= 0) {
            return false;
        }
        self[length] = '\0';
        return parsePid(self) == ::getpid();
    }

    // The last field of "0.20 0.18 0.12 1/80 11206".
    std::optional<pid_t> readLastPid() const {
        if (!lastPidUsable || !loadAverage.valid()) {
            return std::nullopt;
        }
        char text[128];
        ssize_t length = ::pread(loadAverage.get(), text, sizeof(text) - 1, 0);
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' ')) {
            --length;
        }
        if (length <= 0) {
            return std::nullopt;
        }
        text[length] = '\0';
        const char* field = std::strrchr(text, ' ');
        const pid_t pid = field == nullptr ? 0 : parsePid(field + 1);
        return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
    }

    void fullScan() {
        if (proc == nullptr) {
            return;
        }
        ++generation;
        std::size_t seen = 0;
        ::rewinddir(proc);
        while (const dirent* entry = ::readdir(proc)) {
            const pid_t pid = parsePid(entry->d_name);
            if (pid > 0 && lookUp(pid, entry->d_ino) != nullptr) {
                ++seen;
            }
        }
        if (seen == records.size()) {
            return;
        }
        for (auto item = records.begin(); item != records.end();) {
            if (item->second.generation != generation) {
                applications.erase(item->first);
                item = records.erase(item);
            } else {
                ++item;
            }
        }
    }

    // A pid handed out since the last scan: a new process, one of its threads, or nothing
    // any more.
    void probe(pid_t pid) {
        UniqueFd leader(pidfdOpen(pid));
        if (!leader.valid()) {
            if (errno == ESRCH) {
                forget(pid);
            }
            return;  // gone, or a thread (EINVAL), which /proc's listing leaves out too
        }
        lookUp(pid, kUnknownInode);
    }

    // The record for the process now at `pid`, examining it if it is new to us; null when
    // the process ended while we looked. Probes pass kUnknownInode.
    Record* lookUp(pid_t pid, ino_t inode) {
        auto [found, inserted] = records.try_emplace(pid);
        Record& record = found->second;
        bool current = true;
        if (inserted) {
            current = examine(pid, inode, record);
        } else if (inode == kUnknownInode || record.inode != inode) {
            // An unknown or fresh /proc inode is either a reused pid or the same process
            // whose entry the kernel rebuilt; the start time tells which.
            const auto start = readStartTime(pid);
            if (start && *start == record.startTime) {
                if (inode != kUnknownInode) {
                    record.inode = inode;
                }
            } else {
                applications.erase(pid);
                record = Record{};
                current = examine(pid, inode, record);
            }
        }
        if (!current) {
            forget(pid);
            return nullptr;
        }
        record.generation = generation;
        return &record;
    }

    bool examine(pid_t pid, ino_t inode, Record& record) {
        const auto start = readStartTime(pid);
        if (!start) {
            return false;
        }
        record.inode = inode;
        record.startTime = *start;
        const auto executable = readExecutable(pid);
        if (executable) {
            record.executable = *executable;
            setApplication(pid, makeApplication(pid, *executable, *start));
        }
        if (!isSettled(*start)) {
            // Even when unreadable: a child of another user's launcher may take our uid and exec.
            young.push_back({pid, *start});
        } else if (executable) {
            watched.push_back({pid, *start});
        }
        // Otherwise a kernel thread, a zombie or another user's: never an application.
        return true;
    }

    void recheckExecutables(SteadyClock::time_point now) {
        // Young processes until they are old enough to have exec'd after a fork.
        std::erase_if(young, [this](const Watched& entry) {
            Record* record = current(entry);
            if (record == nullptr) {
                return true;
            }
            recheck(entry.pid, *record);
            if (!isSettled(entry.startTime)) {
                return false;
            }
            if (!record->executable.empty()) {
                watched.push_back(entry);
            }
            return true;
        });

        const double share =
            std::chrono::duration<double>(now - lastRecheck) / kExecRecheckInterval;
        lastRecheck = now;
        auto due = static_cast<std::size_t>(
            std::ceil(std::min(share, 1.0) * static_cast<double>(watched.size())));
        for (; due > 0; --due) {
            if (nextWatched == watched.size()) {
                // A round is over: drop the processes that have ended or whose pid moved on.
                std::erase_if(watched, [this](const Watched& entry) { return !current(entry); });
                nextWatched = 0;
                due = std::min(due, watched.size());
                if (due == 0) {
                    return;
                }
            }
            const Watched entry = watched[nextWatched++];
            if (Record* record = current(entry)) {
                recheck(entry.pid, *record);
            }
        }
    }

    Record* current(const Watched& entry) {
        const auto found = records.find(entry.pid);
        return found != records.end() && found->second.startTime == entry.startTime ? &found->second
                                                                                    : nullptr;
    }

    // An executable other than the last one read means an exec: the process becomes a new
    // application, or stops being one. A failed read (it is ending) changes nothing.
    void recheck(pid_t pid, Record& record) {
        const auto executable = readExecutable(pid);
        if (executable && *executable != record.executable) {
            setApplication(pid, makeApplication(pid, *executable, record.startTime));
            record.executable = *executable;
        }
    }

    bool isSettled(unsigned long long startTime) const {
        const double started = static_cast<double>(startTime) / static_cast<double>(ticksPerSecond);
        return secondsSinceBoot() - started >= kExecSettleSeconds;
    }

    void setApplication(pid_t pid, std::shared_ptr<RunningApplication> application) {
        if (application) {
            applications[pid] = std::move(application);
        } else {
            applications.erase(pid);
        }
    }

    void forget(pid_t pid) {
        records.erase(pid);
        applications.erase(pid);
    }

    // The applications in pid order, less those that have ended since they were found.
    std::vector<std::shared_ptr<RunningApplication>> liveApplications() {
        std::vector<std::shared_ptr<RunningApplication>> live;
        live.reserve(applications.size());
        for (auto item = applications.begin(); item != applications.end();) {
            if (item->second->isTerminated()) {
                records.erase(item->first);
                item = applications.erase(item);
            } else {
                live.push_back(item->second);
                ++item;
            }
        }
        return live;
    }

    std::shared_ptr<RunningApplication> makeApplication(pid_t pid, const std::string& executable,
                                                        unsigned long long startTime) {
        auto bundle = bundleDirectoryOf(executable);
        if (!bundle) {
            return nullptr;
        }
        const auto uid = readRealUid(pid);
        if (!uid || *uid != user) {
            return nullptr;
        }
        auto identifier = identifierOfBundle(*bundle);
        if (!identifier) {
            return nullptr;
        }
        UniqueFd process(pidfdOpen(pid));
        if (!process.valid()) {
            return nullptr;
        }
        // The pid may have changed hands between the look at /proc and pidfd_open: the
        // descriptor counts only if the process behind the pid is still the one examined.
        const auto start = readStartTime(pid);
        if (!start || *start != startTime) {
            return nullptr;
        }
        auto application = std::make_shared<LinuxRunningApplication>(
            pid, std::move(*identifier), std::move(*bundle), std::move(process));
        if (application->isTerminated()) {
            return nullptr;
        }
        return application;
    }

    std::optional<std::string> identifierOfBundle(const std::string& bundle) {
        struct stat info {};
        if (::stat((bundle + "/Contents/Info.plist").c_str(), &info) != 0) {
            bundles.erase(bundle);
            return std::nullopt;
        }
        auto& version = bundles[bundle];
        if (!version.matches(info)) {
            version.device = info.st_dev;
            version.inode = info.st_ino;
            version.size = info.st_size;
            version.modified = info.st_mtim;
            const auto read = bundleAtPath(bundle);
            version.identifier = read ? read->identifier : std::nullopt;
        }
        return version.identifier;
    }

    DIR* proc;
    UniqueFd loadAverage;
    bool lastPidUsable;
    uid_t user;
    long ticksPerSecond;
    std::optional<pid_t> previousLastPid;
    SteadyClock::time_point lastFullScan;
    SteadyClock::time_point lastRecheck;
    std::uint64_t generation = 0;
    std::unordered_map<pid_t, Record> records;
    std::map<pid_t, std::shared_ptr<RunningApplication>> applications;
    std::vector<Watched> young;
    // Read once per kExecRecheckInterval, in order, from nextWatched on.
    std::vector<Watched> watched;
    std::size_t nextWatched = 0;
    std::unordered_map<std::string, BundleVersion> bundles;
};

LinuxWorkspace::LinuxWorkspace(RunLoop& runLoop)
    : runLoop(runLoop), processes(std::make_unique<ProcessTable>()) {}

LinuxWorkspace::~LinuxWorkspace() {
    if (monitorTimer) {
        monitorTimer->invalidate();
    }
}

std::vector<std::shared_ptr<RunningApplication>> LinuxWorkspace::runningApplications() {
    return processes->scan();
}

Workspace::ObserverId LinuxWorkspace::addObserver(Observer observer) {
    const ObserverId id = nextObserverId++;
    observers.emplace(id, std::move(observer));
    return id;
}

void LinuxWorkspace::removeObserver(ObserverId id) {
    observers.erase(id);
}

void LinuxWorkspace::setLaunchMonitoringEnabled(bool enabled) {
    if (enabled == launchMonitoringEnabled()) {
        return;
    }
    if (!enabled) {
        monitorTimer->invalidate();
        monitorTimer.reset();
        knownApplications.clear();
        return;
    }
    knownApplications = processes->scan();
    // The workspace invalidates the timer when it is destroyed, so `this` cannot dangle.
    monitorTimer = runLoop.scheduleTimer(kLaunchPollInterval, true, [this] { pollLaunches(); });
}

void LinuxWorkspace::pollLaunches() {
    if (!launchMonitoringEnabled()) {
        return;
    }
    auto current = processes->scan();
    std::unordered_set<const RunningApplication*> known;
    known.reserve(knownApplications.size());
    for (const auto& application : knownApplications) {
        known.insert(application.get());
    }
    std::vector<std::shared_ptr<RunningApplication>> launched;
    for (const auto& application : current) {
        if (!known.contains(application.get())) {
            launched.push_back(application);
        }
    }
    knownApplications = std::move(current);
    for (const auto& application : launched) {
        // Observers may add or remove observers while being told.
        const auto recipients = observers;
        for (const auto& [id, observer] : recipients) {
            observer({WorkspaceNotification::Name::didLaunchApplication, application});
        }
    }
}

std::shared_ptr<Workspace> makeWorkspace(RunLoop& runLoop) {
    return std::make_shared<LinuxWorkspace>(runLoop);
}

}  // namespace kestralune
