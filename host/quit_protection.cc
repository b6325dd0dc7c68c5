#include "host/quit_protection.h"

#include "host/localized_labels.h"

namespace kestralune {

bool OrrindaleQuitProtection::allowsTermination(RunLoop& mainLoop, AlertPresenter& presenter) {
    if (!blockingActive) {
        return true;
    }
    showQuitRefusedNotice(mainLoop, presenter);
    return false;
}

void OrrindaleQuitProtection::showQuitRefusedNotice(RunLoop& mainLoop, AlertPresenter& presenter) {
    mainLoop.async([&presenter] {
        Alert alert;
        alert.style = Alert::Style::informational;
        alert.messageText = localizedLabel("quitBlockedTitle");
        alert.informativeText = localizedLabel("quitBlockedDetail");
        alert.buttons = {localizedLabel("ok")};
        presenter.runModal(alert);
    });
}

}  // namespace kestralune
