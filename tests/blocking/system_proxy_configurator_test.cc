#include "blocking/system_proxy_configurator.h"

#include "blocking/mac_blocking_engine.h"
#include "host/quit_protection.h"
#include "platform/tool_runner.h"
#include "platform/user_defaults.h"
#include "tests/blocking/engine_test_doubles.h"
#include "tests/blocking/fake_network_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace kestralune::blocking_test {
namespace {

using Commands = std::vector<std::vector<std::string>>;

constexpr const char* kRestoreFailedLine =
    "Kestralune could not restore automatic proxy for a network service; backup retained.";
constexpr const char* kCorpUrl = "http://corp.example/wpad.dat";
constexpr const char* kWifi = "Wi-Fi";
constexpr const char* kUsb = "USB 10/100 LAN";

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

// Fault: a URL command is run for an empty URL, or the state is restored first.
TEST(RestoreCommandsTest, SetsTheUrlBeforeTheState) {
    EXPECT_EQ(
        restoreCommands(kWifi, {true, kCorpUrl}),
        (Commands{{"-setautoproxyurl", kWifi, kCorpUrl}, {"-setautoproxystate", kWifi, "on"}}));
    EXPECT_EQ(restoreCommands(kWifi, {false, ""}),
              (Commands{{"-setautoproxystate", kWifi, "off"}}));
    EXPECT_EQ(
        restoreCommands(kWifi, {false, kCorpUrl}),
        (Commands{{"-setautoproxyurl", kWifi, kCorpUrl}, {"-setautoproxystate", kWifi, "off"}}));
}

// Fault: the failure word is matched case-sensitively, or a non-zero exit passes.
TEST(ToolCommandTest, SucceedsOnlyOnZeroExitWithoutTheFailureWord) {
    EXPECT_TRUE(toolCommandSucceeded({0, ""}));
    EXPECT_TRUE(toolCommandSucceeded({0, "done"}));
    EXPECT_FALSE(toolCommandSucceeded({0, "** eRRoR: could not commit"}));
    EXPECT_FALSE(toolCommandSucceeded({1, ""}));
    EXPECT_FALSE(toolCommandSucceeded({-1, "The file “networksetup” doesn’t exist."}));
}

// Fault: a partial or mistyped backup is half-loaded, or an encoded backup does not read back.
TEST(ProxyBackupCodingTest, DecodesOnlyCompleteEntries) {
    EXPECT_EQ(decodeProxyBackup(
                  R"({"Wi-Fi":{"enabled":true,"url":"http://corp.example/wpad.dat","x":1}})"),
              (ProxyBackup{{kWifi, {true, kCorpUrl}}}));
    EXPECT_EQ(decodeProxyBackup("{}"), ProxyBackup{});
    for (const char* bad : {R"({"Wi-Fi":{"enabled":true}})", R"({"Wi-Fi":{"enabled":1,"url":""}})",
                            R"({"Wi-Fi":{"enabled":true,"url":""},"USB":{"url":""}})",
                            R"([{"enabled":true,"url":""}])", "not json", ""}) {
        EXPECT_EQ(decodeProxyBackup(bad), std::nullopt) << bad;
    }
    const ProxyBackup backup{{"USB 10/100 LAN", {false, ""}}, {"Wi‑Fi “Büro”", {true, kCorpUrl}}};
    EXPECT_EQ(decodeProxyBackup(encodeProxyBackup(backup).value()), backup);
    EXPECT_EQ(encodeProxyBackup({{"bad \xff name", {}}}), std::nullopt);
}

// The configurator against fake networksetup and scutil programs, through the real tool
// runner, with the backup in real user defaults under a temporary home.
class ProxyConfiguratorTest : public ::testing::Test {
  protected:
    ProxyConfiguratorTest() {
        std::string pattern = std::filesystem::temp_directory_path() / "kestralune-home-XXXXXX";
        home = mkdtemp(pattern.data());
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
            const char* value = std::getenv(name);
            savedEnvironment.emplace_back(name,
                                          value ? std::optional<std::string>(value) : std::nullopt);
        }
        useConfigFolder(home + "/config");
        setenv("HOME", home.c_str(), 1);
        configure(harness);
        tools.addService(kWifi, true, kCorpUrl);
        tools.addService("Bluetooth PAN", false, "", /*disabledService=*/true);
        tools.addService(kUsb, false, "");
    }
    ~ProxyConfiguratorTest() override {
        for (const auto& [name, value] : savedEnvironment) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
        OrrindaleQuitProtection::blockingActive = false;
    }

    static void useConfigFolder(const std::string& folder) {
        setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    }
    void configure(EngineHarness& target) {
        target.toolRunner = makeToolRunner(10.0);
        target.networksetupPath = tools.networksetupPath();
        target.scutilPath = tools.scutilPath();
        target.defaults = standardUserDefaults();
    }
    std::optional<ProxyBackup> storedBackup() const {
        const auto data = harness.defaults->dataForKey(kProxyBackupKey);
        if (!data) {
            return std::nullopt;
        }
        return decodeProxyBackup(std::string(data->begin(), data->end()));
    }
    Commands setCommands() const {
        Commands sets;
        for (const auto& call : tools.calls()) {
            if (call.front().starts_with("-set")) {
                sets.push_back(call);
            }
        }
        return sets;
    }

    std::string home;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment;
    FakeNetworkTools tools;
    EngineHarness harness;
    std::shared_ptr<MacBlockingEngine> engine;
};

// Fault: a service is changed before its old setting is saved, or a disabled one is touched.
TEST_F(ProxyConfiguratorTest, ApplyBacksUpEachEnabledServiceBeforeChangingIt) {
    engine = harness.create();
    EXPECT_TRUE(engine->applyProxySettings());
    EXPECT_EQ(tools.calls(), (Commands{{"-listallnetworkservices"},
                                       {"-getautoproxyurl", kWifi},
                                       {"-setautoproxyurl", kWifi, kProxyAutoConfigUrl},
                                       {"-setautoproxystate", kWifi, "on"},
                                       {"-getautoproxyurl", kUsb},
                                       {"-setautoproxyurl", kUsb, kProxyAutoConfigUrl},
                                       {"-setautoproxystate", kUsb, "on"}}));
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kWifi, {true, kCorpUrl}}, {kUsb, {false, ""}}}));
    EXPECT_TRUE(engine->verifyProxySettings());
    EXPECT_EQ(tools.serviceUrl(kUsb), kProxyAutoConfigUrl);
    EXPECT_TRUE(tools.serviceEnabled(kUsb));
    EXPECT_EQ(tools.serviceUrl("Bluetooth PAN"), "");
}

