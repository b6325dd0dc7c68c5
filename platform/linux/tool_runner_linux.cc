// posix_spawn-based tool runner.
//
// Outcomes beyond a plain exit:
// - a tool ended by a signal reports the signal number as its status, as NSTask's
//   terminationStatus does for an uncaught signal (callers see a non-zero status);
// - a tool that cannot be started reports -1 and a Foundation-style sentence naming the
//   file ("The file “networksetup” doesn’t exist.", or the system's reason for other errors);
// - a tool still running at the limit is killed with its process group, reaped, and
//   reports -1 with "The tool “NAME” was stopped after running for N seconds.";
// - so is a tool that writes more than kOutputLimit ("... was stopped after writing more
//   than 16 MiB of output."), so a runaway tool cannot exhaust the host's memory;
// - and one the runner cannot watch any more because poll fails ("The tool “NAME” could not
//   be watched. (reason)"), rather than spinning until the limit.
// Output is collected until the tool exits; whatever it left in the pipe is read then, and
// descendants that keep the pipe open afterwards are not waited for.
#include "platform/linux/child_reaping.h"
#include "platform/linux/pidfd.h"
#include "platform/linux/spawn_signals.h"
#include "platform/text.h"
#include "platform/tool_runner.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

extern char** environ;

namespace kestralune {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Far above anything networksetup, scutil or kill print.
constexpr std::size_t kOutputLimit = 16 * 1024 * 1024;

std::string fileName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string quotedName(const std::string& path) {
    return "\u201C" + fileName(path) + "\u201D";
}

std::string launchFailure(int error, const std::string& path) {
    const std::string quoted = quotedName(path);
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return "The file " + quoted + " doesn\u2019t exist.";
        case EACCES:
        case EPERM:
            return "The file " + quoted +
                   " couldn\u2019t be opened because you don\u2019t have permission to view it.";
        default:
            return "The file " + quoted + " couldn\u2019t be opened. (" + std::strerror(error) +
                   ")";
    }
}

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", seconds);
    return text;
}

enum class PipeState { open, closed, overflowing };

// Appends what the pipe holds now, stopping once the output passes kOutputLimit.
PipeState drainPipe(int fd, std::string& output) {
    char buffer[65536];
    while (output.size() <= kOutputLimit) {
        const ssize_t count = ::read(fd, buffer, sizeof(buffer));
        if (count > 0) {
            output.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            return PipeState::closed;
        } else if (errno != EINTR) {
            return errno == EAGAIN ? PipeState::open : PipeState::closed;
        }
    }
    return PipeState::overflowing;
}

class SpawnSetup {
  public:
    explicit SpawnSetup(int writeEnd) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, writeEnd, STDERR_FILENO);
        // Only the three standard descriptors reach the tool, whatever the host has open.
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

        posix_spawnattr_init(&attributes);
        // Its own process group, so a tool that overstays is killed with its children.
        posix_spawnattr_setpgroup(&attributes, 0);
        setDefaultSignals(attributes, POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

class LinuxToolRunner final : public ToolRunner {
  public:
    explicit LinuxToolRunner(double limitSeconds) : limitSeconds(limitSeconds) {}

    ToolResult runTool(const std::string& path,
                       const std::vector<std::string>& arguments) override {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return {-1, launchFailure(errno, path)};
        }
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);

        std::vector<char*> argv;
        argv.reserve(arguments.size() + 2);
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);

        pid_t pid = 0;
        const int spawnError = [&] {
            SpawnSetup setup(writeEnd.get());
            return ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(),
                                 environ);
        }();
        writeEnd.reset();
        if (spawnError != 0) {
            return {-1, launchFailure(spawnError, path)};
        }
        ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);

        // The tool and its children are ended before any failure is reported.
        const auto stop = [pid](std::string description) {
            ::kill(-pid, SIGKILL);
            (void)reapChild(pid);
            return ToolResult{-1, std::move(description)};
        };
        const auto unwatchable = [&](int error) {
            return stop("The tool " + quotedName(path) + " could not be watched. (" +
                        std::strerror(error) + ")");
        };
        UniqueFd process(pidfdOpen(pid));
        if (!process.valid()) {
            return unwatchable(errno);
        }

        std::string output;
        switch (collectUntilExit(readEnd.get(), process.get(), output)) {
            case Collected::exited:
                break;
            case Collected::overran:
                return stop("The tool " + quotedName(path) + " was stopped after running for " +
                            formatSeconds(limitSeconds) + " seconds.");
            case Collected::overflowed:
                return stop("The tool " + quotedName(path) +
                            " was stopped after writing more than 16 MiB of output.");
            case Collected::unwatchable:
                return unwatchable(errno);
        }
        const auto status = reapChild(pid);
        if (!status) {
            return {-1, "The exit status of the tool " + quotedName(path) + " could not be read."};
        }
        ToolResult result;
        result.status = WIFSIGNALED(*status) ? WTERMSIG(*status) : WEXITSTATUS(*status);
        if (isValidUtf8(output)) {
            result.output = std::move(output);
        }
        return result;
    }

  private:
    enum class Collected { exited, overran, overflowed, unwatchable };

    // Reads the pipe while the tool runs, until it exits or something else ends the run
    // (`unwatchable` leaves poll's error in errno).
    Collected collectUntilExit(int pipe, int process, std::string& output) const {
        const auto deadline =
            SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double>(limitSeconds));
        PipeState pipeState = PipeState::open;
        while (true) {
            const auto remaining = deadline - SteadyClock::now();
            if (remaining <= SteadyClock::duration::zero()) {
                return Collected::overran;
            }
            // Rounded up so a wait never ends just before the deadline and spins.
            const auto millis = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
            pollfd watched[2] = {{process, POLLIN, 0}, {pipe, POLLIN, 0}};
            const bool pipeOpen = pipeState == PipeState::open;
            const int ready = ::poll(watched, pipeOpen ? 2 : 1,
                                     static_cast<int>(std::min<long long>(millis, 60'000)));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;  // the deadline still bounds the wait
                }
                return Collected::unwatchable;
            }
            if (pipeOpen && (watched[1].revents != 0 || watched[0].revents != 0)) {
                pipeState = drainPipe(pipe, output);
            }
            if (pipeState == PipeState::overflowing) {
                return Collected::overflowed;
            }
            if (watched[0].revents != 0) {
                return Collected::exited;
            }
        }
    }

    double limitSeconds;
};

}  // namespace

std::shared_ptr<ToolRunner> makeToolRunner(double limitSeconds) {
    return std::make_shared<LinuxToolRunner>(limitSeconds);
}

}  // namespace kestralune
