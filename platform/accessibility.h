#pragma once

#include <memory>

namespace kestralune {

// Accessibility trust (AXIsProcessTrusted / AXIsProcessTrustedWithOptions with a prompt).
class Accessibility {
  public:
    virtual ~Accessibility() = default;
    virtual bool isProcessTrusted() = 0;
    // Asks the user when not yet trusted; returns the trust after asking.
    virtual bool isProcessTrustedWithPrompt() = 0;
};

// No such grant exists on Linux: always trusted.
std::shared_ptr<Accessibility> makeAccessibility();

}  // namespace kestralune
