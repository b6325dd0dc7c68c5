#pragma once

#include "platform/alert_presenter.h"
#include "platform/progress_window.h"

#include <iosfwd>

namespace kestralune {

// Alerts as a dialogue on a terminal: the message, the informative text and the numbered
// buttons ("1) Replace  2) Cancel") are written to `output`, then a line is read from
// `input`. A button's number or title (in any letter case) chooses it; an empty line chooses
// the only button of a one-button alert. Any other line asks again, three lines at most, and
// then there is no answer; nor is there at the end of input. The streams must outlive the
// presenter. Main thread only; blocks until answered.
class TerminalAlertPresenter final : public AlertPresenter {
  public:
    TerminalAlertPresenter(std::istream& input, std::ostream& output);

    std::optional<std::size_t> runModal(const Alert& alert) override;

  private:
    std::istream& input;
    std::ostream& output;
};

// Writes the label to `output` (which must outlive it) each time it is shown; a terminal has
// nothing to take down.
class TerminalProgressWindow final : public ProgressWindow {
  public:
    explicit TerminalProgressWindow(std::ostream& output) : output(output) {}

    void show(const std::string& title, const std::string& label) override;
    void hide() override {}

  private:
    std::ostream& output;
};

}  // namespace kestralune
