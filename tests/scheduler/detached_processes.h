#pragma once

#include "platform/linux/pidfd.h"
#include "platform/testing/fixture_applications.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// Programs opened detached are nobody's child here: tests find them by their executable and
// end them by pidfd.

// A link under /proc/PID (exe, fd/0), or nothing once the process has gone.
inline std::optional<std::string> procLink(pid_t pid, const std::string& entry) {
    std::error_code error;
    const auto link =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/" + entry, error);
    return error ? std::nullopt : std::optional(link.string());
}

// The running processes of `executable`, in pid order.
inline std::vector<pid_t> processesRunning(const std::string& executable) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            procLink(std::stoi(name), "exe") == executable) {
            found.push_back(std::stoi(name));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// SIGTERM, then SIGKILL after `seconds`, to each process of `executable`. The pidfd is taken
// before the executable is checked again, so a pid passed on meanwhile is never signalled.
inline void endProcessesOf(const std::string& executable, double seconds = 10) {
    for (const pid_t pid : processesRunning(executable)) {
        const UniqueFd process(pidfdOpen(pid));
        if (!process.valid() || procLink(pid, "exe") != executable) {
            continue;
        }
        pidfdSendSignal(process.get(), SIGTERM);
        if (!eventually([&] { return procLink(pid, "exe") != executable; }, seconds)) {
            pidfdSendSignal(process.get(), SIGKILL);
        }
    }
}

}  // namespace kestralune
