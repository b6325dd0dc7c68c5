// Runs the generated script in a real PAC engine (pacparser, SpiderMonkey underneath) to
// check what the script decides, not only how it reads.
#include "blockserver/pac_script.h"

#include <gtest/gtest.h>
#include <pacparser.h>

// pacparser 1.3.6 leaks the escaped copies of its arguments on every call; the leak is the
// library's, so the sanitizer build is told to look past it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpacparser.so\n";
}

namespace kestralune {
namespace {

constexpr const char* kDirect = "DIRECT";
constexpr const char* kProxy = "PROXY 127.0.0.1:18081";

// The host of each URL is passed as a browser would. pacparser has one global context.
void expectDecisions(const RuleLists& rules,
                     const std::vector<std::pair<std::string, const char*>>& visits) {
    pacparser_init();
    ASSERT_NE(pacparser_parse_pac_string(pacScript(rules).c_str()), 0);
    for (const auto& [url, expected] : visits) {
        const std::size_t start = url.find("://") + 3;
        const std::string host = url.substr(start, url.find_first_of(":/", start) - start);
        EXPECT_STREQ(pacparser_find_proxy(url.c_str(), host.c_str()), expected) << url;
    }
    pacparser_cleanup();
}

// Fails if host rules miss sub-domains, "www.", case or a trailing dot, or match a mere
// suffix; or a path rule matches by host, a longer segment or a glued query.
TEST(PacEngineTest, HostRulesMatchSubdomainsAndPathRulesThePathAndBelow) {
    expectDecisions({{}, {"Example.com", "news.test.", "https://www.paths.test/World/"}, false},
                    {{"https://deep.sub.example.com/", kProxy},
                     {"http://WWW.EXAMPLE.COM/A", kProxy},
                     {"https://sub.example.com.:8443/", kProxy},
                     {"http://news.test/", kProxy},
                     {"http://notexample.com/", kDirect},
                     {"http://example.com.evil.test/", kDirect},
                     {"http://other.test/example.com", kDirect},
                     {"https://PATHS.test/World/europe?x=1", kProxy},
                     {"https://www.paths.test./world", kProxy},
                     {"http://paths.test/worldwide", kDirect},
                     {"http://paths.test/world?x=1", kDirect},
                     {"http://paths.test/", kDirect},
                     {"http://sub.paths.test/world", kDirect}});
}

// Fails if blocked rules come before exceptions, all-blocked mode lets anything else
// through, or a listed site's companions are not diverted with it.
TEST(PacEngineTest, ExceptionsFirstThenEverythingOrTheBlockedList) {
    expectDecisions(
        {{"docs.example.com", "example.com/open"}, {"example.com", "youtube.com"}, false},
        {{"http://a.docs.example.com./", kDirect},
         {"http://example.com/open/x", kDirect},
         {"http://example.com/closed", kProxy},
         {"https://i.ytimg.com/vi/x.jpg", kProxy},
         {"http://unlisted.test/", kDirect}});
    expectDecisions(
        {{"chatgpt.com"}, {"listed.test"}, true},
        {{"http://anything.test/", kProxy}, {"https://cdn.oaistatic.com/x.js", kDirect}});
}

// Fails if a rule's text can end its string early or break the script.
TEST(PacEngineTest, RulesWithQuotesBackslashesAndControlsKeepTheScriptWhole) {
    expectDecisions({{},
                     {"a\"b.test", "c\\d.test", "line\nbreak.test", "ls\xE2\x80\xA8.test",
                      "bad\xFF.test", "x\");return \"DIRECT\";//", "plain.test"},
                     false},
                    {{"http://plain.test/", kProxy},
                     {"http://a\"b.test/", kProxy},
                     {"http://unlisted.test/", kDirect}});
}

}  // namespace
}  // namespace kestralune
