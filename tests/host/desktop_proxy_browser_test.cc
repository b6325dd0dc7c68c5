// A real browser with no proxy flag of its own, on a GNOME desktop whose settings GLib keeps in
// a key file of the temporary HOME it shares with the host (no session bus needed). The
// session's block server takes port 18081: run under the port's lock.
#include "tests/host/host_process_test.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

namespace kestralune {
namespace {

using nlohmann::json;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kMarker = "Straight from news.example.com";

// The listed site: answers every request on an ephemeral loopback port with the marker page.
class LoopbackSite {
  public:
    LoopbackSite() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener, 16) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            std::abort();
        }
        port = ntohs(address.sin_port);
        server = std::thread([this] {
            const std::string body = std::string("<p>") + kMarker + "</p>";
            const std::string reply =
                "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-store\r\n"
                "Connection: close\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            for (int client; (client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;
                 ::close(client)) {
                const timeval limit{1, 0};  // for a connection opened ahead and never used
                ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                char request[4096];  // one read: a GET's head fits
                if (::read(client, request, sizeof request) > 0) {
                    (void)!::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
                }
            }
        });
    }
    ~LoopbackSite() {
        ::shutdown(listener, SHUT_RDWR);  // ends the accept loop
        server.join();
        ::close(listener);
    }
    LoopbackSite(const LoopbackSite&) = delete;
    LoopbackSite& operator=(const LoopbackSite&) = delete;

    int port = 0;

  private:
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread server;
};

// One tab of a browser driven over its DevTools pipe: JSON messages ended by a NUL, read by
// the browser on its descriptor 3 and written on 4, here both one end of a socket pair.
class DevToolsTab {
  public:
    // `ends` is the socket pair: the first end stays here, the second was the browser's.
    explicit DevToolsTab(const int (&ends)[2]) : channel(ends[0]) {
        ::close(ends[1]);
        const auto target = call("Target.createTarget", {{"url", "about:blank"}});
        const auto attached = target.is_null()
                                  ? target
                                  : call("Target.attachToTarget",
                                         {{"targetId", target["targetId"]}, {"flatten", true}});
        session = attached.is_null() ? "" : attached.value("sessionId", "");
    }
    ~DevToolsTab() { ::close(channel); }
    DevToolsTab(const DevToolsTab&) = delete;
    DevToolsTab& operator=(const DevToolsTab&) = delete;

    bool opened() const { return !session.empty(); }

    // Loads `url` and returns the loaded page's text; empty when none came.
    std::string pageText(const std::string& url) {
        const json evaluate = {
            {"expression", "document.readyState == 'complete' ? document.body.innerText : null"},
            {"returnByValue", true}};
        json text;
        const bool loaded = !call("Page.navigate", {{"url", url}}).is_null() && eventually([&] {
            return (text = call("Runtime.evaluate", evaluate)["result"]["value"]).is_string();
        });
        return loaded ? text.get<std::string>() : "";
    }

  private:
    // The command's result; null when the browser answered with an error or fell silent.
    json call(const std::string& method, const json& parameters) {
        json message = {{"id", ++lastId}, {"method", method}, {"params", parameters}};
        if (!session.empty()) {
            message["sessionId"] = session;
        }
        const std::string sent = message.dump() + '\0';
        if (::send(channel, sent.data(), sent.size(), MSG_NOSIGNAL) != ssize_t(sent.size())) {
            return nullptr;
        }
        for (std::string text;; text.clear()) {  // events and replies until ours
            pollfd ready{channel, POLLIN, 0};
            char c = 1;
            while (::poll(&ready, 1, 20'000) == 1 && ::recv(channel, &c, 1, 0) == 1 && c != '\0') {
                text += c;
            }
            if (c != '\0') {
                return nullptr;
            }
            const auto reply = json::parse(text, nullptr, false);
            if (!reply.is_discarded() && reply.value("id", 0) == lastId) {
                return reply.value("result", json());
            }
        }
    }

    const int channel;
    int lastId = 0;
    std::string session;
};

using DesktopProxyBrowserTest = HostProcessTest;

// Fails when the session does not reach the desktop's settings in a form the browser reads, or
// when it does not put them back in a form the running browser follows.
TEST_F(DesktopProxyBrowserTest, BrowserFollowsTheSessionsProxyAndGoesDirectAfterIt) {
    if (!std::filesystem::exists(kChromium)) {
        GTEST_SKIP() << "chromium is not installed";
    }
    ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);  // for the host and the browser alike
    ASSERT_EQ(run("gsettings set org.gnome.system.proxy mode manual").first, 0);
    const pid_t host = startHost({});
    EXPECT_NE(out("call syncConfiguration "
                  "'{\"blockedDomains\":[\"news.example.com\"],\"allWebsitesBlocked\":false}'")
                  .find("\"stored\":true"),
              std::string::npos);
    EXPECT_NE(out("call startSession").find("\"started\":true"), std::string::npos);

    LoopbackSite site;
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    ::fcntl(ends[1], F_SETFD, 0);
    const auto browserEnd = std::to_string(ends[1]);
    const std::string browserLog = (root.path() / "browser.log").string();
    // The shell puts the browser's end on descriptors 3 and 4, then becomes the browser.
    const pid_t browser = hosts.start(
        "/bin/sh",
        {"-c", ("exec \"$@\" 3<&" + browserEnd + " 4>&" + browserEnd).c_str(), "sh", kChromium,
         "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe",
         ("--user-data-dir=" + (root.path() / "profile").string()).c_str(),
         ("--host-resolver-rules=MAP news.example.com 127.0.0.1:" + std::to_string(site.port))
             .c_str()},
        browserLog.c_str());
    ASSERT_GT(browser, 0);
    DevToolsTab tab(ends);
    ASSERT_TRUE(tab.opened()) << TempDirectory::read(browserLog);
    int visit = 0;
    const auto visitSite = [&] {
        return tab.pageText("http://news.example.com/?visit=" + std::to_string(++visit));
    };
    // The block server names the site's own host: the mapping stayed out of the proxy's way.
    std::string text = visitSite();
    EXPECT_NE(text.find("http://news.example.com/?visit=1 is blocked by Kestralune."),
              std::string::npos)
        << text;

    EXPECT_EQ(out("call stopSession"), "{\"stopped\":true}\n");
    const auto stopped = std::chrono::steady_clock::now();
    const bool direct =
        eventually([&] { return (text = visitSite()).find(kMarker) != std::string::npos; }, 20);
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - stopped;
    RecordProperty("secondsToDirectAfterStop", std::to_string(taken.count()));
    std::printf("direct again %.2f s after stopSession, %d visits\n", taken.count(), visit);
    EXPECT_TRUE(direct) << text;

    ::kill(browser, SIGTERM);  // whatever is left running gets SIGKILL from `hosts`
    EXPECT_EQ(hosts.waitForExit(browser), 0);
    if (host > 0) {
        ::kill(host, SIGTERM);
        EXPECT_EQ(hosts.waitForExit(host), 0) << TempDirectory::read(log);
    }
}

}  // namespace
}  // namespace kestralune
