#pragma once

#include <memory>
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
    virtual void runModal(const Alert& alert) = 0;
};

}  // namespace kestralune
