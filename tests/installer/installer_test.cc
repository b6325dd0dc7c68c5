// The installer on the real signature tool, real bundles (the build's signed Kestralune.app)
// and real files in a temporary home; what a user sees and does is played by fakes.
#include "installer/installer.h"

#include "platform/testing/fake_workspace.h"
#include "platform/testing/manual_run_loop.h"
#include "platform/tool_runner.h"
#include "platform/trash.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <deque>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

class ScriptedAlerts final : public AlertPresenter {
  public:
    std::optional<std::size_t> runModal(const Alert& alert) override {
        shown.push_back(alert.messageText + " | " + alert.informativeText);
        if (answers.empty()) {
            return std::nullopt;
        }
        const auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<std::optional<std::size_t>> answers;
    std::vector<std::string> shown;
};

class RecordingProgress final : public ProgressWindow {
  public:
    void show(const std::string&, const std::string& label) override { shown.push_back(label); }
    void hide() override { ++hides; }
    std::vector<std::string> shown;
    int hides = 0;
};

class RecordingLauncher final : public ApplicationLauncher {
  public:
    void openApplication(const std::string& bundle, const std::vector<std::string>&,
                         Completion completion) override {
        opened.push_back(bundle);
        completion(error);
    }
    std::vector<std::string> opened;
    std::optional<std::string> error;
};

// Fails the move that would put the new copy in place.
class FailingFinalMove final : public FileManager {
  public:
    explicit FailingFinalMove(std::shared_ptr<FileManager> real) : real(std::move(real)) {}
    bool isWritableFile(const std::string& path) const override {
        return real->isWritableFile(path);
    }
    bool fileExists(const std::string& path) const override { return real->fileExists(path); }
    std::string homeDirectory() const override { return real->homeDirectory(); }
    std::string createDirectory(const std::string& path, bool intermediates) override {
        return real->createDirectory(path, intermediates);
    }
    std::string copyItem(const std::string& from, const std::string& to) override {
        return real->copyItem(from, to);
    }
    std::string moveItem(const std::string& from, const std::string& to) override {
        return from.find(".Kestralune-install-") != std::string::npos ? "Disk full."
                                                                      : real->moveItem(from, to);
    }
    std::string removeItem(const std::string& path) override { return real->removeItem(path); }
    std::shared_ptr<FileManager> real;
};

class InstallerTest : public ::testing::Test {
  protected:
    // GLib reads the home folder once per process: one for every test, emptied for each.
    static void SetUpTestSuite() {
        static const TempDirectory home;
        ::setenv("HOME", home.path().c_str(), 1);
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    void SetUp() override {
        for (const auto& entry : fs::directory_iterator(home)) {
            fs::remove_all(entry.path());
        }
        fs::create_directories(applications);
        fs::create_directories(carried.parent_path());
        fs::copy(KESTRALUNE_APP_PATH, carried, fs::copy_options::recursive);
    }

    // Runs the installer to its end; true when it quit without an error alert.
    bool runInstaller(std::shared_ptr<FileManager> files = defaultFileManager()) {
        bool failed = false;
        bool quit = false;
        const auto installer = std::make_shared<Installer>(Installer::Dependencies{
            .runLoop = loop,
            .alerts = alerts,
            .progressWindow = progress,
            .fileManager = std::move(files),
            .workspace = workspace,
            .launcher = launcher,
            .toolRunner = makeToolRunner(),
            .codesignPath = codesign,
            .carriedApplication = carriedApplication,
            .applicationsFolder = applications.string(),
            .moveToTrash = moveToTrash,
            .runInBackground = [](std::function<void()> work) { work(); },
            .terminate = [&](bool withError) { failed = withError, quit = true; },
        });
        installer->applicationDidFinishLaunching();
        loop.runUntilIdle();
        EXPECT_TRUE(quit);
        return !failed;
    }

    // A valid, signed copy that differs from the carried one.
    void installOtherVersion() {
        fs::copy(carried, destination, fs::copy_options::recursive);
        std::ofstream(destination / "Contents/old.txt") << "old";
        ASSERT_EQ(std::system(("'" + std::string(KESTRALUNE_CODESIGN_PATH) + "' -f -s '" +
                               KESTRALUNE_SIGNING_IDENTITY + "' '" + destination.string() + "'")
                                  .c_str()),
                  0);
    }
    std::string seal(const fs::path& bundle) {
        return TempDirectory::read(bundle / "Contents/_CodeSignature/CodeResources");
    }
    // What lies beside the installed copy: nothing but it once an installer has finished.
    std::vector<std::string> besideDestination() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(destination.parent_path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TempDirectory root;
    const fs::path home = std::getenv("HOME");
    const fs::path applications = root.path() / "Applications";
    const fs::path destination = applications / "Kestralune.app";
    const fs::path carried = root.path() / "installer/Kestralune.app";
    std::optional<std::string> carriedApplication = carried.string();
    std::string codesign = KESTRALUNE_CODESIGN_PATH;
    ManualRunLoop loop;
    ScriptedAlerts alerts;
    RecordingProgress progress;
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
};

// Fault: a first install asks, copies something else, leaves its staging folder (or one a
// killed installer left), does not open the copy, or misses ~/Applications when the
// preferred folder cannot be written.
TEST_F(InstallerTest, FirstInstallNeedsNoQuestionAndOpensTheCopy) {
    fs::create_directory(applications / ".Kestralune-install-LEFT-BY-A-CRASH");
    EXPECT_TRUE(runInstaller());
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_EQ(progress.shown, std::vector<std::string>{"Installing Kestralune…"});
    EXPECT_EQ(seal(destination), seal(carried));
    EXPECT_EQ(launcher->opened, std::vector<std::string>{destination.string()});
    EXPECT_EQ(besideDestination(), std::vector<std::string>{"Kestralune.app"});
    EXPECT_FALSE(fs::exists(home / ".local/share/Trash"));

    fs::remove_all(applications);
    EXPECT_TRUE(runInstaller());
    EXPECT_EQ(seal(home / "Applications/Kestralune.app"), seal(carried));
}

// Fault: an identical copy is copied again or asked about, a running one is not activated, or
// a copy running from elsewhere (even identical) is overwritten instead of refused.
TEST_F(InstallerTest, AnIdenticalCopyIsOpenedAndARunningOneMustBeQuitFirst) {
    fs::copy(carried, destination, fs::copy_options::recursive);
    EXPECT_TRUE(runInstaller());
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(progress.shown.empty());
    EXPECT_EQ(launcher->opened, std::vector<std::string>{destination.string()});

    workspace->launch(Installer::kAppID, destination.string());
    EXPECT_TRUE(runInstaller());
    EXPECT_EQ(launcher->opened.size(), 2u);

    workspace->setRunningApplications({});
    workspace->launch(Installer::kAppID, carried.string());
    EXPECT_FALSE(runInstaller());
    EXPECT_EQ(alerts.shown,
              std::vector<std::string>{
                  "Kestralune Installer | Quit Kestralune, then open this installer again."});
    EXPECT_TRUE(progress.shown.empty());
}

// Fault: another version (or an identical one whose signature broke) is replaced without
// asking or after "Cancel", is not in the Trash afterwards, or leaves a hidden copy behind.
TEST_F(InstallerTest, AnotherVersionIsReplacedOnlyWhenTheUserSaysSo) {
    installOtherVersion();
    const auto older = seal(destination);
    const auto otherSignature =
        TempDirectory::read(destination / "Contents/_CodeSignature/CodeSignature");
    for (const auto answer : {std::optional<std::size_t>(), std::optional<std::size_t>(1)}) {
        alerts.answers = {answer};
        EXPECT_TRUE(runInstaller());
        EXPECT_EQ(seal(destination), older);
    }
    EXPECT_EQ(alerts.shown.at(0),
              "Replace Kestralune? | Your account and settings will be kept. The previous app "
              "will be moved to Trash.");
    alerts.answers = {0};
    EXPECT_TRUE(runInstaller());
    EXPECT_EQ(seal(destination), seal(carried));
    EXPECT_EQ(besideDestination(), std::vector<std::string>{"Kestralune.app"});
    const auto trash = home / ".local/share/Trash";
    ASSERT_EQ(std::distance(fs::directory_iterator(trash / "files"), {}), 1);
    EXPECT_TRUE(fs::exists(fs::directory_iterator(trash / "files")->path() / "Contents/old.txt"));

    // Same seal and executable, but a signature made for another seal.
    std::ofstream(destination / "Contents/_CodeSignature/CodeSignature") << otherSignature;
    alerts.answers = {};
    alerts.shown.clear();
    EXPECT_TRUE(runInstaller());
    EXPECT_EQ(alerts.shown.size(), 1u);
}

// Fault: a failure leaves the old copy gone, a staging folder, or a half-installed copy, or
// says something else than the user is meant to read.
TEST_F(InstallerTest, EveryFailureLeavesTheOldCopyInPlaceAndSaysWhy) {
    installOtherVersion();
    const auto older = seal(destination);
    const struct {
        std::function<void()> arrange;
        std::shared_ptr<FileManager> files;
        const char* text;
    } cases[] = {
        {[&] { std::ofstream(carried / "Contents/Info.plist", std::ios::app) << " "; },
         defaultFileManager(),
         "Could not install Kestralune. App signature verification failed. Please download it "
         "again."},
        {[&] { codesign = (root.path() / "no-codesign").string(); }, defaultFileManager(),
         "Could not install Kestralune. "},
        {[] {}, std::make_shared<FailingFinalMove>(defaultFileManager()),
         "Could not install Kestralune. Disk full."},
        {[&] { carriedApplication.reset(); }, defaultFileManager(),
         "The installer is incomplete. Please download it again."},
    };
    for (const auto& c : cases) {
        fs::remove_all(carried);
        fs::copy(KESTRALUNE_APP_PATH, carried, fs::copy_options::recursive);
        codesign = KESTRALUNE_CODESIGN_PATH;
        carriedApplication = carried.string();
        c.arrange();
        alerts.shown.clear();
        alerts.answers = {0};
        EXPECT_FALSE(runInstaller(c.files));
        EXPECT_TRUE(
            alerts.shown.back().starts_with(std::string("Kestralune Installer | ") + c.text))
            << alerts.shown.back();
        EXPECT_EQ(seal(destination), older);
        EXPECT_EQ(besideDestination(), std::vector<std::string>{"Kestralune.app"});
    }
    EXPECT_TRUE(launcher->opened.empty());

    carriedApplication = carried.string();
    fs::remove_all(destination);
    launcher->error = "No such file or directory.";
    EXPECT_FALSE(runInstaller());
    EXPECT_EQ(alerts.shown.back(),
              "Kestralune Installer | Kestralune was installed. Open it from Applications. No "
              "such file or directory.");
}

}  // namespace
}  // namespace kestralune
