#include "blocking/system_proxy_configurator.h"

#include "blocking/mac_blocking_engine.h"
#include "platform/testing/fake_network_tools.h"
#include "platform/testing/log_capture.h"
#include "platform/testing/memory_proxy_store.h"
#include "platform/testing/memory_user_defaults.h"
#include "tests/blocking/engine_test_doubles.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

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

// Wi-Fi (on, with a URL), a disabled service (which has no state, so touching it fails) and
// USB (off, no URL) in the fake tools, which the engine runs through the real tool runner.
struct ProxySetup {
    ProxySetup() {
        tools.listServices("Wi-Fi\n*Bluetooth PAN\nUSB 10/100 LAN\n");
        tools.setService(kWifi, true, kCorpUrl);
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

    TempDirectory folder;
    FakeNetworkTools tools{folder.path()};
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

// Fault: a leftover proxy URL is saved as the user's own and restored as such, or an
// undecodable backup left by an earlier run blocks every later save.
TEST_F(ProxyConfiguratorTest, LeftoverProxyUrlIsBackedUpAsOffOverAnUndecodableBackup) {
    tools.setService(kWifi, true, kProxyAutoConfigUrl);
    const std::string garbage = "{\"Wi-Fi\":";
    harness.defaults->setObject(kProxyBackupKey, PlistValue::Data(garbage.begin(), garbage.end()));
    auto engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kWifi, {false, ""}}, {kUsb, {false, ""}}}));
    engine->restoreProxySettings();
    EXPECT_FALSE(tools.enabled(kWifi));
}

// Fault: an unreadable service is changed without a backup, a failed set command (either
// of the two) counts as applied or loses the backup, or a failed listing saves anything.
TEST(ProxyApplyFailureTest, FailuresReportFalseAndKeepWhatWasBackedUp) {
    const std::tuple<const char*, const char*, int, std::optional<ProxyBackup>, const char*>
        rows[] = {
            {kWifi, "-getautoproxyurl", 1, ProxyBackup{{kUsb, {false, ""}}}, kCorpUrl},
            {kUsb, "-setautoproxystate", 0, kOriginalBackup, kProxyAutoConfigUrl},
            {kUsb, "-setautoproxyurl", 0, kOriginalBackup, kProxyAutoConfigUrl},
            {"", "-listallnetworkservices", 1, std::nullopt, kCorpUrl},
        };
    for (const auto& [service, command, status, backup, wifiUrl] : rows) {
        SCOPED_TRACE(command);
        ProxySetup setup;
        setup.tools.failCommand(service, command, "** Error: It failed.", status);
        EXPECT_FALSE(setup.harness.create()->applyProxySettings());
        EXPECT_EQ(setup.storedBackup(), backup);
        EXPECT_EQ(setup.tools.url(kWifi), wifiUrl);
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
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: the backup lives only in memory, so a crash mid-session leaves the proxy set; or
// restore visits only the services listed now, so one disabled meanwhile keeps pointing at
// the block server.
TEST_F(ProxyConfiguratorTest, BackupSurvivesARestartAndReachesServicesNoLongerListed) {
    harness.create()->startSession({});  // the process ends without stopping the session
    EngineHarness restarted;
    configure(restarted);
    restarted.defaults = harness.defaults;
    auto engine = restarted.create();
    EXPECT_EQ(tools.url(kWifi), kProxyAutoConfigUrl);  // nothing restores at start
    tools.listServices("Wi-Fi\n*Bluetooth PAN\n*USB 10/100 LAN\n");
    engine->stopSession();
    EXPECT_EQ(tools.url(kWifi), kCorpUrl);
    EXPECT_FALSE(tools.enabled(kUsb));
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: a service whose URL could not be set is switched on anyway, so a proxy that was off
// stays on, pointing at a URL that restore then leaves alone as someone else's.
TEST_F(ProxyConfiguratorTest, AFailedUrlChangeNeverSwitchesTheProxyOn) {
    tools.failCommand(kUsb, "-setautoproxyurl", "** Error: It failed.");
    auto engine = harness.create();
    EXPECT_FALSE(engine->applyProxySettings());
    EXPECT_FALSE(tools.enabled(kUsb));
    EXPECT_TRUE(tools.calls("-setautoproxystate USB").empty());
}

// Fault: the watch stays off once a configuration change in the session turned web blocking
// off and a later one turned it on again.
TEST_F(ProxyConfiguratorTest, WatchResumesWhenWebBlockingReturnsInTheSession) {
    auto engine = harness.create();
    engine->startSession({});
    engine->applyConfiguration(encodableMap({{"allWebsitesBlocked", false}}));
    EXPECT_EQ(tools.url(kWifi), kCorpUrl);
    engine->applyConfiguration(encodableMap({{"allWebsitesBlocked", true}}));
    tools.setService(kWifi, true, "http://user.example/own.pac");
    harness.loop.advance(3.0);
    EXPECT_EQ(tools.url(kWifi), kProxyAutoConfigUrl);
}

// Fault: a host killed during a session leaves every service pointing at a server that no
// longer runs until the user happens to start and stop another session; or a start restores
// in the middle of a session.
TEST_F(ProxyConfiguratorTest, AStartAfterACrashRestoresWhatTheSessionChanged) {
    harness.create()->startSession({});  // killed: the session never stopped
    EngineHarness restarted;
    configure(restarted);
    restarted.defaults = harness.defaults;
    auto engine = restarted.create();
    LogCapture log;
    engine->restoreProxySettingsLeftByAnEarlierRun();
    EXPECT_EQ(tools.url(kWifi), kCorpUrl);
    EXPECT_TRUE(tools.enabled(kWifi));
    EXPECT_FALSE(tools.enabled(kUsb));
    EXPECT_EQ(storedBackup(), ProxyBackup{});
    EXPECT_EQ(log.lines.size(), 1u);

    engine->startSession({});
    engine->restoreProxySettingsLeftByAnEarlierRun();
    EXPECT_EQ(tools.url(kWifi), kProxyAutoConfigUrl);
}

// Fault: what a desktop's mode held (not expressible as on or off) is lost on the way through
// the backup, a stored mode makes older backups unreadable, or a remembered service is handed
// to the wrong store.
TEST(ProxyConfiguratorStoresTest, EachServiceComesBackExactlyThroughItsOwnStore) {
    auto gnome = std::make_shared<MemoryProxyStore>("GNOME", AutoProxyReading{false, "", "manual"});
    auto kde = std::make_shared<MemoryProxyStore>(
        "KDE", AutoProxyReading{false, "http://corp.example/k.pac", "3"});
    auto defaults = std::make_shared<MemoryUserDefaults>();
    {
        SystemProxyConfigurator configurator({gnome, kde}, defaults);
        EXPECT_TRUE(configurator.applyProxySettings());
        EXPECT_TRUE(configurator.verifyProxySettings());
        kde->state.url = "http://elsewhere.example/";
        EXPECT_FALSE(configurator.verifyProxySettings());
        kde->state.url = kProxyAutoConfigUrl;
    }

    kde->listed = false;
    SystemProxyConfigurator later({gnome, kde}, defaults);
    later.restoreProxySettings();
    EXPECT_EQ(gnome->state, (AutoProxyReading{false, "", "manual"}));
    EXPECT_EQ(kde->state, (AutoProxyReading{false, "http://corp.example/k.pac", "3"}));
}

}  // namespace
}  // namespace kestralune::blocking_test
