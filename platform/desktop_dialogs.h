#pragma once

#include "platform/alert_presenter.h"
#include "platform/progress_window.h"

#include <memory>

namespace kestralune {

// Alerts and the progress window of a program a user starts by hand (the installer), picked
// together so that both speak through the same medium: zenity dialogs when the session has a
// display (DISPLAY or WAYLAND_DISPLAY set and not empty) and zenity is on PATH; otherwise a
// dialogue on the terminal when standard input is one; otherwise the headless ones, which log
// and never answer. Decided when called, from the environment as it is then.
struct DesktopDialogs {
    std::unique_ptr<AlertPresenter> alerts;
    std::unique_ptr<ProgressWindow> progress;
};

DesktopDialogs makeDesktopDialogs();

}  // namespace kestralune
