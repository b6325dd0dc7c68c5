#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace kestralune {

// A session bus of the test's own (private_session_bus.conf), named in DBUS_SESSION_BUS_ADDRESS
// while this lives, with one python3-dbusmock service on it. The daemon and the service are
// children ended by pid, and die with the test should it crash; the developer's own bus is
// never touched.
class PrivateSessionBus {
  public:
    PrivateSessionBus() {
        if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
            savedAddress = old;
        }
        int address[2];
        EXPECT_EQ(::pipe(address), 0);
        const char* argv[] = {"/usr/bin/dbus-daemon",
                              "--nofork",
                              "--syslog-only",
                              "--print-address=3",
                              "--config-file=" KESTRALUNE_PRIVATE_BUS_CONFIG,
                              nullptr};
        daemon = spawn(argv, address[1]);
        ::close(address[1]);
        FILE* in = ::fdopen(address[0], "r");
        char text[512] = "";
        EXPECT_EQ(std::fscanf(in, "%511s", text), 1) << "no dbus-daemon";
        std::fclose(in);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", text, 1);
    }
    ~PrivateSessionBus() {
        stopService();
        stopDaemon();
        savedAddress ? ::setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress->c_str(), 1)
                     : ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Starts python3-dbusmock (Debian's interpreter has it) with `templateFile` and JSON
    // `parameters`, logging the calls it gets to `log`, and waits until the service owns `name`.
    void startService(const char* templateFile, const char* parameters, const std::string& name,
                      const std::string& log = "/dev/null") {
        const char* argv[] = {"/usr/bin/python3", "-m",   "dbusmock", "--template",
                              templateFile,       "-p",   parameters, "-l",
                              log.c_str(),        nullptr};
        service = spawn(argv, -1);
        EXPECT_EQ(std::system(("gdbus wait --session --timeout 20 " + name).c_str()), 0);
    }
    void stopService() { end(service, SIGTERM); }
    // Ends the daemon at once, before it can tell anyone; the address then names no bus.
    void stopDaemon() { end(daemon, SIGKILL); }

  private:
    // A child that gets `fd` as its descriptor 3.
    static pid_t spawn(const char* const* argv, int fd) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (fd >= 0) {
                ::dup2(fd, 3);
            }
            ::execv(argv[0], const_cast<char* const*>(argv));
            ::_exit(127);
        }
        return pid;
    }
    static void end(pid_t& child, int signal) {
        if (child > 0) {
            ::kill(child, signal);
            ::waitpid(child, nullptr, 0);
        }
        child = 0;
    }

    pid_t daemon = 0;
    pid_t service = 0;
    std::optional<std::string> savedAddress;
};

}  // namespace kestralune
