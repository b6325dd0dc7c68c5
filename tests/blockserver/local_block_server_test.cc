// The block server over real loopback sockets.

#include "blockserver/local_block_server.h"

#include "blockserver/blocked_page.h"
#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"
#include "blockserver/request_reader.h"
#include "blockserver/request_router.h"
#include "platform/log.h"
#include "platform/testing/settable_clock.h"
#include "tests/blockserver/socket_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

namespace kestralune {
namespace {

using namespace std::chrono_literals;
using testing::ClientSocket;
using testing::connectTo;
using testing::sendRequest;

const RuleLists kInitialRules{defaultExceptionDomainList(), {}, true};

std::string pageAnswer(std::string_view request, std::string_view theme = "system") {
    return httpResponse("403 Forbidden", "text/html; charset=utf-8", blockedPage(request, theme));
}
std::string scriptAnswer(const RuleLists& rules) {
    return httpResponse("200 OK", "application/x-ns-proxy-autoconfig", pacScript(rules));
}
std::string documentAnswer(const RuleLists& rules) {
    return httpResponse("200 OK", "application/json; charset=utf-8", configDocument(rules));
}

class LocalBlockServerTest : public ::testing::Test {
  protected:
    void start(std::chrono::milliseconds idleTimeout = LocalBlockServer::kDefaultIdleTimeout) {
        server = std::make_unique<LocalBlockServer>(clock, defaults, port, idleTimeout);
        server->start();
        ASSERT_TRUE(server->isRunning());
    }
    std::string answerTo(std::string_view request) {
        return sendRequest(port, request).value_or("(no answer)");
    }

