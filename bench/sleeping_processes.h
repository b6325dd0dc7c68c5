#pragma once

// The benchmarks' own sleeping processes: some run from inside a fixture bundle, so the
// workspace sees them as applications, the rest are plain /bin/sleep. Every process is
// ended (by pid) and reaped when the set shrinks or is destroyed.

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestralune {

class SleepingProcesses {
  public:
    // `bundledCount`: how many of the processes (the first ones started) run from inside
    // the bundle.
    explicit SleepingProcesses(std::size_t bundledCount = 0) : bundled(bundledCount) {
        char pattern[] = "/tmp/kestralune-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        const auto macos = root / "Sleeper.app/Contents/MacOS";
        std::filesystem::create_directories(macos);
        std::filesystem::copy_file("/bin/sleep", macos / "sleeper");
        bundledProgram = (macos / "sleeper").string();
        std::ofstream(root / "Sleeper.app/Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.example.sleeper</string>"
               "</dict></plist>\n";
    }
    ~SleepingProcesses() {
        shrinkTo(0);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    SleepingProcesses(const SleepingProcesses&) = delete;
    SleepingProcesses& operator=(const SleepingProcesses&) = delete;

    std::size_t bundledCount() const { return bundled; }
    // Ends every process first when the count changes, so the split is exact.
    void setBundledCount(std::size_t count) {
        if (count != bundled) {
            shrinkTo(0);
            bundled = count;
        }
    }

    // Starts `count` more processes and returns their pids.
    std::vector<pid_t> spawn(std::size_t count) {
        std::vector<pid_t> started;
        for (std::size_t index = 0; index < count; ++index) {
            std::string program = pids.size() < bundled ? bundledProgram : "/bin/sleep";
            char* argv[] = {program.data(), const_cast<char*>("600"), nullptr};
            pid_t pid = 0;
            if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0) {
                pids.push_back(pid);
                started.push_back(pid);
            }
        }
        return started;
    }

    void resize(std::size_t count) {
        count < pids.size() ? shrinkTo(count) : static_cast<void>(spawn(count - pids.size()));
    }

    void shrinkTo(std::size_t count) {
        while (pids.size() > count) {
            ::kill(pids.back(), SIGKILL);
            ::waitpid(pids.back(), nullptr, 0);
            pids.pop_back();
        }
    }

    // Lets new processes age past the workspace's repeated look at processes in their
    // first second, so measurements see settled processes.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }

    std::size_t size() const { return pids.size(); }

  private:
    std::filesystem::path root;
    std::string bundledProgram;
    std::size_t bundled = 0;
    std::vector<pid_t> pids;
};

}  // namespace kestralune
