#include "blocking/system_proxy_configurator.h"

#include "blocking/mac_blocking_engine.h"
#include "tests/blocking/engine_test_doubles.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestralune::blocking_test {
namespace {

constexpr const char* kCorpUrl = "http://corp.example/wpad.dat";
constexpr const char* kWifi = "Wi-Fi";
constexpr const char* kUsb = "USB 10/100 LAN";
// What the fake tools' services held before any apply.
const ProxyBackup kOriginalBackup{{kWifi, {true, kCorpUrl}}, {kUsb, {false, ""}}};

// Fault: disabled services, the header or blank lines are taken for services.
TEST(NetworkServiceListTest, KeepsEnabledServicesInOutputOrder) {
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"An asterisk (*) denotes that a network service is disabled.\nWi-Fi\n*Bluetooth PAN\n"
         "  USB 10/100 LAN \t\n\nThunderbolt Bridge",
         {"Wi-Fi", "USB 10/100 LAN", "Thunderbolt Bridge"}},
        {"An asterisk (*) denotes that a network service is disabled.", {}},
        {"", {}},
        {"header\r\nEthernet\r\n", {"Ethernet"}},
    };
    for (const auto& [output, services] : rows) {
        EXPECT_EQ(parseNetworkServiceList(output), services) << output;
    }
}

// Fault: an unreadable answer is taken as a setting, or "(null)" as a URL.
TEST(AutoProxyOutputTest, ReadsTheEnabledAndUrlLines) {
    const std::pair<const char*, AutoProxyReading> rows[] = {
        {"URL: (null)\nEnabled: No\n", {false, ""}},
        {"URL: http://corp.example/wpad.dat\nEnabled: Yes\n", {true, kCorpUrl}},
        {"URL:\t http://a.example/p.pac \t\nEnabled:\tYes", {true, "http://a.example/p.pac"}},
        {"URL: (null)\nEnabled: Yes\nEnabled: No\n", {true, ""}},
        {"URL: http://a.example\nEnabled: Maybe\n", {false, std::nullopt}},
        {"Enabled: Yes\n", {false, std::nullopt}},
        {"  URL: http://a.example\nEnabled: Yes\n", {false, std::nullopt}},
        {"** Error: The parameters were not valid.\n", {false, std::nullopt}},
    };
    for (const auto& [output, reading] : rows) {
        EXPECT_EQ(parseAutoProxyOutput(output), reading) << output;
    }
}

// Fault: a saved URL is put back only when the saved state was on. (The other forms are
// restored through the fake tools below.)
TEST(RestoreCommandsTest, PutsBackTheUrlOfADisabledSetting) {
    EXPECT_EQ(restoreCommands(kWifi, {false, kCorpUrl}),
              (std::vector<std::vector<std::string>>{{"-setautoproxyurl", kWifi, kCorpUrl},
                                                     {"-setautoproxystate", kWifi, "off"}}));
}

