#include "schedule/background_scheduler.h"

#include "platform/testing/fake_agent_service.h"
#include "platform/testing/memory_user_defaults.h"
#include "schedule/schedule_snapshot.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using Status = AgentServiceStatus;

// A bundle installed in ~/Applications (HOME is the test's) with its launch agent's list.
class BackgroundSchedulerTest : public ::testing::Test {
  protected:
    BackgroundSchedulerTest() {
        ::setenv("HOME", (root.path() / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
        root.write(plist, "<plist/>");
    }
    ~BackgroundSchedulerTest() override { ::unsetenv("XDG_DATA_HOME"); }

    std::string status() {
        const auto map = scheduler->statusDictionary();
        return *map.at(EncodableValue("status")).getIf<std::string>();
    }
    bool attempted() const {
        return defaults->boolForKey(KestraluneBackgroundScheduler::attemptedKey).value_or(false);
    }

    TempDirectory root;
    const fs::path bundle = root.path() / "home/Applications/Kestralune.app";
    const std::string plist =
        "home/Applications/Kestralune.app/Contents/Library/LaunchAgents/"
        "com.orrindale.app.scheduler.plist";
    std::shared_ptr<MemoryUserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
    std::shared_ptr<FakeAgentService> service = std::make_shared<FakeAgentService>();
    std::unique_ptr<KestraluneBackgroundScheduler> makeScheduler(const fs::path& path) {
        return std::make_unique<KestraluneBackgroundScheduler>(
            KestraluneBackgroundScheduler::Dependencies{
                defaults, service, Bundle{path.string(), "com.orrindale.app", {}, ""}});
    }
    std::unique_ptr<KestraluneBackgroundScheduler> scheduler = makeScheduler(bundle);
};

// Fault: a rule tested out of order (an uninstalled copy reporting its storage, an old
// registration error hiding an approval).
TEST_F(BackgroundSchedulerTest, StatusTakesTheFirstRuleThatApplies) {
    EXPECT_EQ(status(), "notRegistered");
    for (const auto& [given, expected] :
         std::vector<std::pair<Status, std::string>>{{Status::enabled, "enabled"},
                                                     {Status::requiresApproval, "requiresApproval"},
                                                     {Status::notFound, "notFound"}}) {
        service->currentStatus = given;
        EXPECT_EQ(status(), expected);
    }
    service->currentStatus = Status::notRegistered;
    service->registrationFailure = "Failed to connect to bus";
    scheduler->registerAgent();
    EXPECT_EQ(status(), "error");
    root.write("not-a-folder", "");
    ::setenv("XDG_DATA_HOME", (root.path() / "not-a-folder").c_str(), 1);
    EXPECT_NE(scheduler->syncSchedule(EncodableValue()).find("Not a directory"), std::string::npos);
    EXPECT_EQ(status(), "storageError");
    fs::rename(bundle, root.path() / "Kestralune.app");
    EXPECT_EQ(status(), "installRequired");
    service->supported = false;
    EXPECT_EQ(status(), "unsupported");
}

// Fault: a failed automatic registration is tried again at every start, the flag is stored
// after the request, or the user's explicit request is refused.
TEST_F(BackgroundSchedulerTest, OnlyTheFirstAutomaticRegistrationIsTried) {
    service->registrationFailure = "Unit file is masked.";
    scheduler->registerIfNeeded();
    EXPECT_EQ(service->registrations, 1);
    EXPECT_TRUE(attempted());
    EXPECT_EQ(status(), "error");
    scheduler = makeScheduler(bundle);
    scheduler->registerIfNeeded();
    EXPECT_EQ(service->registrations, 1) << "a second start";
    EXPECT_EQ(status(), "notRegistered");

    service->registrationFailure.reset();
    scheduler->registerAgent();
    EXPECT_EQ(service->registrations, 2);
    EXPECT_EQ(status(), "enabled");
    service->currentStatus = Status::requiresApproval;
    scheduler->registerAgent();
    EXPECT_EQ(service->registrations, 2) << "waiting for approval is not re-registered";
}

// Fault: a copy outside the Applications folders registers itself, or the installed path
// is judged before links are resolved.
TEST_F(BackgroundSchedulerTest, OnlyAnInstalledBundleWithItsPropertyListRegisters) {
    fs::remove(root.path() / plist);
    scheduler->registerIfNeeded();
    EXPECT_FALSE(attempted());
    root.write(plist, "<plist/>");
    fs::create_directory_symlink(bundle, root.path() / "link.app");
    scheduler = makeScheduler(root.path() / "link.app");
    EXPECT_EQ(status(), "notRegistered") << "a link into Applications is installed";

    fs::rename(bundle, root.path() / "Kestralune.app");
    fs::create_directory_symlink(root.path() / "Kestralune.app", bundle);
    scheduler = makeScheduler(bundle);
    scheduler->registerIfNeeded();
    EXPECT_EQ(status(), "installRequired") << "a link in Applications to elsewhere is not";
    EXPECT_EQ(service->registrations, 0);
    EXPECT_FALSE(attempted());
}

// Fault: a failed save leaves the older schedule for the agent to act on, or the failure
// outlives the next good save. Root ignores a read-only folder, so the steps run in a child
// as an unprivileged user.
TEST_F(BackgroundSchedulerTest, AFailedSaveDeletesTheOlderFileUntilASaveSucceeds) {
    const EncodableMap nights{
        {"enabled", true}, {"start", "22:00"}, {"end", "6:00"}, {"weekdays", EncodableList{5}}};
    ASSERT_EQ(scheduler->syncSchedule(nights), "");
    const fs::path folder = root.path() / "data/com.orrindale.app";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0) {
            for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
                (void)::lchown(entry.path().c_str(), 65534, 65534);
            }
            if (::chown(root.path().c_str(), 65534, 65534) != 0 || ::setgid(65534) != 0 ||
                ::setuid(65534) != 0) {
                ::_exit(2);
            }
        }
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        const auto failed = scheduler->syncSchedule(nights);
        EXPECT_NE(failed.find("Permission denied"), std::string::npos) << failed;
        EXPECT_FALSE(fs::exists(folder / "background-schedule.json"));
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(status(), "storageError");
        fs::permissions(folder, fs::perms::owner_all);
        EXPECT_EQ(scheduler->syncSchedule(nights), "");
        EXPECT_EQ(status(), "notRegistered");
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int result = -1;
    ::waitpid(child, &result, 0);
    EXPECT_TRUE(WIFEXITED(result) && WEXITSTATUS(result) == 0) << result;
}

}  // namespace
}  // namespace kestralune
