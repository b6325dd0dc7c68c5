// Runs the generated script in a real PAC engine (pacparser, SpiderMonkey underneath) to
// check what the script decides, not only how it reads.
#include <gtest/gtest.h>
#include <pacparser.h>

#include <string>
#include <vector>

#include "blockserver/pac_script.h"

// pacparser 1.3.6 leaks the escaped copies of its arguments on every call; the leak is the
// library's, so the sanitizer build is told to look past it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpacparser.so\n";
}

namespace kestralune {
namespace {

constexpr const char* kDirect = "DIRECT";
constexpr const char* kProxy = "PROXY 127.0.0.1:18081";

// pacparser keeps one global JavaScript context, so one engine exists at a time and the
// tests of this binary run one after another.
class PacEngine {
  public:
    explicit PacEngine(const std::string& script) {
        pacparser_init();
        parsed = pacparser_parse_pac_string(script.c_str()) != 0;
    }
    ~PacEngine() { pacparser_cleanup(); }
    PacEngine(const PacEngine&) = delete;
    PacEngine& operator=(const PacEngine&) = delete;

    bool scriptParsed() const { return parsed; }
    std::string findProxy(const std::string& url, const std::string& host) {
        const char* answer =
            pacparser_find_proxy(asCallArgument(url).c_str(), asCallArgument(host).c_str());
        return answer == nullptr ? "<no answer>" : answer;
    }

  private:
    // pacparser pastes its arguments into a single-quoted JavaScript call, so a backslash
    // or a line break must reach it escaped to arrive as itself.
    static std::string asCallArgument(const std::string& text) {
        std::string out;
        for (const char c : text) {
            switch (c) {
                case '\\':
                    out += "\\\\";
                    break;
                case '\'':
                    out += "\\'";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    out.push_back(c);
            }
        }
        return out;
    }

