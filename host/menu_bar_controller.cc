#include "host/menu_bar_controller.h"

#include "host/localized_labels.h"
#include "host/quit_protection.h"

#include <map>
#include <utility>

namespace kestralune {

namespace {

MenuItem separator() {
    return MenuItem{MenuItem::Kind::separator, {}, false, std::nullopt};
}

MenuItem inert(std::string title) {
    return MenuItem{MenuItem::Kind::item, std::move(title), false, std::nullopt};
}

MenuItem action(std::string title, const char* identifier, bool enabled = true) {
    return MenuItem{MenuItem::Kind::item, std::move(title), enabled, std::string(identifier)};
}

const bool* boolValue(const EncodableMap& map, const char* key) {
    const auto found = map.find(EncodableValue(key));
    return found == map.end() ? nullptr : found->second.getIf<bool>();
}

// The label map, when the value is a map whose keys and values are all strings.
std::optional<std::map<std::string, std::string>> labelTable(const EncodableMap& state) {
    const auto found = state.find(EncodableValue("localizedLabels"));
    const auto* map = found == state.end() ? nullptr : found->second.getIf<EncodableMap>();
    if (!map) {
        return std::nullopt;
    }
    std::map<std::string, std::string> table;
    for (const auto& [key, value] : *map) {
        const auto* keyText = key.getIf<std::string>();
        const auto* valueText = value.getIf<std::string>();
        if (!keyText || !valueText) {
            return std::nullopt;
        }
        table.emplace(*keyText, *valueText);
    }
    return table;
}

}  // namespace

KestraluneMenuBarController::KestraluneMenuBarController(RunLoop& runLoop,
                                                         std::weak_ptr<Application> application,
                                                         std::weak_ptr<KestraluneUpdater> updater)
    : runLoop(runLoop), application(std::move(application)), updater(std::move(updater)) {}

void KestraluneMenuBarController::install(const std::shared_ptr<MethodChannel>& blockingChannel) {
    channel = blockingChannel;
    if (!item) {
        StatusItem created;
        created.image = StatusItem::Image{"NSApplicationIcon", 18, 18, false};
        created.imagePosition = StatusItem::ImagePosition::imageOnly;
        created.accessibilityLabel = "Kestralune";
        item = std::move(created);
    }
    rebuildMenu();
}

void KestraluneMenuBarController::sync(const EncodableMap& state) {
    if (const bool* value = boolValue(state, "sessionActive")) {
        active = *value;
    }
    if (const bool* value = boolValue(state, "sessionPaused")) {
        paused = *value;
    }
    if (const bool* value = boolValue(state, "unlockRequestPending")) {
        unlockPending = *value;
    }
    if (const auto found = state.find(EncodableValue("blockActionTitle")); found != state.end()) {
        if (const auto* title = found->second.getIf<std::string>()) {
            actionTitle = *title;
        }
    }
    if (auto table = labelTable(state)) {
        replaceLocalizedLabels(std::move(*table));
    }
    rebuildMenu();
}

void KestraluneMenuBarController::rebuildMenu() {
    if (!item) {
        return;
    }
    std::vector<MenuItem> menu;
    menu.push_back(inert("Kestralune"));
    menu.push_back(separator());
    menu.push_back(action(actionTitle, "toggleBlock", !unlockPending));
    if (paused) {
        menu.push_back(inert(localizedLabel("menuBreak")));
    } else if (active) {
        menu.push_back(inert(localizedLabel("menuBlocking")));
    }
    menu.push_back(separator());
    menu.push_back(action(localizedLabel("selectedApps"), "apps"));
    menu.push_back(action(localizedLabel("websites"), "websites"));
    menu.push_back(action(localizedLabel("settings"), "settings"));
    if (auto checker = updater.lock(); checker && checker->updaterSupported()) {
        menu.push_back(action(localizedLabel("checkForUpdates"), "updates"));
    }
    menu.push_back(separator());
    menu.push_back(action(localizedLabel("menuOpen"), "open"));
    if (!OrrindaleQuitProtection::blockingActive) {
        menu.push_back(action(localizedLabel("menuQuit"), "quit"));
    }
    item->menu = std::move(menu);
}

void KestraluneMenuBarController::handleMenuItem(const MenuItem& chosen) {
    if (!chosen.representedObject) {
        return;
    }
    runLoop.async([weak = weak_from_this(), action = *chosen.representedObject] {
        if (auto controller = weak.lock()) {
            controller->perform(action);
        }
    });
}

bool KestraluneMenuBarController::chooseMenuItem(const std::string& actionId) {
    if (!item) {
        return false;
    }
    for (const auto& entry : item->menu) {
        if (entry.enabled && entry.representedObject == actionId) {
            handleMenuItem(entry);
            return true;
        }
    }
    return false;
}

void KestraluneMenuBarController::perform(const std::string& actionId) {
    auto app = application.lock();
    if (app) {
        app->bringMainWindowForward(ForwardVariant::menuAction);
    }
    if (actionId == "updates") {
        if (auto checker = updater.lock()) {
            checker->checkForUpdates();
        }
        return;
    }
    if (actionId == "open") {
        return;
    }
    if (actionId == "quit") {
        if (app) {
            app->terminate();
        }
        return;
    }
    runLoop.asyncAfter(kMenuActionDelay, [weak = weak_from_this(), actionId] {
        auto controller = weak.lock();
        if (!controller) {
            return;
        }
        if (auto target = controller->channel.lock()) {
            target->invokeMethod("menuBarAction", actionId);
        }
    });
}

}  // namespace kestralune
