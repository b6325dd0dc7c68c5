// The app blocker: closes blocked applications on launch, on activation and on the sweep.

#include "blocking/mac_blocking_engine.h"

namespace kestralune {

void MacBlockingEngine::handleApplicationLaunchOrActivation(
    const WorkspaceNotification& notification) {
    if (!sessionActive || !notification.application) {
        return;
    }
    terminateIfBlocked(notification.application);
}

bool MacBlockingEngine::isOwnProcess(const RunningApplication& application,
                                     const std::string& bundleIdentifier) const {
    const auto pid = application.processIdentifier();
    // pid 1 stands for init (and pid 0 or less is no process): never ours to close.
    return bundleIdentifier == ownBundleIdentifier || pid == ownProcessIdentifier || pid <= 1;
}

bool MacBlockingEngine::terminateIfBlocked(const std::shared_ptr<RunningApplication>& application) {
    const auto identifier = application->bundleIdentifier();
    if (!identifier) {
        return false;
    }
    const auto path = application->bundlePath().value_or(std::string());
    if (!blockedAppIdentifiers.contains(*identifier) && !blockedAppIdentifiers.contains(path)) {
        return false;
    }
    if (exceptionAppIdentifiers.contains(*identifier) || exceptionAppIdentifiers.contains(path)) {
        return false;
    }
    if (isOwnProcess(*application, *identifier)) {
        return false;
    }
    application->terminate();
    application->forceTerminate();
    recordBlockedAppAttempt(*identifier);
    // The check holds the application object, which stays bound to its own process: a pid
    // reused in the meantime is never signalled.
    runLoop.asyncAfter(kKillCheckDelay, [application]() {
        if (!application->isTerminated()) {
            application->kill();
        }
    });
    return true;
}

void MacBlockingEngine::recordBlockedAppAttempt(const std::string& bundleIdentifier) {
    const auto now = runLoop.clock().now();
    const auto last = recentlyBlockedApps.find(bundleIdentifier);
    if (last != recentlyBlockedApps.end() &&
        secondsBetween(last->second, now) < kBlockedAppCountCooldown) {
        return;
    }
    recentlyBlockedApps[bundleIdentifier] = now;
    ++blockedAppAttemptCount;
}

int MacBlockingEngine::sweepRunningApplications() {
    // Nothing can be closed: spare the listing, which reads the process table.
    if (blockedAppIdentifiers.empty()) {
        return 0;
    }
    int closed = 0;
    for (const auto& application : workspace->runningApplications()) {
        if (terminateIfBlocked(application)) {
            ++closed;
        }
    }
    return closed;
}

void MacBlockingEngine::updateLaunchMonitoring() {
    workspace->setLaunchMonitoringEnabled(sessionActive && !blockedAppIdentifiers.empty());
}

void MacBlockingEngine::startAppSweepTimer() {
    if (appSweepTimer) {
        appSweepTimer->invalidate();
    }
    appSweepTimer = scheduleWeakTimer(kAppSweepInterval, true, [](MacBlockingEngine& engine) {
        engine.sweepRunningApplications();
    });
}

}  // namespace kestralune