    std::shared_ptr<SettableClock> clock = std::make_shared<SettableClock>();
    std::shared_ptr<testing::MemoryDefaults> defaults = std::make_shared<testing::MemoryDefaults>();
    std::uint16_t port = testing::freeLoopbackPort();
    std::unique_ptr<LocalBlockServer> server;
};

TEST_F(LocalBlockServerTest, EveryRouteAnswersWithItsWholeAnswer) {
    // Fails when routing, the header block or Content-Length goes wrong anywhere between the
    // reader and the socket, or a kept script or document is served for the wrong route.
    const std::string head = "HEAD /proxy.pac HTTP/1.1\r\n\r\n";
    const std::string lower = "get /proxy.pac HTTP/1.1\r\n\r\n";
    const std::string connect = "CONNECT video.example:443 HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::pair<std::string, std::string> rows[] = {
        {"GET /proxy.pac HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", scriptAnswer(kInitialRules)},
        {"GET /proxy.pacx?y HTTP/1.1\r\n\r\n", scriptAnswer(kInitialRules)},
        {"GET /config.json HTTP/1.1\r\n\r\n", documentAnswer(kInitialRules)},
        {"GET /track-block?url=a.example HTTP/1.1\r\n\r\n",
         httpResponse("204 No Content", "text/plain; charset=utf-8", "")},
        {head, pageAnswer(head)},
        {lower, pageAnswer(lower)},
        {connect, pageAnswer(connect)},
        {"", pageAnswer("")},
        {"GET /proxy.pac\xff HTTP/1.1\r\n\r\n", pageAnswer("")},  // not UTF-8
    };
    start();
    for (int pass = 0; pass < 2; ++pass) {  // the second pass is served from what was kept
        for (const auto& [request, answer] : rows) {
            EXPECT_EQ(answerTo(request), answer) << request;
        }
    }
}

TEST_F(LocalBlockServerTest, RequestLineSplitOverTwoWritesIsRoutedOnTheWholeLine) {
    // Fails when the server answers the first chunk ("GET /proxy.p" is a blocked-page request).
    start();
    const ClientSocket client = connectTo(port);
    ASSERT_TRUE(client.send("GET /proxy.p"));
    EXPECT_FALSE(client.hasActivityWithin(300)) << "answered before the line was complete";
    ASSERT_TRUE(client.send("ac HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.receiveAll(), scriptAnswer(kInitialRules));
}

TEST_F(LocalBlockServerTest, AnswerArrivesWholeWhileTheClientIsStillSending) {
    // Fails when the server closes with unread input: the close resets the connection and
    // the answer in flight is lost.
    const std::string fill(70'000, 'a');
    const std::vector<std::vector<std::string>> rows = {
        {"GET /big HTTP/1.1\r\nX-Fill: " + fill + "\r\n\r\n"},
        {fill},  // no line end within the limit
        {"POST http://upload.example/ HTTP/1.1\r\nContent-Length: 300000\r\n\r\n" +
         std::string(300'000, 'b')},
        {"POST /form HTTP/1.1\r\nContent-Length: 5\r\n\r\n", "hello"},
        {"GET /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "5\r\nhello\r\n0\r\n\r\n"},
    };
    start();
    for (const auto& parts : rows) {
        const ClientSocket client = connectTo(port);
        std::string request;
        for (const auto& part : parts) {
            ASSERT_TRUE(client.send(part));
            request += part;
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(client.receiveAll(),
                  pageAnswer(request.substr(0, RequestReader::kMaxRequestBytes)))
            << request.substr(0, 60);
    }
}

TEST_F(LocalBlockServerTest, SlowReaderOfALongAnswerGetsItWholeAfterTheIdleTime) {
    // Fails when the idle limit cuts an answer still being written, or an answer larger than
    // the socket takes at once is not finished.
    start(100ms);
    std::vector<std::string> blocked;
    for (int i = 0; i < 250'000; ++i) {
        blocked.push_back("site-" + std::to_string(i) + ".example");
    }
    server->update({}, blocked, false);
    std::sort(blocked.begin(), blocked.end());
    const std::string expected = scriptAnswer(
        RuleLists{{alwaysAllowedDomains().begin(), alwaysAllowedDomains().end()}, blocked, false});
    // About 5 MB against a small receive window, read only once the idle time has passed.
    const ClientSocket client = connectTo(port, "127.0.0.1", 4096);
    ASSERT_TRUE(client.send("GET /proxy.pac HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(400ms);
    const std::string answer = client.receiveAll().value_or("");
    EXPECT_EQ(answer.size(), expected.size());
    EXPECT_TRUE(answer == expected);
}

TEST_F(LocalBlockServerTest, ClientThatKeepsSendingAfterItsAnswerIsClosedWithinTheBound) {
    // Fails when an answered client that never stops sending holds its connection for ever,
    // flooding (the byte bound) or trickling (the time bound).
    start();
    for (const auto& [chunk, pause] :
         {std::pair{std::string(65536, 'x'), 0ms}, std::pair{std::string("x"), 50ms}}) {
        const ClientSocket client = connectTo(port);
        ASSERT_TRUE(client.send("POST /up HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n"));
        int sends = 0;
        while (sends < 1000 && client.send(chunk)) {
            ++sends;
            std::this_thread::sleep_for(pause);
        }
        EXPECT_LT(sends, 1000) << "chunks of " << chunk.size();
        EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    }
}

TEST_F(LocalBlockServerTest, StoredAppearanceIsReadForEveryPage) {
    // Fails when the theme is read once, or "system" is not the fallback.
    start();
    const std::string request = "GET /blocked HTTP/1.1\r\n\r\n";
    EXPECT_EQ(answerTo(request), pageAnswer(request, "system"));
    for (const char* theme : {"dark", "light"}) {
        defaults->setObject("kestralune.appearance", theme);
        EXPECT_EQ(answerTo(request), pageAnswer(request, theme));
    }
}

TEST_F(LocalBlockServerTest, UpdateIsSeenByTheNextRequest) {
    // Fails when update does not merge the always-allowed names, sort and de-duplicate the
    // exceptions, drop always-allowed names from the blocked set, or leaves the script and
    // document of the old rules in place.
    start();
    ASSERT_EQ(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"), scriptAnswer(kInitialRules));
    ASSERT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
    const std::string allowed(alwaysAllowedDomains().front());
    server->update({"notes.example", "chat.example", "notes.example"},
                   {"video.example", allowed, "video.example", "chat.example"}, false);

    std::vector<std::string> exceptions = {"chat.example", "notes.example"};
    exceptions.insert(exceptions.end(), alwaysAllowedDomains().begin(),
                      alwaysAllowedDomains().end());
    std::sort(exceptions.begin(), exceptions.end());
    exceptions.erase(std::unique(exceptions.begin(), exceptions.end()), exceptions.end());
    const RuleLists expected{exceptions, {"chat.example", "video.example"}, false};
    EXPECT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(expected));
    EXPECT_EQ(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"), scriptAnswer(expected));
}

TEST_F(LocalBlockServerTest, AttemptsCountOncePerHostEveryThirtySeconds) {
    // Fails when the cooldown is missing, refreshed by uncounted attempts or shared by hosts,
    // when "www." or a CONNECT port splits one host, when the page's own address or a report
    // without "url" is counted, when other methods are not counted under their word, or when
    // reset keeps the count or the cooldown.
    const auto track = [](std::string_view url) {
        return "GET /track-block?url=" + std::string(url) + " HTTP/1.1\r\n\r\n";
    };
    const struct {
        double atSeconds;
        std::string request;  // empty: resetBlockedRequests()
        std::int64_t countAfter;
    } steps[] = {
        {0, track("https%3A%2F%2Fvideo.example%2Fa"), 1},
        {10, track("https%3A%2F%2Fvideo.example%2Fb"), 1},
        {15, track("https%3A%2F%2Fchat.example%2F"), 2},
        {29.9, "CONNECT video.example:443 HTTP/1.1\r\n\r\n", 2},
        {31, "GET http://www.video.example/x HTTP/1.1\r\n\r\n", 3},
        {31, "GET /track-block HTTP/1.1\r\n\r\n", 3},
        {31, "GET /blocked?url=http%3A%2F%2Fother.example%2F HTTP/1.1\r\n\r\n", 3},
        {31, "PUT http://upload.example/ HTTP/1.1\r\n\r\n", 4},
        {31, "OPTIONS http://upload.example/ HTTP/1.1\r\n\r\n", 5},
        {32, "", 0},
        {32, "CONNECT video.example:443 HTTP/1.1\r\n\r\n", 1},
    };
    start();
    const WallClockTime begin = clock->now();
    for (const auto& step : steps) {
        clock->set(begin + std::chrono::duration_cast<WallClockTime::duration>(
                               std::chrono::duration<double>(step.atSeconds)));
        if (step.request.empty()) {
            server->resetBlockedRequests();
        } else {
            ASSERT_NE(answerTo(step.request), "(no answer)");
        }
        EXPECT_EQ(server->blockedRequestCount(), step.countAfter) << step.request;
    }
}

TEST_F(LocalBlockServerTest, StartStopStartServesOnTheSamePortOfTheLoopbackOnly) {
    // Fails when stop leaves the port bound, a restart is refused because answered
    // connections linger in TIME_WAIT, or the listener is bound to every interface.
    start();
    server->start();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
    }
    EXPECT_FALSE(connectTo(port, "127.0.0.2").isOpen());
    server->stop();
    EXPECT_FALSE(server->isRunning());
    EXPECT_FALSE(connectTo(port).isOpen());
    server->start();
    ASSERT_TRUE(server->isRunning());
    EXPECT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
}

TEST_F(LocalBlockServerTest, StopLetsAcceptedConnectionsFinish) {
    // Fails when stop() closes connections that were already accepted.
    start();
    const ClientSocket client = connectTo(port);
    ASSERT_TRUE(client.send("GET /config"));
    // Accepting is asynchronous; a second request answered proves the first was accepted.
    ASSERT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
    server->stop();
    ASSERT_TRUE(client.send(".json HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.receiveAll(), documentAnswer(kInitialRules));
}

TEST_F(LocalBlockServerTest, StartOnATakenPortLogsAndStaysStopped) {
    // Fails when a failed start reports running, logs nothing, or cannot be retried.
    std::vector<std::string> lines;
    std::mutex linesMutex;
    const LogSink previous = setLogSink([&](std::string_view line) {
        std::lock_guard lock(linesMutex);
        lines.emplace_back(line);
    });
    start();
    auto occupant = std::move(server);
    server = std::make_unique<LocalBlockServer>(clock, defaults, port);
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

TEST_F(LocalBlockServerTest, RequestIsAnsweredWhileTwoThousandIdleConnectionsWait) {
    // Fails when idle connections hold up the queue or exhaust what the server accepts. Half
    // of them send nothing, half stop in the middle of their first line (those the server
    // has accepted and must keep waiting on).
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    start();
    std::vector<ClientSocket> idle;
    for (int i = 0; i < 2000; ++i) {
        idle.push_back(connectTo(port));
        ASSERT_TRUE(idle.back().isOpen() && (i % 2 == 0 || idle.back().send("GET /proxy")));
    }
    EXPECT_EQ(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"), scriptAnswer(kInitialRules));
    EXPECT_FALSE(idle[0].hasActivityWithin(0));
    EXPECT_FALSE(idle[1].hasActivityWithin(0));
}

TEST_F(LocalBlockServerTest, SilentAndUnfinishedConnectionsAreClosedAfterTheIdleTime) {
    // Fails when a connection that never completes its request stays open for ever.
    start(200ms);
    const ClientSocket silent = connectTo(port);
    const ClientSocket partial = connectTo(port);
    ASSERT_TRUE(partial.send("GET /proxy.pac HTTP/1.1"));
    EXPECT_EQ(silent.receiveAll(), "");
    EXPECT_EQ(partial.receiveAll(), "");
    EXPECT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
}

TEST_F(LocalBlockServerTest, DestroyedServerClosesPendingConnectionsWithoutAnswering) {
    // Fails when a server that no longer exists answers, or its handlers outlive it
    // (the sanitizer build catches the latter).
    start();
    const ClientSocket silent = connectTo(port);
    const ClientSocket partial = connectTo(port);
    ASSERT_TRUE(partial.send("GET /proxy.pac"));
    ASSERT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
    server.reset();
    // The silent client was never handed over (accepting waits for data); it learns of the
    // end when it sends.
    silent.send("GET /proxy.pac HTTP/1.1\r\n\r\n");
    partial.send(" HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(silent.endsWithoutAnswer());
    EXPECT_TRUE(partial.endsWithoutAnswer());
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
        ::close(fillers.back());
        fillers.pop_back();
    }
    ~DescriptorExhaustion() {
        release();
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    void release() {
        std::for_each(fillers.begin(), fillers.end(), ::close);
        fillers.clear();
    }

  private:
    rlimit saved{};
    std::vector<int> fillers;
};

TEST_F(LocalBlockServerTest, OutOfDescriptorsTheServerMakesRoomOrRetries) {
    // Fails when the accept loop ends or stalls on EMFILE: with a stalled connection to give
    // up it must do so at once, with none it must try again until a slot is free.
    for (const bool stalledClient : {true, false}) {
        start();
        const ClientSocket stalled = stalledClient ? connectTo(port) : ClientSocket();
        if (stalledClient) {
            ASSERT_TRUE(stalled.send("GET /pro"));
            ASSERT_EQ(answerTo("GET /config.json HTTP/1.1\r\n\r\n"), documentAnswer(kInitialRules));
        }
        DescriptorExhaustion exhaustion;
        const ClientSocket client = connectTo(port);  // takes the one free slot
        ASSERT_TRUE(client.send("GET /config.json HTTP/1.1\r\n\r\n"));
        if (stalledClient) {
            EXPECT_TRUE(stalled.endsWithoutAnswer());
        } else {
            exhaustion.release();
        }
        EXPECT_EQ(client.receiveAll(), documentAnswer(kInitialRules));
    }
}

}  // namespace
}  // namespace kestralune
