#include "platform/accessibility.h"

namespace kestralune {

namespace {

// Nothing on this system gates watching other applications behind a user's grant.
class AlwaysTrusted final : public Accessibility {
  public:
    bool isProcessTrusted() override { return true; }
    bool isProcessTrustedWithPrompt() override { return true; }
};

}  // namespace

std::shared_ptr<Accessibility> makeAccessibility() {
    return std::make_shared<AlwaysTrusted>();
}

}  // namespace kestralune
