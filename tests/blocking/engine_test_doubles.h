#pragma once

#include "blocking/mac_blocking_engine.h"
#include "blockserver/block_server_control.h"
#include "host/quit_protection.h"
#include "platform/testing/fake_accessibility.h"
#include "platform/testing/fake_tool_runner.h"
#include "platform/testing/fake_workspace.h"
#include "platform/testing/log_capture.h"
#include "platform/testing/manual_run_loop.h"
#include "platform/testing/memory_user_defaults.h"
#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune::blocking_test {

// Records the engine's server commands in call order and the last update's rules; queries
// answer from the record.
class RecordingBlockServer final : public BlockServerControl {
  public:
    void start() override {
        commands.push_back("start");
        running = true;
    }
    void stop() override {
        commands.push_back("stop");
        running = false;
    }
    void update(std::vector<std::string> exceptions, std::vector<std::string> blocked,
                bool allBlocked) override {
        commands.push_back("update");
        exceptionDomains = std::move(exceptions);
        blockedDomains = std::move(blocked);
        allWebsitesBlocked = allBlocked;
    }
    void resetBlockedRequests() override {
        commands.push_back("resetBlockedRequests");
        requestCount = 0;
    }
    bool isRunning() override { return running; }
    std::int64_t blockedRequestCount() override { return requestCount; }

    std::vector<std::string> commands;
    std::vector<std::string> exceptionDomains, blockedDomains;  // of the last update
    bool allWebsitesBlocked = false;
    bool running = false;
    std::int64_t requestCount = 0;
};

// Everything an engine needs, faked; `create` wires an engine to it. Clears the quit flag
// that a session leaves set.
struct EngineHarness {
    ~EngineHarness() { OrrindaleQuitProtection::blockingActive = false; }

    std::shared_ptr<MacBlockingEngine> create() {
        auto recording = std::make_unique<RecordingBlockServer>();
        server = recording.get();
        return MacBlockingEngine::create({
            .runLoop = mainLoop ? *mainLoop : loop,
            .toolRunner = toolRunner,
            .workspace = realWorkspace ? realWorkspace : workspace,
            .accessibility = accessibility,
            .standardDefaults = defaults,
            .openDefaultsSuite = [this](const std::string& name) -> std::shared_ptr<UserDefaults> {
                openedSuites.push_back(name);
                auto made = suites.try_emplace(name, std::make_shared<MemoryUserDefaults>());
                return suitesAvailable ? made.first->second : nullptr;
            },
            .ownBundleIdentifier = ownIdentifier,
            .ownProcessIdentifier = ownPid,
            .server = std::move(recording),
            .networksetupPath = networksetupPath,
            .scutilPath = scutilPath,
        });
    }

    ManualRunLoop loop;
    RunLoop* mainLoop = nullptr;               // replaces `loop` when set
    std::shared_ptr<Workspace> realWorkspace;  // replaces `workspace` when set
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<FakeAccessibility> accessibility = std::make_shared<FakeAccessibility>();
    std::shared_ptr<FakeToolRunner> fakeTools = std::make_shared<FakeToolRunner>();
    std::shared_ptr<ToolRunner> toolRunner = fakeTools;  // tests may put the real runner here
    std::shared_ptr<UserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
    std::map<std::string, std::shared_ptr<MemoryUserDefaults>> suites;
    std::vector<std::string> openedSuites;
    bool suitesAvailable = true;
    std::optional<std::string> ownIdentifier = "com.example.host";
    std::int32_t ownPid = 4242;
    std::string networksetupPath = "/fake/networksetup";
    std::string scutilPath = "/fake/scutil";
    RecordingBlockServer* server = nullptr;  // owned by the engine
};

// An EncodableMap from string keys.
inline EncodableMap encodableMap(
    std::initializer_list<std::pair<const char*, EncodableValue>> entries) {
    EncodableMap map;
    for (const auto& [key, value] : entries) {
        map.emplace(EncodableValue(key), value);
    }
    return map;
}

template <class T>
T entry(const EncodableMap& map, const char* key) {
    const auto found = map.find(EncodableValue(key));
    if (found == map.end() || !found->second.template is<T>()) {
        ADD_FAILURE() << "missing or mistyped entry " << key;
        return T{};
    }
    return *found->second.template getIf<T>();
}

}  // namespace kestralune::blocking_test
