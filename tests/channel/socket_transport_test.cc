#include "tests/channel/channel_server_fixture.h"

#include "channel/channel_frame.h"
#include "channel/method_channel.h"
#include "channel/socket_transport.h"
#include "channel/standard_codec.h"
#include "platform/log.h"

#include <gtest/gtest.h>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestralune {
namespace {

using namespace std::chrono_literals;
using Stream = asio::local::stream_protocol;
namespace fs = std::filesystem;

constexpr auto kTimeout = kTestTimeout;

unsigned modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return status.st_mode & 0777;
}

// Keeps log lines out of the test output; a dropped client is expected here.
class QuietLog {
  public:
    QuietLog() : previous(setLogSink([](std::string_view) {})) {}
    ~QuietLog() { setLogSink(previous); }

  private:
    LogSink previous;
};

// A client speaking raw bytes, for the misbehaving cases.
class RawClient {
  public:
    explicit RawClient(const fs::path& path) : socket(io) {
        socket.connect(Stream::endpoint(path.string()));
    }
    void write(const ByteBuffer& bytes) {
        std::error_code ignored;
        asio::write(socket, asio::buffer(bytes), ignored);
    }
    ByteBuffer read(std::size_t count) {
        ByteBuffer bytes(count);
        asio::read(socket, asio::buffer(bytes));
        return bytes;
    }
    // True when the server closes the connection within the timeout.
    bool closedByServer() {
        std::optional<std::error_code> outcome;
        std::array<std::uint8_t, 4096> sink{};
        std::function<void()> readMore = [&] {
            socket.async_read_some(asio::buffer(sink), [&](std::error_code error, std::size_t) {
                if (error) {
                    outcome = error;
                } else {
                    readMore();
                }
            });
        };
        readMore();
        io.run_for(kTimeout);
        return outcome.has_value();
    }
    void close() {
        std::error_code ignored;
        socket.close(ignored);
    }

  private:
    asio::io_context io;
    Stream::socket socket;
};

class SocketTransportTest : public ChannelServerFixture {
  protected:
    std::unique_ptr<ChannelClient> connect() {
        auto client = ChannelClient::connect(path, kTimeout);
        EXPECT_TRUE(client) << (client ? "" : client.error().message);
        return client ? std::move(client).value() : nullptr;
    }

    // The echo handler answers [method, arguments]; anything else means the host was disturbed.
    void expectEcho(ChannelClient& client, const std::string& method) {
        auto reply = client.call("test/echo", {method, EncodableValue(7)}, kTimeout);
        ASSERT_TRUE(reply) << reply.error().message;
        EXPECT_EQ(*reply, MethodReply(MethodSuccess{EncodableValue(
                              EncodableList{EncodableValue(method), EncodableValue(7)})}));
    }

    // Waits (yielding, not sleeping) until the server has noticed `count` clients.
    bool waitForClientCount(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (onServer([this] { return server->clientCount(); }) == count) {
                return true;
            }
            std::this_thread::yield();
        }
        return false;
    }
};

// The whole path: frame, dispatch to the channel's handler, reply with the same id; a
// channel without a handler is not implemented.
TEST_F(SocketTransportTest, CallReachesTheChannelHandlerAndReplies) {
    auto client = connect();
    ASSERT_TRUE(client);
    expectEcho(*client, "first");
    expectEcho(*client, "second");
    auto missing = client->call("no/handler", {"x", {}}, kTimeout);
    ASSERT_TRUE(missing);
    EXPECT_EQ(*missing, MethodReply(MethodNotImplemented{}));
    EXPECT_EQ(modeOf(path), 0600u);
}

// Outgoing calls must reach exactly the clients that listen on their channel, in order.
TEST_F(SocketTransportTest, OutgoingCallsReachOnlyListeners) {
    auto listener = connect();
    auto other = connect();
    ASSERT_TRUE(listener && other);
    std::vector<MethodCall> heard;
    ASSERT_FALSE(listener->listen(
        {"orrindale/blocking"},
        [&](std::string_view channel, const MethodCall& call) {
            EXPECT_EQ(channel, "orrindale/blocking");
            heard.push_back(call);
            if (heard.size() == 2) {
                listener->stopWaiting();
            }
        },
        kTimeout));
    std::vector<MethodCall> overheard;
    ASSERT_FALSE(other->listen(
        {"kestralune/updater"},
        [&](std::string_view, const MethodCall& call) { overheard.push_back(call); }, kTimeout));

    onServer([this] {
        blocking->invokeMethod("menuBarAction", EncodableValue("websites"));
        blocking->invokeMethod("authLinkReceived",
                               EncodableValue("kestralune://auth-callback?x=1"));
        return true;
    });
    EXPECT_FALSE(listener->waitForCalls(kTimeout));
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], (MethodCall{"menuBarAction", EncodableValue("websites")}));
    EXPECT_EQ(heard[1].method, "authLinkReceived");

    // Anything sent to `other` would have arrived before this reply on its connection.
    expectEcho(*other, "after");
    EXPECT_TRUE(overheard.empty());
}

