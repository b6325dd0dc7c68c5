#include "blockserver/domain_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace kestralune {
namespace {

using Names = std::vector<std::string>;

// Fails if a normalisation step is missing, out of order, or strips too much.
TEST(NormalizeRuleTest, StripsSpaceCaseSchemeWwwAndSlashes) {
    const std::pair<std::string, std::string> rows[] = {
        {"  HTTPS://WWW.Example.COM/  ", "example.com"},
        {"\xC2\xA0WWW.Zeta.org\xE3\x80\x80", "zeta.org"},
        {"www.www.example.com", "www.example.com"},
        {"//Example.com/News//", "example.com/news"},
        {"ftp://example.com", "ftp://example.com"},
        {"https:/example.com", "https:/example.com"},
        {"example.com/http://x", "example.com/http://x"},
        {"\xC3\x84RGER.DE", "\xC3\xA4rger.de"},
        {"Example.com./news", "example.com/news"},
        {"./x", "./x"},
        {" \t\n ", ""},
        {"HTTP://WWW./", ""},
    };
    for (const auto& [rule, expected] : rows) {
        EXPECT_EQ(normalizeRule(rule), expected) << rule;
    }
}

// Fails if companions are missed, given to path rules or bare suffixes, expanded again, or
// taken from a later sub-domain entry instead of its earlier parent (order and duplicates:
// the rules fuzzer).
TEST(NormalizedRulesTest, WidensHostRulesByTheirCompanionsOnce) {
    const std::pair<Names, Names> rows[] = {
        {{"old.reddit.com", "https://reddit.com/r/cats/", "notreddit.com"},
         {"notreddit.com", "old.reddit.com", "redd.it", "reddit.com", "reddit.com/r/cats",
          "redditmedia.com", "redditstatic.com", "reddituploads.com"}},
        {{"daum.net"}, {"accounts.kakao.com", "daum.net", "daumcdn.net", "kakaocdn.net"}},
        {{"cafe.naver.com"},
         {"cafe.naver.com", "naver.com", "naver.me", "naver.net", "pstatic.net"}},
    };
    for (const auto& [rules, expected] : rows) {
        EXPECT_EQ(normalizedRules(rules), expected) << rules.front();
    }
}

// Fails if the table's counts change, a list lacks its site or repeats a name, or other
// entries than the seven an earlier parent shadows become unreachable.
TEST(CompanionDomainTableTest, HasTheFixedShape) {
    const auto table = companionDomainTable();
    ASSERT_EQ(table.size(), 50u);
    std::size_t names = 0;
    int shadowed = 0;
    for (const auto& entry : table) {
        names += entry.companions.size();
        const std::set<std::string_view> distinct(entry.companions.begin(), entry.companions.end());
        EXPECT_EQ(distinct.size(), entry.companions.size()) << entry.site;
        EXPECT_TRUE(distinct.contains(entry.site)) << entry.site;
        shadowed += companionDomains(entry.site).data() != entry.companions.data();
    }
    EXPECT_EQ(names, 171u);
    EXPECT_EQ(shadowed, 7);
}

// Fails if the fixed lists are unsorted, mis-sized, repeated, not normalised or without the
// loopback names, or the engine's list reading does more than trim, lower-case and drop.
TEST(FixedRuleListsTest, AreNormalisedAndDefaultsAreFifteenSorted) {
    const Names defaults = defaultExceptionDomainList();
    EXPECT_EQ(defaults.size(), 15u);
    EXPECT_TRUE(std::is_sorted(defaults.begin(), defaults.end()));
    const Names allowed(alwaysAllowedDomains().begin(), alwaysAllowedDomains().end());
    for (const auto* list : {&defaults, &allowed}) {
        EXPECT_EQ(std::set<std::string>(list->begin(), list->end()).size(), list->size());
        for (const auto& name : *list) {
            EXPECT_EQ(normalizeRule(name), name);
        }
    }
    for (const char* loopback : {"127.0.0.1", "::1", "localhost"}) {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), loopback), allowed.end());
    }
    EXPECT_EQ(normalizedDomainList({" Example.COM ", "example.com", "", "*", "\t*\n",
                                    "HTTPS://WWW.X.com/", "\xE2\x80\xA8"}),
              (Names{"example.com", "example.com", "https://www.x.com/"}));
}

}  // namespace
}  // namespace kestralune
