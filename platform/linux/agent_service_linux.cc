// The launch agent as two systemd user units.
//
// launchd's property list becomes "<Label>.service" (one run of the agent) and
// "<Label>.timer" (RunAtLoad and StartInterval). Registration writes both under
// $XDG_CONFIG_HOME/systemd/user/ and enables the timer; the status compares the files on
// disk with what registration would write now, so a moved or replaced application reads
// as not registered until it registers again.
#include "platform/agent_service.h"
#include "platform/files.h"
#include "platform/linux/executable_search.h"
#include "platform/log.h"
#include "platform/plist_value.h"
#include "platform/text.h"
#include "platform/user_folders.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

namespace kestralune {

namespace {

constexpr std::size_t kPlistLimit = 1024 * 1024;
constexpr std::size_t kUnitLimit = 64 * 1024;
// Room for the ".service" suffix within systemd's 255-byte unit names.
constexpr std::size_t kLabelLimit = 255 - 8;
// launchd runs a RunAtLoad agent at once; a few seconds let a starting session settle.
constexpr int kFirstRunDelaySeconds = 5;

struct AgentUnits {
    std::string name;  // the Label: both units' name without the suffix
    std::string service;
    std::string timer;
};

// The units a property list asks for, or the sentence saying why it asks for none.
struct Translation {
    std::optional<AgentUnits> units;
    std::string failure;
};

bool isUnitNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '.' || c == '-';
}

bool isUsableLabel(const std::string& label) {
    return !label.empty() && label.size() <= kLabelLimit &&
           std::all_of(label.begin(), label.end(), isUnitNameCharacter);
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string escapedForUnit(std::string_view text, bool insideQuotes) {
    std::string escaped;
    for (const char c : text) {
        if (c == '%') {
            escaped += "%%";  // otherwise a specifier
        } else if (insideQuotes && (c == '"' || c == '\\')) {
            escaped += '\\';
            escaped += c;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The ExecStart= value that runs `program` (absolute, without control characters) with no
// arguments. The ":" prefix turns off "$" expansion, so the path reaches argv[0] as it is.
// systemd refuses quotes and backslashes in the executable's own name, whatever the
// escaping, so such a path is handed to the shell as a quoted argument instead.
std::string execStart(const std::string& program) {
    if (program.find_first_of("\"'\\") == std::string::npos) {
        return "\":" + escapedForUnit(program, false) + "\"";
    }
    return "\":/bin/sh\" -c \"exec \\\"$0\\\"\" \"" + escapedForUnit(program, true) + "\"";
}

std::string serviceText(const std::string& label, const std::string& program) {
    std::string text = "[Unit]\n";
    text += "Description=" + label + "\n\n";
    text += "[Service]\n";
    text += "Type=oneshot\n";
    text += "ExecStart=" + execStart(program) + "\n";
    text += "# The agent opens the application and exits. By default systemd then ends every\n";
    text += "# process left in the service's control group, the application with it.\n";
    text += "KillMode=process\n";
    return text;
}

// OnActiveSec= is RunAtLoad: one run soon after the timer starts, which is at login
// (through timers.target) and at "enable --now" in a running session. It also starts the
// interval: OnUnitActiveSec= alone never fires, as it counts from the service's last start.
std::string timerText(const std::string& label, std::int64_t interval) {
    const std::string seconds = std::to_string(interval);
    std::string text = "[Unit]\n";
    text += "Description=" + label + " every " + seconds + " seconds\n\n";
    text += "[Timer]\n";
    text += "OnActiveSec=" + std::to_string(kFirstRunDelaySeconds) + "s\n";
    text += "OnUnitActiveSec=" + seconds + "s\n";
    text += "AccuracySec=1s\n\n";
    text += "[Install]\n";
    text += "WantedBy=timers.target\n";
    return text;
}

class SystemdAgentService final : public AgentService {
  public:
    SystemdAgentService(std::shared_ptr<ToolRunner> toolRunner, std::string bundlePath,
                        std::string plistName)
        : toolRunner(std::move(toolRunner)),
          bundlePath(normalPath(bundlePath)),
          plistPath(this->bundlePath / "Contents/Library/LaunchAgents" / plistName) {}

    bool isSupported() const override { return findOnPath("systemctl").has_value(); }

    AgentServiceStatus status() const override {
        const Translation translation = translate();
        if (!translation.units) {
            return AgentServiceStatus::notFound;
        }
        const AgentUnits& units = *translation.units;
        const std::string folder = unitFolder();
        if (readFile(folder + units.name + ".service", kUnitLimit) != units.service ||
            readFile(folder + units.name + ".timer", kUnitLimit) != units.timer) {
            return AgentServiceStatus::notRegistered;
        }
        const auto systemctl = findOnPath("systemctl");
        if (!systemctl) {
            return AgentServiceStatus::notRegistered;
        }
        const ToolResult result =
            toolRunner->runTool(*systemctl, {"--user", "is-enabled", units.name + ".timer"});
        return result.status == 0 && trimmedWhitespaceAndNewlinesView(result.output) == "enabled"
                   ? AgentServiceStatus::enabled
                   : AgentServiceStatus::notRegistered;
    }

    std::optional<std::string> registerAgent() override {
        const auto systemctl = findOnPath("systemctl");
        if (!systemctl) {
            return "The service manager (systemctl) was not found.";
        }
        const Translation translation = translate();
        if (!translation.units) {
            return translation.failure;
        }
        const AgentUnits& units = *translation.units;
        const std::string folder = unitFolder();
        if (auto failure = createDirectories(folder, 0700); !failure.empty()) {
            return failure;
        }
        if (auto failure = replaceFile(folder + units.name + ".service", units.service);
            !failure.empty()) {
            return failure;
        }
        if (auto failure = replaceFile(folder + units.name + ".timer", units.timer);
            !failure.empty()) {
            return failure;
        }
        const std::vector<std::vector<std::string>> commands = {
            {"--user", "daemon-reload"},
            {"--user", "enable", "--now", units.name + ".timer"},
        };
        for (const auto& arguments : commands) {
            const ToolResult result = toolRunner->runTool(*systemctl, arguments);
            if (result.status == 0) {
                continue;
            }
            std::string message = trimmedWhitespaceAndNewlines(result.output);
            if (message.empty()) {
                message = "systemctl " + arguments[0] + " " + arguments[1] +
                          " failed with status " + std::to_string(result.status) + ".";
            }
            return message;
        }
        return std::nullopt;
    }

    void openSystemSettingsLoginItems() override {
        logLine(
            "There are no login items settings on this system; background agents are systemd "
            "user units (systemctl --user).");
    }

  private:
    // Absolute and without "." or ".." components, as systemd wants an executable's path;
    // empty (so no property list is found) when a relative path has no current folder.
    static std::filesystem::path normalPath(const std::string& path) {
        std::error_code error;
        return std::filesystem::absolute(path, error).lexically_normal();
    }
    static std::string unitFolder() { return userConfigurationPath() + "/systemd/user/"; }

    Translation translate() const {
        const std::string plist = plistPath.string();
        const auto bytes = readFile(plist, kPlistLimit);
        if (!bytes) {
            return {std::nullopt,
                    "The launch agent property list " + plist + " could not be read."};
        }
        const auto value = parsePropertyList(*bytes);
        const auto* dictionary = value ? value->get<PlistValue::Dictionary>() : nullptr;
        if (!dictionary) {
            return {std::nullopt, "The file " + plist + " is not a property list."};
        }
        const auto unusable = [&](const char* key) {
            return Translation{std::nullopt, "The launch agent property list " + plist +
                                                 " has no usable " + key + "."};
        };
        const auto entry = [&](const char* key) -> const PlistValue* {
            const auto found = dictionary->find(key);
            return found == dictionary->end() ? nullptr : &found->second;
        };

        const auto* labelValue = entry("Label");
        const auto* label = labelValue ? labelValue->get<std::string>() : nullptr;
        if (!label || !isUsableLabel(*label)) {
            return unusable("Label");
        }
        const auto* programValue = entry("BundleProgram");
        const auto* program = programValue ? programValue->get<std::string>() : nullptr;
        const auto relative = std::filesystem::path(program ? *program : "").lexically_normal();
        if (relative.empty() || relative.is_absolute() || *relative.begin() == ".." ||
            !relative.has_filename() || relative == ".") {
            return unusable("BundleProgram");
        }
        const auto* intervalValue = entry("StartInterval");
        const auto* interval = intervalValue ? intervalValue->get<std::int64_t>() : nullptr;
        // launchd holds the interval in an int.
        if (!interval || *interval <= 0 || *interval > std::numeric_limits<std::int32_t>::max()) {
            return unusable("StartInterval");
        }

        const std::string executable = (bundlePath / relative).string();
        if (hasControlCharacter(executable) || !isValidUtf8(executable)) {
            return {std::nullopt, "The launch agent " + executable +
                                      " cannot be named in a systemd unit: its path holds a "
                                      "control character or is not UTF-8."};
        }
        return {AgentUnits{*label, serviceText(*label, executable), timerText(*label, *interval)},
                {}};
    }

    const std::shared_ptr<ToolRunner> toolRunner;
    const std::filesystem::path bundlePath;
    const std::filesystem::path plistPath;
};

}  // namespace

std::shared_ptr<AgentService> makeAgentService(std::shared_ptr<ToolRunner> toolRunner,
                                               std::string bundlePath, std::string plistName) {
    return std::make_shared<SystemdAgentService>(std::move(toolRunner), std::move(bundlePath),
                                                 std::move(plistName));
}

}  // namespace kestralune
