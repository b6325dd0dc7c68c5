#pragma once

#include <memory>
#include <string>

namespace kestralune {

// Opens a URL with the user's default handler (NSWorkspace openURL:). Main thread only;
// blocks until the handler has accepted or refused the URL.
class UrlOpener {
  public:
    virtual ~UrlOpener() = default;
    // Whether the system accepted the URL.
    virtual bool openURL(const std::string& url) = 0;
};

// Hands URLs to xdg-open, found on PATH when this is called; without it every URL is
// refused. A URL counts as accepted when xdg-open exits with status 0.
//
// The system's notification settings URL ("x-apple.systempreferences:com.apple.Notifications-
// Settings.extension", with any query) opens the desktop's notification settings instead:
// GNOME's gnome-control-center or KDE's systemsettings (systemsettings5 on Plasma 5), the
// current desktop's (XDG_CURRENT_DESKTOP) when installed, else the other's; found on PATH at
// each call and started detached. Accepted once the program started; refused without one.
std::shared_ptr<UrlOpener> makeUrlOpener();

}  // namespace kestralune
