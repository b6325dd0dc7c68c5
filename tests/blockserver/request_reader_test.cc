#include "blockserver/request_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestralune {
namespace {

using Progress = RequestReader::Progress;
constexpr Progress kMore = Progress::needMore;
constexpr Progress kDone = Progress::complete;

struct ReaderRow {
    const char* behaviour;
    std::vector<std::string> chunks;
    std::vector<Progress> progress;  // after each chunk
    bool peerCloses;
    std::string text;
};

TEST(RequestReaderTest, CompletesOnLineEndCloseOrLimit) {
    // Fails when the reader routes before the first line is whole, misses a line end split
    // across chunks, waits past the limit, keeps bytes beyond it, or validates per chunk.
    const std::string almostFull(RequestReader::kMaxRequestBytes - 1, 'a');
    const std::vector<ReaderRow> rows = {
        {"line end in the first chunk",
         {"GET /proxy.pac HTTP/1.1\r\nHost: x\r\n\r\n"},
         {kDone},
         false,
         "GET /proxy.pac HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"line split over two chunks",
         {"GET /proxy.p", "ac HTTP/1.1\r\n"},
         {kMore, kDone},
         false,
         "GET /proxy.pac HTTP/1.1\r\n"},
        {"CR and LF in different chunks",
         {"GET /x\r", "\nHost"},
         {kMore, kDone},
         false,
         "GET /x\r\nHost"},
        {"bare LF is no line end", {"GET /x\n", "\r", "x\n"}, {kMore, kMore, kMore}, false, ""},
        {"nothing before the close", {}, {}, true, ""},
        {"partial line before the close",
         {"CONNECT a.example:443"},
         {kMore},
         true,
         "CONNECT a.example:443"},
        {"chunks after completion are ignored", {"A\r\n", "B"}, {kDone, kDone}, false, "A\r\n"},
        {"limit reached across chunks",
         {almostFull, "bc"},
         {kMore, kDone},
         false,
         almostFull + "b"},
        {"limit reached in one chunk", {almostFull + "bc\r\n"}, {kDone}, false, almostFull + "b"},
        {"not UTF-8", {"GET /\xff HTTP/1.1\r\n"}, {kDone}, false, ""},
        {"UTF-8 sequence split over chunks",
         {"GET /\xF0\x9F", "\xA6\x81 HTTP/1.1\r\n"},
         {kMore, kDone},
         false,
         "GET /\xF0\x9F\xA6\x81 HTTP/1.1\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        RequestReader reader;
        std::vector<Progress> progress;
        for (const auto& chunk : row.chunks) {
            progress.push_back(reader.append(chunk));
        }
        EXPECT_EQ(progress, row.progress);
        if (row.peerCloses) {
            EXPECT_EQ(reader.peerClosed(), kDone);
        }
        if (reader.isComplete()) {
            EXPECT_EQ(reader.requestText(), row.text);
        }
    }
}

}  // namespace
}  // namespace kestralune
