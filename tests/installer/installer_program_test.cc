// The built installer run as a user would, without a screen or a terminal: it installs the
// copy it carries into ~/Applications (this machine has no /Applications), opens it, and
// refuses a tampered copy.
#include "tests/host/host_process_test.h"

namespace kestralune {
namespace {

namespace fs = std::filesystem;

class InstallerProgramTest : public HostProcessTest {
  protected:
    void SetUp() override {
        if (fs::exists("/Applications")) {
            GTEST_SKIP() << "the installer would install into this machine's /Applications";
        }
        HostProcessTest::SetUp();
    }
    // Quits a Kestralune the installer opened.
    void TearDown() override { ctl("--timeout 2 quit"); }

    // The exit status; what the installer said goes to `said`. Its output goes through a file:
    // the Kestralune it opens inherits it and outlives the installer.
    int runInstaller(const fs::path& bundle) {
        const auto output = (root.path() / "installer.log").string();
        const int status = run("'" + (bundle / "Contents/MacOS/KestraluneInstaller").string() +
                               "' </dev/null >'" + output + "' 2>&1")
                               .first;
        said = TempDirectory::read(output);
        return status;
    }
    // Whether a process runs the installed copy's executable, as the installer's check sees it.
    bool installedCopyRuns() {
        const auto executable = installed / "Contents/MacOS/Kestralune";
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
            if (fs::read_symlink(entry.path() / "exe", ignored) == executable) {
                return true;
            }
        }
        return false;
    }
    std::string seal(const fs::path& bundle) {
        return TempDirectory::read(bundle / "Contents/_CodeSignature/CodeResources");
    }

    const fs::path installer = KESTRALUNE_INSTALLER_APP;
    std::string said;
    const fs::path installed = root.path() / "home/Applications/Kestralune.app";
};

// Fault: the installer does not install, does not open the copy, asks a question no one can
// answer and takes silence for "Replace", or installs a copy whose signature fails.
TEST_F(InstallerProgramTest, InstallsOpensAndNeverReplacesOrInstallsUnasked) {
    EXPECT_EQ(runInstaller(installer), 0);
    EXPECT_EQ(seal(installed), seal(installer / "Contents/Resources/Kestralune.app"));
    EXPECT_TRUE(eventually([] { return ctl("--timeout 2 menu").first == 0; }));
    EXPECT_EQ(out("quit"), "{\"terminated\":true}\n");
    // The reply comes before the process ends.
    ASSERT_TRUE(eventually([&] { return !installedCopyRuns(); }));

    // Another version installed: nobody can answer "Replace Kestralune?", so nothing changes.
    std::ofstream(installed / "Contents/old.txt") << "old";
    EXPECT_EQ(runInstaller(installer), 0);
    EXPECT_TRUE(fs::exists(installed / "Contents/old.txt"));

    const auto tampered = root.path() / "KestraluneInstaller.app";
    fs::copy(installer, tampered, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    std::ofstream(tampered / "Contents/Resources/Kestralune.app/Contents/Info.plist", std::ios::app)
        << " ";
    fs::remove_all(installed);
    EXPECT_EQ(runInstaller(tampered), 1);
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_NE(
        said.find("Kestralune alert: Kestralune Installer | Could not install Kestralune. App "
                  "signature verification failed. Please download it again."),
        std::string::npos);
}

}  // namespace
}  // namespace kestralune
