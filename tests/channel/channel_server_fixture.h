#pragma once

#include "channel/method_channel.h"
#include "channel/socket_transport.h"

#include <gtest/gtest.h>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace kestralune {

inline constexpr auto kTestTimeout = std::chrono::milliseconds(5000);

inline std::filesystem::path makeTempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestralune-channel-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    return made;
}

// A ChannelServer listening on a socket in a temporary folder, served on its own thread as
// the host's main thread would serve it. Channels "test/echo" (answers [method, arguments])
// and "orrindale/blocking" (no handler until a test installs one) are ready.
class ChannelServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = makeTempFolder();
        path = folder / "test.sock";
        server = std::make_unique<ChannelServer>(io);
        echo = std::make_unique<MethodChannel>(*server, "test/echo");
        blocking = std::make_unique<MethodChannel>(*server, "orrindale/blocking");
        echo->setMethodCallHandler([](const MethodCall& call, MethodResult result) {
            result.success(
                EncodableValue(EncodableList{EncodableValue(call.method), call.arguments}));
        });
        auto started = server->start(path);
        ASSERT_EQ(started.outcome, ChannelServer::StartOutcome::listening) << started.error;
        serverThread = std::thread([this] { io.run(); });
    }

    void TearDown() override {
        onServer([this] { server->stop(); });
        guard.reset();
        io.stop();
        serverThread.join();
        blocking.reset();
        echo.reset();
        server.reset();
        std::filesystem::remove_all(folder);
    }

    // Runs `work` on the server's thread and waits for its result.
    template <class F>
    auto onServer(F work) -> decltype(work()) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto done = task.get_future();
        asio::post(io, [&task] { task(); });
        return done.get();
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
    std::filesystem::path folder;
    std::filesystem::path path;
    std::unique_ptr<ChannelServer> server;
    std::unique_ptr<MethodChannel> echo;
    std::unique_ptr<MethodChannel> blocking;
    std::thread serverThread;
};

}  // namespace kestralune
