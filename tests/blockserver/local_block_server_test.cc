// The block server over real loopback sockets. The clients block without a time-out of
// their own: a server that never answers ends the test at its CTest time-out.

#include "blockserver/local_block_server.h"

#include "blockserver/blocked_page.h"
#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"
#include "blockserver/request_reader.h"
#include "blockserver/request_router.h"
#include "platform/log.h"
#include "platform/testing/memory_user_defaults.h"
#include "platform/testing/settable_clock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <thread>

namespace kestralune {
namespace {

using namespace std::chrono_literals;
using Tcp = asio::ip::tcp;

const RuleLists kInitialRules{defaultExceptionDomainList(), {}, true};
const std::string kDocumentRequest = "GET /config.json HTTP/1.1\r\n\r\n";

std::string pageAnswer(std::string_view request, std::string_view theme = "system") {
    return httpResponse("403 Forbidden", "text/html; charset=utf-8", blockedPage(request, theme));
}
std::string scriptAnswer(const RuleLists& rules = kInitialRules) {
    return httpResponse("200 OK", "application/x-ns-proxy-autoconfig", pacScript(rules));
}
std::string documentAnswer(const RuleLists& rules = kInitialRules) {
    return httpResponse("200 OK", "application/json; charset=utf-8", configDocument(rules));
}

bool send(Tcp::socket& socket, std::string_view bytes) {
    std::error_code error;
    asio::write(socket, asio::buffer(bytes), error);
    return !error;
}

// Everything until the server's orderly close; after a reset, the reason in parentheses.
std::string receiveAll(Tcp::socket& socket) {
    std::string received;
    std::error_code error;
    asio::read(socket, asio::dynamic_buffer(received), error);
    return error == asio::error::eof ? received : "(" + error.message() + ")";
}

class LocalBlockServerTest : public ::testing::Test {
  protected:
    void start(std::chrono::milliseconds idleTimeout = LocalBlockServer::kDefaultIdleTimeout) {
        server = std::make_unique<LocalBlockServer>(clock, defaults, port, idleTimeout);
        server->start();
        ASSERT_TRUE(server->isRunning());
    }
    // Not open when refused. `receiveBuffer` (bytes) limits what the server can send ahead.
    Tcp::socket connect(const char* address = "127.0.0.1", int receiveBuffer = 0) {
        Tcp::socket socket(io, Tcp::v4());
        if (receiveBuffer > 0) {
            socket.set_option(Tcp::socket::receive_buffer_size(receiveBuffer));
        }
        std::error_code error;
        socket.connect({asio::ip::make_address(address), port}, error);
        return error ? Tcp::socket(io) : std::move(socket);
    }
    // Sends one request, closes the sending side, returns the whole answer.
    std::string answerTo(std::string_view request) {
        Tcp::socket socket = connect();
        send(socket, request);
        socket.shutdown(Tcp::socket::shutdown_send);
        return receiveAll(socket);
    }

