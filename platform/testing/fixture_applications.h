#pragma once

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
    // when it could not be started.
    pid_t start(const std::string& path, std::vector<const char*> arguments = {"60"}) {
        arguments.insert(arguments.begin(), path.c_str());
        arguments.push_back(nullptr);
        pid_t pid = -1;
        if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr,
                          const_cast<char* const*>(arguments.data()), environ) != 0) {
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
    // Waits for the child to end and reaps it; from then on its pid may pass to another.
    void reap(pid_t pid) {
        ::waitpid(pid, nullptr, 0);
        std::erase(pids, pid);
    }

  private:
    std::vector<pid_t> pids;
};

// Polls `condition` every 20 ms until it holds or `seconds` of real time have passed.
inline bool eventually(const std::function<bool()>& condition, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

}  // namespace kestralune
