#pragma once

#include "platform/accessibility.h"

namespace kestralune {

// Accessibility trust for tests: trusted, untrusted, or untrusted until the first prompt
// (the user grants it when asked). Counts the calls that ask with a prompt.
class FakeAccessibility final : public Accessibility {
  public:
    enum class Mode { trusted, untrusted, grantedOnPrompt };

    explicit FakeAccessibility(Mode mode = Mode::trusted) : mode(mode) {}

    bool isProcessTrusted() override { return mode == Mode::trusted; }
    bool isProcessTrustedWithPrompt() override {
        ++prompts;
        if (mode == Mode::grantedOnPrompt) {
            mode = Mode::trusted;
        }
        return mode == Mode::trusted;
    }

    void setMode(Mode value) { mode = value; }
    int promptCount() const { return prompts; }

  private:
    Mode mode;
    int prompts = 0;
};

}  // namespace kestralune
