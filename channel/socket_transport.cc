#include "channel/socket_transport.h"

#include "channel/channel_frame.h"
#include "platform/log.h"
#include "platform/user_runtime_folder.h"

#include <asio/buffer.hpp>
#include <asio/connect.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <deque>
#include <map>
#include <set>
#include <utility>

namespace kestralune {

using Stream = asio::local::stream_protocol;

namespace {

// sockaddr_un holds 108 bytes including the terminating zero.
constexpr std::size_t kMaxSocketPathLength = 107;
// Frames gathered into one write.
constexpr std::size_t kMaxFramesPerWrite = 64;
// A read buffer grown by one large frame is given back afterwards.
constexpr std::size_t kKeptReadBufferCapacity = 1u << 20;

bool isUsableFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

void logChannel(std::string_view message) {
    logLine("Kestralune channel: " + std::string(message));
}

struct QueuedFrame {
    ByteBuffer header;
    std::shared_ptr<const ByteBuffer> payload;  // shared by every listener of one send

    std::size_t size() const { return header.size() + (payload ? payload->size() : 0); }
};

class ServerConnection;

}  // namespace

Result<std::filesystem::path, std::string> channelSocketPath(std::string_view bundleIdentifier,
                                                             bool createFolder) {
    if (!isUsableFileName(bundleIdentifier)) {
        return "\"" + std::string(bundleIdentifier) + "\" cannot name a socket.";
    }
    const std::filesystem::path folder = userRuntimeFolderPath("kestralune");
    if (std::string problem = preparePrivateFolder(folder, createFolder); !problem.empty()) {
        return problem;
    }
    std::filesystem::path path = folder / (std::string(bundleIdentifier) + ".sock");
    if (path.native().size() > kMaxSocketPathLength) {
        return "The socket path " + path.string() + " is too long.";
    }
    return path;
}

// ---------------------------------------------------------------------------------------------
// Server

struct ChannelServer::Core : std::enable_shared_from_this<ChannelServer::Core> {
    explicit Core(asio::io_context& io) : io(io), acceptor(io), retryTimer(io) {}

    void accept();
    void dispatch(ServerConnection& from, std::uint32_t id, std::string_view channel,
                  ByteView payload);
    void stop();

    asio::io_context& io;
    Stream::acceptor acceptor;
    asio::steady_timer retryTimer;
    // Shared so a call holds its handler cheaply even if the handler replaces itself.
    std::map<std::string, std::shared_ptr<const BinaryMessageHandler>, std::less<>> handlers;
    std::set<std::shared_ptr<ServerConnection>> connections;
    std::unique_ptr<FileLock> lock;
    std::filesystem::path socketPath;
    bool listening = false;
};

namespace {

// One client of the server. Kept alive by its pending reads and writes and by the server's
// set; replies hold it weakly.
class ServerConnection : public std::enable_shared_from_this<ServerConnection> {
  public:
    ServerConnection(Stream::socket socket, std::weak_ptr<ChannelServer::Core> core)
        : socket(std::move(socket)), core(std::move(core)) {}

    void start() { readLength(); }
    bool isOpen() const { return open; }
    bool listensTo(std::string_view channel) const {
        return subscriptions.find(channel) != subscriptions.end();
    }

    // Closes this client alone; `reason` is logged unless the close was orderly.
    void close(std::string_view reason) {
        if (!open) {
            return;
        }
        open = false;
        if (!reason.empty()) {
            logChannel("disconnected a client: " + std::string(reason));
        }
        std::error_code ignored;
        socket.close(ignored);
        // Queued frames stay until the connection is destroyed: a write still in flight
        // refers to them until its handler has run.
        if (auto server = core.lock()) {
            server->connections.erase(shared_from_this());
        }
    }

    void sendReply(std::uint32_t id, ByteBuffer reply) {
        if (!open) {
            return;
        }
        if (kFrameFixedSize + reply.size() > kMaxFrameLength) {
            logChannel("a reply of " + std::to_string(reply.size()) + " bytes is too large");
            reply = encodeErrorEnvelope("reply_too_large", "The reply is too large to send.");
        }
        auto header = encodeFrameHeader(FrameKind::reply, id, {}, reply.size());
        enqueue(QueuedFrame{
            std::move(header),
            reply.empty() ? nullptr : std::make_shared<const ByteBuffer>(std::move(reply))});
    }

