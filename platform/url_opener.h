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
std::shared_ptr<UrlOpener> makeUrlOpener();

}  // namespace kestralune
