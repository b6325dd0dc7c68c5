#include "blockserver/domain_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestralune {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::vector<std::string> owned(std::span<const std::string_view> names) {
    return {names.begin(), names.end()};
}

bool isSubdomainOf(std::string_view host, std::string_view site) {
    return host.size() > site.size() && host.ends_with(site) &&
           host[host.size() - site.size() - 1] == '.';
}

// Fails if a normalisation step is missing, runs in the wrong order, or strips too much
// (a second "www.", a scheme that is not at the start).
TEST(NormalizeRuleTest, StripsSpaceCaseSchemeWwwAndSlashes) {
    const struct {
        std::string rule;
        std::string expected;
    } rows[] = {
        {"  HTTPS://WWW.Example.COM/  ", "example.com"},
        {"http://example.com", "example.com"},
        {"\xC2\xA0"
         "Example.com\xE3\x80\x80",
         "example.com"},
        {"www.www.example.com", "www.example.com"},
        {"Example.com/News/", "example.com/news"},
        {"//example.com/a//", "example.com/a"},
        {"ftp://example.com", "ftp://example.com"},
        {"https:/example.com", "https:/example.com"},
        {"example.com/http://x", "example.com/http://x"},
        {"https://www./path", "path"},
        {"\xC3\x84"
         "RGER.DE",
         "\xC3\xA4"
         "rger.de"},
        {"", ""},
        {" \t\n ", ""},
        {"///", ""},
        {"https://", ""},
        {"HTTP://WWW./", ""},
        {"www.", ""},
        // A fully-qualified host is the same host, also in a path rule.
        {"Example.com.", "example.com"},
        {"example.com./news", "example.com/news"},
        {".", "."},
        {"./x", "./x"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(normalizeRule(row.rule), row.expected) << row.rule;
    }
}

// Fails if variants of one site come out twice, empties survive, or the order is not
// plain code-point order (non-ASCII after every ASCII letter).
TEST(NormalizedRulesTest, DeduplicatesDropsEmptiesAndSortsByCodePoint) {
    EXPECT_THAT(normalizedRules({"HTTPS://WWW.Example.com/", "example.com", "  ", "/", "www.",
                                 "\xC3\xA4"
                                 "rger.de",
                                 "zeta.org", "alpha.net/x"}),
                ElementsAre("alpha.net/x", "example.com", "zeta.org",
                            "\xC3\xA4"
                            "rger.de"));
    EXPECT_THAT(normalizedRules({}), IsEmpty());
}

// Fails if companion expansion is missing, applied to path rules, matched on a bare suffix,
// or applied again to the names it added.
TEST(NormalizedRulesTest, WidensHostRulesByTheirCompanionsOnce) {
    EXPECT_THAT(normalizedRules({"reddit.com"}),
                ElementsAre("redd.it", "reddit.com", "redditmedia.com", "redditstatic.com",
                            "reddituploads.com"));
    // A sub-domain of a table site gets that site's list, itself included.
    EXPECT_THAT(normalizedRules({"old.reddit.com"}),
                ElementsAre("old.reddit.com", "redd.it", "reddit.com", "redditmedia.com",
                            "redditstatic.com", "reddituploads.com"));
    // Path rules are never widened, even under a table site.
    EXPECT_THAT(normalizedRules({"https://reddit.com/r/cats/"}), ElementsAre("reddit.com/r/cats"));
    // Ending with the site's letters is not being a sub-domain.
    EXPECT_THAT(normalizedRules({"notreddit.com"}), ElementsAre("notreddit.com"));
    // accounts.kakao.com is added for daum.net; kakao.com's own companions must not follow.
    EXPECT_THAT(normalizedRules({"daum.net"}),
                ElementsAre("accounts.kakao.com", "daum.net", "daumcdn.net", "kakaocdn.net"));
}

// Fails if a later, more specific entry wins over the earlier parent: blocking a portal's
// forum then diverts the whole portal, as the table's order intends.
TEST(CompanionDomainsTest, FirstMatchingEntryWinsOverLaterSubdomainEntry) {
    EXPECT_THAT(owned(companionDomains("cafe.naver.com")),
                ElementsAre("naver.com", "naver.me", "naver.net", "pstatic.net"));
    EXPECT_THAT(owned(companionDomains("m.cafe.daum.net")),
                ElementsAre("daum.net", "daumcdn.net", "kakaocdn.net", "accounts.kakao.com"));
}

// Fails if matching is by substring or prefix instead of "equal, or ends with '.' + site".
TEST(CompanionDomainsTest, MatchesSiteAndSubdomainsOnly) {
    const struct {
        std::string rule;
        std::string firstCompanion;  // empty: no entry matches
    } rows[] = {
        {"youtube.com", "youtube.com"},  {"m.youtube.com", "youtube.com"},
        {"youtu.be", "youtu.be"},        {"x.com", "x.com"},
        {"api.x.com", "x.com"},          {"box.com", ""},
        {"x.com.evil.net", ""},          {"youtube.co", ""},
        {".youtube.com", "youtube.com"}, {"", ""},
    };
    for (const auto& row : rows) {
        const auto companions = companionDomains(row.rule);
        EXPECT_EQ(companions.empty() ? std::string() : std::string(companions.front()),
                  row.firstCompanion)
            << row.rule;
    }
}

// Fails if the table loses its shape: entry or name count, the distribution of list sizes,
// a list without its site, duplicates, or sub-domain entries other than the seven that an
// earlier parent shadows.
TEST(CompanionDomainTableTest, HasTheFixedShape) {
    const auto table = companionDomainTable();
    ASSERT_EQ(table.size(), 50u);
    std::size_t names = 0;
    std::map<std::size_t, int> entriesBySize;
    std::set<std::string_view> sites;
    int shadowed = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& entry = table[i];
        names += entry.companions.size();
        ++entriesBySize[entry.companions.size()];
        EXPECT_TRUE(sites.insert(entry.site).second) << entry.site;
        EXPECT_NE(std::find(entry.companions.begin(), entry.companions.end(), entry.site),
                  entry.companions.end())
            << entry.site;
        const std::set<std::string_view> distinct(entry.companions.begin(), entry.companions.end());
        EXPECT_EQ(distinct.size(), entry.companions.size()) << entry.site;
        for (const auto name : entry.companions) {
            EXPECT_EQ(normalizeRule(name), name) << entry.site;
        }
        bool underEarlier = false;
        for (std::size_t j = 0; j < table.size(); ++j) {
            if (j != i && isSubdomainOf(entry.site, table[j].site)) {
                EXPECT_LT(j, i) << entry.site << " sits under the later " << table[j].site;
                underEarlier = underEarlier || j < i;
            }
        }
        if (underEarlier) {
            ++shadowed;
            EXPECT_NE(companionDomains(entry.site).data(), entry.companions.data()) << entry.site;
        } else {
            EXPECT_EQ(companionDomains(entry.site).data(), entry.companions.data()) << entry.site;
        }
    }
    EXPECT_EQ(names, 171u);
    EXPECT_EQ(shadowed, 7);
    const std::map<std::size_t, int> expectedBySize = {{1, 3},  {2, 13}, {3, 5},
                                                       {4, 20}, {5, 7},  {6, 2}};
    EXPECT_EQ(entriesBySize, expectedBySize);
}

