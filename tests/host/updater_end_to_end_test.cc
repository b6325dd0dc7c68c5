// The built host updating itself from a signed feed on loopback: a copy of the bundle in a
// temporary Applications folder, a new version packed from another copy, and the same
// process running the new executable afterwards.
#include "platform/plist_value.h"
#include "platform/testing/ed25519_test_keys.h"
#include "platform/testing/loopback_http_server.h"
#include "platform/testing/test_archives.h"
#include "tests/host/host_process_test.h"

#include <unistd.h>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

class UpdaterEndToEndTest : public HostProcessTest {
  protected:
    void SetUp() override {
        HostProcessTest::SetUp();
        fs::create_directories(installed.parent_path());
        fs::copy(fs::path(KESTRALUNE_HOST_PATH).parent_path().parent_path().parent_path(),
                 installed, fs::copy_options::recursive);
        editInfo(installed, {{"SUFeedURL", server.url("/appcast.xml")},
                             {"SUPublicEDKey", key.publicKeyBase64()}});
        feed("1", "");
    }

    static void editInfo(const fs::path& bundle, const PlistValue::Dictionary& changes) {
        const auto file = bundle / "Contents/Info.plist";
        auto info = *parsePropertyList(TempDirectory::read(file))->get<PlistValue::Dictionary>();
        for (const auto& [name, value] : changes) {
            info[name] = value;
        }
        std::ofstream(file, std::ios::trunc) << *xmlPropertyList(info);
    }
    static std::string version(const fs::path& bundle) {
        const auto info = parsePropertyList(TempDirectory::read(bundle / "Contents/Info.plist"));
        return *info->get<PlistValue::Dictionary>()->at("CFBundleVersion").get<std::string>();
    }

    // Offers version 2 of the installed bundle; a tampered archive keeps the signature of the
    // real one.
    void offerVersion2(bool tampered = false) {
        const auto copy = root.path() / "new/Kestralune.app";
        fs::remove_all(copy.parent_path());
        fs::create_directories(copy.parent_path());
        fs::copy(installed, copy, fs::copy_options::recursive);
        editInfo(copy, {{"CFBundleVersion", "2"}, {"CFBundleShortVersionString", "2.0"}});
        const auto archivePath = (root.path() / "update.tar.gz").string();
        packTestArchive(archivePath, copy.string(), "Kestralune.app");
        auto archive = TempDirectory::read(archivePath);
        const auto signature = key.sign(archive);
        if (tampered) {
            archive[archive.size() / 3] ^= 0x20;
        }
        server.setRoute("/update.tar.gz", {.body = archive});
        feed("2", "<enclosure url=\"" + server.url("/update.tar.gz") + "\" length=\"" +
                      std::to_string(archive.size()) + "\" sparkle:edSignature=\"" + signature +
                      "\"/>");
    }
    void feed(const std::string& itemVersion, const std::string& enclosure) {
        server.setRoute(
            "/appcast.xml",
            {.body = "<rss xmlns:sparkle=\"http://www.andymatuschak.org/"
                     "xml-namespaces/sparkle\"><channel><item><sparkle:version>" +
                     itemVersion + "</sparkle:version>" + enclosure + "</item></channel></rss>"});
    }

    pid_t startInstalledHost() {
        return startHost({}, true, (installed / "Contents/MacOS/Kestralune").string());
    }
    static std::string updater(const std::string& arguments) {
        return out("--channel kestralune/updater call " + arguments);
    }
    int logCount(const std::string& text) {
        const auto all = TempDirectory::read(log);
        int count = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
            ++count;
        }
        return count;
    }
    // The same process, now the new version's host, answering again.
    bool relaunchedAsVersion2(pid_t pid) {
        return eventually([&] { return logCount("Kestralune is running") == 2; }, 30) &&
               eventually([] { return ctl("--timeout 2 menu").first == 0; }) &&
               version(installed) == "2" &&
               fs::read_symlink("/proc/" + std::to_string(pid) + "/exe") ==
                   installed / "Contents/MacOS/Kestralune";
    }

    const fs::path installed = root.path() / "home/Applications/Kestralune.app";
    LoopbackHttpServer server;
    Ed25519TestKey key;
};

// Fault: a tampered archive is installed or stops the updater; a good one is not installed,
// the old host keeps running, the new one does not start, or the user's settings are lost.
TEST_F(UpdaterEndToEndTest, ChecksThroughTheChannelInstallOnlyWhatIsSigned) {
    const pid_t pid = startInstalledHost();
    ASSERT_TRUE(eventually(
        [] { return updater("status").find("\"canCheck\":true") != std::string::npos; }));
    EXPECT_EQ(server.requestCount("/appcast.xml"), 1);
    EXPECT_NE(updater("setAutomaticChecks false").find("\"automaticChecks\":false"),
              std::string::npos);

    offerVersion2(true);
    EXPECT_EQ(updater("check"), "null\n");
    ASSERT_TRUE(eventually([&] { return logCount("was not installed: The signature") == 1; }))
        << TempDirectory::read(log);
    EXPECT_EQ(version(installed), "1");

    offerVersion2();
    EXPECT_EQ(updater("check"), "null\n");
    ASSERT_TRUE(relaunchedAsVersion2(pid));
    EXPECT_EQ(updater("status"),
              "{\"automaticChecks\":false,\"available\":true,\"canCheck\":true,"
              "\"updateAvailable\":false}\n");
    EXPECT_EQ(fs::directory_iterator(installed.parent_path())->path(), installed);
}

// Fault: an update found during a session relaunches the host in it, or is lost afterwards.
TEST_F(UpdaterEndToEndTest, AnUpdateFoundDuringASessionWaitsForItsEnd) {
    offerVersion2();
    // Automatic checks off until the session runs: then turning them on checks at once.
    root.write("home/.config/Kestralune/Preferences/com.orrindale.app.plist",
               *xmlPropertyList(PlistValue::Dictionary{{"SUEnableAutomaticChecks", false}}));
    const pid_t pid = startInstalledHost();
    EXPECT_NE(out("call startSession").find("\"started\":true"), std::string::npos);
    EXPECT_NE(updater("check").find("Check for updates after your block ends."), std::string::npos);
    updater("setAutomaticChecks true");
    ASSERT_TRUE(eventually(
        [&] { return logCount("is ready and will be installed when blocking ends") == 1; }));
    EXPECT_EQ(version(installed), "1");
    EXPECT_EQ(logCount("Kestralune is running"), 1);

    out("call stopSession");
    EXPECT_TRUE(relaunchedAsVersion2(pid));
}

}  // namespace
}  // namespace kestralune
