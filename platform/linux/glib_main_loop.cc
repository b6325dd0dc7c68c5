#include "platform/linux/glib_main_loop.h"

#include <memory>
#include <thread>
#include <utility>

namespace kestralune {

GlibMainLoop& GlibMainLoop::shared() {
    // Never destroyed: its thread runs until the process ends.
    static GlibMainLoop* const loop = new GlibMainLoop();
    return *loop;
}

GlibMainLoop::GlibMainLoop() : mainContext(g_main_context_new()) {
    std::thread([context = mainContext] {
        g_main_context_push_thread_default(context);
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        g_main_loop_run(loop);
    }).detach();
}

void GlibMainLoop::invoke(std::function<void()> work) {
    auto* held = new std::function<void()>(std::move(work));
    g_main_context_invoke_full(
        mainContext, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        held, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

}  // namespace kestralune
