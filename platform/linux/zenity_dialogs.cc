#include "platform/linux/zenity_dialogs.h"

#include "platform/linux/child_reaping.h"
#include "platform/linux/pidfd.h"
#include "platform/linux/spawn_signals.h"
#include "platform/log.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <vector>

extern char** environ;

namespace kestralune {

namespace {

constexpr int kTerminationGraceMillis = 2000;

// Label text is Pango markup, and zenity expands C escapes in it before parsing.
std::string markupText(const std::string& text) {
    gchar* escaped = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
    std::string result;
    for (const char* c = escaped; *c != '\0'; ++c) {
        result.append(*c == '\\' ? 2 : 1, *c);
    }
    g_free(escaped);
    return result;
}

// zenity maps its answers to the exit statuses these variables name; ours rely on its
// defaults.
bool remapsExitStatus(const char* variable) {
    return std::strncmp(variable, "ZENITY_", 7) == 0 || std::strncmp(variable, "DIALOG_", 7) == 0;
}

enum class Pipe { toInput, fromOutput };

struct StartedZenity {
    pid_t pid = -1;
    UniqueFd pipe;  // our end
};

// Starts zenity in our process group, so that an interrupt at the terminal ends it with us,
// with a pipe to its standard input or from its standard output (the other one is the null
// device); standard error stays ours. Nothing, with errno set, when it cannot be started.
std::optional<StartedZenity> startZenity(const std::string& zenity,
                                         const std::vector<std::string>& arguments, Pipe pipe) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const bool toInput = pipe == Pipe::toInput;
    UniqueFd ours(ends[toInput ? 1 : 0]);
    const UniqueFd theirs(ends[toInput ? 0 : 1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(),
                                     toInput ? STDIN_FILENO : STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, toInput ? STDOUT_FILENO : STDIN_FILENO, "/dev/null",
                                     O_RDWR, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // Whatever signals the program blocks or handles, SIGTERM must end zenity.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    setDefaultSignals(attributes);

    std::vector<char*> argv{const_cast<char*>(zenity.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!remapsExitStatus(*variable)) {
            environment.push_back(*variable);
        }
    }
    environment.push_back(nullptr);

    pid_t pid = 0;
    const int error =
        ::posix_spawn(&pid, zenity.c_str(), &actions, &attributes, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    return StartedZenity{pid, std::move(ours)};
}

std::string startFailure() {
    return "zenity could not be started (" + std::string(std::strerror(errno)) + ")";
}

std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(fd, buffer, sizeof(buffer))) != 0) {
        if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
        } else if (errno != EINTR) {
            break;
        }
    }
    return text;
}

const char* messageKind(Alert::Style style) {
    switch (style) {
        case Alert::Style::informational:
            return "--info";
        case Alert::Style::warning:
            return "--warning";
        case Alert::Style::critical:
            return "--error";
    }
    return "--info";
}

std::vector<std::string> alertArguments(const Alert& alert) {
    const auto& buttons = alert.buttons;
    std::string text = "<b>" + markupText(alert.messageText) + "</b>";
    if (!alert.informativeText.empty()) {
        text += "\n\n" + markupText(alert.informativeText);
    }
    std::vector<std::string> arguments{
        buttons.size() == 1 ? messageKind(alert.style) : "--question",
        "--title",
        alert.messageText,
        "--text",
        text,
        "--ok-label",
        buttons[0]};
    for (std::size_t index = 1; index < buttons.size(); ++index) {
        arguments.insert(arguments.end(),
                         {index == 1 ? "--cancel-label" : "--extra-button", buttons[index]});
    }
    return arguments;
}

std::optional<std::size_t> noAnswer(const std::string& reason) {
    logLine("Kestralune alert got no answer: " + reason);
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> ZenityAlertPresenter::runModal(const Alert& alert) {
    assert(!alert.buttons.empty());
    const auto started = startZenity(zenity, alertArguments(alert), Pipe::fromOutput);
    if (!started) {
        return noAnswer(startFailure());
    }
    std::string printed = readToEnd(started->pipe.get());
    const auto status = reapChild(started->pid);
    if (!status || !WIFEXITED(*status)) {
        return noAnswer("zenity did not exit");
    }
    if (WEXITSTATUS(*status) == 0) {
        return 0;
    }
    // zenity names an extra button on its output, whatever status its version gives it.
    if (!printed.empty() && printed.back() == '\n') {
        printed.pop_back();
    }
    const auto& buttons = alert.buttons;
    const auto extra = std::find(buttons.begin() + std::min<std::size_t>(2, buttons.size()),
                                 buttons.end(), printed);
    if (extra != buttons.end()) {
        return static_cast<std::size_t>(extra - buttons.begin());
    }
    if (WEXITSTATUS(*status) == 1) {
        return buttons.size() > 1 ? std::optional<std::size_t>(1) : std::nullopt;
    }
    return noAnswer("zenity exited with status " + std::to_string(WEXITSTATUS(*status)));
}

void ZenityProgressWindow::show(const std::string& title, const std::string& label) {
    hide();
    auto started = startZenity(zenity,
                               {"--progress", "--pulsate", "--no-cancel", "--auto-close", "--title",
                                title, "--text", markupText(label)},
                               Pipe::toInput);
    if (!started) {
        logLine("Kestralune could not show its progress window: " + startFailure());
        return;
    }
    child = started->pid;
    childInput = std::move(started->pipe);
}

void ZenityProgressWindow::hide() {
    if (child < 0) {
        return;
    }
    // Until it is reaped, the pid cannot name another process.
    ::kill(child, SIGTERM);
    UniqueFd process(pidfdOpen(child));
    pollfd ended{process.get(), POLLIN, 0};
    if (!process.valid() || ::poll(&ended, 1, kTerminationGraceMillis) != 1) {
        ::kill(child, SIGKILL);
    }
    (void)reapChild(child);
    child = -1;
    childInput.reset();
}

}  // namespace kestralune