// Fault: a second apply reads the proxy URL back and overwrites the original backup.
TEST_F(ProxyConfiguratorTest, SecondApplyKeepsTheFirstBackup) {
    engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    tools.clearCalls();
    ASSERT_TRUE(engine->applyProxySettings());
    for (const auto& call : tools.calls()) {
        EXPECT_NE(call.front(), "-getautoproxyurl");
    }
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kWifi, {true, kCorpUrl}}, {kUsb, {false, ""}}}));
}

// Fault: restore runs the commands out of order, or leaves entries in the backup.
TEST_F(ProxyConfiguratorTest, RestorePutsBackTheSavedSettingsInOrder) {
    engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    tools.clearCalls();
    engine->restoreProxySettings();

    EXPECT_EQ(setCommands(), (Commands{{"-setautoproxystate", kUsb, "off"},
                                       {"-setautoproxyurl", kWifi, kCorpUrl},
                                       {"-setautoproxystate", kWifi, "on"}}));
    EXPECT_EQ(tools.serviceUrl(kWifi), kCorpUrl);
    EXPECT_TRUE(tools.serviceEnabled(kWifi));
    EXPECT_FALSE(tools.serviceEnabled(kUsb));
    const auto data = harness.defaults->dataForKey(kProxyBackupKey);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "{}");
}

