#pragma once

// A fixture for tests that start the built host bundle as a real process, with a temporary
// HOME and runtime folder, and drive it only through the built kestralunectl. Needs
// KESTRALUNE_HOST_PATH and KESTRALUNECTL_PATH defined by the test target.
#include "platform/testing/fixture_applications.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

class HostProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "DBUS_SESSION_BUS_ADDRESS"}) {
            ::unsetenv(name);
        }
        // A session sets the desktop's proxy: the temporary home's, never the user's own.
        ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
        std::filesystem::create_directories(root.path() / "home");
        std::filesystem::create_directory(root.path() / "run");
        std::filesystem::permissions(root.path() / "run", std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        ::setenv("HOME", (root.path() / "home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (root.path() / "run").c_str(), 1);
    }

    // Starts the host with its standard error in `log`; waits until it answers unless it is
    // expected to hand over to a running one.
    pid_t startHost(std::vector<const char*> arguments, bool waitUntilServing = true,
                    const std::string& executable = KESTRALUNE_HOST_PATH) {
        const pid_t pid = hosts.start(executable, std::move(arguments), log.c_str());
        EXPECT_TRUE(pid > 0 && (!waitUntilServing ||
                                eventually([this] { return ctl("--timeout 2 menu").first == 0; })));
        return pid;
    }

    // Signals a host this test started; never a pid of -1 (every process of the user) or 0
    // (the test's own group), which a failed start would give.
    static void signalHost(pid_t pid, int signal) {
        ASSERT_GT(pid, 0) << "the host did not start";
        ::kill(pid, signal);
    }

    // Runs kestralunectl through the shell with its outputs merged: the status and the text.
    static std::pair<int, std::string> ctl(const std::string& arguments) {
        return run(KESTRALUNECTL_PATH " " + arguments);
    }
    static std::string out(const std::string& arguments) { return ctl(arguments).second; }
    static std::pair<int, std::string> run(const std::string& command) {
        FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
        std::string text;
        for (int c; (c = std::fgetc(pipe)) != EOF;) {
            text.push_back(static_cast<char>(c));
        }
        return {WEXITSTATUS(::pclose(pipe)), text};
    }

    TempDirectory root;
    const std::string log = (root.path() / "host.log").string();
    FixtureProcesses hosts;
};

}  // namespace kestralune
