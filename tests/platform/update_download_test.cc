#include "platform/linux/update_download.h"

#include "platform/testing/loopback_http_server.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

TEST(UpdateDownloadTest, AllowsHttpsAndPlainHttpOnlyOnThisComputer) {
    // Fails if a feed or archive could come over plain http from another host, or from a file.
    const std::pair<const char*, bool> rows[] = {
        {"https://updates.example.com/appcast.xml", true},
        {"http://127.1.2.3:8080/appcast.xml", true},
        {"http://[::1]:8080/appcast.xml", true},
        {"http://localhost/appcast.xml", true},
        {"http://updates.example.com/appcast.xml", false},
        {"http://128.0.0.1/appcast.xml", false},
        {"file:///etc/passwd", false},
    };
    for (const auto& [url, allowed] : rows) {
        EXPECT_EQ(isAllowedUpdateUrl(url), allowed) << url;
    }
}

struct TransferRow {
    const char* name;
    LoopbackHttpServer::Route route;
    std::size_t limit;  // the feed's byte limit, the archive's expected length
    const char* error;  // a part of the sentence; empty: success
};

TEST(UpdateDownloadTest, FeedStopsAtItsLimitAndOnErrorStatuses) {
    // Fails if a feed may grow past its limit when the server hides its length, if an error
    // page passes for a feed, or if a redirect may lead to plain http.
    LoopbackHttpServer server;
    const std::string feed(100, 'f');
    const TransferRow rows[] = {
        {"at the limit", {.body = feed}, 100, ""},
        {"announced over", {.body = feed + "f"}, 100, "larger than 100 bytes"},
        {"unannounced over", {.body = feed + feed, .withoutLength = true}, 100, "larger than"},
        {"404", {.status = 404, .body = feed + feed, .withoutLength = true}, 100, "status 404"},
        // Followed, it would end in the 404 of an unknown path.
        {"to http", {.status = 302, .headers = {{"Location", server.url("/")}}}, 100, "not https"},
    };
    for (const auto& row : rows) {
        server.setRoute("/feed", row.route);
        std::string body;
        const auto error = fetchUpdateFeed(server.url("/feed"), row.limit, 10, body);
        EXPECT_TRUE(*row.error ? error.find(row.error) != std::string::npos : error.empty())
            << row.name << ": " << error;
        EXPECT_TRUE(!error.empty() || body == row.route.body) << row.name;
    }
}

TEST(UpdateDownloadTest, ArchiveMustArriveWholeAndExactlyAsLongAsAnnounced) {
    // Fails if a short, long or broken-off download is kept, if a failure leaves its file
    // behind (or removes a file it did not create), or if the file is readable by others.
    TempDirectory directory;
    LoopbackHttpServer server;
    const std::string bytes(200'000, 'a');
    const auto n = bytes.size();
    const TransferRow rows[] = {
        {"exact", {.body = bytes}, n, ""},
        {"longer", {.body = bytes + "x"}, n, "larger than"},
        {"longer unannounced", {.body = bytes + "x", .withoutLength = true}, n, "larger than"},
        {"shorter", {.body = bytes}, n + 1, "ended after 200000 of 200001 bytes"},
        {"broken off", {.body = bytes, .declaredLength = n + 10}, n + 10, "Could not download"},
    };
    for (const auto& row : rows) {
        server.setRoute("/update.tar.xz", row.route);
        const auto file = (directory.path() / row.name).string();
        const auto error = downloadUpdateArchive(server.url("/update.tar.xz"), file, row.limit);
        EXPECT_TRUE(*row.error ? error.find(row.error) != std::string::npos : error.empty())
            << row.name << ": " << error;
        EXPECT_EQ(fs::exists(file), error.empty()) << row.name;
        if (error.empty()) {
            EXPECT_EQ(fs::status(file).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
            EXPECT_EQ(TempDirectory::read(file), row.route.body);
        }
    }
    const std::atomic<bool> cancelled{true};
    const auto dropped = (directory.path() / "cancelled").string();
    EXPECT_NE(downloadUpdateArchive(server.url("/update.tar.xz"), dropped, n, &cancelled)
                  .find("was cancelled"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dropped));
    const auto taken = directory.write("taken", "mine");
    EXPECT_NE(downloadUpdateArchive(server.url("/update.tar.xz"), taken, bytes.size()), "");
    EXPECT_EQ(TempDirectory::read(taken), "mine");
}

}  // namespace
}  // namespace kestralune
