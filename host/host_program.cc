#include "host/host_program.h"

#include "blocking/mac_blocking_engine.h"
#include "blocking/system_proxy_configurator.h"
#include "blockserver/local_block_server.h"
#include "channel/socket_transport.h"
#include "host/application.h"
#include "host/blocking_engine.h"
#include "host/control_channel_handler.h"
#include "host/host_assembly.h"
#include "host/url_text.h"
#include "platform/accessibility.h"
#include "platform/agent_service.h"
#include "platform/application_launcher.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/headless_alert_presenter.h"
#include "platform/log.h"
#include "platform/network_filter_manager.h"
#include "platform/notification_center.h"
#include "platform/open_file_limit.h"
#include "platform/open_panel.h"
#include "platform/process_info.h"
#include "platform/proxy_settings_store.h"
#include "platform/serial_queue.h"
#include "platform/standard_updater.h"
#include "platform/tool_runner.h"
#include "platform/url_opener.h"
#include "platform/url_scheme_registration.h"
#include "platform/user_defaults.h"
#include "platform/workspace.h"
#include "schedule/schedule_snapshot.h"

#include <asio/signal_set.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace kestralune {

namespace {

constexpr std::chrono::milliseconds kHandOverTimeout{5000};
constexpr std::chrono::milliseconds kHandOverRetryPause{50};

// Hands this start's URLs to the running instance, or asks it to re-open. The instance may
// hold its lock a moment before it listens, so connecting is retried until the deadline.
int handOverToRunningInstance(const std::filesystem::path& socketPath,
                              const std::vector<std::string>& urls) {
    MethodCall call;
    if (urls.empty()) {
        call.method = "reopen";
    } else {
        call.method = "openURLs";
        call.arguments = EncodableList(urls.begin(), urls.end());
    }
    const auto deadline = std::chrono::steady_clock::now() + kHandOverTimeout;
    std::string failure;
    while (true) {
        auto client = ChannelClient::connect(socketPath, kHandOverTimeout);
        if (client) {
            auto reply =
                client.value()->call(ControlChannelHandler::kChannelName, call, kHandOverTimeout);
            if (reply && std::holds_alternative<MethodSuccess>(reply.value())) {
                return 0;
            }
            logLine("Kestralune could not hand over to the running instance: " +
                    (reply ? std::string("it refused the call.") : reply.error().message));
            return 1;
        }
        failure = client.error().message;
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(kHandOverRetryPause);
    }
    logLine("Kestralune could not reach the running instance: " + failure);
    return 1;
}

// Quit requests from the system (SIGTERM, SIGINT, and SIGHUP when the terminal that runs the
// host closes) go through the same terminate path as the menu's quit item, so a session
// refuses them all. Re-arms after every signal.
void watchQuitSignals(asio::signal_set& signals, std::weak_ptr<Application> application) {
    signals.async_wait([&signals, application](std::error_code error, int) {
        if (error) {
            return;
        }
        if (auto app = application.lock()) {
            app->terminate();
        }
        watchQuitSignals(signals, application);
    });
}

// The desktops' proxy settings where they apply, and the macOS tools when they are installed.
// With neither, the engine's default (the macOS tools, which then fail as the session's
// summary reports, naming the URL to set by hand).
std::vector<std::shared_ptr<ProxySettingsStore>> proxyStores(
    const std::shared_ptr<ToolRunner>& toolRunner) {
    auto stores = makeDesktopProxyStores(toolRunner);
    std::error_code ignored;
    if (!stores.empty() && std::filesystem::exists(kNetworksetupPath, ignored)) {
        // Last: it claims every service name the desktops do not.
        stores.push_back(
            std::make_shared<NetworksetupProxyStore>(toolRunner, kNetworksetupPath, kScutilPath));
    }
    return stores;
}

}  // namespace

std::vector<std::string> urlArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> urls;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].find("://") != std::string::npos) {
            urls.push_back(absoluteUrlText(arguments[i]));
        }
    }
    return urls;
}

std::shared_ptr<ToolRunner> makeHostToolRunner() {
    return makeToolRunner(20.0);
}

