#include "platform/linux/terminal_dialogs.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <istream>
#include <ostream>

namespace kestralune {

namespace {

constexpr int kAttempts = 3;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

// The index the reply names, if it names one.
std::optional<std::size_t> chosenButton(std::string_view reply,
                                        const std::vector<std::string>& buttons) {
    if (reply.empty()) {
        return buttons.size() == 1 ? std::optional<std::size_t>(0) : std::nullopt;
    }
    std::size_t number = 0;
    const auto end = reply.data() + reply.size();
    if (std::from_chars(reply.data(), end, number).ptr == end) {
        return number >= 1 && number <= buttons.size() ? std::optional(number - 1) : std::nullopt;
    }
    const auto named = std::find_if(buttons.begin(), buttons.end(), [&](const std::string& title) {
        return sameIgnoringCase(title, reply);
    });
    return named == buttons.end() ? std::nullopt
                                  : std::optional<std::size_t>(named - buttons.begin());
}

}  // namespace

TerminalAlertPresenter::TerminalAlertPresenter(std::istream& input, std::ostream& output)
    : input(input), output(output) {}

std::optional<std::size_t> TerminalAlertPresenter::runModal(const Alert& alert) {
    assert(!alert.buttons.empty());
    output << '\n' << alert.messageText << '\n';
    if (!alert.informativeText.empty()) {
        output << alert.informativeText << '\n';
    }
    for (std::size_t index = 0; index < alert.buttons.size(); ++index) {
        output << (index == 0 ? "" : "  ") << index + 1 << ") " << alert.buttons[index];
    }
    output << '\n';
    std::string line;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        output << (attempt == 0 ? "> " : "Type a button's number or title: ") << std::flush;
        if (!std::getline(input, line)) {
            output << '\n';
            return std::nullopt;
        }
        if (const auto chosen = chosenButton(trimmed(line), alert.buttons)) {
            return chosen;
        }
    }
    return std::nullopt;
}

void TerminalProgressWindow::show(const std::string&, const std::string& label) {
    output << label << std::endl;
}

}  // namespace kestralune
