#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

struct Alert {
    enum class Style { informational, warning, critical };
    Style style = Style::informational;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

// Shows a modal notice (NSAlert). Main thread only. The headless implementation records
// the notice and logs its texts, as a user would have seen them.
class AlertPresenter {
  public:
    virtual ~AlertPresenter() = default;
    // Blocks until the notice is dismissed. The index in `alert.buttons` (at least one) of
    // the button the user chose; nothing when no one could answer (no screen, the dialog was
    // closed, input ended).
    virtual std::optional<std::size_t> runModal(const Alert& alert) = 0;
};

}  // namespace kestralune
