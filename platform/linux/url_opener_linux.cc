#include "platform/linux/current_desktop.h"
#include "platform/linux/executable_search.h"
#include "platform/tool_runner.h"
#include "platform/url_opener.h"

#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace kestralune {

namespace {

// A handler that hangs must not freeze the main thread for long.
constexpr double kOpenLimitSeconds = 10.0;

constexpr std::string_view kNotificationSettingsURL =
    "x-apple.systempreferences:com.apple.Notifications-Settings.extension";

struct SettingsProgram {
    std::string_view desktop;  // as XDG_CURRENT_DESKTOP names it
    const char* program;
    const char* page;
};

// In order of preference within a desktop: Plasma 6's program before Plasma 5's.
constexpr SettingsProgram kNotificationSettingsPrograms[] = {
    {"GNOME", "gnome-control-center", "notifications"},
    {"KDE", "systemsettings", "kcm_notifications"},
    {"KDE", "systemsettings5", "kcm_notifications"},
};

// Starts the program in a session of its own, never the host's child (GLib forks twice and
// reaps the first), so it outlives the host and leaves no zombie. True once the exec succeeded.
bool startDetached(const std::string& path, const char* argument) {
    std::vector<gchar*> argv{const_cast<gchar*>(path.c_str()), const_cast<gchar*>(argument),
                             nullptr};
    GError* error = nullptr;
    const bool started = g_spawn_async(
        nullptr, argv.data(), nullptr, G_SPAWN_STDIN_FROM_DEV_NULL, [](gpointer) { ::setsid(); },
        nullptr, nullptr, &error);
    g_clear_error(&error);
    return started;
}

// The current desktop's notification settings, else those of any desktop that is installed.
bool openNotificationSettings() {
    for (const bool current : {true, false}) {
        for (const auto& candidate : kNotificationSettingsPrograms) {
            if (isCurrentDesktop(candidate.desktop) != current) {
                continue;
            }
            if (const auto path = findOnPath(candidate.program)) {
                return startDetached(*path, candidate.page);
            }
        }
    }
    return false;
}

class XdgUrlOpener final : public UrlOpener {
  public:
    XdgUrlOpener(std::optional<std::string> xdgOpenPath, std::shared_ptr<ToolRunner> runner)
        : xdgOpenPath(std::move(xdgOpenPath)), runner(std::move(runner)) {}

    bool openURL(const std::string& url) override {
        if (url.starts_with(kNotificationSettingsURL)) {
            return openNotificationSettings();
        }
        if (!xdgOpenPath) {
            return false;
        }
        return runner->runTool(*xdgOpenPath, {url}).status == 0;
    }

  private:
    const std::optional<std::string> xdgOpenPath;
    const std::shared_ptr<ToolRunner> runner;
};

}  // namespace

std::shared_ptr<UrlOpener> makeUrlOpener() {
    return std::make_shared<XdgUrlOpener>(findOnPath("xdg-open"),
                                          makeToolRunner(kOpenLimitSeconds));
}

}  // namespace kestralune
