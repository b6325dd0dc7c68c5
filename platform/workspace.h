#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

class RunLoop;

// One running application of the current user (NSRunningApplication). The object stays
// bound to the process it was made for: once that process has ended, every request is a
// no-op, even if its pid has been given to another process.
class RunningApplication {
  public:
    virtual ~RunningApplication() = default;

    virtual std::optional<std::string> bundleIdentifier() const = 0;
    // The bundle directory; nothing when the application has no bundle location.
    virtual std::optional<std::string> bundlePath() const = 0;
    virtual std::int32_t processIdentifier() const = 0;

    // Polite and forced requests to quit (SIGTERM and SIGKILL here). False when the
    // process had already gone.
    virtual bool terminate() = 0;
    virtual bool forceTerminate() = 0;
    virtual bool isTerminated() const = 0;
    // SIGKILL to exactly this process; false when it has already gone.
    virtual bool kill() = 0;
};

// Workspace notifications carry the application under NSWorkspaceApplicationKey, which
// may be missing.
struct WorkspaceNotification {
    enum class Name { didLaunchApplication, didActivateApplication };
    Name name = Name::didLaunchApplication;
    std::shared_ptr<RunningApplication> application;
};

// NSWorkspace: running applications and their launch/activation notifications.
// Main thread only; observers are called on the main thread.
class Workspace {
  public:
    using Observer = std::function<void(const WorkspaceNotification&)>;
    using ObserverId = std::uint64_t;

    virtual ~Workspace() = default;

    virtual std::vector<std::shared_ptr<RunningApplication>> runningApplications() = 0;

    virtual ObserverId addObserver(Observer observer) = 0;
    virtual void removeObserver(ObserverId id) = 0;

    // Launches are noticed by polling here, which costs time; the engine turns the monitor
    // on only while a session has applications to close. Observers receive nothing while it
    // is off.
    virtual void setLaunchMonitoringEnabled(bool enabled) = 0;
};

// The real workspace (/proc). Its launch monitor runs on `runLoop`, which must outlive it.
std::shared_ptr<Workspace> makeWorkspace(RunLoop& runLoop);

}  // namespace kestralune