// Fault: a partial or mistyped backup is half-loaded, or an encoded backup does not read back.
TEST(ProxyBackupCodingTest, DecodesOnlyCompleteEntries) {
    EXPECT_EQ(decodeProxyBackup(
                  R"({"Wi-Fi":{"enabled":true,"url":"http://corp.example/wpad.dat","x":1}})"),
              (ProxyBackup{{kWifi, {true, kCorpUrl}}}));
    for (const char* bad : {R"({"Wi-Fi":{"enabled":true}})", R"({"Wi-Fi":{"enabled":1,"url":""}})",
                            R"({"Wi-Fi":{"enabled":true,"url":""},"USB":{"url":""}})",
                            R"([{"enabled":true,"url":""}])", "not json", ""}) {
        EXPECT_EQ(decodeProxyBackup(bad), std::nullopt) << bad;
    }
    const ProxyBackup backup{{"USB 10/100 LAN", {false, ""}}, {"Wi‑Fi “Büro”", {true, kCorpUrl}}};
    EXPECT_EQ(decodeProxyBackup(encodeProxyBackup(backup).value()), backup);
    EXPECT_EQ(encodeProxyBackup({{"bad \xff name", {}}}), std::nullopt);
}

// Stand-ins for networksetup and scutil: shell scripts that keep each service's URL and
// state in files beside them, print the real tools' output forms and log every networksetup
// call. scutil reports the first enabled service, as the system reports the primary one.
class FakeNetworkTools {
  public:
    FakeNetworkTools() {
        const std::string root = "#!/bin/sh\nS='" + folder.path().string() + "'\n";
        folder.write("networksetup", root + R"sh(echo "$*" >> "$S/calls"
k="$S/$(printf '%s' "$2" | tr / _)"
if [ -f "$k$1" ]; then . "$k$1"; fi
if [ "$1" != -listallnetworkservices ] && [ ! -f "$k.on" ]; then
  echo "** Error: The parameters were not valid."; exit 4
fi
case "$1" in
  -listallnetworkservices)
    echo "An asterisk (*) denotes that a network service is disabled."; cat "$S/services" ;;
  -getautoproxyurl) url=$(cat "$k.url"); echo "URL: ${url:-(null)}"; echo "Enabled: $(cat "$k.on")" ;;
  -setautoproxyurl) printf '%s' "$3" > "$k.url" ;;
  -setautoproxystate) if [ "$3" = on ]; then echo Yes; else echo No; fi > "$k.on" ;;
esac
)sh",
                     0755);
        folder.write("scutil", root + R"sh(echo "<dictionary> {"
echo "  HTTPEnable : 0"
k="$S/$(grep -v '^\*' "$S/services" | head -n 1 | tr / _)"
if [ "$(cat "$k.on")" = Yes ]; then
  echo "  ProxyAutoConfigEnable : 1"; echo "  ProxyAutoConfigURLString : $(cat "$k.url")"
else echo "  ProxyAutoConfigEnable : 0"; fi
echo "}"
)sh",
                     0755);
    }

    std::string path(const char* tool) const { return (folder.path() / tool).string(); }
    // The listing's lines after its header; "*" before a name marks the service disabled.
    void listServices(const std::string& lines) { folder.write("services", lines); }
    void setService(const std::string& name, bool enabled, const std::string& url) {
        folder.write(key(name) + ".on", enabled ? "Yes\n" : "No\n");
        folder.write(key(name) + ".url", url);
    }
    bool enabled(const std::string& name) const { return read(key(name) + ".on") == "Yes\n"; }
    std::string url(const std::string& name) const { return read(key(name) + ".url"); }
    // Makes `command` for this service print `output` and exit with `status`, changing nothing.
    void failCommand(const std::string& name, const std::string& command, const std::string& output,
                     int status = 0) {
        folder.write(key(name) + command, "echo '" + output + "'; exit " + std::to_string(status));
    }
    void clearFailure(const std::string& name, const std::string& command) {
        std::filesystem::remove(folder.path() / (key(name) + command));
    }
    // The networksetup calls so far, each as its arguments joined by spaces, or only those
    // whose first argument begins with `prefix`.
    std::vector<std::string> calls(const std::string& prefix = "") const {
        std::vector<std::string> matching;
        std::istringstream lines(read("calls"));
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with(prefix)) {
                matching.push_back(line);
            }
        }
        return matching;
    }
    void clearCalls() { std::filesystem::remove(folder.path() / "calls"); }

  private:
    static std::string key(std::string name) {
        std::replace(name.begin(), name.end(), '/', '_');
        return name;
    }
    std::string read(const std::string& relative) const {
        std::ifstream in(folder.path() / relative);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    TempDirectory folder;
};

