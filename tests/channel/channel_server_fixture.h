#pragma once

#include "channel/method_channel.h"
#include "channel/socket_transport.h"
#include "platform/log.h"

#include <gtest/gtest.h>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <filesystem>
#include <future>
#include <thread>

namespace kestralune {

inline constexpr auto kTestTimeout = std::chrono::milliseconds(5000);

inline std::filesystem::path makeTempFolder() {
    std::string pattern = std::filesystem::temp_directory_path() / "kestralune-channel-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    return pattern;
}

// A ChannelServer in a temporary folder, served on its own thread as the host's main thread
// would, with "test/echo" answering [method, arguments] and `limits` (frames left unfinished
// 0.5 s unless a derived fixture says otherwise). Its log lines are kept out of the output.
class ChannelServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        previousLog = setLogSink([](std::string_view) {});
        server = std::make_unique<ChannelServer>(io, limits);
        MethodChannel(*server, "test/echo")
            .setMethodCallHandler([](const MethodCall& call, MethodResult result) {
                result.success(
                    EncodableValue(EncodableList{EncodableValue(call.method), call.arguments}));
            });
        auto started = server->start(path);
        ASSERT_EQ(started.outcome, ChannelServer::StartOutcome::listening) << started.error;
        serverThread = std::thread([this] { io.run(); });
    }

    void TearDown() override {
        onServer([this] { server->stop(); });
        io.stop();
        serverThread.join();
        std::filesystem::remove_all(folder);
        setLogSink(previousLog);
    }

    // Runs `work` on the server's thread and waits for its result.
    template <class F>
    auto onServer(F work) -> decltype(work()) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto done = task.get_future();
        asio::post(io, [&task] { task(); });
        return done.get();
    }

    ChannelServerLimits limits{std::chrono::milliseconds(500)};
    LogSink previousLog;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
    std::filesystem::path folder = makeTempFolder();
    std::filesystem::path path = folder / "test.sock";
    std::unique_ptr<ChannelServer> server;
    MethodChannel blocking() { return MethodChannel(*server, "orrindale/blocking"); }
    std::thread serverThread;
};

}  // namespace kestralune
