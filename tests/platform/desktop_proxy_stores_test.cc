// The desktops' proxy settings stores against the real gsettings (GLib's key-file back-end)
// and kreadconfig5/kwriteconfig5 in a temporary home.
#include "platform/proxy_settings_store.h"

#include "platform/testing/log_capture.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {
namespace {

constexpr const char* kProxyUrl = "http://127.0.0.1:18081/proxy.pac";
// Every character a quoting or an option parser could trip over, and those GLib writes as
// escapes.
constexpr const char* kOddUrl = "-x 'it''s' \\ \"q\" \u00e9\t\n\x01\x7f \U000E0001 $HOME end ";

// A temporary home whose PATH holds only bin/: links to the real tools, or fakes that log
// their arguments to "<tool>.log" (dbus-send always, so no case needs or reaches a session
// bus). GLib's key-file back-end keeps GNOME's settings in a file there.
class Sandbox {
  public:
    explicit Sandbox(const char* desktop = "KDE") {
        const std::string home = dir.path();
        const std::pair<const char*, std::string> variables[] = {
            {"HOME", home},
            {"XDG_CONFIG_HOME", home + "/config"},
            {"PATH", home + "/bin"},
            {"GSETTINGS_BACKEND", "keyfile"},
            {"XDG_DATA_DIRS", "/usr/share"},
            {"XDG_CURRENT_DESKTOP", desktop}};
        for (const auto& [name, value] : variables) {
            const char* old = std::getenv(name);
            saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name, value.c_str(), 1);
        }
        std::filesystem::create_directory(dir.path() / "bin");
        for (const char* tool : {"gsettings", "kreadconfig5", "kwriteconfig5"}) {
            std::filesystem::create_symlink(std::string("/usr/bin/") + tool, home + "/bin/" + tool);
        }
        fake("dbus-send", "");
    }
    ~Sandbox() {
        for (const auto& [name, value] : saved) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }

    void fake(const std::string& tool, const std::string& body) {
        std::filesystem::remove(dir.path() / "bin" / tool);
        dir.write("bin/" + tool, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$0.log\"\n" + body + "\n",
                  0755);
    }
    std::string read(const std::string& relative) const { return dir.read(dir.path() / relative); }
    std::shared_ptr<ProxySettingsStore> store(const std::string& service) const {
        for (const auto& store : makeDesktopProxyStores(makeToolRunner())) {
            if (store->ownsService(service)) {
                return store;
            }
        }
        return nullptr;
    }

    TempDirectory dir;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST(DesktopProxyStoresTest, FactoryOffersExactlyTheStoresThatApply) {
    // Fails if a store is offered where its settings cannot be written or nobody reads them:
    // GNOME without gsettings or its schema, KDE outside Plasma (or matched as a substring) or
    // without both tools; or if Plasma 5's tools win over 6's.
    const struct {
        const char* desktop;
        std::string missing;  // a tool removed from PATH ("-": none), or "schemas"
        std::vector<std::string> expected;
    } rows[] = {
        {"GNOME", "-", {"GNOME"}},          {"KDE", "-", {"GNOME", "KDE"}},
        {"X:KDE", "-", {"GNOME", "KDE"}},   {"XKDE:KDE-X:kde", "-", {"GNOME"}},
        {"KDE", "gsettings", {"KDE"}},      {"KDE", "schemas", {"KDE"}},
        {"KDE", "kreadconfig5", {"GNOME"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.desktop) + " " + row.missing);
        Sandbox box(row.desktop);
        std::filesystem::remove(box.dir.path() / "bin" / row.missing);
        if (row.missing == "schemas") {
            ::setenv("XDG_DATA_DIRS", box.dir.path().c_str(), 1);
        }
        std::vector<std::string> services;
        for (const auto& store : makeDesktopProxyStores(makeToolRunner())) {
            services.push_back(store->listServices().at(0));
        }
        EXPECT_EQ(services, row.expected);
    }
    Sandbox box;
    box.fake("kreadconfig6", "echo 4");
    box.fake("kwriteconfig6", "");
    EXPECT_EQ(box.store("KDE")->readAutoProxy("KDE")->mode, "4");
}

// A user's setting, with the mode each desktop writes for it.
struct UserSetting {
    bool enabled;
    const char* url;
    const char* gnome;
    const char* kde;
};

TEST(DesktopProxyStoresTest, SetVerifyAndRestorePutBackExactlyWhatWasThere) {
    // Fails if a URL's quotes, backslashes, spaces or leading "-" are mangled on the way in or
    // out, a key or group is misnamed (programs would never see our script), KDE programs are
    // not told, verification ignores the mode or the URL, or restore loses a mode or URL.
    const UserSetting settings[] = {
        {false, "", "none", "0"},  // first: what a fresh home reads
        {false, kProxyUrl, "manual", "4"},
        {false, kOddUrl, "manual", "1"},
        {true, kOddUrl, "auto", "2"},
    };
    const std::string signal =
        "--session --type=signal /KIO/Scheduler org.kde.KIO.Scheduler.reparseSlaveConfiguration "
        "string:\n";
    const struct {
        const char* service;
        const char* UserSetting::*mode;
        const char* file;
        std::string inForce;  // the file once ours are set
        std::string signals;  // dbus-send's log then
    } rows[] = {
        {"GNOME", &UserSetting::gnome, "config/glib-2.0/settings/keyfile",
         std::string("[system/proxy]\nautoconfig-url='") + kProxyUrl + "'\nmode='auto'\n", ""},
        {"KDE", &UserSetting::kde, "config/kioslaverc",
         std::string("[Proxy Settings]\nProxy Config Script=") + kProxyUrl + "\nProxyType=2\n",
         signal + signal},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.service);
        Sandbox box;
        const auto store = box.store(row.service);
        ASSERT_NE(store, nullptr);
        const auto reading = [&](const UserSetting& setting) {
            return AutoProxyReading{setting.enabled, setting.url, setting.*row.mode};
        };
        EXPECT_EQ(store->readAutoProxy(row.service), reading(settings[0]));
        EXPECT_TRUE(store->setAutoProxyUrl(row.service, kProxyUrl));
        EXPECT_TRUE(store->enableAutoProxy(row.service));
        EXPECT_EQ(box.read(row.file), row.inForce);
        EXPECT_EQ(box.read("bin/dbus-send.log"), row.signals);
        for (const auto& setting : settings) {
            SCOPED_TRACE(std::string(setting.url) + " " + setting.*row.mode);
            ASSERT_TRUE(store->restoreAutoProxy(row.service, reading(setting)));
            EXPECT_EQ(store->readAutoProxy(row.service), reading(setting));
            EXPECT_FALSE(store->verifyAutoProxy(kProxyUrl));
            EXPECT_TRUE(store->setAutoProxyUrl(row.service, kProxyUrl));
            EXPECT_TRUE(store->enableAutoProxy(row.service));
            EXPECT_TRUE(store->verifyAutoProxy(kProxyUrl));
            EXPECT_TRUE(store->setAutoProxyUrl(row.service, "http://user/changed.pac"));
            EXPECT_FALSE(store->verifyAutoProxy(kProxyUrl));
            EXPECT_TRUE(store->restoreAutoProxy(row.service, reading(setting)));
            EXPECT_EQ(store->readAutoProxy(row.service), reading(setting));
        }
    }
}

