#include "blockserver/blocked_page.h"
#include "tests/support/text_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestralune {
namespace {

// Fails on any changed byte of the page, including the emoji's UTF-8 encoding and a final
// line feed that must not be there.
TEST(BlockedPageTest, MatchesGoldenBytes) {
    const std::string expected = R"page(<!doctype html>
<html data-theme="dark">
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <title>Blocked by Kestralune</title>
  <style>
    html, body { height: 100%; margin: 0; background: #000; color: #fff; font-family: -apple-system, BlinkMacSystemFont, "SF Pro Display", sans-serif; }
    :root { --bg: #000; --fg: #fff; --muted: #bdbdbd; color-scheme: dark; }
    :root[data-theme="light"] { --bg: #fff; --fg: #111; --muted: #555; color-scheme: light; }
    @media (prefers-color-scheme: light) { :root[data-theme="system"] { --bg: #fff; --fg: #111; --muted: #555; color-scheme: light; } }
    html, body { background: var(--bg); color: var(--fg); }
    body { display: grid; place-items: center; }
    main { width: min(560px, calc(100vw - 48px)); text-align: center; }
    .emoji { font-size: 72px; line-height: 1; margin-bottom: 28px; }
    h1 { font-size: clamp(36px, 7vw, 72px); font-weight: 500; margin: 0 0 18px; letter-spacing: 0; }
    p { color: var(--muted); font-size: 18px; line-height: 1.45; margin: 0 auto 28px; }
    code { color: var(--fg); font-family: inherit; font-weight: 500; }
    button { appearance: none; border: 0; border-radius: 8px; padding: 12px 18px; background: var(--fg); color: var(--bg); font-size: 15px; font-weight: 500; }
  </style>
</head>
<body>
  <main>
    <div class="emoji">)page"
                                 "\xF0\x9F\xA6\x81"
                                 R"page(</div>
    <h1>Roar Past</h1>
    <p><code>example.com:443</code> is blocked by Kestralune.</p>
    <button onclick="history.back()">Back to focus</button>
  </main>
</body>
</html>)page";
    const std::string page = blockedPage("CONNECT example.com:443 HTTP/1.1\r\n\r\n", "dark");
    EXPECT_EQ(page, expected);
    EXPECT_EQ(linesOf(page).size(), 30u);
}

// Fails if markup in the target or in the stored appearance reaches the page unescaped.
TEST(BlockedPageTest, EscapesShownTargetAndTheme) {
    const auto lines = linesOf(
        blockedPage("GET /blocked?url=%3Cscript%3E%22x%22%26%27 HTTP/1.1\r\n", "light\"><script>"));
    EXPECT_EQ(lines[1], "<html data-theme=\"light&quot;&gt;&lt;script&gt;\">");
    EXPECT_EQ(lines[25],
              "    <p><code>&lt;script&gt;&quot;x&quot;&amp;&#39;</code> is blocked by "
              "Kestralune.</p>");
    EXPECT_EQ(linesOf(blockedPage("", "system"))[1], "<html data-theme=\"system\">");
}

// Fails if an empty request does not leave SHOWN empty.
TEST(BlockedPageTest, EmptyRequestNamesNothing) {
    EXPECT_EQ(linesOf(blockedPage("", "system"))[25],
              "    <p><code></code> is blocked by Kestralune.</p>");
}

// Fails if the entities are applied in the wrong order (double-escaping the produced
// entities) or an existing entity is left alone.
TEST(EscapeForHtmlTest, AppliesTheFiveEntitiesOnce) {
    const struct {
        std::string text;
        std::string expected;
    } rows[] = {
        {"a<b>&\"c\"'d'", "a&lt;b&gt;&amp;&quot;c&quot;&#39;d&#39;"},
        {"&amp;", "&amp;amp;"},
        {"&lt;", "&amp;lt;"},
        {"plain \xF0\x9F\xA6\x81", "plain \xF0\x9F\xA6\x81"},
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(escapeForHTML(row.text), row.expected) << row.text;
    }
}

// Fails if the "url" item is taken from the wrong path or item, decoded wrongly ("+" is
// not a space), or if anything but a valid GET/POST of exactly "/blocked" with a valued
// "url" item is named differently from its target.
TEST(BlockedPageTargetTest, NamesDecodedUrlItemOfBlockedElseTheTarget) {
    const struct {
        std::string request;
        std::string expected;
    } rows[] = {
        {"GET /blocked?url=https%3A%2F%2Fexample.com%2Fa%3Fb%3D1 HTTP/1.1\r\nHost: x\r\n\r\n",
         "https://example.com/a?b=1"},
        {"POST /blocked?url=a.test HTTP/1.1\r\n", "a.test"},
        {"GET /blocked?x=1&url=first&url=second HTTP/1.1\r\n", "first"},
        {"GET /blocked?%75rl=named%20by%20escape HTTP/1.1\r\n", "named by escape"},
        {"GET /blocked?url=a+b HTTP/1.1\r\n", "a+b"},
        {"GET /blocked?url=a#fragment HTTP/1.1\r\n", "a"},
        {"GET /blocked?url= HTTP/1.1\r\n", ""},
        {"GET /blocked?url HTTP/1.1\r\n", "/blocked?url"},
        {"GET /blocked?x=1 HTTP/1.1\r\n", "/blocked?x=1"},
        {"GET /blocked HTTP/1.1\r\n", "/blocked"},
        {"GET /blocked/?url=a HTTP/1.1\r\n", "/blocked/?url=a"},
        {"GET /blockedx?url=a HTTP/1.1\r\n", "/blockedx?url=a"},
        {"GET /other?url=a HTTP/1.1\r\n", "/other?url=a"},
        {"GET /blocked?url=%zz HTTP/1.1\r\n", "/blocked?url=%zz"},  // not a URL
        {"GET /blocked?url=%FF HTTP/1.1\r\n", "/blocked?url=%FF"},  // decodes to non-text
        {"GET /blocked?url=a|b HTTP/1.1\r\n", "/blocked?url=a|b"},  // not a URL
        {"GET http://site.test/blocked?url=a HTTP/1.1\r\n", "a"},
        {"GET http://example.com/x HTTP/1.1\r\n", "http://example.com/x"},
        {"CONNECT example.com:443 HTTP/1.1\r\n", "example.com:443"},
        {"HEAD / HTTP/1.1\r\n", "HEAD"},
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(blockedPageTarget(row.request), row.expected) << row.request;
    }
}

}  // namespace
}  // namespace kestralune
