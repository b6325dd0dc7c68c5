#include "platform/appcast.h"

#include <gtest/gtest.h>

namespace kestralune {
namespace {

// Fault: parts compared as text ("10" < "9"), a missing part not read as 0, leading zeros
// or long parts mishandled, or a malformed version taken for a number.
TEST(AppcastTest, VersionsCompareAsDottedNumbers) {
    const struct {
        const char* a;
        const char* b;
        std::optional<int> order;
    } cases[] = {
        {"10", "9", 1},
        {"1.10", "1.9", 1},
        {"1.0", "1", 0},
        {"1.0.1", "1", 1},
        {"007", "7", 0},
        {"2", "2.0.0.1", -1},
        {"123456789012345678901", "99", 1},
        {"1..2", "1", {}},
        {"1.a", "1", {}},
        {"", "1", {}},
        {"1.", "1", {}},
        {"-1", "1", {}},
        {"1", " 1", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
    }
}

// Fault: the namespace prefix is taken for granted, versions written as enclosure attributes
// are missed, an item without an enclosure is offered, or something older, equal or
// unreadable is chosen.
TEST(AppcastTest, ReadsItemsAndChoosesTheNewestNewerOne) {
    const std::string feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:s="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Kestralune</title>
  <item><title>Old</title><s:version>1</s:version>
    <enclosure url="https://example.com/1.tar.gz" length="10" type="application/x-gzip"
               s:edSignature="c2ln"/></item>
  <item><title>Newest</title>
    <enclosure url=" https://example.com/3.tar.gz " length="2048" type="application/x-gzip"
               s:version="3.0" s:shortVersionString="3.0 beta" s:edSignature="c2lnMw=="/></item>
  <item><title>Middle</title><s:version> 2 </s:version><s:shortVersionString>2.0</s:shortVersionString>
    <enclosure url="https://example.com/2.tar.gz" length="x1"/></item>
  <item><title>No archive</title><s:version>9</s:version></item>
  <item><title>Odd</title><s:version>10-beta</s:version><enclosure url="https://e/x"/></item>
</channel></rss>)";
    std::vector<AppcastItem> items;
    ASSERT_EQ(parseAppcast(feed, items), "");
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[1], (AppcastItem{"Newest", "3.0", "3.0 beta", "https://example.com/3.tar.gz",
                                     2048, "application/x-gzip", "c2lnMw=="}));
    EXPECT_EQ(items[2].displayVersionString, "2.0");
    EXPECT_EQ(items[2].contentLength, 0u);

    EXPECT_EQ(bestUpdate(items, "1")->title, "Newest");
    EXPECT_EQ(bestUpdate(items, "2.5")->title, "Newest");
    EXPECT_FALSE(bestUpdate(items, "3"));
    EXPECT_FALSE(bestUpdate(items, "4"));
    EXPECT_FALSE(bestUpdate(items, "unknown"));

    for (const char* bad : {"", "not xml", "<rss><channel>", "<feed/>"}) {
        EXPECT_NE(parseAppcast(bad, items), "") << bad;
    }
}

}  // namespace
}  // namespace kestralune
