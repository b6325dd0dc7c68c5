#pragma once

#include "blocking/auto_proxy_settings.h"
#include "blocking/system_proxy_configurator.h"
#include "blockserver/block_server_control.h"
#include "channel/encodable_value.h"
#include "platform/accessibility.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/tool_runner.h"
#include "platform/user_defaults.h"
#include "platform/workspace.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestralune {

// The native side of a blocking session: holds the configuration the UI last sent, starts
// and ends sessions, closes blocked applications (app_blocker.cc), points every network
// service's automatic proxy at the block server and restores it afterwards
// (system_proxy_configurator.cc), and reports status and counters.
//
// Main thread only: every operation, its timers, the workspace observer and the delayed
// kill checks run on the run loop given at creation. The run loop, and the objects in
// Dependencies, must outlive the engine. Destroying the engine cancels its timers and
// removes its workspace observer; timer blocks hold the engine weakly.
class MacBlockingEngine : public std::enable_shared_from_this<MacBlockingEngine> {
  public:
    using SuiteOpener = std::function<std::shared_ptr<UserDefaults>(const std::string& suiteName)>;

    struct Dependencies {
        RunLoop& runLoop;  // the main run loop; its clock is the wall clock of the cooldowns
        std::shared_ptr<ToolRunner> toolRunner;
        std::shared_ptr<Workspace> workspace;
        std::shared_ptr<Accessibility> accessibility;
        std::shared_ptr<UserDefaults> standardDefaults;  // holds the proxy backup
        SuiteOpener openDefaultsSuite = userDefaultsSuite;
        std::optional<std::string> ownBundleIdentifier = mainBundle().identifier;
        // The host's own process: never closed, whatever the lists say. The host passes
        // getpid(); no user process has pid 0, so leaving it unset only loses this guard.
        std::int32_t ownProcessIdentifier = 0;
        std::unique_ptr<BlockServerControl> server;  // the host passes its LocalBlockServer
        // Where the system proxy lives, in order of precedence. None: the macOS tools at
        // the two paths below (which, where they are missing, fail as the summary reports).
        std::vector<std::shared_ptr<ProxySettingsStore>> proxyStores = {};
        std::string networksetupPath = kNetworksetupPath;
        std::string scutilPath = kScutilPath;
    };

    // Creates the engine, loads the proxy backup and registers for launch and activation
    // notifications. Every pointer in `dependencies` must be set.
    static std::shared_ptr<MacBlockingEngine> create(Dependencies dependencies);

    ~MacBlockingEngine();
    MacBlockingEngine(const MacBlockingEngine&) = delete;
    MacBlockingEngine& operator=(const MacBlockingEngine&) = delete;

    // Session and configuration ("syncConfiguration", "startSession", "stopSession",
    // "getBlockingStatus", "getBlockedAttemptCount"). Never fail: platform failures become
    // false flags, the summary sentence or a log line.
    void applyConfiguration(const EncodableMap& configuration);
    // The nine-entry session report.
    EncodableMap startSession(const EncodableMap& arguments);
    void stopSession();
    // The seven-entry status; runs the proxy verification tool only when web blocking is
    // required.
    EncodableMap blockingStatus();
    // Blocked application attempts plus the block server's blocked web requests.
    std::int64_t blockedAttemptCount();
    bool webBlockingRequired() const;
    // The web rules, for a network filter, in the suite "group." + the bundle identifier.
    void writeSharedConfiguration();

    // App blocker.
    void handleApplicationLaunchOrActivation(const WorkspaceNotification& notification);
    // Closes the application when it is blocked and not excepted (never the host itself,
    // nor pid 1); a still-running process is killed 0.15 s later.
    bool terminateIfBlocked(const std::shared_ptr<RunningApplication>& application);
    // The number of applications closed.
    int sweepRunningApplications();
    void recordBlockedAppAttempt(const std::string& bundleIdentifier);
    void startAppSweepTimer();

    // System proxy configurator (SystemProxyConfigurator does the work).
    // True when every service was backed up and set.
    bool applyProxySettings();
    bool verifyProxySettings();
    void restoreProxySettings();
    void startProxyWatchTimer();
    // At start-up: a backup left by a run that ended during a session (killed, crashed, the
    // machine lost power) is restored as stopSession would, so the network is not left
    // pointing at a server that no longer runs. Nothing happens during a session or without
    // a backup.
    void restoreProxySettingsLeftByAnEarlierRun();

  private:
    struct PassKey {
        explicit PassKey() = default;
    };

  public:
    // Use create(); public only so that make_shared can reach it.
    MacBlockingEngine(PassKey, Dependencies dependencies);

  private:
    std::shared_ptr<Timer> scheduleWeakTimer(double interval, bool repeats,
                                             std::function<void(MacBlockingEngine&)> tick);
    // The workspace's launch monitor polls the process table, so it runs only while a
    // session has applications to close.
    void updateLaunchMonitoring();
    bool isOwnProcess(const RunningApplication& application,
                      const std::string& bundleIdentifier) const;
    std::string summary(bool trusted, bool applied, bool verified) const;

    // Fields of the engine.
    const std::unique_ptr<BlockServerControl> server;
    std::set<std::string, std::less<>> blockedAppIdentifiers;
    std::set<std::string, std::less<>> exceptionAppIdentifiers;
    std::vector<std::string> exceptionDomains;
    std::set<std::string> blockedDomains;
    bool allWebsitesBlocked = true;
    bool sessionActive = false;
    std::shared_ptr<Timer> sessionTimer;
    std::shared_ptr<Timer> appSweepTimer;
    std::shared_ptr<Timer> proxyWatchTimer;
    std::int64_t blockedAppAttemptCount = 0;
    std::map<std::string, WallClockTime> recentlyBlockedApps;

    // What the engine works through.
    RunLoop& runLoop;
    const std::shared_ptr<ToolRunner> toolRunner;
    const std::shared_ptr<Workspace> workspace;
    const std::shared_ptr<Accessibility> accessibility;
    const std::shared_ptr<UserDefaults> standardDefaults;
    const SuiteOpener openDefaultsSuite;
    const std::optional<std::string> ownBundleIdentifier;
    const std::int32_t ownProcessIdentifier;
    SystemProxyConfigurator proxyConfigurator;
    std::optional<Workspace::ObserverId> workspaceObserver;
};

// Intervals of the app blocker.
inline constexpr double kAppSweepInterval = 0.25;
inline constexpr double kKillCheckDelay = 0.15;
inline constexpr double kBlockedAppCountCooldown = 2.0;

inline constexpr const char* kBlockingEngineName = "macos-local-pac-and-app-monitor";

}  // namespace kestralune
