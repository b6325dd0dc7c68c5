// Reading, routing and naming a request: pure functions of its text.
#include "blockserver/blocked_page.h"
#include "blockserver/request_reader.h"
#include "blockserver/request_router.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestralune {
namespace {

// Fails if routing ignores case or method, is not anchored at the start, or is not a prefix test.
TEST(RouteForTest, RoutesByExactPrefixOfTheWholeText) {
    const std::pair<std::string, Route> rows[] = {
        {"GET /proxy.pac HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", Route::proxyPac},
        {"GET /proxy.pacman?v=2 HTTP/1.1\r\n", Route::proxyPac},
        {"GET /config.json HTTP/1.1\r\n", Route::configJson},
        {"GET /track-block HTTP/1.1\r\n", Route::trackBlock},
        {"HEAD /proxy.pac HTTP/1.1\r\n", Route::blocked},
        {"get /proxy.pac HTTP/1.1\r\n", Route::blocked},
        {"POST /config.json HTTP/1.1\r\n", Route::blocked},
        {" GET /proxy.pac HTTP/1.1\r\n", Route::blocked},
        {"GET /proxy.pa", Route::blocked},
        {"", Route::blocked},
    };
    for (const auto& [request, route] : rows) {
        EXPECT_EQ(routeFor(request), route) << request;
    }
}

// Fails if method words are removed only at the start or rescanned, a "url" item is taken
// from the wrong place or decoded wrongly ("+" stays), a target without one is not named as
// it is, one host gets two keys in its different forms, or a direct path gets a key.
TEST(RequestTextTest, TargetsNamesAndHostKeys) {
    using Function = std::string (*)(std::string_view);
    const struct {
        Function function;
        std::string input;
        std::string expected;
    } rows[] = {
        {requestTarget, "GET http://a.test/b?c HTTP/1.1\r\nHost: a.test\r\n", "http://a.test/b?c"},
        {requestTarget, "CONNECT a.test:443 HTTP/1.1\r\n", "a.test:443"},
        {requestTarget, "GET /GET /x HTTP/1.1\r\n", "//x"},
        {requestTarget, "GEGET T /x HTTP/1.1\r\n", "GET"},
        {requestTarget, "OPTIONS * HTTP/1.1\r\n", "OPTIONS"},
        {trackedBlockTarget, "GET /track-block?url=http%3A%2F%2Fa.test HTTP/1.1\r\n",
         "http://a.test"},
        {trackedBlockTarget, "GET /track-block?s=f&url=a+b.test&url=c HTTP/1.1\r\n", "a+b.test"},
        {trackedBlockTarget, "GET /track-block?url HTTP/1.1\r\n", "/track-block?url"},
        {blockedPageTarget, "GET /blocked?url=http%3A%2F%2Fa.test%2F%3Fc HTTP/1.1\r\n",
         "http://a.test/?c"},
        {blockedPageTarget, "POST /blocked?x=1&%75rl=a+b&url=second HTTP/1.1\r\n", "a+b"},
        {blockedPageTarget, "GET http://site.test/blocked?url=a HTTP/1.1\r\n", "a"},
        {blockedPageTarget, "GET /blocked?url= HTTP/1.1\r\n", ""},
        {blockedPageTarget, "GET /blocked?url HTTP/1.1\r\n", "/blocked?url"},
        {blockedPageTarget, "GET /blocked/?url=a HTTP/1.1\r\n", "/blocked/?url=a"},
        {blockedPageTarget, "GET /blocked?url=%zz HTTP/1.1\r\n", "/blocked?url=%zz"},  // no URL
        {normalizedBlockedTarget, "http://WWW.Example.com/path?q=1", "example.com"},
        {normalizedBlockedTarget, "www.example.com:443", "example.com"},
        {normalizedBlockedTarget, "http://example.com./x", "example.com"},
        {normalizedBlockedTarget, "http://user:secret@ex%41mple.com:8080/", "example.com"},
        {normalizedBlockedTarget, "http://[2001:DB8::1]:8080/", "2001:db8::1"},
        {normalizedBlockedTarget, "[2001:db8::1]:443", "2001:db8::1"},
        {normalizedBlockedTarget, "HEAD", "head"},
        {normalizedBlockedTarget, "/blocked?url=a", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.function(row.input), row.expected) << row.input;
    }
}

// Fails if a header changes, the blank line is missing, or the length counts characters.
TEST(HttpResponseTest, WritesFixedHeadersAndByteLength) {
    EXPECT_EQ(httpResponse("200 OK", "application/json; charset=utf-8", "\xC3\xA4\xF0\x9F\xA6\x81"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 6\r\nConnection: close\r\nCache-Control: no-store\r\n"
              "Access-Control-Allow-Origin: *\r\n\r\n\xC3\xA4\xF0\x9F\xA6\x81");
}

// Fails when the reader routes before the first line is whole (or misses its end across
// chunks), waits past the limit or keeps bytes beyond it, validates per chunk, or takes a
// client that may still send for one that cannot (the close would reset the connection).
TEST(RequestReaderTest, CompletesOnLineEndOrLimitAndKnowsWhetherMoreMayArrive) {
    const std::string full(RequestReader::kMaxRequestBytes - 1, 'a');
    const struct {
        std::vector<std::string> chunks;
        std::string text;  // "-": not checked
        bool moreMayArrive;
    } rows[] = {
        {{"GET /a HTTP/1.1\r\nHost: x\r\n\r\n"}, "GET /a HTTP/1.1\r\nHost: x\r\n\r\n", false},
        {{"GET /\r", "\n\r\n", "ignored"}, "GET /\r\n\r\n", false},
        {{"GET /x\n", "\r", "x\n"}, "(incomplete)", true},  // a bare LF is no line end
        {{full, "bc\r\n\r\n"}, full + "b", true},
        {{"GET /\xff HTTP/1.1\r\n"}, "", true},  // not UTF-8
        {{"GET /\xF0\x9F", "\xA6\x81 HTTP/1.1\r\n"}, "GET /\xF0\x9F\xA6\x81 HTTP/1.1\r\n", true},
        {{"POST / HTTP/1.1\r\ncontent-LENGTH: 000\r\n\r\n"}, "-", false},
        {{"POST / HTTP/1.1\r\nContent-Length:  5 \r\n\r\n"}, "-", true},
        {{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"}, "-", true},
        {{"GET / HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n"}, "-", true},
    };
    for (const auto& [chunks, text, more] : rows) {
        RequestReader reader;
        std::for_each(chunks.begin(), chunks.end(), [&](auto& chunk) { reader.append(chunk); });
        if (text != "-") {
            EXPECT_EQ(reader.isComplete() ? reader.requestText() : "(incomplete)", text);
        }
        EXPECT_EQ(reader.moreMayArrive(), more) << chunks[0].substr(0, 50);
    }
    RequestReader closed;
    closed.append("CONNECT a.example:443");
    EXPECT_EQ(closed.peerClosed(), RequestReader::Progress::complete);
    EXPECT_EQ(closed.requestText(), "CONNECT a.example:443");
    EXPECT_FALSE(closed.moreMayArrive());
}

}  // namespace
}  // namespace kestralune
