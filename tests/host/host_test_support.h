#pragma once

#include "channel/encodable_value.h"
#include "channel/in_process_messenger.h"
#include "channel/method_result.h"
#include "host/blocking_engine.h"
#include "host/control_channel_handler.h"
#include "host/host_assembly.h"
#include "host/localized_labels.h"
#include "host/menu_bar_controller.h"
#include "host/quit_protection.h"
#include "platform/linux/headless_alert_presenter.h"
#include "platform/testing/fake_accessibility.h"
#include "platform/testing/fake_agent_service.h"
#include "platform/testing/fake_network_filter_manager.h"
#include "platform/testing/fake_notification_center.h"
#include "platform/testing/fake_open_panel.h"
#include "platform/testing/fake_updater_controller.h"
#include "platform/testing/fake_url_opener.h"
#include "platform/testing/manual_run_loop.h"
#include "tests/blocking/engine_test_doubles.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestralune::host_test {

using blocking_test::encodableMap;
using blocking_test::entry;

// Records what the dispatcher asks of the engine; sessions set the quit flag as the engine's
// do.
class FakeEngine final : public BlockingEngine {
  public:
    void applyConfiguration(const EncodableMap& configuration) override {
        applied.push_back(configuration);
    }
    EncodableMap startSession(const EncodableMap& arguments) override {
        started.push_back(arguments);
        OrrindaleQuitProtection::blockingActive = true;
        return {{"started", true}};
    }
    void stopSession() override {
        ++stops;
        OrrindaleQuitProtection::blockingActive = false;
    }
    EncodableMap blockingStatus() override { return {}; }
    std::int64_t blockedAttemptCount() override { return 0; }

    std::vector<EncodableMap> applied;
    std::vector<EncodableMap> started;
    int stops = 0;
};

// The host assembled on fakes around a recording fake engine: virtual time, an in-process
// messenger, memory defaults. The process-wide quit flag and label table start and end clean.
struct HostHarness {
    explicit HostHarness(std::vector<std::string> arguments = {"Kestralune"},
                         Bundle bundle = Bundle{"/nowhere", std::nullopt, {}, "/nowhere/k"},
                         std::shared_ptr<MemoryUserDefaults> sharedDefaults = nullptr)
        : defaults(sharedDefaults ? std::move(sharedDefaults)
                                  : std::make_shared<MemoryUserDefaults>()) {
        resetProcessState();
        backgroundScheduler = std::make_shared<KestraluneBackgroundScheduler>(
            KestraluneBackgroundScheduler::Dependencies{defaults, agentService, bundle});
        host = assembleHost(HostEnvironment{.runLoop = loop,
                                            .messenger = messenger,
                                            .alertPresenter = alerts,
                                            .standardDefaults = defaults,
                                            .accessibility = accessibility,
                                            .urlOpener = urlOpener,
                                            .mainBundle = std::move(bundle),
                                            .backgroundScheduler = backgroundScheduler,
                                            .notificationCenter = notifications,
                                            .networkFilterManager = networkFilter,
                                            .openPanel = panels,
                                            .makeUpdaterController =
                                                FakeUpdaterController::factory(updaterController),
                                            .scheduleActiveNow = [this] { return scheduleOpen; },
                                            .arguments = std::move(arguments),
                                            .hostName = [this] { return hostName; }},
                            engine);
    }
    ~HostHarness() { resetProcessState(); }

    MethodReply call(const std::string& method, EncodableValue arguments = {},
                     const char* channel = kBlockingChannelName) {
        // A call left unanswered reads as an error.
        return messenger.callMethodNow(channel, method, std::move(arguments))
            .value_or(MethodError{"pending", method, {}});
    }

    // The calls the host made on the Blocking channel, in order.
    std::vector<MethodCall> sentToUI() const {
        std::vector<MethodCall> calls;
        for (const auto& sent : messenger.sentCalls()) {
            if (sent.channel == kBlockingChannelName) {
                calls.push_back(sent.call);
            }
        }
        return calls;
    }

    Application& application() { return *host->application; }
    MainFlutterWindow& window() { return *host->window; }

    MethodReply control(const std::string& method, EncodableValue arguments = {}) {
        return call(method, std::move(arguments), ControlChannelHandler::kChannelName);
    }
    static void resetProcessState() {
        OrrindaleQuitProtection::blockingActive = false;
        replaceLocalizedLabels({});
    }

    ManualRunLoop loop;
    InProcessMessenger messenger;
    HeadlessAlertPresenter alerts;
    std::shared_ptr<MemoryUserDefaults> defaults;
    std::shared_ptr<FakeUrlOpener> urlOpener = std::make_shared<FakeUrlOpener>();
    std::shared_ptr<FakeAccessibility> accessibility = std::make_shared<FakeAccessibility>();
    std::optional<std::string> hostName = "studio-mac";
    std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();  // the window owns it too
    std::shared_ptr<FakeAgentService> agentService = std::make_shared<FakeAgentService>();
    std::shared_ptr<KestraluneBackgroundScheduler> backgroundScheduler;
    std::shared_ptr<FakeNotificationCenter> notifications =
        std::make_shared<FakeNotificationCenter>(loop);
    std::shared_ptr<FakeNetworkFilterManager> networkFilter =
        std::make_shared<FakeNetworkFilterManager>(loop);
    std::shared_ptr<FakeOpenPanel> panels = std::make_shared<FakeOpenPanel>();
    std::shared_ptr<FakeUpdaterController> updaterController =
        std::make_shared<FakeUpdaterController>();
    bool scheduleOpen = false;
    // Last, so that it goes first.
    std::unique_ptr<Host> host;
};

inline EncodableValue successValue(const MethodReply& reply) {
    const auto* success = std::get_if<MethodSuccess>(&reply);
    EXPECT_TRUE(success) << "the reply is not a success";
    return success ? success->value : EncodableValue();
}

inline EncodableMap successMap(const MethodReply& reply) {
    const auto value = successValue(reply);
    const auto* map = value.getIf<EncodableMap>();
    EXPECT_TRUE(map) << "the reply is not a map";
    return map ? *map : EncodableMap{};
}

inline bool isNotImplemented(const MethodReply& reply) {
    return std::holds_alternative<MethodNotImplemented>(reply);
}

// A host assembled afresh for every test.
class FakeEngineHostTest : public ::testing::Test {
  protected:
    std::unique_ptr<HostHarness> harness = std::make_unique<HostHarness>();
    std::shared_ptr<FakeEngine>& engine = harness->engine;
};

}  // namespace kestralune::host_test
