#include "platform/linux/headless_alert_presenter.h"

#include "platform/log.h"

#include <string>

namespace kestralune {

void HeadlessAlertPresenter::runModal(const Alert& alert) {
    std::string line =
        "Kestralune alert: " + alert.messageText + " | " + alert.informativeText + " |";
    for (const auto& button : alert.buttons) {
        line += " [" + button + "]";
    }
    logLine(line);
    shown.push_back(alert);
}

}  // namespace kestralune