TEST(DesktopProxyStoresTest, ReadsAndWritesThatFailAreReported) {
    // Fails if a failed read passes for an empty setting or a malformed answer for a URL (the
    // user's setting would be lost on restore), a write is taken on the exit status alone
    // (dconf loses a commit without a session bus and still exits 0), or a failed URL step
    // skips the mode step of a restore (automatic proxy would stay on).
    const std::string gsettings = "\nexec /usr/bin/gsettings \"$@\"";
    const std::string gnomeMode = "set org.gnome.system.proxy mode ";
    const std::string kdeKey = "--file kioslaverc --group Proxy Settings --key ";
    const std::string loses = "echo 'dconf-WARNING **: failed to commit changes' && exit 0";
    const AutoProxyReading unclear;
    const struct {
        const char* tool;
        std::string script;
        std::optional<AutoProxyReading> read;  // for reading fakes
        std::string lastCall = {};             // for writing fakes, after a restore
    } rows[] = {
        {"gsettings", "[ $1 = get ] && exit 1" + gsettings, std::nullopt},
        {"gsettings", "[ $3 = autoconfig-url ] && echo \"'a'b'\" && exit 0" + gsettings, unclear},
        {"gsettings", "[ $3 = autoconfig-url ] && echo \"'a\\\\'\" && exit 0" + gsettings, unclear},
        {"gsettings", "[ $3 = autoconfig-url ] && echo \"'\\\\ud800'\" && exit 0" + gsettings,
         unclear},
        {"kreadconfig5", "echo x", unclear},
        {"gsettings", "[ $1 = set ] && exit 1" + gsettings, {}, gnomeMode + "'none'"},
        {"gsettings", "[ $1 = set ] && " + loses + gsettings, {}, gnomeMode + "'none'"},
        {"kwriteconfig5", "exit 1", {}, kdeKey + "ProxyType -- 0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        LogCapture failures;
        Sandbox box;
        box.fake(row.tool, row.script);
        const std::string service = row.tool == std::string("gsettings") ? "GNOME" : "KDE";
        const auto store = box.store(service);
        ASSERT_NE(store, nullptr);
        if (row.lastCall.empty()) {
            EXPECT_EQ(store->readAutoProxy(service), row.read);
            EXPECT_FALSE(store->verifyAutoProxy(""));
            continue;
        }
        EXPECT_FALSE(store->setAutoProxyUrl(service, kProxyUrl));
        EXPECT_FALSE(store->enableAutoProxy(service));
        EXPECT_FALSE(store->restoreAutoProxy(service, {false, "http://a/p.pac"}));
        const std::string log = box.read(std::string("bin/") + row.tool + ".log");
        EXPECT_TRUE(log.ends_with(row.lastCall + "\n")) << log;
        EXPECT_EQ(box.read("bin/dbus-send.log"), "");
        EXPECT_EQ(failures.lines.size(), 4u);
    }
}

}  // namespace
}  // namespace kestralune
