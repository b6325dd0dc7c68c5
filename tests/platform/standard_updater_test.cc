#include "platform/standard_updater.h"

#include "platform/linux/headless_alert_presenter.h"
#include "platform/testing/ed25519_test_keys.h"
#include "platform/testing/log_capture.h"
#include "platform/testing/loopback_http_server.h"
#include "platform/testing/manual_run_loop.h"
#include "platform/testing/memory_user_defaults.h"
#include "platform/testing/test_archives.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

class RecordingDelegate final : public SoftwareUpdaterDelegate {
  public:
    void updaterDidFindValidUpdate(const AppcastItem& item) override { found.push_back(item); }
    void updaterDidNotFindUpdate() override { ++notFound; }
    bool updaterShouldPostponeRelaunchForUpdate(const AppcastItem&,
                                                std::function<void()> handler) override {
        installHandler = std::move(handler);
        return postpone;
    }
    std::vector<AppcastItem> found;
    int notFound = 0;
    bool postpone = false;
    std::function<void()> installHandler;
};

// What an offered update looks like; each test spoils one part of it.
struct Offer {
    std::string version = "2";
    std::string bundleIdentifier = "com.orrindale.app";
    std::string bundleVersion = "2";
    std::vector<TestArchiveEntry> extraEntries = {};
    std::function<void(std::string& archive, std::string& signature, std::uint64_t& length)> spoil =
        {};
    // Half the archive is sent, under the whole one's Content-Length.
    bool truncated = false;
};

class StandardUpdaterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeBundle(installed, "com.orrindale.app", "1", server.url("/appcast.xml"));
        defaults->setObject(StandardUpdater::kAutomaticChecksKey, false);
    }

    // A bundle whose executable prints its version.
    void writeBundle(const fs::path& bundle, const std::string& identifier,
                     const std::string& version, const std::string& feed = "") {
        PlistValue::Dictionary info{{"CFBundleIdentifier", identifier},
                                    {"CFBundleExecutable", "Kestralune"},
                                    {"CFBundleVersion", version},
                                    {"CFBundleShortVersionString", version + ".0"}};
        if (!feed.empty()) {
            info["SUFeedURL"] = feed;
            info["SUPublicEDKey"] = key.publicKeyBase64();
        }
        const auto relative = fs::relative(bundle, root.path()).string();
        root.write(relative + "/Contents/Info.plist", *xmlPropertyList(info));
        root.write(relative + "/Contents/MacOS/Kestralune", "#!/bin/sh\necho " + version + "\n",
                   0755);
    }

    void offer(Offer offer) {
        const auto staged = root.path() / "offer";
        fs::remove_all(staged);
        writeBundle(staged / "Kestralune.app", offer.bundleIdentifier, offer.bundleVersion);
        const auto archivePath = (root.path() / "offer.tar.gz").string();
        packTestArchive(archivePath, (staged / "Kestralune.app").string(), "Kestralune.app");
        if (!offer.extraEntries.empty()) {
            auto entries = offer.extraEntries;
            entries.push_back({"Kestralune.app", TestArchiveEntry::Type::directory, "", 0755});
            writeTestArchive(archivePath, entries);
        }
        auto archive = TempDirectory::read(archivePath);
        auto signature = key.sign(archive);
        std::uint64_t length = archive.size();
        if (offer.spoil) {
            offer.spoil(archive, signature, length);
        }
        server.setRoute("/update.tar.gz",
                        {.body = offer.truncated ? archive.substr(0, archive.size() / 2) : archive,
                         .declaredLength = archive.size()});
        feed("<item><title>Kestralune</title><sparkle:version>" + offer.version +
             "</sparkle:version><enclosure url=\"" + server.url("/update.tar.gz") + "\" length=\"" +
             std::to_string(length) +
             "\" type=\"application/octet-stream\" sparkle:edSignature=\"" + signature +
             "\"/></item>");
    }
    void feed(const std::string& items) {
        server.setRoute("/appcast.xml",
                        {.body = "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak."
                                 "org/xml-namespaces/sparkle\"><channel>" +
                                 items + "</channel></rss>"});
    }

    std::shared_ptr<StandardUpdater> start() {
        return StandardUpdater::start(
            StandardUpdaterEnvironment{
                .runLoop = loop,
                .defaults = defaults,
                .mainBundle = *bundleAtPath(installed.string()),
                .alertPresenter = alerts,
                .runInBackground = [](std::function<void()> work) { work(); },
                .relaunch = [this](const std::string& path) { relaunched.push_back(path); },
            },
            delegate);
    }
    std::shared_ptr<StandardUpdater> check() {
        auto updater = start();
        updater->checkForUpdates();
        loop.runUntilIdle();
        return updater;
    }
    std::string installedVersion() {
        return TempDirectory::read(installed / "Contents/MacOS/Kestralune");
    }
    // The log without the alerts' lines.
    std::vector<std::string> updaterLog() {
        std::vector<std::string> lines;
        for (const auto& line : log.lines) {
            if (!line.starts_with("Kestralune alert: ")) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    // Everything beside the installed bundle: nothing when no update leaves anything behind.
    std::vector<std::string> leftovers() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(installed.parent_path())) {
            if (entry.path() != installed) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    TempDirectory root;
    const fs::path installed = root.path() / "Applications/Kestralune.app";
    LoopbackHttpServer server;
    Ed25519TestKey key;
    ManualRunLoop loop;
    std::shared_ptr<MemoryUserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
    HeadlessAlertPresenter alerts;
    LogCapture log;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::vector<std::string> relaunched;
};

// Fault: the install skips the delegate, runs before it is allowed or twice, leaves the old
// copy or the private folder behind, or relaunches anything but the new executable.
TEST_F(StandardUpdaterTest, InstallsTheNewestUpdateWhenTheDelegateAllows) {
    offer({});
    delegate->postpone = true;
    const auto updater = check();
    ASSERT_EQ(delegate->found.size(), 1u);
    EXPECT_EQ(delegate->found[0].versionString, "2");
    EXPECT_EQ(installedVersion(), "#!/bin/sh\necho 1\n");
    EXPECT_FALSE(updater->canCheckForUpdates());
    EXPECT_TRUE(relaunched.empty());

    delegate->installHandler();
    delegate->installHandler();
    EXPECT_EQ(installedVersion(), "#!/bin/sh\necho 2\n");
    EXPECT_EQ(relaunched, std::vector<std::string>{(installed / "Contents/MacOS/Kestralune")});
    EXPECT_TRUE(leftovers().empty());
    EXPECT_EQ(alerts.shownAlerts().at(0).messageText, "A new version of Kestralune is available!");
}

// Fault: an equal or older version, or a feed that cannot be read, is offered or downloaded,
// or the user is not told.
TEST_F(StandardUpdaterTest, NothingNewerOrAnUnreadableFeedIsNoUpdate) {
    const struct {
        std::function<void()> serve;
        const char* alert;
    } cases[] = {
        {[&] { offer({.version = "1.0"}); }, "You’re up to date!"},
        {[&] { offer({.version = "0.9"}); }, "You’re up to date!"},
        {[&] { server.setRoute("/appcast.xml", {.body = "{\"version\": 2}"}); }, "Update Error!"},
        {[&] { server.setRoute("/appcast.xml", {.body = std::string(10 << 20, ' ')}); },
         "Update Error!"},
        {[&] { server.setRoute("/appcast.xml", {.status = 404}); }, "Update Error!"},
    };
    int row = 0;
    for (const auto& c : cases) {
        c.serve();
        const auto updater = check();
        ++row;
        EXPECT_EQ(delegate->notFound, row);
        EXPECT_EQ(alerts.shownAlerts().back().messageText, c.alert) << row;
        EXPECT_TRUE(updater->canCheckForUpdates());
    }
    EXPECT_TRUE(delegate->found.empty());
    EXPECT_EQ(server.requestCount("/update.tar.gz"), 0);
    EXPECT_EQ(updaterLog().size(), 5u);
}

// Fault: an update whose signature, size, contents, identifier or version does not check out
// is installed, leaves files behind, or fails without saying why in one line.
TEST_F(StandardUpdaterTest, UpdatesThatDoNotCheckOutAreNeverInstalled) {
    using Type = TestArchiveEntry::Type;
    const struct {
        Offer offer;
        const char* reason;
    } cases[] = {
        {{.spoil = [](auto& archive, auto&, auto&) { archive[archive.size() / 2] ^= 1; }},
         "signature"},
        {{.spoil = [](auto&, auto&, auto& length) { ++length; }}, "ended after"},
        {{.spoil = [](auto&, auto&, auto& length) { length = 600ull << 20; }}, "512 MiB"},
        {{.spoil = [](auto&, auto&, auto& length) { --length; }}, "larger"},
        {{.truncated = true}, "remaining"},
        {{.extraEntries = {{"../escaped", Type::file, "x"}}}, "\"..\""},
        {{.extraEntries = {{"/tmp/kestralune-escaped", Type::file, "x"}}}, "absolute"},
        {{.bundleIdentifier = "com.example.other"}, "identifier"},
        {{.bundleVersion = "3"}, "version"},
    };
    for (const auto& c : cases) {
        offer(c.offer);
        log.lines.clear();
        const auto updater = check();
        EXPECT_EQ(installedVersion(), "#!/bin/sh\necho 1\n");
        EXPECT_TRUE(relaunched.empty());
        EXPECT_TRUE(leftovers().empty());
        EXPECT_TRUE(updater->canCheckForUpdates());
        const auto lines = updaterLog();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[1].find("was not installed: "), std::string::npos) << lines[1];
        EXPECT_NE(lines[1].find(c.reason), std::string::npos) << lines[1];
    }
    EXPECT_FALSE(fs::exists(root.path().parent_path() / "escaped"));
    EXPECT_FALSE(fs::exists("/tmp/kestralune-escaped"));
}

// Fault: automatic checks run while off, more than once a day, not at all at the first
// start, or without a feed and key to check with.
TEST_F(StandardUpdaterTest, AutomaticChecksRunOnceADayWhileOn) {
    feed("");
    defaults->setObject(StandardUpdater::kAutomaticChecksKey, true);
    auto updater = start();
    loop.advance(1);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 1);
    loop.advance(StandardUpdater::kCheckInterval - 1);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 1);
    loop.advance(1);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 2);

    updater->setAutomaticallyChecksForUpdates(false);
    EXPECT_EQ(defaults->boolForKey(StandardUpdater::kAutomaticChecksKey), false);
    loop.advance(3 * StandardUpdater::kCheckInterval);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 2);
    updater->setAutomaticallyChecksForUpdates(true);
    loop.advance(1);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 3);

    // A later start waits for the rest of the day since the last check.
    updater = start();
    loop.advance(StandardUpdater::kCheckInterval - 1);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 3);
    loop.advance(1);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 4);

    writeBundle(installed, "com.orrindale.app", "1");
    updater = start();
    loop.advance(3 * StandardUpdater::kCheckInterval);
    EXPECT_FALSE(updater->canCheckForUpdates());
    EXPECT_EQ(server.requestCount("/appcast.xml"), 4);
}

}  // namespace
}  // namespace kestralune
