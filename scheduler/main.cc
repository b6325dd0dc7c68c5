// KestraluneScheduler: the launch agent's one-shot decision. It finds the application bundle
// it ships in, reads the schedule snapshot and, while the weekly window is open and the
// application is not running, opens it with the scheduled-launch flag. Command-line arguments
// are ignored. Most runs find the window closed, so nothing beyond the file read is set up
// before the decision.
#include "platform/bundle.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/linux/application_launcher_linux.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/log.h"
#include "platform/process_info.h"
#include "platform/workspace.h"
#include "schedule/schedule_snapshot.h"
#include "schedule/scheduled_launch.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace kestralune {
namespace {

constexpr double kLaunchLimitSeconds = 15.0;
// A snapshot is a few dozen bytes; anything near this is not one.
constexpr std::size_t kSnapshotLimit = 1 << 20;

void schedulerFailure(const std::string& message) {
    logLine("Kestralune scheduler: " + message);
}

// The agent lies in NAME.app/Contents/MacOS/, so the bundle is three components up.
std::string containingBundlePath(std::string path) {
    for (int component = 0; component < 3; ++component) {
        const auto slash = path.find_last_of('/');
        path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    }
    return path;
}

bool applicationIsRunning(Workspace& workspace, const std::string& identifier) {
    const auto ownProcess = currentProcessIdentifier();
    const auto applications = workspace.runningApplications();
    return std::any_of(applications.begin(), applications.end(), [&](const auto& application) {
        // The agent itself lives in the bundle and is listed under its identifier.
        return application->processIdentifier() != ownProcess &&
               application->bundleIdentifier() == identifier;
    });
}

int runScheduler() {
    const auto executable = currentExecutablePath();
    if (!executable) {
        schedulerFailure("Could not resolve executable image");
        return 1;
    }
    const std::string appPath = containingBundlePath(*executable);
    const auto bundle = bundleAtPath(appPath);
    if (!bundle || !bundle->identifier) {
        schedulerFailure("Could not resolve containing application at " + appPath);
        return 1;
    }

    const auto bytes =
        readFile(KestraluneScheduleSnapshot::fileURL(bundle->identifier), kSnapshotLimit);
    if (!bytes) {
        return 0;
    }
    const auto snapshot = KestraluneScheduleSnapshot::decode(*bytes);
    if (!snapshot || !snapshot->isActive(std::chrono::system_clock::now(), currentCalendar())) {
        return 0;
    }

    std::optional<int> status;
    AsioRunLoop runLoop;
    if (applicationIsRunning(*makeWorkspace(runLoop), *bundle->identifier)) {
        return 0;
    }
    makeApplicationLauncher(runLoop)->openApplication(
        appPath, {kScheduledLaunchArgument}, [&status](std::optional<std::string> error) {
            if (error) {
                schedulerFailure("Scheduled launch failed: " + *error);
            }
            status = error ? 1 : 0;
        });
    if (!runLoop.runUntil([&status] { return status.has_value(); }, kLaunchLimitSeconds)) {
        schedulerFailure("Scheduled launch timed out");
        return 1;
    }
    return *status;
}

}  // namespace
}  // namespace kestralune

int main() {
    return kestralune::runScheduler();
}
