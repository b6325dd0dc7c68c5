#include "host/application.h"

#include "host/main_flutter_window.h"

#include <utility>

namespace kestralune {

void Application::activateIgnoringOtherApps() {
    active = true;
    ++activations;
}

void Application::addWindow(const std::shared_ptr<MainFlutterWindow>& window) {
    windowList.push_back(window);
}

std::vector<std::shared_ptr<MainFlutterWindow>> Application::windows() const {
    std::vector<std::shared_ptr<MainFlutterWindow>> alive;
    for (const auto& weak : windowList) {
        if (auto window = weak.lock()) {
            alive.push_back(std::move(window));
        }
    }
    return alive;
}

void Application::bringMainWindowForward(ForwardVariant variant,
                                         std::shared_ptr<MainFlutterWindow> reopenWindow) {
    forwards.push_back(variant);
    setActivationPolicy(ActivationPolicy::regular);
    unhide();

    std::vector<std::shared_ptr<MainFlutterWindow>> targets;
    if (variant == ForwardVariant::reopen) {
        if (!reopenWindow) {
            auto all = windows();
            if (!all.empty()) {
                reopenWindow = all.front();
            }
        }
        if (reopenWindow) {
            targets.push_back(std::move(reopenWindow));
        }
    } else {
        targets = windows();
    }

    const bool regardless =
        variant == ForwardVariant::menuAction || variant == ForwardVariant::reopen;
    for (const auto& window : targets) {
        if (window->isMiniaturized()) {
            window->deminiaturize();
        }
        window->makeKeyAndOrderFront();
        if (regardless) {
            window->orderFrontRegardless();
        }
        window->recordForward(variant);
    }
    activateIgnoringOtherApps();
}

std::vector<ApplicationMenuItem>* Application::applicationMenu() {
    if (menuBar.empty() || menuBar.front().submenu.empty()) {
        return nullptr;
    }
    return &menuBar.front().submenu;
}

bool Application::terminate() {
    if (terminated) {
        return true;
    }
    auto strongDelegate = delegate.lock();
    if (strongDelegate &&
        strongDelegate->applicationShouldTerminate(*this) == TerminateReply::terminateCancel) {
        return false;
    }
    terminated = true;
    if (terminationHandler) {
        terminationHandler();
    }
    return true;
}

}  // namespace kestralune