// Wi-Fi (on, with a URL), a disabled service and USB (off, no URL) in the fake tools,
// which the engine runs through the real tool runner.
struct ProxySetup {
    ProxySetup() {
        tools.listServices("Wi-Fi\n*Bluetooth PAN\nUSB 10/100 LAN\n");
        tools.setService(kWifi, true, kCorpUrl);
        tools.setService("Bluetooth PAN", false, "");
        tools.setService(kUsb, false, "");
        configure(harness);
    }
    void configure(EngineHarness& target) const {
        target.toolRunner = makeToolRunner(10.0);
        target.networksetupPath = tools.path("networksetup");
        target.scutilPath = tools.path("scutil");
    }
    std::optional<ProxyBackup> storedBackup() const {
        const auto data = harness.defaults->dataForKey(kProxyBackupKey);
        return data ? decodeProxyBackup(std::string(data->begin(), data->end())) : std::nullopt;
    }

    FakeNetworkTools tools;
    EngineHarness harness;
};

class ProxyConfiguratorTest : public ::testing::Test, protected ProxySetup {};

// Fault: a service is changed before its setting is read, a disabled one is touched, a
// second apply reads the proxy URL back over the first backup, or restore runs its commands
// out of order or leaves entries behind.
TEST_F(ProxyConfiguratorTest, ApplyBacksUpFirstAndRestorePutsBackTheSavedSettings) {
    const std::string pac = kProxyAutoConfigUrl;
    auto engine = harness.create();
    EXPECT_TRUE(engine->applyProxySettings());
    EXPECT_EQ(
        tools.calls(),
        (std::vector<std::string>{
            "-listallnetworkservices", "-getautoproxyurl Wi-Fi", "-setautoproxyurl Wi-Fi " + pac,
            "-setautoproxystate Wi-Fi on", "-getautoproxyurl USB 10/100 LAN",
            "-setautoproxyurl USB 10/100 LAN " + pac, "-setautoproxystate USB 10/100 LAN on"}));
    EXPECT_TRUE(engine->verifyProxySettings());
    EXPECT_EQ(tools.url(kUsb), pac);
    tools.clearCalls();
    EXPECT_TRUE(engine->applyProxySettings());
    EXPECT_TRUE(tools.calls("-get").empty());
    EXPECT_EQ(storedBackup(), kOriginalBackup);

    tools.clearCalls();
    engine->restoreProxySettings();
    EXPECT_EQ(tools.calls("-set"),
              (std::vector<std::string>{"-setautoproxystate USB 10/100 LAN off",
                                        "-setautoproxyurl Wi-Fi http://corp.example/wpad.dat",
                                        "-setautoproxystate Wi-Fi on"}));
    EXPECT_EQ(tools.url(kWifi), kCorpUrl);
    EXPECT_TRUE(tools.enabled(kWifi));
    EXPECT_FALSE(tools.enabled(kUsb));
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: a leftover proxy URL is saved as the user's own and restored as such.
TEST_F(ProxyConfiguratorTest, LeftoverProxyUrlIsBackedUpAsOff) {
    tools.setService(kWifi, true, kProxyAutoConfigUrl);
    auto engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    EXPECT_EQ(storedBackup()->at(kWifi), (KestraluneAutoProxySettings{false, ""}));
    engine->restoreProxySettings();
    EXPECT_FALSE(tools.enabled(kWifi));
}

// Fault: an unreadable service is changed without a backup, a failed set command (either
// of the two) counts as applied or loses the backup, or a failed listing saves anything.
TEST(ProxyApplyFailureTest, FailuresReportFalseAndKeepWhatWasBackedUp) {
    const struct {
        const char* service;
        const char* command;
        int status;
        std::optional<ProxyBackup> backup;
        const char* wifiUrl;
    } rows[] = {
        {kWifi, "-getautoproxyurl", 1, ProxyBackup{{kUsb, {false, ""}}}, kCorpUrl},
        {kUsb, "-setautoproxystate", 0, kOriginalBackup, kProxyAutoConfigUrl},
        {kUsb, "-setautoproxyurl", 0, kOriginalBackup, kProxyAutoConfigUrl},
        {"", "-listallnetworkservices", 1, std::nullopt, kCorpUrl},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        ProxySetup setup;
        setup.tools.failCommand(row.service, row.command, "** Error: It failed.", row.status);
        EXPECT_FALSE(setup.harness.create()->applyProxySettings());
        EXPECT_EQ(setup.storedBackup(), row.backup);
        EXPECT_EQ(setup.tools.url(kWifi), row.wifiUrl);
    }
}

// Fault: a failed restore command (failure word with exit 0, or a non-zero exit) drops the
// backup, is not logged, or is not tried again by the next restore.
TEST_F(ProxyConfiguratorTest, FailedRestoreKeepsTheBackupForTheNextPass) {
    auto engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    tools.failCommand(kWifi, "-setautoproxystate", "** eRRoR: could not commit changes");
    tools.failCommand(kUsb, "-setautoproxystate", "", 1);
    LogCapture log;
    engine->restoreProxySettings();
    EXPECT_EQ(log.count("Kestralune could not restore automatic proxy for a network service; "
                        "backup retained."),
              2);
    EXPECT_EQ(storedBackup(), kOriginalBackup);

    tools.clearFailure(kUsb, "-setautoproxystate");
    tools.clearCalls();
    engine->restoreProxySettings();
    EXPECT_EQ(tools.calls("-set"),
              std::vector<std::string>{"-setautoproxystate USB 10/100 LAN off"});
    // Wi-Fi got its URL back in the first pass, so it no longer points at the proxy.
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: restore visits only the services listed now, so one disabled during the session
// keeps pointing at the block server.
TEST_F(ProxyConfiguratorTest, RestoreReachesAServiceNoLongerListed) {
    auto engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    tools.listServices("Wi-Fi\n*Bluetooth PAN\n*USB 10/100 LAN\n");
    engine->restoreProxySettings();
    EXPECT_FALSE(tools.enabled(kUsb));
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: an undecodable backup blocks every later save.
TEST_F(ProxyConfiguratorTest, UndecodableBackupIsReadAsEmptyAndReplaced) {
    const std::string garbage = "{\"Wi-Fi\":";
    harness.defaults->setObject(kProxyBackupKey, PlistValue::Data(garbage.begin(), garbage.end()));
    ASSERT_TRUE(harness.create()->applyProxySettings());
    EXPECT_EQ(storedBackup(), kOriginalBackup);
}

// Fault: the watch does not notice the system dropping the PAC URL; or a session ending
// before the next tick overwrites the user's change.
TEST_F(ProxyConfiguratorTest, WatchReappliesAfterTheSystemStopsNamingThePacUrl) {
    auto engine = harness.create();
    EXPECT_TRUE(entry<bool>(engine->startSession({}), "proxyVerified"));
    tools.setService(kWifi, true, "http://user.example/own.pac");
    harness.loop.advance(3.0);
    EXPECT_EQ(tools.url(kWifi), kProxyAutoConfigUrl);

    tools.setService(kWifi, true, "http://user.example/own.pac");
    engine->stopSession();
    EXPECT_EQ(tools.url(kWifi), "http://user.example/own.pac");
    EXPECT_FALSE(tools.enabled(kUsb));
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: the backup lives only in memory, so a crash mid-session leaves the proxy set.
TEST_F(ProxyConfiguratorTest, BackupSurvivesARestartAndIsRestoredByTheNextEngine) {
    harness.create()->startSession({});  // the process ends without stopping the session
    EngineHarness restarted;
    configure(restarted);
    restarted.defaults = harness.defaults;
    auto engine = restarted.create();
    EXPECT_EQ(tools.url(kWifi), kProxyAutoConfigUrl);  // nothing restores at start
    engine->stopSession();
    EXPECT_EQ(tools.url(kWifi), kCorpUrl);
    EXPECT_TRUE(tools.enabled(kWifi));
    EXPECT_FALSE(tools.enabled(kUsb));
}

}  // namespace
}  // namespace kestralune::blocking_test
