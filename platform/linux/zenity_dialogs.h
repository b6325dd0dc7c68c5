#pragma once

#include "platform/alert_presenter.h"
#include "platform/progress_window.h"
#include "platform/unique_fd.h"

#include <sys/types.h>

#include <string>

namespace kestralune {

// Alerts as zenity dialogs (`zenity` is the path of its executable), each a child process
// waited for: modal to the program, as zenity cannot attach to a window of ours. One button:
// --info, --warning or --error after the style; more: --question (which shows no style) with
// the first button as OK, the second as Cancel and any others as extra buttons. The message
// is the title and, in bold, the head of the text. Answers: exit 0 is the first button; an
// extra button's title printed is that button; exit 1 (Cancel, Escape, the window closed) is
// the second button, or no answer for a one-button alert; anything else (zenity missing,
// broken or killed) is no answer and a log line. Environment variables that remap zenity's
// exit statuses are not passed on. Main thread only; blocks until the dialog closes.
class ZenityAlertPresenter final : public AlertPresenter {
  public:
    explicit ZenityAlertPresenter(std::string zenity) : zenity(std::move(zenity)) {}

    std::optional<std::size_t> runModal(const Alert& alert) override;

  private:
    std::string zenity;
};

// The progress window as `zenity --progress --pulsate --no-cancel --auto-close`, a child kept
// running while shown. hide() ends it with SIGTERM (SIGKILL when it is still there two
// seconds later) and reaps it. Its standard input is a pipe that only this object holds open,
// so should the program die without hiding it, zenity reads the end of its input and closes.
// Main thread only; when zenity cannot be started, that is logged and nothing is shown.
class ZenityProgressWindow final : public ProgressWindow {
  public:
    explicit ZenityProgressWindow(std::string zenity) : zenity(std::move(zenity)) {}
    ~ZenityProgressWindow() override { hide(); }
    ZenityProgressWindow(const ZenityProgressWindow&) = delete;
    ZenityProgressWindow& operator=(const ZenityProgressWindow&) = delete;

    void show(const std::string& title, const std::string& label) override;
    void hide() override;

  private:
    std::string zenity;
    pid_t child = -1;
    UniqueFd childInput;  // the write end of the child's standard input
};

}  // namespace kestralune
