#pragma once

#include "platform/alert_presenter.h"
#include "platform/run_loop.h"

namespace kestralune {

// Keeps the application running during a blocking session: quit requests are refused and
// the user is told why. A type without instances; main thread only.
class OrrindaleQuitProtection {
  public:
    OrrindaleQuitProtection() = delete;

    // True while a blocking session runs. Written only by the engine's start- and
    // stop-session operations; read by the quit decision, the status-bar menu and the updater.
    static inline bool blockingActive = false;

    // The body of applicationShouldTerminate: true for "terminate now"; false for
    // "terminate cancel", in which case the quit-refused notice has been queued.
    static bool allowsTermination(RunLoop& mainLoop, AlertPresenter& presenter);

    // Queues the quit-refused notice on the main queue and returns at once. Its texts are
    // looked up when it is shown, so labels synced in between are used. Every call shows
    // its own notice. `presenter` must outlive the queued work (both are process-wide).
    static void showQuitRefusedNotice(RunLoop& mainLoop, AlertPresenter& presenter);
};

}  // namespace kestralune
