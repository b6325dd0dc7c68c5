// Opens a bundle's executable the way launchd starts a program: in a session of its own,
// orphaned at once (double fork) so that it is never the caller's child or zombie, standard
// input from /dev/null, the caller's standard output and error.
//
// The exec's outcome comes back through a close-on-exec pipe: end of file without data means
// the exec succeeded, an errno written by a child means a step before it failed. The pipe is
// read on the run loop, so a caller that waits with a limit keeps its limit.
#include "platform/linux/application_launcher_linux.h"

#include "platform/bundle.h"
#include "platform/unique_fd.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/read.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace kestralune {

namespace {

std::string cannotOpen(const std::string& bundlePath, const std::string& reason) {
    return "The application \u201C" + bundlePath + "\u201D can\u2019t be opened because " + reason +
           ".";
}

std::string cannotStart(const std::string& bundlePath, const std::string& executable, int error) {
    return cannotOpen(bundlePath, "its executable \u201C" + executable +
                                      "\u201D could not be started (" + std::strerror(error) + ")");
}

// These two run in forked children of a process that may have threads: async-signal-safe
// calls only.
[[noreturn]] void reportFailure(int reportPipe, int error) {
    while (::write(reportPipe, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

[[noreturn]] void execDetached(const char* path, char* const* argv, int nullInput, int reportPipe) {
    const pid_t program = ::_Fork();
    if (program != 0) {
        if (program < 0) {
            reportFailure(reportPipe, errno);
        }
        // The caller reaps this child at once, leaving the program to init.
        ::_exit(0);
    }
    if (::setsid() < 0 || ::dup2(nullInput, STDIN_FILENO) < 0) {
        reportFailure(reportPipe, errno);
    }
    // Ignored signals and a blocked mask would survive the exec (a systemd service ignores
    // SIGPIPE, for one); the application starts with the defaults.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &defaults, nullptr);
    }
    // Nothing of the caller's beyond the standard three reaches the application; the report
    // pipe stays open until the exec closes it.
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(path, argv, environ);
    reportFailure(reportPipe, errno);
}

// Waits on the run loop for the report of one launch and answers its completion once.
struct PendingLaunch {
    PendingLaunch(asio::io_context& context, UniqueFd readEnd)
        : report(context, readEnd.release()) {}

    asio::posix::stream_descriptor report;
    int error = 0;
};

class LinuxApplicationLauncher final : public ApplicationLauncher {
  public:
    explicit LinuxApplicationLauncher(AsioRunLoop& runLoop) : runLoop(runLoop) {}

    void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                         Completion completion) override {
        const auto fail = [&](std::string error) {
            runLoop.async([completion, error = std::move(error)] { completion(error); });
        };
        const auto bundle = bundleAtPath(bundlePath);
        if (!bundle) {
            return fail(cannotOpen(bundlePath, "its Info.plist is missing or unreadable"));
        }
        const auto entry = bundle->infoDictionary.find("CFBundleExecutable");
        const std::string* name =
            entry == bundle->infoDictionary.end() ? nullptr : entry->second.get<std::string>();
        if (name == nullptr || name->empty()) {
            return fail(cannotOpen(bundlePath, "its Info.plist names no executable"));
        }
        const std::string executable = bundlePath + "/Contents/MacOS/" + *name;

        std::vector<char*> argv;
        argv.reserve(arguments.size() + 2);
        argv.push_back(const_cast<char*>(executable.c_str()));
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);

        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return fail(cannotStart(bundlePath, executable, errno));
        }
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        UniqueFd nullInput(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!nullInput.valid()) {
            return fail(cannotStart(bundlePath, executable, errno));
        }
        const pid_t intermediate = ::fork();
        if (intermediate == 0) {
            execDetached(executable.c_str(), argv.data(), nullInput.get(), writeEnd.get());
        }
        if (intermediate < 0) {
            return fail(cannotStart(bundlePath, executable, errno));
        }
        writeEnd.reset();
        while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
        }

        auto pending = std::make_shared<PendingLaunch>(runLoop.ioContext(), std::move(readEnd));
        asio::async_read(
            pending->report, asio::buffer(&pending->error, sizeof pending->error),
            [pending, completion = std::move(completion), bundlePath, executable](
                std::error_code readError, std::size_t length) {
                if (length == sizeof pending->error) {
                    completion(cannotStart(bundlePath, executable, pending->error));
                } else if (readError == asio::error::eof && length == 0) {
                    completion(std::nullopt);
                } else {
                    // A short report or a failed read: the outcome is unknown.
                    completion(cannotOpen(bundlePath, "its start could not be confirmed (" +
                                                          readError.message() + ")"));
                }
            });
    }

  private:
    AsioRunLoop& runLoop;
};

}  // namespace

std::string replaceProcessImage(const std::string& executable,
                                const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(executable.c_str(), argv.data());
    return "Could not start " + executable + ": " + std::strerror(errno) + ".";
}

std::shared_ptr<ApplicationLauncher> makeApplicationLauncher(AsioRunLoop& runLoop) {
    return std::make_shared<LinuxApplicationLauncher>(runLoop);
}

}  // namespace kestralune