// Fault: a leftover proxy URL is saved as the user's own and restored as such.
TEST_F(ProxyConfiguratorTest, LeftoverProxyUrlIsBackedUpAsOff) {
    tools.setService(kWifi, true, kProxyAutoConfigUrl);
    engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    EXPECT_EQ(storedBackup()->at(kWifi), (KestraluneAutoProxySettings{false, ""}));
    tools.clearCalls();
    engine->restoreProxySettings();
    EXPECT_FALSE(tools.serviceEnabled(kWifi));
    EXPECT_EQ(setCommands(), (Commands{{"-setautoproxystate", kUsb, "off"},
                                       {"-setautoproxystate", kWifi, "off"}}));
}

// Fault: a failed restore command (failure word with exit 0, or a non-zero exit) drops the
// backup, is not logged, or is not tried again by the next restore.
TEST_F(ProxyConfiguratorTest, FailedRestoreKeepsTheBackupForTheNextPass) {
    engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    tools.failCommand(kWifi, "-setautoproxystate", "** eRRoR: could not commit changes");
    tools.failCommand(kUsb, "-setautoproxystate", "", 1);
    LogCapture log;
    engine->restoreProxySettings();
    EXPECT_EQ(log.count(kRestoreFailedLine), 2);
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kWifi, {true, kCorpUrl}}, {kUsb, {false, ""}}}));

    tools.clearFailures(kUsb);
    tools.clearCalls();
    engine->restoreProxySettings();
    EXPECT_EQ(setCommands(), (Commands{{"-setautoproxystate", kUsb, "off"}}));
    EXPECT_FALSE(tools.serviceEnabled(kUsb));
    // Wi-Fi got its URL back in the first pass, so it no longer points at the proxy.
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: the user's own URL is overwritten by the restore.
TEST_F(ProxyConfiguratorTest, UserChangedUrlIsLeftAloneAndItsBackupDropped) {
    engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    tools.setService(kWifi, true, "http://user.example/own.pac");
    tools.clearCalls();
    engine->restoreProxySettings();
    EXPECT_EQ(setCommands(), (Commands{{"-setautoproxystate", kUsb, "off"}}));
    EXPECT_EQ(tools.serviceUrl(kWifi), "http://user.example/own.pac");
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: an unreadable service is changed without a backup, or hides the failure.
TEST_F(ProxyConfiguratorTest, UnreadableServiceIsNeitherBackedUpNorChanged) {
    tools.failCommand(kWifi, "-getautoproxyurl", "** Error: could not read", 1);
    engine = harness.create();
    EXPECT_FALSE(engine->applyProxySettings());
    EXPECT_EQ(tools.serviceUrl(kWifi), kCorpUrl);
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kUsb, {false, ""}}}));
    EXPECT_EQ(tools.serviceUrl(kUsb), kProxyAutoConfigUrl);
}

// Fault: a failed set command counts as applied, or loses the backup.
TEST_F(ProxyConfiguratorTest, FailedSetReportsFalseAndKeepsTheBackup) {
    tools.failCommand(kUsb, "-setautoproxystate", "Error: commit failed");
    engine = harness.create();
    EXPECT_FALSE(engine->applyProxySettings());
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kWifi, {true, kCorpUrl}}, {kUsb, {false, ""}}}));
}

// Fault: a failing listing still backs something up or reports success.
TEST_F(ProxyConfiguratorTest, NoServicesMeansNothingAppliedOrSaved) {
    tools.failCommand("", "-listallnetworkservices", "Error: no configuration", 1);
    engine = harness.create();
    EXPECT_FALSE(engine->applyProxySettings());
    EXPECT_FALSE(harness.defaults->dataForKey(kProxyBackupKey));
}