    asio::io_context io;
    std::shared_ptr<SettableClock> clock = std::make_shared<SettableClock>();
    std::shared_ptr<MemoryUserDefaults> defaults = std::make_shared<MemoryUserDefaults>();
    std::uint16_t port = Tcp::acceptor(io, {asio::ip::address_v4::loopback(), 0})
                             .local_endpoint()
                             .port();  // free once the acceptor is gone
    std::unique_ptr<LocalBlockServer> server;
};

TEST_F(LocalBlockServerTest, EveryRouteAnswersWithItsWholeAnswer) {
    // Fails when an answer's route, headers or length, or the stored appearance (read for
    // every page; "system" when none is stored) go wrong between the reader and the socket.
    const std::string head = "HEAD /proxy.pac HTTP/1.1\r\n\r\n";
    const std::string connect = "CONNECT video.example:443 HTTP/1.1\r\nHost: x\r\n\r\n";
    start();
    for (const char* theme : {"system", "light"}) {  // the second pass: from what was kept
        const std::pair<std::string, std::string> rows[] = {
            {"GET /proxy.pac HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", scriptAnswer()},
            {kDocumentRequest, documentAnswer()},
            {"GET /track-block?url=a.example HTTP/1.1\r\n\r\n",
             httpResponse("204 No Content", "text/plain; charset=utf-8", "")},
            {head, pageAnswer(head, theme)},
            {connect, pageAnswer(connect, theme)},
            {"", pageAnswer("", theme)},
            {"GET /proxy.pac\xff HTTP/1.1\r\n\r\n", pageAnswer("", theme)},  // not UTF-8
        };
        for (const auto& [request, answer] : rows) {
            EXPECT_EQ(answerTo(request), answer) << request;
        }
        defaults->setObject("kestralune.appearance", "light");
    }
}

TEST_F(LocalBlockServerTest, AnswerArrivesWholeWhileTheClientIsStillSending) {
    // Fails when the server closes with unread input: the reset loses the answer in flight.
    const std::string fill(70'000, 'a');
    const std::vector<std::vector<std::string>> rows = {
        {"GET /big HTTP/1.1\r\nX-Fill: " + fill + "\r\n\r\n"},
        {"POST http://a.example/ HTTP/1.1\r\nContent-Length: 300000\r\n\r\n" + fill + fill},
        {"POST /form HTTP/1.1\r\nContent-Length: 5\r\n\r\n", "hello"},
        {"GET /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "5\r\nhello\r\n0\r\n\r\n"},
    };
    start();
    for (const auto& parts : rows) {
        Tcp::socket client = connect();
        for (const auto& part : parts) {
            ASSERT_TRUE(send(client, part));
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(receiveAll(client),
                  pageAnswer(parts[0].substr(0, RequestReader::kMaxRequestBytes)))
            << parts[0].substr(0, 60);
    }
}

TEST_F(LocalBlockServerTest, SlowReaderOfALongAnswerGetsItWholeAfterTheIdleTime) {
    // Fails when the idle limit cuts an answer still being written, or one too large for
    // the socket at once is not finished.
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
    Tcp::socket client = connect("127.0.0.1", 4096);
    ASSERT_TRUE(send(client, "GET /proxy.pac HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(400ms);
    const std::string answer = receiveAll(client);
    EXPECT_EQ(answer.size(), expected.size());
    EXPECT_TRUE(answer == expected);
}

TEST_F(LocalBlockServerTest, ClientThatKeepsSendingAfterItsAnswerIsClosedWithinTheBound) {
    // Fails when an answered client that floods (byte bound) or trickles (time bound) holds
    // its connection for ever.
    start();
    for (const auto& [chunk, pause] :
         {std::pair{std::string(65536, 'x'), 0ms}, std::pair{std::string("x"), 50ms}}) {
        Tcp::socket client = connect();
        ASSERT_TRUE(send(client, "POST /up HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n"));
        int sends = 0;
        for (; sends < 1000 && send(client, chunk); ++sends) {
            std::this_thread::sleep_for(pause);
        }
        EXPECT_LT(sends, 1000) << "chunks of " << chunk.size();
    }
}

TEST_F(LocalBlockServerTest, UpdateIsSeenByTheNextRequest) {
    // Fails when update does not merge in or drop the always-allowed names, or the script
    // and document of the old rules stay in place.
    start();
    ASSERT_EQ(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"), scriptAnswer());
    ASSERT_EQ(answerTo(kDocumentRequest), documentAnswer());
    const std::string allowed(alwaysAllowedDomains().front());
    server->update({"notes.example"}, {"video.example", allowed}, false);
    RuleLists expected{{"notes.example"}, {"video.example"}, false};
    expected.exceptionDomains.insert(expected.exceptionDomains.end(),
                                     alwaysAllowedDomains().begin(), alwaysAllowedDomains().end());
    EXPECT_EQ(answerTo(kDocumentRequest), documentAnswer(expected));
    EXPECT_EQ(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"), scriptAnswer(expected));
}

TEST_F(LocalBlockServerTest, AttemptsCountOncePerHostEveryThirtySeconds) {
    // Fails when the cooldown is missing, refreshed or shared, one host gets two keys, the
    // page's own address or a report without "url" counts, or reset forgets nothing.
    const auto track = [](std::string_view url) {
        return "GET /track-block?url=" + std::string(url) + " HTTP/1.1\r\n\r\n";
    };
    const struct {
        double secondsLater;  // than the step before
        std::string request;  // empty: resetBlockedRequests()
        std::int64_t countAfter;
    } steps[] = {
        {0, track("https%3A%2F%2Fvideo.example%2Fa"), 1},
        {10, track("https%3A%2F%2Fvideo.example%2Fb"), 1},
        {5, track("https%3A%2F%2Fchat.example%2F"), 2},
        {14.9, "CONNECT video.example:443 HTTP/1.1\r\n\r\n", 2},  // 29.9 s after the first
        {1.1, "GET http://www.video.example/x HTTP/1.1\r\n\r\n", 3},
        {0, "GET /track-block HTTP/1.1\r\n\r\n", 3},
        {0, "GET /blocked?url=http%3A%2F%2Fother.example%2F HTTP/1.1\r\n\r\n", 3},
        {0, "PUT http://upload.example/ HTTP/1.1\r\n\r\n", 4},
        {0, "", 0},
        {0, "CONNECT video.example:443 HTTP/1.1\r\n\r\n", 1},
    };
    start();
    for (const auto& step : steps) {
        clock->advance(step.secondsLater);
        if (step.request.empty()) {
            server->resetBlockedRequests();
        } else {
            ASSERT_TRUE(answerTo(step.request).starts_with("HTTP/1.1 "));
        }
        EXPECT_EQ(server->blockedRequestCount(), step.countAfter) << step.request;
    }
}

TEST_F(LocalBlockServerTest, StartStopAndATakenPort) {
    // Fails when start twice listens twice, the listener reaches beyond the loopback, stop
    // keeps the port or cuts accepted connections, TIME_WAIT refuses a restart, or a start on
    // a taken port runs, logs nothing or cannot be retried.
    std::vector<std::string> lines;  // written on the server's queue, read after a query
    const LogSink previous = setLogSink([&](std::string_view line) { lines.emplace_back(line); });
    start();
    server->start();
    Tcp::socket accepted = connect();
    ASSERT_TRUE(send(accepted, "GET /config"));
    ASSERT_EQ(answerTo(kDocumentRequest), documentAnswer());  // so `accepted` has been
    EXPECT_FALSE(connect("127.0.0.2").is_open());
    LocalBlockServer second(clock, defaults, port);
    second.start();
    EXPECT_FALSE(second.isRunning());
    server->stop();
    EXPECT_FALSE(server->isRunning());
    EXPECT_FALSE(connect().is_open());
    ASSERT_TRUE(send(accepted, ".json HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(receiveAll(accepted), documentAnswer());
    second.start();
    ASSERT_TRUE(second.isRunning());
    EXPECT_EQ(answerTo(kDocumentRequest), documentAnswer());
    second.stop();
    ASSERT_FALSE(second.isRunning());  // its listener is closed before the next start
    server->start();
    ASSERT_TRUE(server->isRunning());
    EXPECT_EQ(answerTo(kDocumentRequest), documentAnswer());
    setLogSink(previous);
    EXPECT_EQ(lines, std::vector<std::string>{
                         "Kestralune block server failed to start: Address already in use"});
}

TEST_F(LocalBlockServerTest, WaitingConnectionsHoldUpNoOneAndAreClosedAfterTheIdleTime) {
    // Fails when connections waiting for their request (silent, or stopped mid-line) hold up
    // the queue, exhaust the listener's backlog, or stay open for ever.
    start(200ms);
    std::vector<Tcp::socket> idle;
    for (int i = 0; i < 600; ++i) {
        idle.push_back(connect());
        ASSERT_TRUE(idle.back().is_open() && (i % 2 == 0 || send(idle.back(), "GET /proxy")));
    }
    EXPECT_EQ(answerTo("GET /proxy.pac HTTP/1.1\r\n\r\n"), scriptAnswer());
    EXPECT_EQ(receiveAll(idle[0]), "");
    EXPECT_EQ(receiveAll(idle[1]), "");
}

TEST_F(LocalBlockServerTest, DestroyedServerClosesPendingConnectionsWithoutAnswering) {
    // Fails when a destroyed server answers, or its handlers outlive it (sanitizer build).
    start();
    Tcp::socket silent = connect();
    Tcp::socket partial = connect();
    ASSERT_TRUE(send(partial, "GET /proxy.pac"));
    ASSERT_EQ(answerTo(kDocumentRequest), documentAnswer());
    server.reset();
    send(silent, "GET /proxy.pac HTTP/1.1\r\n\r\n");
    send(partial, " HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(receiveAll(silent).starts_with("HTTP"));
    EXPECT_FALSE(receiveAll(partial).starts_with("HTTP"));
    EXPECT_FALSE(connect().is_open());
}

TEST_F(LocalBlockServerTest, OutOfDescriptorsTheServerMakesRoomOrRetries) {
    // Fails when EMFILE ends the accept loop: it must give up a stalled connection, or retry.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    for (const bool stalledClient : {true, false}) {
        start();
        Tcp::socket stalled = stalledClient ? connect() : Tcp::socket(io);
        ASSERT_TRUE(!stalledClient || send(stalled, "GET /pro"));
        ASSERT_EQ(answerTo(kDocumentRequest), documentAnswer());  // stalled is accepted
        // Every descriptor slot taken but one, which the client takes.
        const rlimit low{64, saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> fillers;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
            fillers.push_back(fd);
        }
        ::close(fillers.back());
        fillers.pop_back();
        Tcp::socket client = connect();
        EXPECT_TRUE(send(client, kDocumentRequest));
        if (stalledClient) {
            EXPECT_FALSE(receiveAll(stalled).starts_with("HTTP"));
        } else {
            ::close(fillers.back());
            fillers.pop_back();
        }
        EXPECT_EQ(receiveAll(client), documentAnswer());
        std::for_each(fillers.begin(), fillers.end(), ::close);
        setrlimit(RLIMIT_NOFILE, &saved);
    }
}

}  // namespace
}  // namespace kestralune
