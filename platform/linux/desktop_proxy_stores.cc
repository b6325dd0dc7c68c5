// The desktops' own proxy settings, each as one service named after the desktop: GNOME's
// org.gnome.system.proxy through gsettings (read by Chromium, Firefox and GTK programs) and
// KDE Plasma's kioslaverc through kreadconfig/kwriteconfig (read by KIO and Qt programs).
#include "platform/linux/current_desktop.h"
#include "platform/linux/executable_search.h"
#include "platform/log.h"
#include "platform/proxy_settings_store.h"
#include "platform/text.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace kestralune {

namespace {

constexpr const char* kGnomeSchema = "org.gnome.system.proxy";
constexpr const char* kKdeGroup = "Proxy Settings";

// The scalar value written as hexadecimal `digits`, or nothing (GVariant strings hold no NUL).
std::optional<char32_t> hexScalar(std::string_view digits) {
    std::uint32_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value, 16);
    if (error != std::errc() || stop != end || value == 0 || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return value;
}

// GLib's one-letter escapes and the control characters they stand for.
constexpr std::string_view kEscapeLetters = "abfnrtv";
constexpr std::string_view kEscapedControls = "\a\b\f\n\r\t\v";

// A GVariant string as gsettings prints it: in single quotes, or double quotes when it holds
// a single quote, with GLib's backslash escapes. Nothing for any other text.
std::optional<std::string> parsedGVariantString(std::string_view text) {
    if (text.size() < 2 || (text.front() != '\'' && text.front() != '"') ||
        text.back() != text.front()) {
        return std::nullopt;
    }
    const char quote = text.front();
    const std::string_view body = text.substr(1, text.size() - 2);
    std::string value;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == quote) {
            return std::nullopt;
        }
        if (body[i] != '\\') {
            value += body[i];
            continue;
        }
        if (++i == body.size()) {
            return std::nullopt;
        }
        if (const char e = body[i]; e == 'u' || e == 'U') {
            const std::size_t digits = e == 'u' ? 4 : 8;
            const auto c =
                body.size() - i > digits ? hexScalar(body.substr(i + 1, digits)) : std::nullopt;
            if (!c) {
                return std::nullopt;
            }
            appendScalar(value, *c);
            i += digits;
        } else if (const auto letter = kEscapeLetters.find(e); letter != std::string_view::npos) {
            value += kEscapedControls[letter];
        } else {
            value += e;  // GLib takes any other escaped character as itself
        }
    }
    return value;
}

// `text` (valid UTF-8) as a GVariant string literal that GLib's parser reads back unchanged.
std::string gvariantStringLiteral(std::string_view text) {
    std::string literal = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\') {
            literal += '\\';
            literal += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escaped[7];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            literal += escaped;
        } else {
            literal += c;
        }
    }
    return literal + "'";
}

// Where a desktop keeps its automatic proxy, and the mode values that switch it on and off.
struct DesktopKeys {
    const char* service;
    const char* modeKey;
    const char* urlKey;
    const char* autoMode;
    const char* offMode;
};
constexpr DesktopKeys kGnomeKeys{"GNOME", "mode", "autoconfig-url", "auto", "none"};
constexpr DesktopKeys kKdeKeys{"KDE", "ProxyType", "Proxy Config Script", "2", "0"};

// One key's value as a tool reported it.
struct KeyAnswer {
    bool read = false;                 // the tool ran and succeeded
    std::optional<std::string> value;  // absent when the answer was not understood
};

// What both desktops share: one service, a URL and a mode, verified by reading them back.
class DesktopProxyStore : public ProxySettingsStore {
  public:
    DesktopProxyStore(const DesktopKeys& keys, std::shared_ptr<ToolRunner> runner)
        : keys(keys), runner(std::move(runner)) {}

    std::vector<std::string> listServices() override { return {keys.service}; }
    bool ownsService(const std::string& service) const override { return service == keys.service; }

    std::optional<AutoProxyReading> readAutoProxy(
        [[maybe_unused]] const std::string& service) override {
        assert(ownsService(service));
        const auto mode = readValue(keys.modeKey);
        const auto url = readValue(keys.urlKey);
        if (!mode.read || !url.read) {
            return std::nullopt;
        }
        if (!mode.value || !url.value) {
            return AutoProxyReading{};
        }
        return AutoProxyReading{*mode.value == keys.autoMode, *url.value, *mode.value};
    }
    bool setAutoProxyUrl([[maybe_unused]] const std::string& service,
                         const std::string& url) override {
        assert(ownsService(service));
        return writeValue(keys.urlKey, url);
    }
    bool enableAutoProxy([[maybe_unused]] const std::string& service) override {
        assert(ownsService(service));
        return writeValue(keys.modeKey, keys.autoMode);
    }
    bool restoreAutoProxy(const std::string& service, const AutoProxyReading& saved) override {
        const bool urlRestored = setAutoProxyUrl(service, saved.url.value_or(""));
        const std::string mode = !saved.mode.empty() ? saved.mode
                                 : saved.enabled     ? keys.autoMode
                                                     : keys.offMode;
        const bool modeRestored = writeValue(keys.modeKey, mode);
        return urlRestored && modeRestored;
    }
    bool verifyAutoProxy(const std::string& url) override {
        const auto reading = readAutoProxy(keys.service);
        return reading && reading->enabled && reading->url == url;
    }