// Garbage closes only the client that sent it; the host keeps serving the others.
TEST_F(SocketTransportTest, GarbageClosesOnlyItsClient) {
    QuietLog quiet;
    auto good = connect();
    ASSERT_TRUE(good);
    const std::vector<ByteBuffer> garbage = {
        ByteBuffer{0x07, 0, 0, 0, 0x09, 1, 0, 0, 0, 0, 0},  // unknown kind
        ByteBuffer{0x03, 0, 0, 0, 0x01, 0x02, 0x03},        // shorter than fixed fields
        encodeFrame(FrameKind::reply, 1, {}, {}),           // host-only kind
        encodeFrame(FrameKind::outgoingCall, 0, "orrindale/blocking", {}),
        ByteBuffer{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r',
                   '\n'},
    };
    for (const auto& bytes : garbage) {
        RawClient raw(path);
        raw.write(bytes);
        EXPECT_TRUE(raw.closedByServer());
        expectEcho(*good, "still");
    }
}

// A frame that claims 4 GiB must be refused from its length field alone (no allocation,
// no waiting for the bytes); the host keeps serving and accepting.
TEST_F(SocketTransportTest, FrameClaimingFourGibibytesIsRefused) {
    QuietLog quiet;
    auto good = connect();
    ASSERT_TRUE(good);
    RawClient raw(path);
    raw.write(ByteBuffer{0xff, 0xff, 0xff, 0xff, 0x01});
    EXPECT_TRUE(raw.closedByServer());
    expectEcho(*good, "still");
    auto later = connect();
    ASSERT_TRUE(later);
    expectEcho(*later, "new");
}

// A client that leaves while its call is pending must not disturb the host when the late
// reply comes, nor the other clients.
TEST_F(SocketTransportTest, ClientLeavingMidCallDropsTheLateReply) {
    std::promise<void> received;
    std::vector<BinaryReply> pending;
    onServer([&] {
        server->setMessageHandler("test/slow", [&](ByteView, BinaryReply reply) {
            pending.push_back(std::move(reply));
            received.set_value();
        });
        return true;
    });
    auto other = connect();
    ASSERT_TRUE(other);
    {
        RawClient leaving(path);
        leaving.write(encodeFrame(FrameKind::call, 1, "test/slow", encodeMethodCall({"wait", {}})));
        ASSERT_EQ(received.get_future().wait_for(kTimeout), std::future_status::ready);
        leaving.close();
    }
    ASSERT_TRUE(waitForClientCount(1));
    onServer([&] {
        pending.front()(encodeSuccessEnvelope(EncodableValue("late")));
        return true;
    });
    expectEcho(*other, "unharmed");
}

// Eight clients calling at once must each get their own replies, none crossed.
TEST_F(SocketTransportTest, EightConcurrentClientsGetTheirOwnReplies) {
    constexpr int kClients = 8;
    constexpr int kCalls = 200;
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            auto client = ChannelClient::connect(path, kTimeout);
            if (!client) {
                ++failures;
                return;
            }
            for (int i = 0; i < kCalls; ++i) {
                const std::string method = "c" + std::to_string(c) + "-" + std::to_string(i);
                auto reply = (*client)->call("test/echo", {method, EncodableValue(i)}, kTimeout);
                if (!reply) {
                    ++failures;
                    return;
                }
                const MethodReply expected = MethodSuccess{
                    EncodableValue(EncodableList{EncodableValue(method), EncodableValue(i)})};
                if (*reply != expected) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

// A listener that never reads must be cut off once its queue passes the limit, instead of
// growing the host's memory without bound.
TEST_F(SocketTransportTest, ListenerThatNeverReadsIsDisconnected) {
    QuietLog quiet;
    auto good = connect();
    ASSERT_TRUE(good);
    RawClient stuck(path);
    stuck.write(encodeFrame(FrameKind::listen, 1, "orrindale/blocking", {}));
    EXPECT_EQ(stuck.read(kFrameLengthFieldSize + kFrameFixedSize),
              encodeFrame(FrameKind::reply, 1, {}, {}));
    onServer([this] {
        const ByteBuffer big(1 << 20, 0x00);
        for (std::size_t i = 0; i < ChannelServer::kMaxQueuedBytes / big.size() + 8; ++i) {
            server->send("orrindale/blocking",
                         encodeMethodCall({"menuBarAction", EncodableValue(big)}));
        }
        return true;
    });
    EXPECT_TRUE(waitForClientCount(1));
    expectEcho(*good, "still");
}

// A reply that never comes must time out without breaking the connection for later calls.
TEST_F(SocketTransportTest, CallTimesOutAndTheConnectionStaysUsable) {
    std::vector<BinaryReply> pending;
    onServer([&] {
        server->setMessageHandler("test/never", [&](ByteView, BinaryReply reply) {
            pending.push_back(std::move(reply));
        });
        return true;
    });
    auto client = connect();
    ASSERT_TRUE(client);
    auto reply = client->call("test/never", {"x", {}}, 20ms);
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().kind, ChannelClient::ErrorKind::timedOut);
    onServer([&] {
        pending.front()(encodeSuccessEnvelope(EncodableValue("too late")));
        return true;
    });
    expectEcho(*client, "next");
}

// A client must learn that the host went away instead of waiting forever.
TEST_F(SocketTransportTest, StoppingTheServerEndsListeningClients) {
    auto client = connect();
    ASSERT_TRUE(client);
    ASSERT_FALSE(client->listen(
        {"orrindale/blocking"}, [](std::string_view, const MethodCall&) {}, kTimeout));
    onServer([this] {
        server->stop();
        return true;
    });
    auto ended = client->waitForCalls(kTimeout);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->kind, ChannelClient::ErrorKind::disconnected);
    EXPECT_FALSE(fs::exists(path));
}

