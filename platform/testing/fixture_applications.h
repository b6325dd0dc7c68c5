#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestralune {

// Real dummy applications for tests of the workspace and the app blocker: fixture bundles
// holding a copied program, and the processes started from them.

// Copies `program` to `folder`/`executable` (a path inside NAME.app/Contents/) and writes the
// bundle's Info.plist: none when `identifier` is null, one without CFBundleIdentifier when it
// is empty. Returns the executable's path.
inline std::string makeFixtureBundle(const std::filesystem::path& folder,
                                     const std::string& executable, const char* identifier,
                                     const char* program = "/bin/sleep") {
    const auto path = folder / executable;
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::copy_file(program, path);
    if (identifier != nullptr) {
        const std::string key = "<key>CFBundleIdentifier</key><string>";
        std::ofstream(folder / executable.substr(0, executable.find("/Contents/")) /
                      "Contents/Info.plist")
            << "<plist version=\"1.0\"><dict>"
            << (*identifier ? key + identifier + "</string>" : "") << "</dict></plist>\n";
    }
    return path.string();
}

// Polls `condition` every 20 ms until it holds or `seconds` of real time have passed.
inline bool eventually(const std::function<bool()>& condition, double seconds = 15) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

// The processes a test starts, killed and reaped when it is done with them. Until then an
// ended child stays unreaped, so its pid cannot pass to another process.
class FixtureProcesses {
  public:
    FixtureProcesses() = default;
    ~FixtureProcesses() {
        for (const pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    FixtureProcesses(const FixtureProcesses&) = delete;
    FixtureProcesses& operator=(const FixtureProcesses&) = delete;

    // Returns once the child runs `path` (a scan never sees it between fork and exec), or -1
    // when it could not be started. Its standard error goes to `errorLog` when one is named.
    pid_t start(const std::string& path, std::vector<const char*> arguments = {"60"},
                const char* errorLog = nullptr) {
        arguments.insert(arguments.begin(), path.c_str());
        arguments.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (errorLog != nullptr) {
            posix_spawn_file_actions_addopen(&actions, 2, errorLog, O_WRONLY | O_CREAT | O_APPEND,
                                             0600);
        }
        pid_t pid = -1;
        const int failed = ::posix_spawn(&pid, path.c_str(), &actions, nullptr,
                                         const_cast<char* const*>(arguments.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            return -1;
        }
        pids.push_back(pid);
        return pid;
    }
    // Whether the child has ended; it stays unreaped.
    static bool hasExited(pid_t pid) {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid;
    }
    // Waits up to `seconds` for the child to end and reaps it (from then on its pid may pass
    // to another process): its exit status, -1 after a signal or when it was reaped before,
    // -2 when it still runs.
    int waitForExit(pid_t pid, double seconds = 15) {
        int status = 0;
        pid_t reaped = 0;
        if (!eventually([&] { return (reaped = ::waitpid(pid, &status, WNOHANG)) != 0; },
                        seconds)) {
            return -2;
        }
        std::erase(pids, pid);
        return reaped == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    std::vector<pid_t> pids;
};

}  // namespace kestralune
