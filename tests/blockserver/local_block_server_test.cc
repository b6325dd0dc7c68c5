// The block server over real loopback sockets.

#include "blockserver/local_block_server.h"

#include "blockserver/blocked_page.h"
#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"
#include "platform/log.h"
#include "platform/testing/settable_clock.h"
#include "tests/blockserver/socket_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace kestralune {
namespace {

using namespace std::chrono_literals;
using testing::ClientSocket;
using testing::connectTo;
using testing::MemoryDefaults;
using testing::sendRequest;
using testing::splitAnswer;

std::string headFor(std::string_view status, std::string_view contentType,
                    std::size_t contentLength) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(contentType) +
           "\r\nContent-Length: " + std::to_string(contentLength) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\nAccess-Control-Allow-Origin: *";
}

std::string trackBlock(std::string_view url) {
    return "GET /track-block?url=" + std::string(url) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

class LocalBlockServerTest : public ::testing::Test {
  protected:
    std::unique_ptr<LocalBlockServer> makeServer(
        std::chrono::milliseconds idleTimeout = LocalBlockServer::kDefaultIdleTimeout) {
        return std::make_unique<LocalBlockServer>(clock, defaults, port, idleTimeout);
    }

    void startServer() {
        server->start();
        ASSERT_TRUE(server->isRunning());
    }

    // The whole answer to one request; empty (and a test failure) when none arrives.
    std::string answerTo(std::string_view request) {
        auto answer = sendRequest(port, request);
        EXPECT_TRUE(answer.has_value()) << "no answer to: " << request;
        return answer.value_or("");
    }

    std::shared_ptr<SettableClock> clock = std::make_shared<SettableClock>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::uint16_t port = testing::freeLoopbackPort();
    std::unique_ptr<LocalBlockServer> server = makeServer();
};

// --- Routes ----------------------------------------------------------------------------

enum class Body { script, document, none, page };

struct RouteRow {
    const char* behaviour;
    std::string request;
    const char* status;
    const char* contentType;
    Body body;
    std::string pageRequestText;  // what the page is built from, for Body::page
};

TEST_F(LocalBlockServerTest, EveryRouteAnswersWithItsStatusHeadersAndByteLength) {
    // Fails when routing, the header order, or Content-Length (UTF-8 bytes; the page holds a
    // 4-byte emoji) goes wrong anywhere between the reader and the socket.
    const std::string pac = "GET /proxy.pac HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string head = "HEAD /proxy.pac HTTP/1.1\r\n\r\n";
    const std::string lower = "get /proxy.pac HTTP/1.1\r\n\r\n";
    const std::string connect = "CONNECT video.example:443 HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string proxied = "GET http://video.example/watch?v=1 HTTP/1.1\r\n\r\n";
    const std::string blocked = "GET /blocked?url=http%3A%2F%2Fa.example%2F HTTP/1.1\r\n\r\n";
    const std::string invalid = "GET /proxy.pac\xff HTTP/1.1\r\n\r\n";
    const std::vector<RouteRow> rows = {
        {"script", pac, "200 OK", "application/x-ns-proxy-autoconfig", Body::script, ""},
        {"script, longer path", "GET /proxy.pacx?y HTTP/1.1\r\n\r\n", "200 OK",
         "application/x-ns-proxy-autoconfig", Body::script, ""},
        {"document", "GET /config.json HTTP/1.1\r\n\r\n", "200 OK",
         "application/json; charset=utf-8", Body::document, ""},
        {"track-block", trackBlock("http%3A%2F%2Fa.example%2F"), "204 No Content",
         "text/plain; charset=utf-8", Body::none, ""},
        {"HEAD of the script", head, "403 Forbidden", "text/html; charset=utf-8", Body::page, head},
        {"lower-case method", lower, "403 Forbidden", "text/html; charset=utf-8", Body::page,
         lower},
        {"CONNECT tunnel", connect, "403 Forbidden", "text/html; charset=utf-8", Body::page,
         connect},
        {"proxied request", proxied, "403 Forbidden", "text/html; charset=utf-8", Body::page,
         proxied},
        {"blocked page", blocked, "403 Forbidden", "text/html; charset=utf-8", Body::page, blocked},
        {"nothing sent", "", "403 Forbidden", "text/html; charset=utf-8", Body::page, ""},
        {"not UTF-8", invalid, "403 Forbidden", "text/html; charset=utf-8", Body::page, ""},
    };
    startServer();
    const RuleLists initial{defaultExceptionDomainList(), {}, true};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        const auto answer = splitAnswer(answerTo(row.request));
        ASSERT_TRUE(answer.has_value());
        std::string expectedBody;
        switch (row.body) {
            case Body::script:
                expectedBody = pacScript(initial);
                break;
            case Body::document:
                expectedBody = configDocument(initial);
                break;
            case Body::none:
                break;
            case Body::page:
                expectedBody = blockedPage(row.pageRequestText, "system");
                break;
        }
        EXPECT_EQ(answer->head, headFor(row.status, row.contentType, expectedBody.size()));
        EXPECT_EQ(answer->body, expectedBody);
    }
}

