// The three bodies: one golden comparison each, and the escaping that keeps them whole.
#include "blockserver/blocked_page.h"
#include "blockserver/pac_script.h"

#include <gtest/gtest.h>

namespace kestralune {
namespace {

const RuleLists kRules{{"Example.COM", "github.com/Org/"}, {"https://a.test/", "a.test"}, false};

// Fails on any changed byte of the script, the final line feed that must not be there included.
TEST(PacScriptTest, MatchesGoldenBytes) {
    EXPECT_EQ(pacScript(kRules), R"js(function FindProxyForURL(url, host) {
  var allWebsitesBlocked = false;
  var exceptions = ["example.com","github.com/org"];
  var blocked = ["a.test"];
  var lowerUrl = url.toLowerCase().replace(/^https?:\/\/(www\.)?/, "").replace(/^([^\/:?#]*)\.(?=[\/:?#]|$)/, "$1");
  var lowerHost = host.toLowerCase().replace(/\.$/, "").replace(/^www\./, "");

  function matches(rule) {
    rule = rule.toLowerCase().replace(/^www\./, "");
    if (rule.indexOf("/") >= 0) {
      return lowerUrl === rule || lowerUrl.indexOf(rule + "/") === 0;
    }
    return lowerHost === rule || dnsDomainIs(lowerHost, "." + rule);
  }

  for (var i = 0; i < exceptions.length; i++) {
    if (matches(exceptions[i])) {
      return "DIRECT";
    }
  }

  if (!allWebsitesBlocked) {
    for (var b = 0; b < blocked.length; b++) {
      if (matches(blocked[b])) {
        return "PROXY 127.0.0.1:18081";
      }
    }
    return "DIRECT";
  }

  return "PROXY 127.0.0.1:18081";
})js");
}

// Fails if the document's fixed pieces, key order, flag or quoting change.
TEST(ConfigDocumentTest, MatchesGoldenBytes) {
    EXPECT_EQ(configDocument(kRules),
              R"({"active":true,"allWebsitesBlocked":false,"exceptions":["example.com",)"
              R"("github.com/org"],"blockedDomains":["a.test"],)"
              R"("blockUrl":"http://127.0.0.1:18081/blocked"})");
    EXPECT_EQ(configDocument({}),
              R"({"active":true,"allWebsitesBlocked":true,"exceptions":[],)"
              R"("blockedDomains":[],"blockUrl":"http://127.0.0.1:18081/blocked"})");
}

// Fails if what ends or corrupts a JavaScript or JSON string (a quote, a control, bytes that
// are not UTF-8) goes through raw, escapes are doubled, or plain non-ASCII text is escaped.
TEST(QuotedRuleListTest, EscapesWhatWouldBreakAScriptOrJsonString) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"a.test", "b.test/x"}, R"("a.test","b.test/x")"},
        {{"a\"b", "a\\b", "\\\""}, R"("a\"b","a\\b","\\\"")"},
        {{std::string("a\n\r\t\0\x1f\x7f", 7)}, R"("a\u000a\u000d\u0009\u0000\u001f\u007f")"},
        {{"\xC2\x85\xC2\xA0"}, "\"\\u0085\xC2\xA0\""},  // C1 control escaped, NBSP not
        {{"a\xE2\x80\xA8\xE2\x80\xA9"}, R"("a\u2028\u2029")"},
        {{"\xC3\xA4.de", "\xF0\x9F\xA6\x81.ws"}, "\"\xC3\xA4.de\",\"\xF0\x9F\xA6\x81.ws\""},
        {{"a\xFF"
          "b\xE2\x82"},
         R"("a\ufffdb\ufffd\ufffd")"},
    };
    for (const auto& [rules, expected] : rows) {
        EXPECT_EQ(quotedRuleList(rules), expected);
    }
}

// Fails on any changed byte of the page, the emoji's UTF-8 bytes included.
TEST(BlockedPageTest, MatchesGoldenBytes) {
    EXPECT_EQ(blockedPage("CONNECT example.com:443 HTTP/1.1\r\n\r\n", "dark"),
              R"page(<!doctype html>
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
</html>)page");
}

// Fails if markup in the target or the appearance reaches the page, or entities are doubled
// or an entity already written is left alone.
TEST(BlockedPageTest, EscapesShownTargetAndTheme) {
    const std::string page =
        blockedPage("GET /blocked?url=%3Cb%3E%22x%22%26%27%26amp; HTTP/1.1\r\n", "light\"><b>");
    EXPECT_NE(page.find("<html data-theme=\"light&quot;&gt;&lt;b&gt;\">"), std::string::npos);
    EXPECT_NE(page.find("<code>&lt;b&gt;&quot;x&quot;&amp;&#39;&amp;amp;</code> is blocked"),
              std::string::npos);
}

}  // namespace
}  // namespace kestralune
