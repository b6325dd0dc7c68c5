#pragma once

#include "platform/alert_presenter.h"

#include <vector>

namespace kestralune {

// Alerts without a screen: each alert is logged as one line a user could read,
// "Kestralune alert: <message> | <informative> | [<button>] [<button>]", and kept so that
// tests and the control client can see what was shown. Returns at once with no answer.
// Main thread only.
class HeadlessAlertPresenter final : public AlertPresenter {
  public:
    std::optional<std::size_t> runModal(const Alert& alert) override;

    const std::vector<Alert>& shownAlerts() const { return shown; }

  private:
    std::vector<Alert> shown;
};

}  // namespace kestralune
