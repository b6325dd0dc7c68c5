#include "platform/desktop_dialogs.h"

#include "platform/linux/executable_search.h"
#include "platform/linux/headless_alert_presenter.h"
#include "platform/linux/terminal_dialogs.h"
#include "platform/linux/zenity_dialogs.h"
#include "platform/log.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace kestralune {

namespace {

// Logs what the window would have said.
class HeadlessProgressWindow final : public ProgressWindow {
  public:
    void show(const std::string& title, const std::string& label) override {
        logLine("Kestralune progress: " + title + " | " + label);
    }
    void hide() override {}
};

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

DesktopDialogs makeDesktopDialogs() {
    if (hasDisplay()) {
        if (const auto zenity = findOnPath("zenity")) {
            return {std::make_unique<ZenityAlertPresenter>(*zenity),
                    std::make_unique<ZenityProgressWindow>(*zenity)};
        }
    }
    if (::isatty(STDIN_FILENO) == 1) {
        return {std::make_unique<TerminalAlertPresenter>(std::cin, std::cout),
                std::make_unique<TerminalProgressWindow>(std::cout)};
    }
    return {std::make_unique<HeadlessAlertPresenter>(), std::make_unique<HeadlessProgressWindow>()};
}

}  // namespace kestralune
