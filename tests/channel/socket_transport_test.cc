#include "tests/channel/channel_server_fixture.h"

#include "channel/channel_frame.h"
#include "platform/blocking_stream_socket.h"

#include <gtest/gtest.h>
#include <asio/local/stream_protocol.hpp>

#include <fstream>

namespace kestralune {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Raw = std::unique_ptr<BlockingStreamSocket>;

// Waits for a real event on the sockets, looking every millisecond.
template <class F>
bool eventually(F done) {
    const auto end = std::chrono::steady_clock::now() + kTestTimeout;
    while (!done() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// A client speaking raw bytes, for the misbehaving cases.
Raw rawClient(const fs::path& path, const ByteBuffer& bytes = {}) {
    std::error_code error;
    auto socket = BlockingStreamSocket::connect(path, kTestTimeout, error);
    EXPECT_FALSE(error || (error = socket->writeAll(bytes, {}, kTestTimeout))) << error.message();
    return socket;
}

// True when the server closes the connection within the timeout.
bool closedByServer(BlockingStreamSocket& socket) {
    std::array<std::uint8_t, 4096> sink{};
    std::error_code error;
    while (socket.readSome(sink, kTestTimeout, error) > 0 || error == std::errc::interrupted) {
    }
    return error != std::errc::timed_out;
}

// The length field of a frame claiming `length`, then `bytes` more.
ByteBuffer frameStart(std::uint32_t length, ByteBuffer bytes = {}) {
    bytes.insert(bytes.begin(), {std::uint8_t(length), std::uint8_t(length >> 8),
                                 std::uint8_t(length >> 16), std::uint8_t(length >> 24)});
    return bytes;
}

class SocketTransportTest : public ChannelServerFixture {
  protected:
    // A client that has been served once.
    std::unique_ptr<ChannelClient> connect() {
        auto client = ChannelClient::connect(path, kTestTimeout).value();
        expectEcho(*client, "first");
        return client;
    }
    // The echo handler answers [method, arguments]; anything else means the host was disturbed.
    void expectEcho(ChannelClient& client, const std::string& method) {
        auto reply = client.call("test/echo", {method, EncodableValue(7)}, kTestTimeout);
        ASSERT_TRUE(reply) << reply.error().message;
        EXPECT_EQ(*reply, MethodReply(MethodSuccess{EncodableValue(
                              EncodableList{EncodableValue(method), EncodableValue(7)})}));
    }
    bool clientCountBecomes(std::size_t n) {
        return eventually([&] { return onServer([this] { return server->clientCount(); }) == n; });
    }
};

// A call reaches its channel's handler and the reply its caller; a channel without a handler is
// not implemented; the socket is private. Garbage closes its client alone.
TEST_F(SocketTransportTest, CallsAreAnsweredAndGarbageClosesOnlyItsClient) {
    auto good = connect();
    EXPECT_EQ(*good->call("no/handler", {"x", {}}, kTestTimeout),
              MethodReply(MethodNotImplemented{}));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    for (const auto& bytes :
         {frameStart(0xffffffff, {0x01}), encodeFrame(FrameKind::reply, 1, {}, {}),
          ByteBuffer{'G', 'E', 'T', ' ', '/', '\r', '\n'}}) {
        EXPECT_TRUE(closedByServer(*rawClient(path, bytes)));
        expectEcho(*good, "still");
    }
}

// Outgoing calls reach exactly the clients listening on their channel, in order, until it stops.
TEST_F(SocketTransportTest, OutgoingCallsReachOnlyListeners) {
    auto listener = connect();
    auto other = connect();
    std::vector<std::string> heard;
    auto record = [&](std::string_view channel, const MethodCall& call) {
        heard.push_back(std::string(channel) + " " + *call.arguments.getIf<std::string>());
        listener->stopWaiting();
    };
    ASSERT_FALSE(listener->listen({"orrindale/blocking"}, record, kTestTimeout));
    ASSERT_FALSE(other->listen({"kestralune/updater"}, record, kTestTimeout));
    onServer([this] {
        blocking().invokeMethod("menuBarAction", EncodableValue("websites"));
        blocking().invokeMethod("authLinkReceived", EncodableValue("kestralune://auth"));
    });
    EXPECT_FALSE(listener->waitForCalls(kTestTimeout));
    EXPECT_FALSE(listener->waitForCalls(kTestTimeout));
    expectEcho(*other, "after");  // anything sent to it would have arrived before this reply
    EXPECT_EQ(heard, (std::vector<std::string>{"orrindale/blocking websites",
                                               "orrindale/blocking kestralune://auth"}));
    // A listener learns that the host went away instead of waiting forever.
    onServer([this] { server->stop(); });
    EXPECT_EQ(listener->waitForCalls(kTestTimeout).value().kind,
              ChannelClient::ErrorKind::disconnected);
}

// A reply too late fails its call alone and is dropped, as is one for a client that left.
TEST_F(SocketTransportTest, LateRepliesAreDropped) {
    std::vector<BinaryReply> slowCalls;  // answered when the test says
    onServer([&] {
        server->setMessageHandler("test/slow", [&](ByteView, BinaryReply reply) {
            slowCalls.push_back(std::move(reply));
        });
    });
    auto staying = connect();
    auto leaving = connect();
    for (auto* client : {staying.get(), leaving.get()}) {
        EXPECT_EQ(client->call("test/slow", {"x", {}}, 20ms).error().kind,
                  ChannelClient::ErrorKind::timedOut);
    }
    leaving.reset();
    ASSERT_TRUE(eventually([&] { return onServer([&] { return slowCalls.size(); }) == 2; }));
    ASSERT_TRUE(clientCountBecomes(1));
    onServer([&] {
        for (auto& late : slowCalls) {
            late(encodeSuccessEnvelope(EncodableValue("too late")));
        }
    });
    expectEcho(*staying, "next");
}

// A listener that never reads is cut off once its queue passes the limit.
TEST_F(SocketTransportTest, ListenerThatNeverReadsIsDisconnected) {
    auto stuck = connect();
    ASSERT_FALSE(stuck->listen({"orrindale/blocking"}, {}, kTestTimeout));
    onServer([this] {
        const ByteBuffer big(1 << 20, 0x00);
        for (std::size_t i = 0; i < ChannelServer::kMaxQueuedBytes / big.size() + 8; ++i) {
            server->send("orrindale/blocking",
                         encodeMethodCall({"menuBarAction", EncodableValue(big)}));
        }
    });
    EXPECT_TRUE(clientCountBecomes(0));
    expectEcho(*connect(), "still");
}

// A claimed length costs nothing until its bytes come (64 clients would otherwise take 1 GiB).
TEST_F(SocketTransportTest, LengthFieldClaimingTheMaximumCostsNothing) {
    // A call and a huge frame's start in one write: once the call is answered, all was read.
    auto raw = rawClient(path);
    (void)raw->writeAll(encodeFrame(FrameKind::call, 1, "test/echo", encodeMethodCall({"x", {}})),
                        frameStart(kMaxFrameLength, {0x01}), kTestTimeout);
    std::array<std::uint8_t, 64> reply{};
    std::error_code error;
    ASSERT_GT(raw->readSome(reply, kTestTimeout, error), 0u);
    onServer([] {});
    EXPECT_LT(onServer([this] { return server->heldBytes(); }), 64u * 1024);
}

// A client stalled inside a frame is dropped after the limit, alone; a quiet listener stays.
TEST_F(SocketTransportTest, ClientStalledInsideAFrameIsDroppedAlone) {
    auto listener = connect();
    auto stop = [&](std::string_view, const MethodCall&) { listener->stopWaiting(); };
    ASSERT_FALSE(listener->listen({"orrindale/blocking"}, stop, kTestTimeout));
    auto good = connect();
    EXPECT_TRUE(closedByServer(*rawClient(path, frameStart(20, {0x01, 0x02}))));
    expectEcho(*good, "still");
    onServer([this] { blocking().invokeMethod("menuBarAction", EncodableValue("apps")); });
    EXPECT_FALSE(listener->waitForCalls(kTestTimeout));
}

// Connections that never send a frame cannot keep the client limit filled.
TEST_F(SocketTransportTest, SilentConnectionsCannotHoldTheClientLimit) {
    std::vector<Raw> silent;
    for (std::size_t i = 0; i < ChannelServer::kMaxClients; ++i) {
        silent.push_back(rawClient(path));
    }
    ASSERT_TRUE(clientCountBecomes(ChannelServer::kMaxClients));
    EXPECT_TRUE(closedByServer(*rawClient(path)));
    ASSERT_TRUE(clientCountBecomes(0));
    expectEcho(*connect(), "served");
}

class SmallBudgetTransportTest : public SocketTransportTest {
  protected:
    SmallBudgetTransportTest() { limits = {10s, 256 * 1024}; }
};

// The client whose frame would take the bytes held for all clients past the bound goes alone.
TEST_F(SmallBudgetTransportTest, ClientThatWouldPassTheBoundIsDroppedAlone) {
    auto good = connect();
    const ByteBuffer start = frameStart(200 * 1024, ByteBuffer(150 * 1024, 0x01));
    auto first = rawClient(path, start);
    ASSERT_TRUE(
        eventually([&] { return onServer([&] { return server->heldBytes(); }) > 150 * 1024; }));
    auto second = rawClient(path);
    (void)second->writeAll(start, {}, kTestTimeout);
    EXPECT_TRUE(closedByServer(*second));
    EXPECT_EQ(onServer([this] { return server->clientCount(); }), 2u);
    expectEcho(*good, "still");
}

// Single instance: a live server is found, a stale socket replaced, anything else left alone.
TEST(ChannelServerStartTest, FindsALiveServerAndReplacesOnlyStaleSockets) {
    const fs::path folder = makeTempFolder(), path = folder / "host.sock";
    asio::io_context io;
    {
        ChannelServer first(io);
        ASSERT_EQ(first.start(path).outcome, ChannelServer::StartOutcome::listening);
        EXPECT_EQ(ChannelServer(io).start(path).outcome,
                  ChannelServer::StartOutcome::alreadyRunning);
    }
    EXPECT_FALSE(fs::exists(path));
    { asio::local::stream_protocol::acceptor dead(io, {path.string()}); }  // as a crash leaves it
    EXPECT_EQ(ChannelServer(io).start(path).outcome, ChannelServer::StartOutcome::listening);
    std::ofstream(path) << "not a socket";
    EXPECT_EQ(ChannelServer(io).start(path).outcome, ChannelServer::StartOutcome::failed);
    fs::remove_all(folder);
}

// The socket folder is private and owned by the user; a link or an unusable name is refused.
TEST(ChannelSocketPathTest, PreparesAPrivateFolderUnderTheRuntimeDirectory) {
    const fs::path runtime = makeTempFolder();
    const std::string saved = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(channelSocketPath("com.orrindale.app", true).value(),
              runtime / "kestralune" / "com.orrindale.app.sock");
    EXPECT_EQ(fs::status(runtime / "kestralune").permissions(), fs::perms::owner_all);
    for (const auto& bad : std::vector<std::string>{"", ".", "..", "a/b", std::string(200, 'x')}) {
        EXPECT_FALSE(channelSocketPath(bad, true)) << bad;
    }
    fs::remove(runtime / "kestralune");
    fs::create_directory_symlink(runtime, runtime / "kestralune");
    EXPECT_FALSE(channelSocketPath("com.orrindale.app", true));
    saved.empty() ? ::unsetenv("XDG_RUNTIME_DIR") : ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    fs::remove_all(runtime);
}

}  // namespace
}  // namespace kestralune
