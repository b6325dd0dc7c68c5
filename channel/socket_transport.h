#pragma once

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_result.h"
#include "channel/result.h"
#include "channel/standard_codec.h"

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The channels over a Unix-domain stream socket: the host serves them with ChannelServer on
// its main io_context; kestralunectl, a second host instance and tests connect with
// ChannelClient. Frame format: channel/channel_frame.h and docs/channel-protocol.md.
namespace kestralune {

// The socket of the host with `bundleIdentifier`: "<runtime folder>/<bundleIdentifier>.sock"
// in the private folder userRuntimeFolderPath("kestralune"). The folder is created when
// `createFolder` (the server) and verified in both cases (private, owned by the user, not a
// link). Fails for an identifier that cannot be a file name or a path too long for a socket.
[[nodiscard]] Result<std::filesystem::path, std::string> channelSocketPath(
    std::string_view bundleIdentifier, bool createFolder);

// Bounds on what the host keeps for its clients; the defaults are the host's own.
struct ChannelServerLimits {
    // A client holding an unfinished frame this long is disconnected; so is one that has sent
    // no complete frame this long after connecting.
    std::chrono::milliseconds partialFrameTimeout{10'000};
    // Input being assembled and output waiting to be written, for all clients together.
    std::size_t maxHeldBytes = 64u * 1024 * 1024;
};

// The host's end: a BinaryMessenger whose other side is every connected client.
//
// Incoming call frames go to the handler registered for their channel; the reply goes back
// to the same client with the call's id (empty when no handler is registered). Outgoing
// sends go to every client that has sent a listen frame for the channel. A reply or outgoing
// call is written at once when the socket takes it, otherwise queued.
//
// What it holds for a client grows with the bytes that arrive, never with a length a frame
// claims: at most one frame being assembled (kMaxFrameLength) and kMaxQueuedBytes of output.
// It drops a client, alone and with one log line, when the client:
//  - sends a malformed or oversized frame, or a kind only the host may send;
//  - stops reading while more than kMaxQueuedBytes wait for it;
//  - holds an unfinished frame for limits.partialFrameTimeout, or has sent no complete frame
//    that long after connecting (a client quiet between frames, such as a listener, is kept);
//  - would take the bytes held for all clients past limits.maxHeldBytes (counting an outgoing
//    call once for each client it waits for).
// More than kMaxClients at once: the further client is accepted and closed at once. A reply
// for a client that has gone is dropped.
//
// Main thread only: every method, handler and reply callback runs on the thread running the
// io_context. The io_context must outlive the server. Destroying the server stops it.
class ChannelServer final : public BinaryMessenger {
  public:
    static constexpr std::size_t kMaxClients = 64;
    static constexpr std::size_t kMaxQueuedBytes = 32u * 1024 * 1024;

    enum class StartOutcome {
        listening,
        // Another live process serves this socket: connect to it with ChannelClient.
        alreadyRunning,
        failed,
    };
    struct StartResult {
        StartOutcome outcome;
        std::string error;  // for failed
    };

    explicit ChannelServer(asio::io_context& io, ChannelServerLimits limits = {});
    ~ChannelServer() override;
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    // Takes the instance lock "<socketPath>.lock", then listens on `socketPath` (mode 0600).
    // A socket file left by a dead instance is replaced only when connecting to it fails; a
    // held lock or a socket that accepts the probe means another instance is alive.
    [[nodiscard]] StartResult start(const std::filesystem::path& socketPath);
    // Disconnects every client, closes the listener, removes the socket file and releases
    // the lock. Handlers stay registered. Idempotent.
    void stop();

    bool isListening() const;
    std::size_t clientCount() const;
    // The bytes held for all clients: their read buffers (a few KiB each, grown only while a
    // larger frame's bytes arrive) and output waiting to be written.
    std::size_t heldBytes() const;

    // Outgoing call to the listening clients. Nobody answers: `reply`, when given, gets the
    // empty reply on a later turn of the loop.
    void send(std::string_view channel, ByteBuffer message, BinaryReplyHandler reply = {}) override;
    void setMessageHandler(std::string_view channel, BinaryMessageHandler handler) override;

    struct Core;

  private:
    std::shared_ptr<Core> core;
};

// A synchronous client for kestralunectl, tests and a second host instance: plain blocking
// socket calls bounded by the timeouts, so it needs no thread and no loop of the caller's (a
// call is one write, one wait and normally one read). Single-threaded; the listen handler must
// not call back into the client except stopWaiting().
class ChannelClient {
  public:
    enum class ErrorKind {
        cannotConnect,
        timedOut,
        disconnected,
        // The host sent something that is not a valid frame or reply.
        protocolError,
    };
    struct Error {
        ErrorKind kind;
        std::string message;
    };
    using Timeout = std::chrono::milliseconds;
    using OutgoingCallHandler =
        std::function<void(std::string_view channel, const MethodCall& call)>;

    [[nodiscard]] static Result<std::unique_ptr<ChannelClient>, Error> connect(
        const std::filesystem::path& socketPath, Timeout timeout);

    ~ChannelClient();
    ChannelClient(const ChannelClient&) = delete;
    ChannelClient& operator=(const ChannelClient&) = delete;

    // Sends a method call and waits for its reply. After a timeout the connection stays
    // usable and the late reply is dropped, unless the call had not been sent in full: half a
    // frame leaves the stream unusable, so the connection is closed.
    [[nodiscard]] Result<MethodReply, Error> call(std::string_view channel, const MethodCall& call,
                                                  Timeout timeout);

    // Subscribes to the host's outgoing calls on each of `channels` and returns once the host
    // has confirmed every subscription, so nothing sent afterwards is missed. Calls are handed
    // to `handler` whenever this client waits (in call, listen or waitForCalls).
    [[nodiscard]] std::optional<Error> listen(const std::vector<std::string>& channels,
                                              OutgoingCallHandler handler, Timeout timeout);
    // Waits for outgoing calls until stopWaiting() is called from the handler (nullopt), the
    // host closes the connection (disconnected), or `timeout` passes (timedOut; no timeout
    // waits indefinitely).
    [[nodiscard]] std::optional<Error> waitForCalls(std::optional<Timeout> timeout = std::nullopt);
    void stopWaiting();

    struct Impl;

  private:
    explicit ChannelClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};

}  // namespace kestralune
