#include "host/control_channel_handler.h"

#include "host/main_flutter_window.h"
#include "host/url_text.h"

#include <cassert>
#include <string>
#include <utility>

namespace kestralune {

ControlChannelHandler::ControlChannelHandler(Dependencies dependencies)
    : dependencies(std::move(dependencies)) {
    assert(this->dependencies.delegate && this->dependencies.menuBarController);
}

MethodChannel::MethodCallHandler ControlChannelHandler::bind(
    std::shared_ptr<ControlChannelHandler> handler) {
    return [handler = std::move(handler)](const MethodCall& call, MethodResult result) {
        handler->handle(call, std::move(result));
    };
}

EncodableList ControlChannelHandler::describeMenu(const std::vector<MenuItem>& menu) {
    EncodableList entries;
    for (const auto& item : menu) {
        const bool isSeparator = item.kind == MenuItem::Kind::separator;
        entries.push_back(EncodableMap{
            {"kind", isSeparator ? "separator" : "item"},
            {"title", item.title},
            {"enabled", item.enabled},
            {"action",
             item.representedObject ? EncodableValue(*item.representedObject) : EncodableValue()},
        });
    }
    return entries;
}

void ControlChannelHandler::handleApplicationMenu(const MethodCall& call, MethodResult result) {
    auto app = dependencies.application.lock();
    auto* menu = app ? app->applicationMenu() : nullptr;
    if (call.method == "getApplicationMenu") {
        EncodableList entries;
        for (const auto& item : menu ? *menu : std::vector<ApplicationMenuItem>{}) {
            const bool isSeparator = item.action.empty();
            entries.push_back(EncodableMap{
                {"kind", isSeparator ? "separator" : "item"},
                {"title", item.title},
                {"action", isSeparator ? EncodableValue() : EncodableValue(item.action)},
            });
        }
        result.success(entries);
        return;
    }
    const auto* title = call.arguments.getIf<std::string>();
    for (const auto& item : menu&& title ? *menu : std::vector<ApplicationMenuItem>{}) {
        if (item.title == *title && item.perform) {
            // A copy: the action may change the menu.
            auto perform = item.perform;
            perform();
            result.success();
            return;
        }
    }
    result.error("unknown_item", "The application menu has no item with this title.");
}

void ControlChannelHandler::handle(const MethodCall& call, MethodResult result) {
    auto& controller = *dependencies.menuBarController;
    if (call.method == "getMenu") {
        const auto& item = controller.statusItem();
        result.success(item ? describeMenu(item->menu) : EncodableList());
        return;
    }
    if (call.method == "chooseMenuItem") {
        const auto* action = call.arguments.getIf<std::string>();
        if (!action || !controller.chooseMenuItem(*action)) {
            result.error("unknown_item", "No shown, enabled menu item carries this action.");
            return;
        }
        result.success();
        return;
    }
    if (call.method == "getApplicationMenu" || call.method == "chooseApplicationMenuItem") {
        handleApplicationMenu(call, std::move(result));
        return;
    }
    if (call.method == "quit") {
        auto app = dependencies.application.lock();
        const bool terminated = app && app->terminate();
        result.success(EncodableMap{{"terminated", terminated}});
        return;
    }
    if (call.method == "openURLs") {
        std::vector<std::string> urls;
        if (const auto* list = call.arguments.getIf<EncodableList>()) {
            for (const auto& element : *list) {
                if (const auto* text = element.getIf<std::string>()) {
                    urls.push_back(absoluteUrlText(*text));
                }
            }
        }
        dependencies.delegate->applicationOpenURLs(urls);
        result.success();
        return;
    }
    if (call.method == "reopen") {
        bool hasVisibleWindows = false;
        if (auto app = dependencies.application.lock()) {
            for (const auto& window : app->windows()) {
                hasVisibleWindows = hasVisibleWindows || window->isVisible();
            }
        }
        dependencies.delegate->applicationShouldHandleReopen(hasVisibleWindows);
        result.success();
        return;
    }
    result.notImplemented();
}

}  // namespace kestralune
