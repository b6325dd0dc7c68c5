#include "host/host_assembly.h"

#include "host/blocking_channel_handler.h"
#include "host/control_channel_handler.h"

#include <utility>

namespace kestralune {

namespace {

// The menu bar of the interface file: the application menu, whose actions the application
// object answers itself.
std::vector<ApplicationMenuItem> standardMainMenu(const std::shared_ptr<Application>& application,
                                                  AlertPresenter& alertPresenter,
                                                  const Bundle& mainBundle) {
    const std::string aboutText = "Version " +
                                  infoString(mainBundle, "CFBundleShortVersionString") + " (" +
                                  infoString(mainBundle, "CFBundleVersion") + ")";
    const std::weak_ptr<Application> weak = application;
    const ApplicationMenuItem separator;
    std::vector<ApplicationMenuItem> menu{
        {"About Kestralune",
         "orderFrontStandardAboutPanel:",
         [&alertPresenter, aboutText] {
             alertPresenter.runModal(
                 Alert{Alert::Style::informational, "Kestralune", aboutText, {"OK"}});
         },
         {}},
        separator,
        {"Hide Kestralune",
         "hide:",
         [weak] {
             if (auto app = weak.lock()) {
                 app->hide();
             }
         },
         {}},
        separator,
        {"Quit Kestralune",
         "terminate:",
         [weak] {
             if (auto app = weak.lock()) {
                 app->terminate();
             }
         },
         {}},
    };
    return {ApplicationMenuItem{"Kestralune", {}, {}, std::move(menu)}};
}

}  // namespace

Host::~Host() {
    messenger.setMessageHandler(ControlChannelHandler::kChannelName, {});
    messenger.setMessageHandler(kBlockingChannelName, {});
    messenger.setMessageHandler(KestraluneUpdater::kChannelName, {});
}

void Host::finishLaunching(const std::vector<std::string>& urls) {
    application->activateIgnoringOtherApps();
    delegate->applicationDidFinishLaunching();
    if (!urls.empty()) {
        delegate->applicationOpenURLs(urls);
    }
}

std::unique_ptr<Host> assembleHost(const HostEnvironment& environment,
                                   std::shared_ptr<BlockingEngine> engine) {
    auto host = std::make_unique<Host>(environment.messenger);
    auto& runLoop = environment.runLoop;

    host->application = std::make_shared<Application>();
    host->application->mainMenu() =
        standardMainMenu(host->application, environment.alertPresenter, environment.mainBundle);
    host->deepLinkRouter = std::make_shared<KestraluneDeepLinkRouter>(
        runLoop, environment.standardDefaults, host->application);
    host->updater = std::make_shared<KestraluneUpdater>(KestraluneUpdater::Dependencies{
        .runLoop = runLoop,
        .alertPresenter = environment.alertPresenter,
        .mainBundle = environment.mainBundle,
        .application = host->application,
        .scheduleActiveNow = environment.scheduleActiveNow,
        .makeController = environment.makeUpdaterController,
    });
    host->menuBarController =
        std::make_shared<KestraluneMenuBarController>(runLoop, host->application, host->updater);
    host->startup = std::make_shared<KestraluneApplicationStartup>(
        host->application, environment.backgroundScheduler, host->updater, environment.arguments);
    host->delegate = std::make_shared<AppDelegate>(
        AppDelegate::Dependencies{host->application, host->startup, host->deepLinkRouter, runLoop,
                                  environment.alertPresenter, environment.notificationCenter});
    host->application->setDelegate(host->delegate);

    host->window = std::make_shared<MainFlutterWindow>(std::move(engine));
    host->application->addWindow(host->window);
    host->delegate->mainFlutterWindow = host->window;

    const BlockingChannelHandler::Dependencies handlerDependencies{
        .standardDefaults = environment.standardDefaults,
        .application = host->application,
        .mainBundle = environment.mainBundle,
        .urlOpener = environment.urlOpener,
        .accessibility = environment.accessibility,
        .deepLinkRouter = host->deepLinkRouter,
        .menuBarController = host->menuBarController,
        .backgroundScheduler = environment.backgroundScheduler,
        .notificationCenter = environment.notificationCenter,
        .networkFilterManager = environment.networkFilterManager,
        .openPanel = environment.openPanel,
        .runLoop = &runLoop,
        .runInBackground = environment.runInBackground,
        .hostName = environment.hostName,
    };
    host->window->awakeFromNib(MainFlutterWindow::SetUp{
        .runLoop = runLoop,
        .requestStartup = [startup = host->startup] { startup->run(); },
        .messenger = environment.messenger,
        .deepLinkRouter = *host->deepLinkRouter,
        .menuBarController = *host->menuBarController,
        .updater = *host->updater,
        .makeChannelHandler =
            [handlerDependencies](std::weak_ptr<MainFlutterWindow> window) {
                return BlockingChannelHandler::bind(std::make_shared<BlockingChannelHandler>(
                    handlerDependencies, std::move(window)));
            },
    });

    host->controlChannel =
        std::make_unique<MethodChannel>(environment.messenger, ControlChannelHandler::kChannelName);
    host->controlChannel->setMethodCallHandler(ControlChannelHandler::bind(
        std::make_shared<ControlChannelHandler>(ControlChannelHandler::Dependencies{
            host->application, host->delegate, host->menuBarController})));
    return host;
}

}  // namespace kestralune
