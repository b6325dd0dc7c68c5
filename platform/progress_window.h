#pragma once

#include <string>

namespace kestralune {

// A small window telling the user that a long step is under way: a title, one line of text
// and an indeterminate, animated bar, with nothing to press. Main thread only. show() while
// shown puts the new texts up instead; hide() does nothing when nothing is shown, and
// destroying the window hides it.
class ProgressWindow {
  public:
    virtual ~ProgressWindow() = default;
    virtual void show(const std::string& title, const std::string& label) = 0;
    virtual void hide() = 0;
};

}  // namespace kestralune
