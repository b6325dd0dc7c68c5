#pragma once

#include "platform/run_loop.h"
#include "platform/workspace.h"

#include <map>
#include <memory>
#include <vector>

namespace kestralune {

class ProcessTable;

// The workspace over /proc. An application is a process of the current user (real uid)
// whose executable lies directly in `NAME.app/Contents/MacOS/` of a bundle whose
// Contents/Info.plist names a CFBundleIdentifier; its bundle path is the `NAME.app`
// directory. Lists are in ascending pid order.
//
// Scans are incremental: a process is examined once (its /proc inode and start time
// identify it across pid reuse) and bundles are read once per Info.plist version. A warm
// scan probes only the pids the kernel handed out since the previous one (from
// /proc/loadavg) and reads the whole /proc directory only every two seconds or after a
// burst of new pids, so its cost grows with new processes, not with all of them.
//
// A process can exec into a bundled program at any time, and nothing tells us when. The
// user's own processes are therefore looked at again: on every scan during their first
// second, when launchers exec, and after that about once a second, spread over the
// scans (a read of the executable link each). A process that has exec'd is listed as a new
// object with the new bundle's identity, bound to the same process.
//
// The same object is returned for a process on every scan while it lives; each holds a
// pidfd, so its signals can only ever reach that process.
//
// Main thread only. `runLoop` must outlive the workspace; destroying the workspace stops
// the monitor.
class LinuxWorkspace final : public Workspace {
  public:
    // How often the launch monitor looks for new applications while it is on.
    static constexpr double kLaunchPollInterval = 0.1;

    explicit LinuxWorkspace(RunLoop& runLoop);
    ~LinuxWorkspace() override;
    LinuxWorkspace(const LinuxWorkspace&) = delete;
    LinuxWorkspace& operator=(const LinuxWorkspace&) = delete;

    std::vector<std::shared_ptr<RunningApplication>> runningApplications() override;

    ObserverId addObserver(Observer observer) override;
    void removeObserver(ObserverId id) override;

    // On: remembers the applications running now and from then on posts
    // didLaunchApplication for each new one, every kLaunchPollInterval. Off: no timer runs.
    void setLaunchMonitoringEnabled(bool enabled) override;
    bool launchMonitoringEnabled() const { return monitorTimer != nullptr; }

    // One monitor step (the timer's tick): posts didLaunchApplication, in pid order, for
    // every application that appeared since the previous step. Does nothing while the
    // monitor is off.
    void pollLaunches();

  private:
    RunLoop& runLoop;
    std::unique_ptr<ProcessTable> processes;
    std::map<ObserverId, Observer> observers;
    ObserverId nextObserverId = 1;
    std::shared_ptr<Timer> monitorTimer;
    // The applications seen by the previous monitor step; held so their addresses stay
    // unique while they serve as identities.
    std::vector<std::shared_ptr<RunningApplication>> knownApplications;
};

}  // namespace kestralune