// Fails if the fixed lists are unsorted, mis-sized, duplicated or not already in the
// normalised form that the engine compares them in.
TEST(FixedRuleListsTest, AreNormalisedAndDefaultsAreFifteenSorted) {
    const auto defaults = owned(defaultExceptionDomains());
    EXPECT_EQ(defaults.size(), 15u);
    EXPECT_TRUE(std::is_sorted(defaults.begin(), defaults.end()));
    EXPECT_EQ(std::adjacent_find(defaults.begin(), defaults.end()), defaults.end());
    EXPECT_EQ(defaultExceptionDomainList(), defaults);

    const auto allowed = owned(alwaysAllowedDomains());
    EXPECT_EQ(std::set<std::string>(allowed.begin(), allowed.end()).size(), allowed.size());
    for (const auto& name : allowed) {
        EXPECT_EQ(normalizeRule(name), name);
    }
    for (const auto& name : defaults) {
        EXPECT_EQ(normalizeRule(name), name);
    }
    for (const char* loopback : {"127.0.0.1", "::1", "localhost"}) {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), loopback), allowed.end());
    }
}

// Fails if the engine's list reading reorders, de-duplicates, keeps "*" or empties, or
// strips more than white space and case.
TEST(NormalizedDomainListTest, TrimsLowerCasesAndDropsEmptiesAndWildcard) {
    EXPECT_THAT(normalizedDomainList({" Example.COM ", "example.com", "", "*", "\t*\n",
                                      "HTTPS://WWW.X.com/", "\xE2\x80\xA8"}),
                ElementsAreArray({"example.com", "example.com", "https://www.x.com/"}));
}

}  // namespace
}  // namespace kestralune
