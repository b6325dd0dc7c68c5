#include "blocking/mac_blocking_engine.h"

#include "blockserver/domain_rules.h"
#include "host/quit_protection.h"
#include "platform/log.h"
#include "platform/text.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace kestralune {

namespace {

const EncodableValue* valueForKey(const EncodableMap& map, const char* key) {
    const auto found = map.find(EncodableValue(key));
    return found == map.end() ? nullptr : &found->second;
}

// Strings and the "id", "bundleIdentifier" and "path" strings of maps, trimmed; case kept.
std::set<std::string, std::less<>> normalizedAppIdentifiers(const EncodableValue* value) {
    std::set<std::string, std::less<>> identifiers;
    const auto* list = value ? value->getIf<EncodableList>() : nullptr;
    if (!list) {
        return identifiers;
    }
    const auto add = [&identifiers](const std::string& text) {
        auto trimmed = trimmedWhitespaceAndNewlines(text);
        if (!trimmed.empty()) {
            identifiers.insert(std::move(trimmed));
        }
    };
    for (const auto& element : *list) {
        if (const auto* text = element.getIf<std::string>()) {
            add(*text);
        } else if (const auto* entry = element.getIf<EncodableMap>()) {
            for (const char* key : {"id", "bundleIdentifier", "path"}) {
                const auto* field = valueForKey(*entry, key);
                if (const auto* text = field ? field->getIf<std::string>() : nullptr) {
                    add(*text);
                }
            }
        }
    }
    return identifiers;
}

// The string elements of a list value, in order; nothing for any other value.
std::vector<std::string> stringElements(const EncodableValue* value) {
    std::vector<std::string> strings;
    const auto* list = value ? value->getIf<EncodableList>() : nullptr;
    if (!list) {
        return strings;
    }
    for (const auto& element : *list) {
        if (const auto* text = element.getIf<std::string>()) {
            strings.push_back(*text);
        }
    }
    return strings;
}

bool isAlwaysAllowed(std::string_view domain) {
    const auto allowed = alwaysAllowedDomains();
    return std::find(allowed.begin(), allowed.end(), domain) != allowed.end();
}

PlistValue::Array plistStrings(const auto& strings) {
    return PlistValue::Array(strings.begin(), strings.end());
}

std::vector<std::shared_ptr<ProxySettingsStore>> proxyStoresOf(
    MacBlockingEngine::Dependencies& dependencies, const std::shared_ptr<ToolRunner>& toolRunner) {
    if (!dependencies.proxyStores.empty()) {
        return std::move(dependencies.proxyStores);
    }
    return {std::make_shared<NetworksetupProxyStore>(
        toolRunner, std::move(dependencies.networksetupPath), std::move(dependencies.scutilPath))};
}

constexpr const char* kManualProxyHint =
    ". Set http://127.0.0.1:18081/proxy.pac manually in macOS network settings";

}  // namespace

std::shared_ptr<MacBlockingEngine> MacBlockingEngine::create(Dependencies dependencies) {
    assert(dependencies.toolRunner && dependencies.workspace && dependencies.accessibility &&
           dependencies.standardDefaults && dependencies.openDefaultsSuite && dependencies.server);
    auto engine = std::make_shared<MacBlockingEngine>(PassKey(), std::move(dependencies));
    engine->workspaceObserver = engine->workspace->addObserver(
        [weak = std::weak_ptr<MacBlockingEngine>(engine)](const WorkspaceNotification& note) {
            if (auto strong = weak.lock()) {
                strong->handleApplicationLaunchOrActivation(note);
            }
        });
    return engine;
}

MacBlockingEngine::MacBlockingEngine(PassKey, Dependencies dependencies)
    : server(std::move(dependencies.server)),
      exceptionDomains(defaultExceptionDomainList()),
      runLoop(dependencies.runLoop),
      toolRunner(std::move(dependencies.toolRunner)),
      workspace(std::move(dependencies.workspace)),
      accessibility(std::move(dependencies.accessibility)),
      standardDefaults(std::move(dependencies.standardDefaults)),
      openDefaultsSuite(std::move(dependencies.openDefaultsSuite)),
      ownBundleIdentifier(std::move(dependencies.ownBundleIdentifier)),
      ownProcessIdentifier(dependencies.ownProcessIdentifier),
      proxyConfigurator(proxyStoresOf(dependencies, toolRunner), standardDefaults) {}

