#include "blockserver/pac_script.h"
#include "tests/support/text_lines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "blockserver/domain_rules.h"

namespace kestralune {
namespace {

using ::testing::HasSubstr;

// Fails on any changed byte of the script outside the three insertion points, including
// the trailing-dot handling on lines 5 and 6 and the missing final line feed.
TEST(PacScriptTest, MatchesGoldenBytes) {
    const RuleLists rules{{"Example.COM", "github.com/Org/"}, {"https://a.test/", "a.test"}, false};
    const std::string expected = R"js(function FindProxyForURL(url, host) {
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
})js";
    const std::string script = pacScript(rules);
    EXPECT_EQ(script, expected);
    EXPECT_EQ(linesOf(script).size(), 32u);
}

// Fails if the flag is written wrongly, the blocked list is dropped while everything is
// blocked, or an empty list leaves anything between the brackets.
TEST(PacScriptTest, WritesFlagAndListsInEveryState) {
    const auto allBlocked = linesOf(pacScript({{}, {"a.test"}, true}));
    EXPECT_EQ(allBlocked[1], "  var allWebsitesBlocked = true;");
    EXPECT_EQ(allBlocked[2], "  var exceptions = [];");
    EXPECT_EQ(allBlocked[3], "  var blocked = [\"a.test\"];");

    const auto nothingBlocked = linesOf(pacScript({{"b.test"}, {}, false}));
    EXPECT_EQ(nothingBlocked[1], "  var allWebsitesBlocked = false;");
    EXPECT_EQ(nothingBlocked[3], "  var blocked = [];");
}

// Fails if the initial state does not carry the default exceptions widened by their
// companions (chatgpt.com brings openai.com).
TEST(PacScriptTest, InitialStateListsExpandedDefaultExceptions) {
    const RuleLists initial{defaultExceptionDomainList(), {}, true};
    const auto lines = linesOf(pacScript(initial));
    EXPECT_EQ(lines[2], "  var exceptions = [" +
                            quotedRuleList(normalizedRules(defaultExceptionDomainList())) + "];");
    EXPECT_THAT(lines[2], HasSubstr("\"openai.com\""));
    EXPECT_THAT(lines[2], HasSubstr("\"github.com\""));
}

// Fails if the document's fixed pieces, key order or quoting differ from the one-line form.
TEST(ConfigDocumentTest, MatchesGoldenBytes) {
    const RuleLists rules{{"Example.COM", "github.com/Org/"}, {"https://a.test/", "a.test"}, false};
    EXPECT_EQ(configDocument(rules),
              R"({"active":true,"allWebsitesBlocked":false,"exceptions":["example.com",)"
              R"("github.com/org"],"blockedDomains":["a.test"],)"
              R"("blockUrl":"http://127.0.0.1:18081/blocked"})");
    EXPECT_EQ(configDocument({}),
              R"({"active":true,"allWebsitesBlocked":true,"exceptions":[],"blockedDomains":[],)"
              R"("blockUrl":"http://127.0.0.1:18081/blocked"})");
}

// Fails if a character that ends or corrupts a JavaScript or JSON string goes through raw,
// if the order of backslash and quote escaping is wrong (a quote's backslash doubled), or
// if ordinary non-ASCII text is escaped needlessly.
TEST(QuotedRuleListTest, EscapesWhatWouldBreakAScriptOrJsonString) {
    const struct {
        std::vector<std::string> rules;
        std::string expected;
    } rows[] = {
        {{}, ""},
        {{"a.test", "b.test/x"}, R"("a.test","b.test/x")"},
        {{"a\"b"}, R"("a\"b")"},
        {{"a\\b"}, R"("a\\b")"},
        {{"\\\""}, R"("\\\"")"},
        {{"a\nb\r\tc"}, R"("a\u000ab\u000d\u0009c")"},
        {{std::string("a\0b", 3)}, R"("a\u0000b")"},
        {{"a\x1f\x7f"}, R"("a\u001f\u007f")"},
        {{"a\xC2\x85\xC2\x9F\xC2\xA0"}, "\"a\\u0085\\u009f\xC2\xA0\""},  // C1 escaped, NBSP not
        {{"a\xE2\x80\xA8\xE2\x80\xA9"
          "b"},
         R"("a\u2028\u2029b")"},
        {{"\xC3\xA4.de", "\xF0\x9F\xA6\x81.ws"}, "\"\xC3\xA4.de\",\"\xF0\x9F\xA6\x81.ws\""},
        {{"a\xFF"
          "b\xE2\x82"},
         R"("a\ufffdb\ufffd\ufffd")"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(quotedRuleList(row.rules), row.expected) << row.expected;
    }
}

// Fails if any rule text can make the document invalid JSON or change what it says: the
// parsed lists must be the prepared rules themselves, and equal the script's lists.
TEST(ConfigDocumentTest, StaysValidJsonForHostileRulesAndMatchesScriptLists) {
    const RuleLists rules{{"quote\"d.test", "back\\slash.test", "line\nbreak.test"},
                          {"sep\xE2\x80\xA8.test", "nul" + std::string(1, '\0') + ".test",
                           "bad\xFF.test", "reddit.com"},
                          false};
    const std::string document = configDocument(rules);
    const auto json = nlohmann::json::parse(document);
    EXPECT_EQ(json["exceptions"].get<std::vector<std::string>>(),
              normalizedRules(rules.exceptionDomains));
    std::vector<std::string> blocked = normalizedRules(rules.blockedDomains);
    for (auto& rule : blocked) {
        if (rule == "bad\xFF.test") {
            rule = "bad\xEF\xBF\xBD.test";  // U+FFFD
        }
    }
    EXPECT_EQ(json["blockedDomains"].get<std::vector<std::string>>(), blocked);
    EXPECT_EQ(json["blockUrl"], "http://127.0.0.1:18081/blocked");

    const auto scriptLines = linesOf(pacScript(rules));
    EXPECT_EQ(scriptLines.size(), 32u);
    EXPECT_THAT(document, HasSubstr("\"exceptions\":[" +
                                    scriptLines[2].substr(20, scriptLines[2].size() - 22) + "]"));
    EXPECT_THAT(document, HasSubstr("\"blockedDomains\":[" +
                                    scriptLines[3].substr(17, scriptLines[3].size() - 19) + "]"));
}

}  // namespace
}  // namespace kestralune