    bool parsed = false;
};

struct Visit {
    std::string url;
    std::string host;
    std::string expected;
};

void expectDecisions(const RuleLists& rules, const std::vector<Visit>& visits) {
    PacEngine engine(pacScript(rules));
    ASSERT_TRUE(engine.scriptParsed());
    for (const auto& visit : visits) {
        EXPECT_EQ(engine.findProxy(visit.url, visit.host), visit.expected)
            << visit.url << " (host " << visit.host << ")";
    }
}

// Fails if host rules miss their sub-domains, "www." or letter case, match a host that
// only ends with the same letters, or let the fully-qualified form with a trailing dot
// through.
TEST(PacEngineTest, HostRulesMatchHostSubdomainsWwwAndTrailingDot) {
    expectDecisions({{}, {"Example.com"}, false},
                    {
                        {"http://example.com/", "example.com", kProxy},
                        {"https://deep.sub.example.com/", "deep.sub.example.com", kProxy},
                        {"http://www.example.com/a", "www.example.com", kProxy},
                        {"http://WWW.EXAMPLE.COM/A", "WWW.EXAMPLE.COM", kProxy},
                        {"http://example.com./", "example.com.", kProxy},
                        {"https://sub.example.com.:8443/", "sub.example.com.", kProxy},
                        {"http://www.example.com./", "www.example.com.", kProxy},
                        {"http://notexample.com/", "notexample.com", kDirect},
                        {"http://example.com.evil.test/", "example.com.evil.test", kDirect},
                        {"http://example.co/", "example.co", kDirect},
                        {"http://other.test/example.com", "other.test", kDirect},
                    });
}

// Fails if a rule the user wrote in fully-qualified form stops matching its host once
// hosts lose their trailing dot.
TEST(PacEngineTest, RuleWrittenWithTrailingDotMatchesTheHostEitherWay) {
    expectDecisions({{}, {"example.com.", "news.test./today"}, false},
                    {
                        {"http://example.com/", "example.com", kProxy},
                        {"http://example.com./", "example.com.", kProxy},
                        {"http://news.test/today", "news.test", kProxy},
                        {"http://news.test./today/x", "news.test.", kProxy},
                        {"http://news.test/tomorrow", "news.test", kDirect},
                    });
}

// Fails if a path rule matches by host alone, matches a longer last segment or a query
// glued to the path, or misses the trailing-dot form of the host.
TEST(PacEngineTest, PathRulesMatchThePathAndBelowOnly) {
    expectDecisions({{}, {"https://www.news.test/World/"}, false},
                    {
                        {"http://news.test/world", "news.test", kProxy},
                        {"https://news.test/world/europe?x=1", "news.test", kProxy},
                        {"http://www.news.test/world/", "www.news.test", kProxy},
                        {"https://NEWS.test/World/x", "NEWS.test", kProxy},
                        {"http://news.test./world/x", "news.test.", kProxy},
                        {"https://www.news.test./world", "www.news.test.", kProxy},
                        {"http://news.test/worldwide", "news.test", kDirect},
                        {"http://news.test/world?x=1", "news.test", kDirect},
                        {"http://news.test/world#top", "news.test", kDirect},
                        {"http://news.test/", "news.test", kDirect},
                        {"http://sub.news.test/world", "sub.news.test", kDirect},
                        {"http://news.test.evil/world", "news.test.evil", kDirect},
                    });
}

// Fails if blocked rules are consulted before exceptions, or an exception loses to a
// blocked rule in its trailing-dot form.
TEST(PacEngineTest, ExceptionsAreTestedFirst) {
    expectDecisions({{"docs.example.com", "example.com/open"}, {"example.com"}, false},
                    {
                        {"http://docs.example.com/", "docs.example.com", kDirect},
                        {"http://a.docs.example.com./", "a.docs.example.com.", kDirect},
                        {"http://example.com/open/x", "example.com", kDirect},
                        {"http://example.com./open", "example.com.", kDirect},
                        {"http://example.com/closed", "example.com", kProxy},
                        {"http://unlisted.test/", "unlisted.test", kDirect},
                    });
}

// Fails if all-blocked mode consults the blocked list or lets anything but an exception
// (or its companions) through.
TEST(PacEngineTest, AllBlockedDivertsEverythingButExceptions) {
    expectDecisions({{"chatgpt.com", "docs.test"}, {"listed.test"}, true},
                    {
                        {"http://anything.test/", "anything.test", kProxy},
                        {"http://listed.test/", "listed.test", kProxy},
                        {"https://docs.test./", "docs.test.", kDirect},
                        {"https://openai.com/", "openai.com", kDirect},
                        {"https://cdn.oaistatic.com/x.js", "cdn.oaistatic.com", kDirect},
                    });
    expectDecisions({{}, {}, false}, {{"http://anything.test/", "anything.test", kDirect}});
}

// Fails if a listed site does not take its companions along, or a shadowed sub-domain entry
// does not divert its parent portal.
TEST(PacEngineTest, CompanionsFollowTheirSite) {
    expectDecisions({{}, {"youtube.com", "cafe.naver.com"}, false},
                    {
                        {"https://i.ytimg.com/vi/x.jpg", "i.ytimg.com", kProxy},
                        {"https://youtu.be/abc", "youtu.be", kProxy},
                        {"https://rr1.googlevideo.com/", "rr1.googlevideo.com", kProxy},
                        {"https://www.naver.com/", "www.naver.com", kProxy},
                        {"https://ssl.pstatic.net/x.png", "ssl.pstatic.net", kProxy},
                        {"https://google.com/", "google.com", kDirect},
                    });
}

// Fails if quoting lets a rule end its string early or break the script: the script must
// still parse, the odd rules must keep their exact text, and the plain rule must still work.
TEST(PacEngineTest, RulesWithQuotesBackslashesAndControlsKeepTheScriptWhole) {
    expectDecisions({{},
                     {"a\"b.test", "c\\d.test", "line\nbreak.test", "tab\tsep.test",
                      "ls\xE2\x80\xA8"
                      "ps\xE2\x80\xA9.test",
                      "bad\xFF.test", "x\");return \"DIRECT\";//", "plain.test"},
                     false},
                    {
                        {"http://plain.test/", "plain.test", kProxy},
                        {"http://a\"b.test/", "a\"b.test", kProxy},
                        {"http://c\\d.test/", "c\\d.test", kProxy},
                        {"http://line\nbreak.test/", "line\nbreak.test", kProxy},
                        {"http://tab\tsep.test/", "tab\tsep.test", kProxy},
                        {"http://unlisted.test/", "unlisted.test", kDirect},
                    });
}

}  // namespace
}  // namespace kestralune
