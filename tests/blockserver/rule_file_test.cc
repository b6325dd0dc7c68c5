#include "blockserver/rule_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestralune {
namespace {

struct RuleFileRow {
    const char* behaviour;
    std::string json;
    std::vector<std::string> exceptions;
    std::vector<std::string> blocked;
    bool allWebsitesBlocked;
};

TEST(RuleFileTest, ReadsTheListsTheWayTheEngineReadsAConfiguration) {
    // Fails when non-string elements are kept, entries are not trimmed and lower-cased,
    // "*" survives, or "allWebsitesBlocked" turns false for anything but the Boolean false.
    const std::vector<RuleFileRow> rows = {
        {"full map",
         R"({"exceptionDomains":[" Notes.Example ","*",1,null,"notes.example"],)"
         R"("blockedDomains":["Video.Example/Path",""," ",["x"]],"allWebsitesBlocked":false})",
         {"notes.example", "notes.example"},
         {"video.example/path"},
         false},
        {"empty map", "{}", {}, {}, true},
        {"lists of the wrong type",
         R"({"exceptionDomains":"a.example","blockedDomains":{}})",
         {},
         {},
         true},
        {"flag that is not a Boolean", R"({"allWebsitesBlocked":0})", {}, {}, true},
        {"flag true", R"({"allWebsitesBlocked":true,"other":1})", {}, {}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        const auto result = parseRuleFile(row.json);
        ASSERT_TRUE(std::holds_alternative<RuleFile>(result));
        const auto& rules = std::get<RuleFile>(result);
        EXPECT_EQ(rules.exceptionDomains, row.exceptions);
        EXPECT_EQ(rules.blockedDomains, row.blocked);
        EXPECT_EQ(rules.allWebsitesBlocked, row.allWebsitesBlocked);
    }
}

TEST(RuleFileTest, RejectsTextThatIsNotAJsonObject) {
    // Fails when a broken file is served as if it held no rules.
    for (const char* json : {"", "{", "[]", "\"a\"", "{\"a\":1} x", "{\"a\":\"\xff\"}"}) {
        SCOPED_TRACE(json);
        EXPECT_TRUE(std::holds_alternative<RuleFileError>(parseRuleFile(json)));
    }
}

TEST(RuleFileTest, MissingFileIsAnError) {
    // Fails when an unreadable path is taken for an empty configuration.
    EXPECT_TRUE(
        std::holds_alternative<RuleFileError>(readRuleFile("/nonexistent/kestralune-rules.json")));
}

}  // namespace
}  // namespace kestralune