// Fault: an undecodable backup blocks every later save.
TEST_F(ProxyConfiguratorTest, UndecodableBackupIsReadAsEmptyAndReplaced) {
    const std::string garbage = "{\"Wi-Fi\":";
    harness.defaults->setObject(kProxyBackupKey, PlistValue::Data(garbage.begin(), garbage.end()));
    engine = harness.create();
    ASSERT_TRUE(engine->applyProxySettings());
    EXPECT_EQ(storedBackup(), (ProxyBackup{{kWifi, {true, kCorpUrl}}, {kUsb, {false, ""}}}));
}

// Fault: the watch does not notice the system dropping the PAC URL; or a session ending
// before the next tick overwrites the user's change.
TEST_F(ProxyConfiguratorTest, WatchReappliesAfterTheSystemStopsNamingThePacUrl) {
    engine = harness.create();
    const auto report = engine->startSession({});
    EXPECT_TRUE(entry<bool>(report, "proxyApplied"));
    EXPECT_TRUE(entry<bool>(report, "proxyVerified"));

    tools.setService(kWifi, true, "http://user.example/own.pac");
    EXPECT_FALSE(engine->verifyProxySettings());
    harness.loop.advance(3.0);
    EXPECT_EQ(tools.serviceUrl(kWifi), kProxyAutoConfigUrl);
    EXPECT_TRUE(engine->verifyProxySettings());

    tools.setService(kWifi, true, "http://user.example/own.pac");
    engine->stopSession();
    EXPECT_EQ(tools.serviceUrl(kWifi), "http://user.example/own.pac");
    EXPECT_FALSE(tools.serviceEnabled(kUsb));
    EXPECT_EQ(storedBackup(), ProxyBackup{});
}

// Fault: the backup lives only in memory, so a crash mid-session leaves the proxy set.
TEST_F(ProxyConfiguratorTest, BackupSurvivesARestartAndIsRestoredByTheNextEngine) {
    engine = harness.create();
    engine->startSession({});
    engine.reset();  // the process ends without stopping the session

    // A new process: preferences read from disk afresh.
    const std::string restarted = home + "/config-restarted";
    std::filesystem::copy(home + "/config", restarted, std::filesystem::copy_options::recursive);
    useConfigFolder(restarted);
    EngineHarness next;
    configure(next);
    auto restartedEngine = next.create();
    EXPECT_EQ(tools.serviceUrl(kWifi), kProxyAutoConfigUrl);  // nothing restores at start

    restartedEngine->stopSession();
    EXPECT_EQ(tools.serviceUrl(kWifi), kCorpUrl);
    EXPECT_TRUE(tools.serviceEnabled(kWifi));
    EXPECT_FALSE(tools.serviceEnabled(kUsb));
    const auto data = next.defaults->dataForKey(kProxyBackupKey);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "{}");
}

// Fault: with the tools absent (as on this machine) the session start hides the failure.
TEST_F(ProxyConfiguratorTest, MissingToolsReportTheManualUrl) {
    harness.networksetupPath = home + "/missing/networksetup";
    harness.scutilPath = home + "/missing/scutil";
    engine = harness.create();
    LogCapture log;
    const auto report = engine->startSession({});
    EXPECT_FALSE(entry<bool>(report, "proxyApplied"));
    EXPECT_EQ(entry<std::string>(report, "summary"),
              "Blocking active: No blocked apps selected, web fallback proxy not verified. Set "
              "http://127.0.0.1:18081/proxy.pac manually in macOS network settings, "
              "accessibility on.");
    EXPECT_EQ(log.count("Kestralune could not update macOS proxy settings automatically. Use "
                        "http://127.0.0.1:18081/proxy.pac as the automatic proxy configuration "
                        "URL."),
              1);
}

}  // namespace
}  // namespace kestralune::blocking_test