MacBlockingEngine::~MacBlockingEngine() {
    for (const auto& timer : {sessionTimer, appSweepTimer, proxyWatchTimer}) {
        if (timer) {
            timer->invalidate();
        }
    }
    if (workspaceObserver) {
        workspace->removeObserver(*workspaceObserver);
    }
    if (sessionActive) {
        workspace->setLaunchMonitoringEnabled(false);
    }
}

std::shared_ptr<Timer> MacBlockingEngine::scheduleWeakTimer(
    double interval, bool repeats, std::function<void(MacBlockingEngine&)> tick) {
    return runLoop.scheduleTimer(interval, repeats, weakBlock(shared_from_this(), std::move(tick)));
}

bool MacBlockingEngine::webBlockingRequired() const {
    return allWebsitesBlocked || !blockedDomains.empty();
}

void MacBlockingEngine::applyConfiguration(const EncodableMap& configuration) {
    blockedAppIdentifiers = normalizedAppIdentifiers(valueForKey(configuration, "blockedApps"));
    exceptionAppIdentifiers = normalizedAppIdentifiers(valueForKey(configuration, "exceptionApps"));

    std::set<std::string> exceptions;
    for (auto& domain :
         normalizedDomainList(stringElements(valueForKey(configuration, "exceptionDomains")))) {
        exceptions.insert(std::move(domain));
    }
    for (const auto domain : alwaysAllowedDomains()) {
        exceptions.emplace(domain);
    }
    exceptionDomains.assign(exceptions.begin(), exceptions.end());

    blockedDomains.clear();
    for (auto& domain :
         normalizedDomainList(stringElements(valueForKey(configuration, "blockedDomains")))) {
        if (!isAlwaysAllowed(domain)) {
            blockedDomains.insert(std::move(domain));
        }
    }

    const auto* allBlocked = valueForKey(configuration, "allWebsitesBlocked");
    const auto* allBlockedFlag = allBlocked ? allBlocked->getIf<bool>() : nullptr;
    allWebsitesBlocked = allBlockedFlag ? *allBlockedFlag : true;

    server->update(exceptionDomains, {blockedDomains.begin(), blockedDomains.end()},
                   allWebsitesBlocked);
    writeSharedConfiguration();

    if (!sessionActive) {
        return;
    }
    updateLaunchMonitoring();
    if (!accessibility->isProcessTrusted()) {
        accessibility->isProcessTrustedWithPrompt();
    }
    sweepRunningApplications();
    if (webBlockingRequired()) {
        server->start();
        if (!verifyProxySettings()) {
            applyProxySettings();
        }
        // Web blocking may have been off since an earlier change: the watch resumes.
        if (!proxyWatchTimer) {
            startProxyWatchTimer();
        }
    } else {
        restoreProxySettings();
        if (proxyWatchTimer) {
            proxyWatchTimer->invalidate();
            proxyWatchTimer.reset();
        }
    }
}

void MacBlockingEngine::writeSharedConfiguration() {
    const auto suite = openDefaultsSuite(std::string("group.") +
                                         ownBundleIdentifier.value_or(kDefaultBundleIdentifier));
    if (!suite) {
        return;
    }
    // One write: a network filter must never read the rules of two configurations.
    suite->setObjects({{"allWebsitesBlocked", allWebsitesBlocked},
                       {"exceptionDomains", plistStrings(exceptionDomains)},
                       {"blockedDomains", plistStrings(blockedDomains)}});
}

