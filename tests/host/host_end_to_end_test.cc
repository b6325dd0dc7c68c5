// The built host bundle, started as a real process with a temporary HOME and runtime folder
// and driven only through the built kestralunectl.
#include "tests/host/host_process_test.h"

namespace kestralune {
namespace {

namespace fs = std::filesystem;

using HostEndToEndTest = HostProcessTest;

// A quit request during a session is refused (the host keeps serving, the menu offers no
// quit); after stopSession the same request ends the process cleanly.
TEST_F(HostEndToEndTest, QuitSignalsAreRefusedDuringASessionAndEndItCleanlyAfterIt) {
    const pid_t host = startHost({});
    EXPECT_EQ(out("call syncConfiguration '{\"allWebsitesBlocked\":false}'"),
              "{\"items\":[\"allWebsitesBlocked\"],\"stored\":true}\n");
    EXPECT_NE(out("call startSession").find("\"started\":true"), std::string::npos);

    // SIGHUP too: the terminal running the host was closed.
    for (const int signal : {SIGTERM, SIGHUP}) {
        const std::string refusal =
            "Kestralune alert: You can\u2019t quit Kestralune while a blocking session is active";
        const auto refusals = [&] {
            const auto text = TempDirectory::read(log);
            int count = 0;
            for (auto at = text.find(refusal); at != std::string::npos;
                 at = text.find(refusal, at + 1)) {
                ++count;
            }
            return count;
        };
        const int before = refusals();
        signalHost(host, signal);
        EXPECT_TRUE(eventually([&] { return refusals() == before + 1; })) << signal;
    }
    EXPECT_NE(out("call getBlockingStatus").find("\"sessionActive\":true"), std::string::npos);
    EXPECT_EQ(ctl("call syncMenuBarState '{\"sessionActive\":true}'").first, 0);
    const auto menu = out("menu");
    EXPECT_NE(menu.find("Blocking is active"), std::string::npos) << menu;
    EXPECT_EQ(menu.find("quit"), std::string::npos) << menu;
    EXPECT_EQ(out("quit"), "{\"terminated\":false}\n");

    EXPECT_EQ(out("call stopSession"), "{\"stopped\":true}\n");
    EXPECT_EQ(out("call getBlockedAttemptCount"), "{\"count\":0}\n");
    signalHost(host, SIGHUP);
    EXPECT_EQ(hosts.waitForExit(host), 0) << TempDirectory::read(log);
    EXPECT_FALSE(fs::exists(root.path() / "run/kestralune/com.orrindale.app.sock"));
}

// Links from the command line reach the UI as URL text, whether the host opens them itself
// or a second start hands them over; the invitation outlives a restart (so it was stored as
// text the preferences file can carry). A menu choice reaches the UI too. Start-up made the
// host the desktop's handler of its links: xdg-open starts a second one in both of its ways,
// the xdg-mime default (taken only when a display is named; nothing connects to it) and GIO.
TEST_F(HostEndToEndTest, LinksAndMenuChoicesReachTheUIAsText) {
    const pid_t host = startHost({"kestralune://invite?name=\xFF x"});
    EXPECT_EQ(out("call getInitialInviteLink"), "\"kestralune://invite?name=%FF%20x\"\n");

    FILE* listener = ::popen("timeout 60 " KESTRALUNECTL_PATH " listen --count 4 2>&1", "r");
    char line[512];
    EXPECT_TRUE(std::fgets(line, sizeof line, listener));
    EXPECT_STREQ(line, "listening on orrindale/blocking\n");
    EXPECT_EQ(run("env -u XDG_CURRENT_DESKTOP DISPLAY=:0 xdg-open 'kestralune://invite?code=1'"),
              std::make_pair(0, std::string()));
    EXPECT_EQ(run("XDG_CURRENT_DESKTOP=GNOME xdg-open 'kestralune://invite?code=2'").first, 0);
    // GIO does not wait for the start it made: its link must arrive before the next one.
    std::string heard;
    for (int i = 0; i < 2 && std::fgets(line, sizeof line, listener); ++i) {
        heard += line;
    }
    EXPECT_EQ(hosts.waitForExit(startHost({"kestralune://invite?code=\xC3\xA9 2%zz"}, false)), 0);
    EXPECT_EQ(ctl("menu choose websites").first, 0);
    while (std::fgets(line, sizeof line, listener)) {
        heard += line;
    }
    EXPECT_EQ(WEXITSTATUS(::pclose(listener)), 0);
    EXPECT_EQ(heard,
              "{\"method\":\"inviteLinkReceived\",\"arguments\":\"kestralune://invite?code=1\"}\n"
              "{\"method\":\"inviteLinkReceived\",\"arguments\":\"kestralune://invite?code=2\"}\n"
              "{\"method\":\"inviteLinkReceived\",\"arguments\":\"kestralune://"
              "invite?code=%C3%A9%202%25zz\"}\n"
              "{\"method\":\"menuBarAction\",\"arguments\":\"websites\"}\n");
    EXPECT_EQ(hosts.waitForExit(startHost({}, false)), 0) << "a plain start re-opens";
    EXPECT_EQ(out("quit"), "{\"terminated\":true}\n");
    EXPECT_EQ(hosts.waitForExit(host), 0);

    const pid_t restarted = startHost({});
    EXPECT_EQ(out("call getInitialInviteLink"), "\"kestralune://invite?code=%C3%A9%202%25zz\"\n");
    EXPECT_EQ(out("call getInitialAuthLink"), "null\n");
    signalHost(restarted, SIGINT);
    EXPECT_EQ(hosts.waitForExit(restarted), 0);
}

// A host killed during a session leaves the desktop's proxy pointing at its script; the next
// start puts back exactly what the user had, before it does anything else.
TEST_F(HostEndToEndTest, AStartAfterAKilledSessionPutsTheDesktopProxyBack) {
    const auto gsettings = [](const std::string& arguments) {
        return run("gsettings " + arguments).second;
    };
    const auto proxy = [&] {
        return gsettings("get org.gnome.system.proxy mode") +
               gsettings("get org.gnome.system.proxy autoconfig-url");
    };
    gsettings("set org.gnome.system.proxy mode manual");
    const pid_t host = startHost({});
    out("call syncConfiguration '{\"blockedDomains\":[\"news.example.com\"],"
        "\"allWebsitesBlocked\":false}'");
    EXPECT_NE(out("call startSession").find("\"proxyApplied\":true"), std::string::npos);
    EXPECT_EQ(proxy(), "'auto'\n'http://127.0.0.1:18081/proxy.pac'\n");

    signalHost(host, SIGKILL);
    EXPECT_EQ(hosts.waitForExit(host), -1);
    const pid_t restarted = startHost({});
    EXPECT_EQ(proxy(), "'manual'\n''\n") << TempDirectory::read(log);
    signalHost(restarted, SIGTERM);
    EXPECT_EQ(hosts.waitForExit(restarted), 0);
}

}  // namespace
}  // namespace kestralune