    void enqueue(QueuedFrame frame) {
        if (!open) {
            return;
        }
        if (queuedBytes + frame.size() > ChannelServer::kMaxQueuedBytes) {
            close("it does not read what is sent to it");
            return;
        }
        queuedBytes += frame.size();
        queue.push_back(std::move(frame));
        if (!writing) {
            writeNext();
        }
    }

  private:
    void readLength() {
        asio::async_read(socket, asio::buffer(lengthField),
                         [self = shared_from_this()](std::error_code error, std::size_t) {
                             if (error) {
                                 self->closeAfterError(error);
                                 return;
                             }
                             auto length = parseFrameLength(self->lengthField);
                             if (!length) {
                                 self->close(length.error());
                                 return;
                             }
                             self->readBody(*length);
                         });
    }

    void readBody(std::uint32_t length) {
        body.resize(length);
        asio::async_read(socket, asio::buffer(body),
                         [self = shared_from_this()](std::error_code error, std::size_t) {
                             if (error) {
                                 self->closeAfterError(error);
                                 return;
                             }
                             self->handleBody();
                             if (self->open) {
                                 if (self->body.capacity() > kKeptReadBufferCapacity) {
                                     ByteBuffer().swap(self->body);
                                 }
                                 self->readLength();
                             }
                         });
    }

    void closeAfterError(std::error_code error) {
        const bool orderly = error == asio::error::eof || error == asio::error::operation_aborted ||
                             error == asio::error::connection_reset;
        close(orderly ? std::string() : error.message());
    }

    void handleBody() {
        auto frame = parseFrameBody(body);
        if (!frame) {
            close(frame.error());
            return;
        }
        switch (frame->kind) {
            case FrameKind::call:
                if (auto server = core.lock()) {
                    server->dispatch(*this, frame->id, frame->channel, frame->payload);
                } else {
                    close({});
                }
                return;
            case FrameKind::listen:
                subscriptions.emplace(frame->channel);
                sendReply(frame->id, {});
                return;
            case FrameKind::reply:
            case FrameKind::outgoingCall:
                close("it sent a frame only the host may send");
                return;
        }
    }

    void writeNext() {
        if (queue.empty() || !open) {
            writing = false;
            return;
        }
        writing = true;
        std::vector<asio::const_buffer> buffers;
        const std::size_t frames = std::min(queue.size(), kMaxFramesPerWrite);
        buffers.reserve(frames * 2);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            const QueuedFrame& frame = queue[i];
            buffers.emplace_back(asio::buffer(frame.header));
            if (frame.payload) {
                buffers.emplace_back(asio::buffer(*frame.payload));
            }
            bytes += frame.size();
        }
        asio::async_write(
            socket, buffers,
            [self = shared_from_this(), frames, bytes](std::error_code error, std::size_t) {
                if (error) {
                    self->writing = false;
                    self->closeAfterError(error);
                    return;
                }
                self->queue.erase(self->queue.begin(),
                                  self->queue.begin() + static_cast<std::ptrdiff_t>(frames));
                self->queuedBytes -= bytes;
                self->writeNext();
            });
    }

    Stream::socket socket;
    std::weak_ptr<ChannelServer::Core> core;
    std::array<std::uint8_t, kFrameLengthFieldSize> lengthField{};
    ByteBuffer body;
    std::set<std::string, std::less<>> subscriptions;
    std::deque<QueuedFrame> queue;
    std::size_t queuedBytes = 0;
    bool writing = false;
    bool open = true;
};

}  // namespace

void ChannelServer::Core::accept() {
    acceptor.async_accept([weak = weak_from_this()](std::error_code error, Stream::socket socket) {
        auto self = weak.lock();
        if (!self || !self->listening) {
            return;
        }
        if (error) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            // Out of descriptors, most likely: try again shortly instead of spinning.
            logChannel("accepting a client failed: " + error.message());
            self->retryTimer.expires_after(std::chrono::milliseconds(100));
            self->retryTimer.async_wait([weak](std::error_code waitError) {
                auto server = weak.lock();
                if (!waitError && server && server->listening) {
                    server->accept();
                }
            });
            return;
        }
        if (self->connections.size() >= kMaxClients) {
            logChannel("refused a client: too many clients");
            std::error_code ignored;
            socket.close(ignored);
        } else {
            auto connection = std::make_shared<ServerConnection>(std::move(socket), self);
            self->connections.insert(connection);
            connection->start();
        }
        self->accept();
    });
}