EncodableMap MacBlockingEngine::startSession(const EncodableMap& arguments) {
    sessionActive = true;
    OrrindaleQuitProtection::blockingActive = true;

    blockedAppAttemptCount = 0;
    recentlyBlockedApps.clear();
    server->resetBlockedRequests();

    bool trusted = accessibility->isProcessTrusted();
    if (!trusted) {
        trusted = accessibility->isProcessTrustedWithPrompt();
    }

    server->start();
    server->update(exceptionDomains, {blockedDomains.begin(), blockedDomains.end()},
                   allWebsitesBlocked);

    const int closed = sweepRunningApplications();
    startAppSweepTimer();
    updateLaunchMonitoring();

    bool applied = false;
    bool verified = false;
    if (webBlockingRequired()) {
        applied = applyProxySettings();
        verified = verifyProxySettings();
        startProxyWatchTimer();
    } else if (proxyWatchTimer) {
        proxyWatchTimer->invalidate();
        proxyWatchTimer.reset();
    }

    if (sessionTimer) {
        sessionTimer->invalidate();
        sessionTimer.reset();
    }
    const auto* duration = valueForKey(arguments, "durationMinutes");
    const auto minutes = duration ? duration->integerValue() : std::nullopt;
    if (minutes && *minutes > 0) {
        sessionTimer = scheduleWeakTimer(static_cast<double>(*minutes) * 60.0, false,
                                         [](MacBlockingEngine& engine) { engine.stopSession(); });
    }

    if (webBlockingRequired() && !applied) {
        logLine(
            "Kestralune could not update macOS proxy settings automatically. Use "
            "http://127.0.0.1:18081/proxy.pac as the automatic proxy configuration URL.");
    }

    return EncodableMap{
        {"started", true},
        {"engine", kBlockingEngineName},
        {"proxyApplied", applied},
        {"proxyVerified", verified},
        {"allWebsitesBlocked", allWebsitesBlocked},
        {"accessibilityTrusted", trusted},
        {"blockedAppCount", static_cast<std::int64_t>(blockedAppIdentifiers.size())},
        {"closedAppCount", static_cast<std::int64_t>(closed)},
        {"summary", summary(trusted, applied, verified)},
    };
}

std::string MacBlockingEngine::summary(bool trusted, bool applied, bool verified) const {
    std::string apps =
        blockedAppIdentifiers.empty()
            ? "No blocked apps selected"
            : std::to_string(blockedAppIdentifiers.size()) + " blocked app(s) monitored";
    const bool ok = applied && verified;
    std::string web;
    if (allWebsitesBlocked) {
        web = ok ? "web fallback proxy active"
                 : std::string("web fallback proxy not verified") + kManualProxyHint;
    } else if (!blockedDomains.empty()) {
        web = ok ? std::to_string(blockedDomains.size()) + " listed website(s) blocked"
                 : std::string("listed website blocking not verified") + kManualProxyHint;
    } else {
        web = "web blocking off";
    }
    return "Blocking active: " + apps + ", " + web + ", accessibility " +
           (trusted ? "on" : "needs approval") + ".";
}

void MacBlockingEngine::stopSession() {
    sessionActive = false;
    OrrindaleQuitProtection::blockingActive = false;
    for (auto* timer : {&sessionTimer, &appSweepTimer, &proxyWatchTimer}) {
        if (*timer) {
            (*timer)->invalidate();
            timer->reset();
        }
    }
    workspace->setLaunchMonitoringEnabled(false);
    restoreProxySettings();
    server->stop();
}

EncodableMap MacBlockingEngine::blockingStatus() {
    const bool required = webBlockingRequired();
    return EncodableMap{
        {"sessionActive", sessionActive},
        {"serverRunning", server->isRunning()},
        {"proxyVerified", required && verifyProxySettings()},
        {"webBlockingRequired", required},
        {"allWebsitesBlocked", allWebsitesBlocked},
        {"blockedDomainCount", static_cast<std::int64_t>(blockedDomains.size())},
        {"blockedAttemptCount", blockedAttemptCount()},
    };
}

bool MacBlockingEngine::applyProxySettings() {
    return proxyConfigurator.applyProxySettings();
}

bool MacBlockingEngine::verifyProxySettings() {
    return proxyConfigurator.verifyProxySettings();
}

void MacBlockingEngine::restoreProxySettings() {
    proxyConfigurator.restoreProxySettings();
}

void MacBlockingEngine::startProxyWatchTimer() {
    if (proxyWatchTimer) {
        proxyWatchTimer->invalidate();
    }
    proxyWatchTimer = scheduleWeakTimer(kProxyWatchInterval, true, [](MacBlockingEngine& engine) {
        if (!engine.sessionActive || !engine.webBlockingRequired()) {
            return;
        }
        engine.server->start();
        if (!engine.verifyProxySettings()) {
            engine.applyProxySettings();
        }
    });
}

void MacBlockingEngine::restoreProxySettingsLeftByAnEarlierRun() {
    if (sessionActive || !proxyConfigurator.hasBackup()) {
        return;
    }
    logLine(
        "Kestralune is restoring the automatic proxy settings of a session that ended without "
        "restoring them.");
    restoreProxySettings();
}

std::int64_t MacBlockingEngine::blockedAttemptCount() {
    return blockedAppAttemptCount + server->blockedRequestCount();
}

}  // namespace kestralune
