#pragma once

#include "channel/binary_messenger.h"
#include "channel/encodable_value.h"
#include "channel/method_call.h"
#include "channel/method_channel.h"
#include "channel/method_result.h"
#include "host/application.h"
#include "platform/alert_presenter.h"
#include "platform/bundle.h"
#include "platform/run_loop.h"
#include "platform/software_updater.h"

#include <functional>
#include <memory>

namespace kestralune {

// The bridge to the software updater: it starts the updater, adds "Check for Updates…" to
// the application menu, answers the UI on the channel "kestralune/updater", tells the UI when
// a check has finished, and keeps updates from interrupting blocking: a check is refused, and
// a relaunch postponed (and retried every 15 seconds), while a session runs or the weekly
// schedule's window is open.
//
// One per process, owned by the host; create with std::make_shared, since the channel
// handler, the menu item and the retry timer hold it weakly. Main thread only.
class KestraluneUpdater : public SoftwareUpdaterDelegate,
                          public std::enable_shared_from_this<KestraluneUpdater> {
  public:
    static constexpr const char* kChannelName = "kestralune/updater";
    static constexpr double kRelaunchRetryInterval = 15;

    struct Dependencies {
        RunLoop& runLoop;
        // Shows the quit-refused notice when the menu asks for a check during blocking time.
        AlertPresenter& alertPresenter;
        Bundle mainBundle;
        std::weak_ptr<Application> application;
        // Whether the stored weekly schedule's window is open now; a schedule that cannot be
        // read counts as closed.
        std::function<bool()> scheduleActiveNow;
        // Creates the controller and starts its updater.
        UpdaterControllerFactory makeController;
    };

    explicit KestraluneUpdater(Dependencies dependencies);
    KestraluneUpdater(const KestraluneUpdater&) = delete;
    KestraluneUpdater& operator=(const KestraluneUpdater&) = delete;

    // No App Store receipt in the bundle, and the identifier is exactly "com.orrindale.app".
    static bool isSupported(const Bundle& mainBundle);
    bool updaterSupported() const { return supported; }
    // A session runs, or the stored schedule is active now.
    bool isBlockingTime() const;

    // Creates the controller and adds "Check for Updates…" to the application menu; nothing
    // for an unsupported copy or when already started.
    void start();
    // Creates the updater channel on `messenger` and installs its handler. The messenger
    // must outlive the updater.
    void installChannel(BinaryMessenger& messenger);
    // The application menu's action (also the status-bar menu's "updates"): during blocking
    // time the quit-refused notice, otherwise a check the user asked for.
    void checkForUpdates();

    // "available", "updateAvailable", "automaticChecks", "canCheck".
    EncodableMap status() const;
    bool updateAvailable() const { return hasUpdate; }
    bool relaunchPostponed() const { return deferredInstall != nullptr; }

    void updaterDidFindValidUpdate(const AppcastItem& item) override;
    void updaterDidNotFindUpdate() override;
    bool updaterShouldPostponeRelaunchForUpdate(const AppcastItem& item,
                                                std::function<void()> installHandler) override;

  private:
    void handle(const MethodCall& call, MethodResult result);
    void retryTick();
    void announceStatusChange();

    const Dependencies dependencies;
    const bool supported;
    std::shared_ptr<UpdaterController> controller;
    std::unique_ptr<MethodChannel> channel;
    bool hasUpdate = false;
    std::function<void()> deferredInstall;
    std::shared_ptr<Timer> retryTimer;
};

}  // namespace kestralune
