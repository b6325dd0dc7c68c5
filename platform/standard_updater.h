#pragma once

#include "platform/alert_presenter.h"
#include "platform/bundle.h"
#include "platform/run_loop.h"
#include "platform/software_updater.h"
#include "platform/user_defaults.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestralune {

// What the standard updater runs on.
struct StandardUpdaterEnvironment {
    RunLoop& runLoop;
    // Keeps SUEnableAutomaticChecks and SULastCheckTime.
    std::shared_ptr<UserDefaults> defaults;
    // The installed bundle: its path is replaced, its Info.plist names the feed (SUFeedURL),
    // the key (SUPublicEDKey), the identifier and the version (CFBundleVersion).
    Bundle mainBundle;
    // Where a user sees what happens: an update found, none found, a failure.
    AlertPresenter& alertPresenter;
    // Runs the network, signature and unpacking work away from the main thread, in order.
    std::function<void(std::function<void()>)> runInBackground;
    // Runs once the new bundle is in place: the application ends and `executable` (the new
    // bundle's) starts in its place.
    std::function<void(const std::string& executable)> relaunch;
};

// The updater: an appcast fetched over HTTPS (or HTTP from a loopback address), the newest
// item newer than CFBundleVersion, its archive downloaded into a private folder beside the
// bundle, its Ed25519 signature checked before anything else reads it, unpacked without
// letting any entry leave that folder, the unpacked bundle checked for this identifier and
// the announced version, and the installed bundle swapped for it in one step. The delegate
// may postpone that last step. Every failure leaves the installed bundle as it was and is
// logged in one line. An update found is always installed: without a screen there is no one
// to ask.
//
// Automatic checks run once a day (a day after the last check, at once when none was made)
// while they are on. Main thread only; create with `start`.
class StandardUpdater final : public UpdaterController,
                              public std::enable_shared_from_this<StandardUpdater> {
  public:
    static constexpr std::size_t kMaximumFeedSize = 1 << 20;
    static constexpr long kFeedTimeoutSeconds = 30;
    static constexpr std::uint64_t kMaximumArchiveSize = 512ull << 20;
    static constexpr double kCheckInterval = 86400;
    static constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
    static constexpr const char* kLastCheckTimeKey = "SULastCheckTime";

    // Creates the updater and starts it: leftovers of an interrupted update beside the bundle
    // are removed and the automatic check is scheduled. The delegate is held weakly.
    static std::shared_ptr<StandardUpdater> start(StandardUpdaterEnvironment environment,
                                                  std::weak_ptr<SoftwareUpdaterDelegate> delegate);

    StandardUpdater(StandardUpdaterEnvironment environment,
                    std::weak_ptr<SoftwareUpdaterDelegate> delegate);
    // Cancels a transfer under way, so that quitting does not wait for a download.
    ~StandardUpdater() override;
    StandardUpdater(const StandardUpdater&) = delete;
    StandardUpdater& operator=(const StandardUpdater&) = delete;

    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool enabled) override;
    bool canCheckForUpdates() const override;
    void checkForUpdates() override;

  private:
    enum class State { idle, checking, installing, waitingToInstall };
    struct CheckOutcome;
    struct Preparation;

    bool isConfigured() const;
    void scheduleAutomaticCheck();
    void beginCheck(bool userInitiated);
    void finishCheck(const CheckOutcome& outcome, bool userInitiated);
    void finishPreparing(const AppcastItem& item, const Preparation& preparation);
    void install(const AppcastItem& item, const Preparation& preparation);
    void fail(const AppcastItem& item, const std::string& reason, const std::string& stagingFolder);

    const StandardUpdaterEnvironment environment;
    const std::weak_ptr<SoftwareUpdaterDelegate> delegate;
    State state = State::idle;
    std::shared_ptr<Timer> checkTimer;
    const std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
};

// StandardUpdater::start, as the host's factory of controllers.
std::shared_ptr<UpdaterController> makeStandardUpdaterController(
    StandardUpdaterEnvironment environment, std::weak_ptr<SoftwareUpdaterDelegate> delegate);

}  // namespace kestralune