TEST_F(LocalBlockServerTest, RequestLineSplitOverTwoWritesIsRoutedOnTheWholeLine) {
    // Fails when the server answers the first chunk ("GET /proxy.p" is a blocked-page request).
    startServer();
    const ClientSocket client = connectTo(port);
    ASSERT_TRUE(client.send("GET /proxy.p"));
    EXPECT_FALSE(client.hasActivityWithin(300)) << "answered before the line was complete";
    ASSERT_TRUE(client.send("ac HTTP/1.1\r\n\r\n"));
    const auto answer = splitAnswer(client.receiveAll().value_or(""));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->body, pacScript(RuleLists{defaultExceptionDomainList(), {}, true}));
}

TEST_F(LocalBlockServerTest, RequestWithoutLineEndIsAnsweredOnceTheLimitHasArrived) {
    // Fails when the reader waits past 64 KiB for a line end that never comes.
    startServer();
    const ClientSocket client = connectTo(port);
    ASSERT_TRUE(client.send(std::string(70'000, 'a')));
    const auto answer = splitAnswer(client.receiveAll().value_or(""));
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(answer->head.starts_with("HTTP/1.1 403 Forbidden\r\n"));
}

TEST_F(LocalBlockServerTest, StoredAppearanceIsReadForEveryPage) {
    // Fails when the theme is read once, or "system" is not the fallback.
    startServer();
    const std::string request = "GET /blocked HTTP/1.1\r\n\r\n";
    for (const char* theme : {"", "dark", "light"}) {
        SCOPED_TRACE(theme);
        if (*theme != '\0') {
            defaults->setObject("kestralune.appearance", theme);
        }
        const auto answer = splitAnswer(answerTo(request));
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->body, blockedPage(request, *theme != '\0' ? theme : "system"));
    }
}

// --- Rules ------------------------------------------------------------------------------

TEST_F(LocalBlockServerTest, UpdateIsSeenByTheNextRequest) {
    // Fails when update does not merge the always-allowed names, sort and de-duplicate the
    // exceptions, drop always-allowed names from the blocked set, or is not applied in order.
    startServer();
    const std::string allowed(alwaysAllowedDomains().front());
    server->update({"notes.example", "chat.example", "notes.example"},
                   {"video.example", allowed, "video.example", "chat.example"}, false);

    std::vector<std::string> exceptions = {"chat.example", "notes.example"};
    exceptions.insert(exceptions.end(), alwaysAllowedDomains().begin(),
                      alwaysAllowedDomains().end());
    std::sort(exceptions.begin(), exceptions.end());
    exceptions.erase(std::unique(exceptions.begin(), exceptions.end()), exceptions.end());
    const RuleLists expected{exceptions, {"chat.example", "video.example"}, false};

    EXPECT_EQ(splitAnswer(answerTo("GET /config.json HTTP/1.1\r\n\r\n"))->body,
              configDocument(expected));
    EXPECT_EQ(splitAnswer(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"))->body, pacScript(expected));
}

TEST_F(LocalBlockServerTest, LargeScriptArrivesWhole) {
    // Fails when an answer larger than the socket buffer is cut short or never finished.
    startServer();
    std::vector<std::string> blocked;
    for (int i = 0; i < 250'000; ++i) {
        blocked.push_back("site-" + std::to_string(i) + ".example");
    }
    server->update({}, blocked, false);
    std::sort(blocked.begin(), blocked.end());
    const std::string expected = pacScript(
        RuleLists{{alwaysAllowedDomains().begin(), alwaysAllowedDomains().end()}, blocked, false});
    // About 5 MB against a small receive window: more than the server can write in one go.
    const ClientSocket client = connectTo(port, "127.0.0.1", 4096);
    ASSERT_TRUE(client.send("GET /proxy.pac HTTP/1.1\r\n\r\n"));
    const auto answer = splitAnswer(client.receiveAll().value_or(""));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->head,
              headFor("200 OK", "application/x-ns-proxy-autoconfig", expected.size()));
    EXPECT_EQ(answer->body, expected);
}

// --- Counting ---------------------------------------------------------------------------

struct CountStep {
    double atSeconds;
    std::string request;
    std::int64_t countAfter;
};

void runCountSteps(SettableClock& clock, LocalBlockServer& server, std::uint16_t port,
                   const std::vector<CountStep>& steps) {
    const WallClockTime start = clock.now();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.request);
        clock.set(start + std::chrono::duration_cast<WallClockTime::duration>(
                              std::chrono::duration<double>(step.atSeconds)));
        ASSERT_TRUE(sendRequest(port, step.request).has_value());
        EXPECT_EQ(server.blockedRequestCount(), step.countAfter) << "at " << step.atSeconds;
    }
}

TEST_F(LocalBlockServerTest, SameHostCountsOncePerThirtySecondsFromItsLastCount) {
    // Fails when the cooldown is missing, refreshed by uncounted attempts, or shared by hosts.
    startServer();
    runCountSteps(*clock, *server, port,
                  {
                      {0, trackBlock("https%3A%2F%2Fvideo.example%2Fa"), 1},
                      {10, trackBlock("https%3A%2F%2Fvideo.example%2Fb"), 1},
                      {15, trackBlock("https%3A%2F%2Fchat.example%2F"), 2},
                      {29.9, trackBlock("https%3A%2F%2Fvideo.example%2F"), 2},
                      {31, trackBlock("https%3A%2F%2Fvideo.example%2F"), 3},
                      {31, trackBlock(""), 3},
                      {31, "GET /track-block HTTP/1.1\r\n\r\n", 3},
                  });
}

TEST_F(LocalBlockServerTest, ProxiedRequestsCountUnderTheirHost) {
    // Fails when "www." or the CONNECT port splits one host into two keys, when the page's
    // own address is counted, or when other methods are not counted under their word.
    startServer();
    runCountSteps(*clock, *server, port,
                  {
                      {0, "GET http://www.news.example/today HTTP/1.1\r\n\r\n", 1},
                      {5, "CONNECT news.example:443 HTTP/1.1\r\n\r\n", 1},
                      {6, "GET /blocked?url=http%3A%2F%2Fother.example%2F HTTP/1.1\r\n\r\n", 1},
                      {7, "GET / HTTP/1.1\r\n\r\n", 1},
                      {8, "PUT http://upload.example/ HTTP/1.1\r\n\r\n", 2},
                      {9, "OPTIONS http://other.example/ HTTP/1.1\r\n\r\n", 3},
                      {10, "", 3},
                  });
}

TEST_F(LocalBlockServerTest, ResetZeroesTheCountAndForgetsTheCooldown) {
    // Fails when reset keeps the count or the last-counted times.
    startServer();
    const std::string request = "CONNECT video.example:443 HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(sendRequest(port, request).has_value());
    ASSERT_EQ(server->blockedRequestCount(), 1);
    server->resetBlockedRequests();
    EXPECT_EQ(server->blockedRequestCount(), 0);
    ASSERT_TRUE(sendRequest(port, request).has_value());
    EXPECT_EQ(server->blockedRequestCount(), 1);
}

// --- Lifecycle --------------------------------------------------------------------------

TEST_F(LocalBlockServerTest, StartStopStartServesOnTheSamePort) {
    // Fails when stop leaves the port bound, or a restart is refused because answered
    // connections linger in TIME_WAIT.
    EXPECT_FALSE(server->isRunning());
    server->start();
    server->start();
    ASSERT_TRUE(server->isRunning());
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(answerTo("GET /config.json HTTP/1.1\r\n\r\n").empty());
    }
    server->stop();
    EXPECT_FALSE(server->isRunning());
    EXPECT_FALSE(connectTo(port).isOpen());
    server->start();
    ASSERT_TRUE(server->isRunning());
    EXPECT_TRUE(answerTo("GET /config.json HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
}

TEST_F(LocalBlockServerTest, StopLetsAcceptedConnectionsFinish) {
    // Fails when stop() closes connections that were already accepted.
    startServer();
    const ClientSocket client = connectTo(port);
    ASSERT_TRUE(client.send("GET /config"));
    // Accepting is asynchronous; a second request answered proves the first was accepted.
    ASSERT_FALSE(answerTo("GET /config.json HTTP/1.1\r\n\r\n").empty());
    server->stop();
    ASSERT_FALSE(server->isRunning());
    ASSERT_TRUE(client.send(".json HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(client.receiveAll().value_or("").starts_with("HTTP/1.1 200 OK\r\n"));
}

TEST_F(LocalBlockServerTest, StartOnATakenPortLogsAndStaysStopped) {
    // Fails when a failed start reports running, logs nothing, or cannot be retried.
    std::vector<std::string> lines;
    std::mutex linesMutex;
    const LogSink previous = setLogSink([&](std::string_view line) {
        std::lock_guard lock(linesMutex);
        lines.emplace_back(line);
    });
    auto occupant = std::make_unique<LocalBlockServer>(clock, defaults, port);
    occupant->start();
    ASSERT_TRUE(occupant->isRunning());

    server->start();
    EXPECT_FALSE(server->isRunning());
    occupant.reset();
    server->start();
    EXPECT_TRUE(server->isRunning());
    setLogSink(previous);

    std::lock_guard lock(linesMutex);
    EXPECT_EQ(lines, std::vector<std::string>{
                         "Kestralune block server failed to start: Address already in use"});
}

TEST_F(LocalBlockServerTest, ListensOnTheLoopbackAddressOnly) {
    // Fails when the listener is bound to every interface (127.0.0.2 reaches those too).
    startServer();
    EXPECT_FALSE(connectTo(port, "127.0.0.2").isOpen());
}

// --- Hostile and idle clients -----------------------------------------------------------

TEST_F(LocalBlockServerTest, RequestIsAnsweredWhileTwoThousandIdleConnectionsWait) {
    // Fails when idle connections hold up the queue or exhaust what the server accepts. Half
    // of them send nothing, half stop in the middle of their first line (those the server
    // has accepted and must keep waiting on).
    testing::raiseDescriptorLimit();
    startServer();
    std::vector<ClientSocket> idle;
    for (int i = 0; i < 2000; ++i) {
        idle.push_back(connectTo(port));
        ASSERT_TRUE(idle.back().isOpen()) << "connection " << i;
        if (i % 2 == 1) {
            ASSERT_TRUE(idle.back().send("GET /proxy"));
        }
    }
    EXPECT_TRUE(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_FALSE(idle[0].hasActivityWithin(0));
    EXPECT_FALSE(idle[1].hasActivityWithin(0));
}

TEST_F(LocalBlockServerTest, SilentAndUnfinishedConnectionsAreClosedAfterTheIdleTime) {
    // Fails when a connection that never completes its request stays open for ever.
    server = makeServer(200ms);
    startServer();
    const ClientSocket silent = connectTo(port);
    const ClientSocket partial = connectTo(port);
    ASSERT_TRUE(partial.send("GET /proxy.pac HTTP/1.1"));
    EXPECT_EQ(silent.receiveAll(), "");
    EXPECT_EQ(partial.receiveAll(), "");
    EXPECT_TRUE(answerTo("GET /config.json HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK"));
}

TEST_F(LocalBlockServerTest, DestroyedServerClosesPendingConnectionsWithoutAnswering) {
    // Fails when a server that no longer exists answers, or its handlers outlive it
    // (the sanitizer build catches the latter).
    startServer();
    const ClientSocket silent = connectTo(port);
    const ClientSocket partial = connectTo(port);
    ASSERT_TRUE(partial.send("GET /proxy.pac"));
    ASSERT_FALSE(answerTo("GET /config.json HTTP/1.1\r\n\r\n").empty());
    server.reset();
    // The silent client was never handed over (accepting waits for data); it learns of the
    // end when it sends.
    silent.send("GET /proxy.pac HTTP/1.1\r\n\r\n");
    partial.send(" HTTP/1.1\r\n\r\n");
    EXPECT_EQ(silent.receiveAll(), "");
    EXPECT_EQ(partial.receiveAll(), "");
    EXPECT_FALSE(connectTo(port).isOpen());
}

// Fills this process's descriptor table, then frees exactly one slot on request.
class DescriptorExhaustion {
  public:
    DescriptorExhaustion() {
        getrlimit(RLIMIT_NOFILE, &saved);
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(highest) + 16;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
            fillers.push_back(fd);
        }
    }
    ~DescriptorExhaustion() {
        release();
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    void freeOne() {
        ::close(fillers.back());
        fillers.pop_back();
    }
    void release() {
        for (const int fd : fillers) {
            ::close(fd);
        }
        fillers.clear();
    }

  private:
    rlimit saved{};
    std::vector<int> fillers;
};

TEST_F(LocalBlockServerTest, OutOfDescriptorsGivesUpTheOldestConnectionForANewOne) {
    // Fails when the accept loop ends or stalls on EMFILE while a stalled connection could
    // make room.
    startServer();
    const ClientSocket stalled = connectTo(port);
    ASSERT_TRUE(stalled.send("GET /pro"));
    ASSERT_FALSE(answerTo("GET /config.json HTTP/1.1\r\n\r\n").empty());  // stalled is accepted

    DescriptorExhaustion exhaustion;
    exhaustion.freeOne();
    const ClientSocket client = connectTo(port);  // takes the freed slot; the server has none
    ASSERT_TRUE(client.isOpen());
    ASSERT_TRUE(client.send("GET /config.json HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(stalled.receiveAll(), "");
    EXPECT_TRUE(client.receiveAll().value_or("").starts_with("HTTP/1.1 200 OK\r\n"));
}

TEST_F(LocalBlockServerTest, OutOfDescriptorsWithNothingToGiveUpRetriesAccepting) {
    // Fails when one failed accept ends the accept loop.
    startServer();
    DescriptorExhaustion exhaustion;
    exhaustion.freeOne();
    const ClientSocket client = connectTo(port);
    ASSERT_TRUE(client.isOpen());
    ASSERT_TRUE(client.send("GET /config.json HTTP/1.1\r\n\r\n"));
    exhaustion.release();
    EXPECT_TRUE(client.receiveAll().value_or("").starts_with("HTTP/1.1 200 OK\r\n"));
}

}  // namespace
}  // namespace kestralune