void ChannelServer::Core::dispatch(ServerConnection& from, std::uint32_t id,
                                   std::string_view channel, ByteView payload) {
    auto found = handlers.find(channel);
    if (found == handlers.end()) {
        from.sendReply(id, {});
        return;
    }
    const auto handler = found->second;
    (*handler)(payload, [weak = from.weak_from_this(), id](ByteBuffer reply) {
        if (auto connection = weak.lock()) {
            connection->sendReply(id, std::move(reply));
        }
    });
}

void ChannelServer::Core::stop() {
    listening = false;
    std::error_code ignored;
    acceptor.close(ignored);
    retryTimer.cancel();
    auto all = std::move(connections);
    connections.clear();
    for (const auto& connection : all) {
        connection->close({});
    }
    if (!socketPath.empty()) {
        std::filesystem::remove(socketPath, ignored);
        socketPath.clear();
    }
    // Released last, so no new instance starts before this one's socket is gone.
    lock.reset();
}

ChannelServer::ChannelServer(asio::io_context& io) : core(std::make_shared<Core>(io)) {}

ChannelServer::~ChannelServer() {
    core->stop();
}

ChannelServer::StartResult ChannelServer::start(const std::filesystem::path& socketPath) {
    if (core->listening) {
        return {StartOutcome::failed, "The channel server is already listening."};
    }
    if (socketPath.native().empty() || socketPath.native().size() > kMaxSocketPathLength) {
        return {StartOutcome::failed, "The socket path " + socketPath.string() + " is unusable."};
    }
    auto attempt = FileLock::tryAcquire(socketPath.native() + ".lock");
    if (attempt.outcome == FileLock::Outcome::heldElsewhere) {
        return {StartOutcome::alreadyRunning, {}};
    }
    if (attempt.outcome == FileLock::Outcome::failed) {
        return {StartOutcome::failed, attempt.error};
    }

    const Stream::endpoint endpoint(socketPath.native());
    std::error_code error;
    {
        // A socket that still accepts belongs to a live instance (one that predates the lock,
        // or whose lock file was removed); a full backlog means the same.
        Stream::socket probe(core->io);
        probe.open(Stream(), error);
        if (!error) {
            probe.non_blocking(true, error);
        }
        if (!error) {
            probe.connect(endpoint, error);
            if (!error || error == asio::error::would_block || error == asio::error::try_again ||
                error == asio::error::in_progress) {
                return {StartOutcome::alreadyRunning, {}};
            }
        }
    }
    const auto status = std::filesystem::symlink_status(socketPath, error);
    if (std::filesystem::exists(status)) {
        if (status.type() != std::filesystem::file_type::socket) {
            return {StartOutcome::failed, socketPath.string() + " exists and is not a socket."};
        }
        // Left by an instance that died without cleaning up.
        std::filesystem::remove(socketPath, error);
    }

    core->acceptor.open(endpoint.protocol(), error);
    if (!error) {
        core->acceptor.bind(endpoint, error);
    }
    if (!error) {
        core->acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        std::error_code ignored;
        core->acceptor.close(ignored);
        return {StartOutcome::failed,
                "Cannot listen on " + socketPath.string() + ": " + error.message()};
    }
    std::filesystem::permissions(
        socketPath, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        error);
    if (error) {
        core->acceptor.close(error);
        std::filesystem::remove(socketPath, error);
        return {StartOutcome::failed, "Cannot restrict " + socketPath.string() + "."};
    }
    core->lock = std::move(attempt.lock);
    core->socketPath = socketPath;
    core->listening = true;
    core->accept();
    return {StartOutcome::listening, {}};
}

void ChannelServer::stop() {
    core->stop();
}

bool ChannelServer::isListening() const {
    return core->listening;
}

std::size_t ChannelServer::clientCount() const {
    return core->connections.size();
}

void ChannelServer::send(std::string_view channel, ByteBuffer message, BinaryReplyHandler reply) {
    if (reply) {
        asio::post(core->io, [reply = std::move(reply)] { reply({}); });
    }
    if (channel.empty() || channel.size() > kMaxChannelNameLength ||
        kFrameFixedSize + channel.size() + message.size() > kMaxFrameLength) {
        logChannel("dropped an outgoing call that does not fit in a frame");
        return;
    }
    std::vector<std::shared_ptr<ServerConnection>> listeners;
    for (const auto& connection : core->connections) {
        if (connection->listensTo(channel)) {
            listeners.push_back(connection);
        }
    }
    if (listeners.empty()) {
        return;
    }
    auto payload = std::make_shared<const ByteBuffer>(std::move(message));
    for (const auto& listener : listeners) {
        listener->enqueue(QueuedFrame{
            encodeFrameHeader(FrameKind::outgoingCall, 0, channel, payload->size()), payload});
    }
}

