#pragma once

#include "channel/binary_messenger.h"
#include "channel/method_channel.h"
#include "host/app_delegate.h"
#include "host/application.h"
#include "host/application_startup.h"
#include "host/blocking_engine.h"
#include "host/deep_link_router.h"
#include "host/main_flutter_window.h"
#include "host/menu_bar_controller.h"
#include "host/updater.h"
#include "platform/accessibility.h"
#include "platform/alert_presenter.h"
#include "platform/bundle.h"
#include "platform/network_filter_manager.h"
#include "platform/notification_center.h"
#include "platform/open_panel.h"
#include "platform/process_info.h"
#include "platform/run_loop.h"
#include "platform/software_updater.h"
#include "platform/url_opener.h"
#include "platform/user_defaults.h"
#include "schedule/background_scheduler.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// What the host runs on: the process's facilities, or fakes in tests. Everything
// referenced must outlive the host assembled on it.
struct HostEnvironment {
    RunLoop& runLoop;
    BinaryMessenger& messenger;
    AlertPresenter& alertPresenter;
    std::shared_ptr<UserDefaults> standardDefaults;
    std::shared_ptr<Accessibility> accessibility;
    std::shared_ptr<UrlOpener> urlOpener;
    Bundle mainBundle;
    std::shared_ptr<KestraluneBackgroundScheduler> backgroundScheduler;
    std::shared_ptr<NotificationCenter> notificationCenter;
    std::shared_ptr<NetworkFilterManager> networkFilterManager;
    std::shared_ptr<OpenPanel> openPanel;
    // Creates the software updater's controller; used only where the updater is supported.
    UpdaterControllerFactory makeUpdaterController;
    // Whether the stored weekly schedule's window is open now.
    std::function<bool()> scheduleActiveNow;
    // Runs slow work (decoding images) away from the main thread; in place when unset.
    std::function<void(std::function<void()>)> runInBackground = [](auto work) { work(); };
    // The process's command-line arguments, program name first.
    std::vector<std::string> arguments;
    std::function<std::optional<std::string>()> hostName = localizedHostName;
};

// The host's objects, wired as at launch: the application with its main menu and its
// delegate, the main window (set up: Blocking channel handler installed, start-up queued),
// the menu bar, the deep link router, the updater, the start-up sequence and the control
// channel. Main thread only.
struct Host {
    std::shared_ptr<Application> application;
    std::shared_ptr<KestraluneDeepLinkRouter> deepLinkRouter;
    std::shared_ptr<KestraluneMenuBarController> menuBarController;
    std::shared_ptr<KestraluneUpdater> updater;
    std::shared_ptr<KestraluneApplicationStartup> startup;
    std::shared_ptr<AppDelegate> delegate;
    std::shared_ptr<MainFlutterWindow> window;
    std::unique_ptr<MethodChannel> controlChannel;

    explicit Host(BinaryMessenger& messenger) : messenger(messenger) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    // Removes the handlers of its channels from the messenger.
    ~Host();

    // The application has finished launching: it becomes active, the delegate runs the
    // start-up sequence, then the URLs it was started with are opened.
    void finishLaunching(const std::vector<std::string>& urls);

  private:
    BinaryMessenger& messenger;
};

// Creates and wires the host around `engine`; the main window owns the engine.
std::unique_ptr<Host> assembleHost(const HostEnvironment& environment,
                                   std::shared_ptr<BlockingEngine> engine);

}  // namespace kestralune
