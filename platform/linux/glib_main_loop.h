#pragma once

#include <gio/gio.h>

#include <functional>

namespace kestralune {

// A thread of its own running a GLib main loop, on which the desktop's D-Bus services are
// called, so that no call ever blocks the main run loop (a file panel stays open for as long
// as the user looks at it, while the sweep and the proxy watch go on). Calls made in work run
// here get their replies and signals here too; results go back to the main run loop through
// RunLoop::async.
//
// Started on first use and kept for the life of the process.
class GlibMainLoop {
  public:
    static GlibMainLoop& shared();

    // Runs `work` on the loop's thread, soon and in the order given. Safe from any thread.
    void invoke(std::function<void()> work);
    // The loop's context: the thread-default context of every piece of work.
    GMainContext* context() const { return mainContext; }

    GlibMainLoop(const GlibMainLoop&) = delete;
    GlibMainLoop& operator=(const GlibMainLoop&) = delete;

  private:
    GlibMainLoop();

    GMainContext* const mainContext;
};

}  // namespace kestralune