// Single-instance detection: while one server lives, a second start reports it; once it
// stops, a new one may start.
TEST_F(SocketTransportTest, SecondServerFindsTheRunningOne) {
    asio::io_context secondIo;
    ChannelServer second(secondIo);
    EXPECT_EQ(second.start(path).outcome, ChannelServer::StartOutcome::alreadyRunning);
    onServer([this] {
        server->stop();
        return true;
    });
    EXPECT_EQ(second.start(path).outcome, ChannelServer::StartOutcome::listening);
    second.stop();
}

TEST(ChannelServerStartTest, ReplacesAStaleSocketButNotOtherFiles) {
    const fs::path folder = makeTempFolder();
    const fs::path path = folder / "host.sock";
    asio::io_context io;
    {
        // A socket file with nobody listening, as a crashed instance leaves it.
        Stream::acceptor dead(io, Stream::endpoint(path.string()));
    }
    ASSERT_TRUE(fs::exists(fs::symlink_status(path)));
    {
        ChannelServer server(io);
        EXPECT_EQ(server.start(path).outcome, ChannelServer::StartOutcome::listening);
    }
    EXPECT_FALSE(fs::exists(path));

    {
        std::ofstream(path) << "not a socket";
        ChannelServer server(io);
        auto started = server.start(path);
        EXPECT_EQ(started.outcome, ChannelServer::StartOutcome::failed);
        EXPECT_TRUE(fs::is_regular_file(path));
    }
    fs::remove_all(folder);
}

// The socket folder must be private and owned by the user; a link or an unusable name is
// refused rather than followed.
TEST(ChannelSocketPathTest, PreparesAPrivateFolderUnderTheRuntimeDirectory) {
    const fs::path runtime = makeTempFolder();
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    auto missing = channelSocketPath("com.orrindale.app", false);
    EXPECT_FALSE(missing);  // the client does not create the folder

    auto path = channelSocketPath("com.orrindale.app", true);
    ASSERT_TRUE(path) << path.error();
    EXPECT_EQ(*path, runtime / "kestralune" / "com.orrindale.app.sock");
    EXPECT_EQ(modeOf(runtime / "kestralune"), 0700u);

    fs::permissions(runtime / "kestralune", fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::add);
    EXPECT_TRUE(channelSocketPath("com.orrindale.app", false));
    EXPECT_EQ(modeOf(runtime / "kestralune"), 0700u);

    for (const char* bad : {"", ".", "..", "a/b"}) {
        EXPECT_FALSE(channelSocketPath(bad, true)) << bad;
    }
    EXPECT_FALSE(channelSocketPath(std::string(200, 'x'), true));

    fs::remove(runtime / "kestralune");
    fs::create_directory(runtime / "elsewhere");
    fs::create_directory_symlink(runtime / "elsewhere", runtime / "kestralune");
    auto linked = channelSocketPath("com.orrindale.app", true);
    ASSERT_FALSE(linked);
    EXPECT_NE(linked.error().find("symbolic link"), std::string::npos);

    if (saved != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    fs::remove_all(runtime);
}

// Connecting where nobody listens must fail as cannotConnect, the case kestralunectl maps
// to its own exit status.
TEST(ChannelClientTest, ConnectingWithoutAHostFails) {
    const fs::path folder = makeTempFolder();
    auto client = ChannelClient::connect(folder / "absent.sock", kTimeout);
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().kind, ChannelClient::ErrorKind::cannotConnect);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kestralune