void ChannelServer::setMessageHandler(std::string_view channel, BinaryMessageHandler handler) {
    if (handler) {
        core->handlers.insert_or_assign(
            std::string(channel), std::make_shared<const BinaryMessageHandler>(std::move(handler)));
    } else if (auto found = core->handlers.find(channel); found != core->handlers.end()) {
        core->handlers.erase(found);
    }
}

// ---------------------------------------------------------------------------------------------
// Client

struct ChannelClient::Impl {
    using Clock = std::chrono::steady_clock;
    using Deadline = std::optional<Clock::time_point>;

    void fail(ErrorKind kind, std::string message) {
        if (closed) {
            return;
        }
        closed = true;
        failure = Error{kind, std::move(message)};
        std::error_code ignored;
        socket.close(ignored);
    }

    // Runs handlers until `done` holds, the connection is closed or the deadline passes.
    bool pump(const std::function<bool()>& done, Deadline deadline) {
        while (!done()) {
            if (closed) {
                return false;
            }
            if (io.stopped()) {
                io.restart();
            }
            if (deadline) {
                if (Clock::now() >= *deadline) {
                    return false;
                }
                io.run_one_until(*deadline);
            } else {
                io.run_one();
            }
        }
        return true;
    }

    void readLength() {
        asio::async_read(socket, asio::buffer(lengthField),
                         [this](std::error_code error, std::size_t) {
                             if (error) {
                                 readFailed(error);
                                 return;
                             }
                             auto length = parseFrameLength(lengthField);
                             if (!length) {
                                 fail(ErrorKind::protocolError, length.error());
                                 return;
                             }
                             body.resize(*length);
                             asio::async_read(socket, asio::buffer(body),
                                              [this](std::error_code bodyError, std::size_t) {
                                                  if (bodyError) {
                                                      readFailed(bodyError);
                                                      return;
                                                  }
                                                  handleBody();
                                                  if (!closed) {
                                                      readLength();
                                                  }
                                              });
                         });
    }

    void readFailed(std::error_code error) {
        if (error == asio::error::eof) {
            fail(ErrorKind::disconnected, "The host closed the connection.");
        } else {
            fail(ErrorKind::disconnected, error.message());
        }
    }

    void handleBody() {
        auto frame = parseFrameBody(body);
        if (!frame) {
            fail(ErrorKind::protocolError, frame.error());
            return;
        }
        switch (frame->kind) {
            case FrameKind::reply:
                // A reply to a call that already timed out is dropped.
                if (awaitedId != 0 && frame->id == awaitedId) {
                    awaitedReply.emplace(frame->payload.begin(), frame->payload.end());
                }
                return;
            case FrameKind::outgoingCall: {
                auto call = decodeMethodCall(frame->payload);
                if (!call) {
                    fail(ErrorKind::protocolError,
                         "undecodable call from the host: " + call.error().message);
                    return;
                }
                if (handler) {
                    handler(frame->channel, *call);
                }
                return;
            }
            case FrameKind::call:
            case FrameKind::listen:
                fail(ErrorKind::protocolError, "the host sent a frame only a client may send");
                return;
        }
    }

    Result<ByteBuffer, Error> request(FrameKind kind, std::string_view channel, ByteView payload,
                                      Timeout timeout) {
        if (closed) {
            return *failure;
        }
        if (channel.empty() || channel.size() > kMaxChannelNameLength ||
            kFrameFixedSize + channel.size() + payload.size() > kMaxFrameLength) {
            return Error{ErrorKind::protocolError, "The message does not fit in a frame."};
        }
        const auto deadline = Clock::now() + timeout;
        if (++nextId == 0) {
            ++nextId;
        }
        awaitedId = nextId;
        awaitedReply.reset();
        outgoingHeader = encodeFrameHeader(kind, awaitedId, channel, payload.size());
        writeDone = false;
        const std::array<asio::const_buffer, 2> buffers{
            asio::buffer(outgoingHeader), asio::buffer(payload.data(), payload.size())};
        asio::async_write(socket, buffers, [this](std::error_code error, std::size_t) {
            if (error) {
                fail(ErrorKind::disconnected, error.message());
            } else {
                writeDone = true;
            }
        });
        if (!pump([this] { return writeDone; }, deadline)) {
            // A half-written frame leaves the stream unusable, and the write still refers to
            // the caller's payload: close now.
            fail(ErrorKind::timedOut, "Timed out sending to the host.");
            awaitedId = 0;
            return *failure;
        }
        const bool answered = pump([this] { return awaitedReply.has_value(); }, deadline);
        awaitedId = 0;
        if (!answered) {
            if (closed) {
                return *failure;
            }
            return Error{ErrorKind::timedOut, "Timed out waiting for the host's reply."};
        }
        return std::move(*awaitedReply);
    }