namespace {

struct HostOutcome {
    int status = 0;
    // The new bundle's executable, when an update was installed.
    std::optional<std::string> relaunchExecutable;
};

HostOutcome serveUntilQuit(const std::vector<std::string>& arguments) {
    const Bundle& bundle = mainBundle();
    const std::string bundleIdentifier = bundle.identifier.value_or(kDefaultBundleIdentifier);
    const auto urls = urlArguments(arguments);

    auto socketPath = channelSocketPath(bundleIdentifier, true);
    if (!socketPath) {
        logLine("Kestralune cannot use its channel socket: " + socketPath.error());
        return {1, std::nullopt};
    }

    AsioRunLoop runLoop;
    ChannelServer server(runLoop.ioContext());
    const auto started = server.start(socketPath.value());
    if (started.outcome == ChannelServer::StartOutcome::alreadyRunning) {
        return {handOverToRunningInstance(socketPath.value(), urls), std::nullopt};
    }
    if (started.outcome == ChannelServer::StartOutcome::failed) {
        logLine("Kestralune cannot serve its channels: " + started.error);
        return {1, std::nullopt};
    }

    // The block server holds a socket per waiting browser connection; browsers open many.
    raiseOpenFileLimit();
    // One runner for every tool the host runs: all of them run on the main thread.
    const auto toolRunner = makeHostToolRunner();
    // Links of the bundle's schemes, opened anywhere on the desktop, reach this executable.
    registerUrlSchemeHandler(bundle, *toolRunner);
    const auto defaults = standardUserDefaults();
    const auto accessibility = makeAccessibility();
    HeadlessAlertPresenter alertPresenter;

    MacBlockingEngine::Dependencies engineDependencies{
        .runLoop = runLoop,
        .toolRunner = toolRunner,
        .workspace = makeWorkspace(runLoop),
        .accessibility = accessibility,
        .standardDefaults = defaults,
        .openDefaultsSuite = userDefaultsSuite,
        .ownBundleIdentifier = bundle.identifier,
        .ownProcessIdentifier = currentProcessIdentifier(),
        .server = std::make_unique<LocalBlockServer>(makeSystemClock(), defaults),
        .proxyStores = proxyStores(toolRunner),
    };
    auto engine = MacBlockingEngine::create(std::move(engineDependencies));
    // Before anything else touches the proxy: a session this host never ended (it was
    // killed, or the machine lost power) must not leave the network pointing at nothing.
    engine->restoreProxySettingsLeftByAnEarlierRun();

    const auto backgroundScheduler =
        std::make_shared<KestraluneBackgroundScheduler>(KestraluneBackgroundScheduler::Dependencies{
            .standardDefaults = defaults,
            .agentService = makeAgentService(toolRunner, bundle.path,
                                             KestraluneBackgroundScheduler::agentPlistName(bundle)),
            .mainBundle = bundle,
        });
    // A photo takes tens of milliseconds to decode: never on the main thread.
    SerialQueue imageQueue("com.orrindale.app.images");
    // Downloads and unpacking take far longer.
    SerialQueue updaterQueue("com.orrindale.app.updater");
    HostOutcome outcome;
    std::weak_ptr<Application> application;
    const HostEnvironment environment{
        .runLoop = runLoop,
        .messenger = server,
        .alertPresenter = alertPresenter,
        .standardDefaults = defaults,
        .accessibility = accessibility,
        .urlOpener = makeUrlOpener(),
        .mainBundle = bundle,
        .backgroundScheduler = backgroundScheduler,
        .notificationCenter = makeNotificationCenter(runLoop),
        .networkFilterManager = makeNetworkFilterManager(runLoop),
        .openPanel = makeOpenPanel(runLoop),
        .makeUpdaterController =
            [&](std::weak_ptr<SoftwareUpdaterDelegate> delegate) {
                return makeStandardUpdaterController(
                    StandardUpdaterEnvironment{
                        .runLoop = runLoop,
                        .defaults = defaults,
                        .mainBundle = bundle,
                        .alertPresenter = alertPresenter,
                        .runInBackground =
                            [&updaterQueue](std::function<void()> work) {
                                updaterQueue.async(std::move(work));
                            },
                        .relaunch =
                            [&outcome, &application](const std::string& executable) {
                                auto app = application.lock();
                                if (app && app->terminate()) {
                                    outcome.relaunchExecutable = executable;
                                } else {
                                    logLine(
                                        "Kestralune could not quit to relaunch; the update "
                                        "takes effect at its next start.");
                                }
                            },
                    },
                    std::move(delegate));
            },
        .scheduleActiveNow = [] { return KestraluneScheduleSnapshot::isActiveNow(); },
        .runInBackground =
            [&imageQueue](std::function<void()> work) { imageQueue.async(std::move(work)); },
        .arguments = arguments,
    };
    auto host = assembleHost(environment, bindBlockingEngine(std::move(engine)));
    application = host->application;
    // Let the handler that asked to quit finish (and its reply go out) before the loop ends.
    host->application->setTerminationHandler(
        [&runLoop] { runLoop.async([&runLoop] { runLoop.stop(); }); });

    asio::signal_set quitSignals(runLoop.ioContext(), SIGTERM, SIGINT, SIGHUP);
    watchQuitSignals(quitSignals, application);

    // The application has finished launching: it becomes active, runs its start-up and then
    // opens the URLs it was started with.
    runLoop.async([&host, urls] { host->finishLaunching(urls); });

    logLine("Kestralune is running; channels on " + socketPath.value().string());
    runLoop.run();

    std::error_code ignored;
    quitSignals.cancel(ignored);
    host.reset();
    server.stop();
    return outcome;
}

}  // namespace

int runHost(const std::vector<std::string>& arguments) {
    const auto outcome = serveUntilQuit(arguments);
    if (!outcome.relaunchExecutable) {
        return outcome.status;
    }
    // Everything of the old host is gone, its channel socket too, so the new one starts as
    // the only instance, with the same arguments.
    auto relaunchArguments = arguments;
    relaunchArguments.at(0) = *outcome.relaunchExecutable;
    logLine(replaceProcessImage(*outcome.relaunchExecutable, relaunchArguments));
    return 1;
}

}  // namespace kestralune