  protected:
    virtual KeyAnswer readValue(const char* key) = 0;
    virtual bool writeValue(const char* key, const std::string& value) = 0;

    void logFailedWrite(const ToolResult& result) const {
        const std::string said = trimmedWhitespaceAndNewlines(result.output);
        logLine(std::string("Kestralune could not change the ") + keys.service +
                " proxy settings (status " + std::to_string(result.status) + ")" +
                (said.empty() ? "" : ": " + said));
    }

    const DesktopKeys keys;
    const std::shared_ptr<ToolRunner> runner;
};

class GnomeProxyStore final : public DesktopProxyStore {
  public:
    GnomeProxyStore(std::string gsettings, std::shared_ptr<ToolRunner> runner)
        : DesktopProxyStore(kGnomeKeys, std::move(runner)), gsettings(std::move(gsettings)) {}

  private:
    KeyAnswer readValue(const char* key) override {
        const auto result = runner->runTool(gsettings, {"get", kGnomeSchema, key});
        if (result.status != 0) {
            return {};
        }
        return {true, parsedGVariantString(trimmedWhitespaceAndNewlinesView(result.output))};
    }
    // gsettings exits 0 when dconf cannot commit (no session bus) or GLib falls back to its
    // memory back-end, and says so; after a write that took effect it says nothing.
    bool writeValue(const char* key, const std::string& value) override {
        if (!isValidUtf8(value)) {
            return false;  // GSettings strings are UTF-8; gsettings crashes on anything else
        }
        const auto result =
            runner->runTool(gsettings, {"set", kGnomeSchema, key, gvariantStringLiteral(value)});
        const bool written =
            result.status == 0 && trimmedWhitespaceAndNewlinesView(result.output).empty();
        if (!written) {
            logFailedWrite(result);
        }
        return written;
    }

    const std::string gsettings;
};

class KdeProxyStore final : public DesktopProxyStore {
  public:
    KdeProxyStore(std::string readConfig, std::string writeConfig,
                  std::optional<std::string> dbusSend, std::shared_ptr<ToolRunner> runner)
        : DesktopProxyStore(kKdeKeys, std::move(runner)),
          readConfig(std::move(readConfig)),
          writeConfig(std::move(writeConfig)),
          dbusSend(std::move(dbusSend)) {}

  private:
    // kreadconfig prints the value and a line break; an unset key prints as empty.
    KeyAnswer readValue(const char* key) override {
        auto result = runner->runTool(readConfig,
                                      {"--file", "kioslaverc", "--group", kKdeGroup, "--key", key});
        if (result.status != 0) {
            return {};
        }
        std::string value = std::move(result.output);
        if (!value.empty() && value.back() == '\n') {
            value.pop_back();
        }
        if (key == std::string_view(keys.modeKey)) {
            if (value.empty()) {
                value = keys.offMode;  // KIO's default
            }
            // KIO reads ProxyType as a number; anything else was not written by it.
            if (!std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                return {true, std::nullopt};
            }
        }
        return {true, std::move(value)};
    }
    // "--" ends the options, so a value starting with "-" is written as it is.
    bool writeValue(const char* key, const std::string& value) override {
        const auto result = runner->runTool(
            writeConfig, {"--file", "kioslaverc", "--group", kKdeGroup, "--key", key, "--", value});
        if (result.status != 0) {
            logFailedWrite(result);
            return false;
        }
        if (dbusSend) {
            // What Plasma's proxy settings module sends after saving: running KIO workers
            // re-read kioslaverc. Without a session bus nobody is listening anyway.
            runner->runTool(*dbusSend,
                            {"--session", "--type=signal", "/KIO/Scheduler",
                             "org.kde.KIO.Scheduler.reparseSlaveConfiguration", "string:"});
        }
        return true;
    }

    const std::string readConfig;
    const std::string writeConfig;
    const std::optional<std::string> dbusSend;
};

}  // namespace

std::vector<std::shared_ptr<ProxySettingsStore>> makeDesktopProxyStores(
    std::shared_ptr<ToolRunner> toolRunner) {
    std::vector<std::shared_ptr<ProxySettingsStore>> stores;
    if (const auto gsettings = findOnPath("gsettings");
        gsettings && toolRunner->runTool(*gsettings, {"list-keys", kGnomeSchema}).status == 0) {
        stores.push_back(std::make_shared<GnomeProxyStore>(*gsettings, toolRunner));
    }
    if (isCurrentDesktop("KDE")) {
        for (const char* version : {"6", "5"}) {
            auto readConfig = findOnPath(std::string("kreadconfig") + version);
            auto writeConfig = findOnPath(std::string("kwriteconfig") + version);
            if (readConfig && writeConfig) {
                stores.push_back(
                    std::make_shared<KdeProxyStore>(std::move(*readConfig), std::move(*writeConfig),
                                                    findOnPath("dbus-send"), toolRunner));
                break;
            }
        }
    }
    return stores;
}

}  // namespace kestralune