    asio::io_context io;
    Stream::socket socket{io};
    std::array<std::uint8_t, kFrameLengthFieldSize> lengthField{};
    ByteBuffer body;
    ByteBuffer outgoingHeader;
    bool writeDone = false;
    bool closed = false;
    std::optional<Error> failure;
    std::uint32_t nextId = 0;
    std::uint32_t awaitedId = 0;
    std::optional<ByteBuffer> awaitedReply;
    OutgoingCallHandler handler;
    bool stopRequested = false;
};

ChannelClient::ChannelClient(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

ChannelClient::~ChannelClient() = default;

Result<std::unique_ptr<ChannelClient>, ChannelClient::Error> ChannelClient::connect(
    const std::filesystem::path& socketPath, Timeout timeout) {
    if (socketPath.native().empty() || socketPath.native().size() > kMaxSocketPathLength) {
        return Error{ErrorKind::cannotConnect,
                     "The socket path " + socketPath.string() + " is unusable."};
    }
    auto impl = std::make_unique<Impl>();
    std::optional<std::error_code> outcome;
    impl->socket.async_connect(Stream::endpoint(socketPath.native()),
                               [&outcome](std::error_code error) { outcome = error; });
    const auto deadline = Impl::Clock::now() + timeout;
    if (!impl->pump([&outcome] { return outcome.has_value(); }, deadline)) {
        return Error{ErrorKind::cannotConnect,
                     "Timed out connecting to " + socketPath.string() + "."};
    }
    if (*outcome) {
        return Error{ErrorKind::cannotConnect,
                     "Cannot connect to " + socketPath.string() + ": " + outcome->message()};
    }
    impl->readLength();
    return std::unique_ptr<ChannelClient>(new ChannelClient(std::move(impl)));
}

Result<ByteBuffer, ChannelClient::Error> ChannelClient::callRaw(std::string_view channel,
                                                                ByteView message, Timeout timeout) {
    return impl->request(FrameKind::call, channel, message, timeout);
}

Result<MethodReply, ChannelClient::Error> ChannelClient::call(std::string_view channel,
                                                              const MethodCall& call,
                                                              Timeout timeout) {
    auto bytes = callRaw(channel, encodeMethodCall(call), timeout);
    if (!bytes) {
        return bytes.error();
    }
    auto reply = decodeReply(*bytes);
    if (!reply) {
        return Error{ErrorKind::protocolError, "undecodable reply: " + reply.error().message};
    }
    return std::move(reply).value();
}

std::optional<ChannelClient::Error> ChannelClient::listen(const std::vector<std::string>& channels,
                                                          OutgoingCallHandler handler,
                                                          Timeout timeout) {
    impl->handler = std::move(handler);
    const auto deadline = Impl::Clock::now() + timeout;
    for (const auto& channel : channels) {
        const auto left = std::chrono::duration_cast<Timeout>(deadline - Impl::Clock::now());
        auto ack = impl->request(FrameKind::listen, channel, {}, std::max(left, Timeout(0)));
        if (!ack) {
            return ack.error();
        }
    }
    return std::nullopt;
}

std::optional<ChannelClient::Error> ChannelClient::waitForCalls(std::optional<Timeout> timeout) {
    impl->stopRequested = false;
    Impl::Deadline deadline;
    if (timeout) {
        deadline = Impl::Clock::now() + *timeout;
    }
    if (impl->pump([this] { return impl->stopRequested; }, deadline)) {
        return std::nullopt;
    }
    if (impl->closed) {
        return impl->failure;
    }
    return Error{ErrorKind::timedOut, "Timed out waiting for calls from the host."};
}

void ChannelClient::stopWaiting() {
    impl->stopRequested = true;
}

}  // namespace kestralune
