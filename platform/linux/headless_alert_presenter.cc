#include "platform/linux/headless_alert_presenter.h"

#include "platform/log.h"

#include <string>

namespace kestralune {

std::optional<std::size_t> HeadlessAlertPresenter::runModal(const Alert& alert) {
    std::string line =
        "Kestralune alert: " + alert.messageText + " | " + alert.informativeText + " |";
    for (const auto& button : alert.buttons) {
        line += " [" + button + "]";
    }
    logLine(line);
    shown.push_back(alert);
    return std::nullopt;
}

}  // namespace kestralune
