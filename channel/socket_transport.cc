#include "channel/socket_transport.h"

#include "channel/channel_frame.h"
#include "channel/frame_reader.h"
#include "platform/log.h"
#include "platform/user_runtime_folder.h"

#include <asio/buffer.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace kestralune {

using Stream = asio::local::stream_protocol;

namespace {

// sockaddr_un holds 108 bytes including the terminating zero.
constexpr std::size_t kMaxSocketPathLength = 107;
// Frames gathered into one write.
constexpr std::size_t kMaxFramesPerWrite = 64;
// Replies up to this size are copied behind their header and written as one buffer.
constexpr std::size_t kJoinedReplyLimit = 512;

bool isUsableFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

void logChannel(std::string_view message) {
    logLine("Kestralune channel: " + std::string(message));
}

using SteadyClock = std::chrono::steady_clock;

struct QueuedFrame {
    ByteBuffer header;
    std::shared_ptr<const ByteBuffer> payload;  // shared by every listener of one send

    std::size_t size() const { return header.size() + (payload ? payload->size() : 0); }
};

std::string describeBytes(std::size_t bytes) {
    constexpr std::size_t kMebibyte = 1024 * 1024;
    if (bytes % kMebibyte == 0) {
        return std::to_string(bytes / kMebibyte) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

std::string describeDuration(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0) {
        return std::to_string(duration.count() / 1000) + " s";
    }
    return std::to_string(duration.count()) + " ms";
}

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
    Core(asio::io_context& io, ChannelServerLimits limits)
        : io(io), limits(limits), acceptor(io), retryTimer(io), partialFrameTimer(io) {}

    void accept();
    void dispatch(ServerConnection& from, std::uint32_t id, std::string_view channel,
                  ByteView payload);
    // A connection has begun to hold a partial frame: make sure the timer will look at it.
    void watchPartialFrames();
    void armPartialFrameTimer(std::chrono::steady_clock::time_point due);
    void dropStalledClients();
    void stop();

    asio::io_context& io;
    const ChannelServerLimits limits;
    Stream::acceptor acceptor;
    asio::steady_timer retryTimer;
    // Armed while some connection holds a partial frame, for the earliest one's deadline.
    asio::steady_timer partialFrameTimer;
    bool partialFrameTimerArmed = false;
    // Shared so a call holds its handler cheaply even if the handler replaces itself.
    std::map<std::string, std::shared_ptr<const BinaryMessageHandler>, std::less<>> handlers;
    std::set<std::shared_ptr<ServerConnection>> connections;
    // Input being assembled and output waiting, over every connection.
    std::size_t heldBytes = 0;
    std::unique_ptr<FileLock> lock;
    std::filesystem::path socketPath;
    bool listening = false;
};

namespace {

// One client of the server. Kept alive by its pending read and write and by the server's
// set; replies hold it weakly. It touches the server only while open: the server closes every
// connection before it goes.
class ServerConnection : public std::enable_shared_from_this<ServerConnection> {
  public:
    ServerConnection(Stream::socket socket, ChannelServer::Core& server)
        : socket(std::move(socket)), server(server), partialSince(SteadyClock::now()) {}

    void start() {
        // Replies are written straight from the handler when the socket takes them at once.
        std::error_code error;
        socket.non_blocking(true, error);
        if (error) {
            close(error.message());
            return;
        }
        waitForInput();
    }
    bool isOpen() const { return open; }
    bool listensTo(std::string_view channel) const {
        return subscriptions.find(channel) != subscriptions.end();
    }
    // Since when this client has held an unfinished frame (or, before its first frame, since
    // it connected); nullopt while it holds none.
    std::optional<SteadyClock::time_point> holdingPartialFrameSince() const { return partialSince; }
    bool hasSentAFrame() const { return sentAFrame; }

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
        account();
        // Queued frames stay until the connection is destroyed: a write still in flight
        // refers to them until its handler has run.
        server.connections.erase(shared_from_this());
    }

    void sendReply(std::uint32_t id, ByteBuffer reply) {
        if (!open) {
            return;
        }
        if (kFrameFixedSize + reply.size() > kMaxFrameLength) {
            logChannel("a reply of " + std::to_string(reply.size()) + " bytes is too large");
            reply = encodeErrorEnvelope("reply_too_large", "The reply is too large to send.");
        }
        header.clear();
        appendFrameHeader(header, FrameKind::reply, id, {}, reply.size());
        if (reply.size() <= kJoinedReplyLimit) {
            // One buffer goes out with a plain send, cheaper than a gathered write.
            header.insert(header.end(), reply.begin(), reply.end());
            reply.clear();
        }
        const std::size_t written = writeNow(header, reply);
        if (open && written < header.size() + reply.size()) {
            queueFrame(QueuedFrame{header, reply.empty() ? nullptr
                                                         : std::make_shared<const ByteBuffer>(
                                                               std::move(reply))},
                       written);
        }
    }

    void sendOutgoing(const ByteBuffer& callHeader, std::shared_ptr<const ByteBuffer> payload) {
        if (!open) {
            return;
        }
        const std::size_t written = writeNow(callHeader, *payload);
        if (open && written < callHeader.size() + payload->size()) {
            queueFrame(QueuedFrame{callHeader, std::move(payload)}, written);
        }
    }

  private:
    // Reads what arrives into the frame reader and handles it. asio tries the read at once
    // only when the previous one filled its buffer; otherwise the read waits for the socket
    // without a system call, so a call costs the host one wait, one read and one write.
    void waitForInput() {
        if (!makeRoom()) {
            return;
        }
        const auto space = reader.space();
        account();
        socket.async_read_some(
            asio::buffer(space.data(), space.size()),
            [self = shared_from_this()](std::error_code error, std::size_t count) {
                if (error) {
                    self->closeAfterError(error);
                    return;
                }
                self->received(count);
                if (self->open) {
                    self->waitForInput();
                }
            });
    }

    // Grows the input buffer when the frame being assembled needs it and the bound on what
    // all clients hold allows it; otherwise drops this client.
    bool makeRoom() {
        const std::size_t wanted = reader.capacityForNextRead();
        if (wanted <= reader.capacity()) {
            return true;
        }
        if (server.heldBytes + (wanted - reader.capacity()) > server.limits.maxHeldBytes) {
            close("its frame would take the clients' buffers past " +
                  describeBytes(server.limits.maxHeldBytes));
            return false;
        }
        return true;
    }

    void received(std::size_t count) {
        reader.received(count);
        bool completed = false;
        while (open) {
            auto frame = reader.next();
            if (!frame) {
                close(frame.error());
                return;
            }
            if (!*frame) {
                break;
            }
            completed = true;
            sentAFrame = true;
            handleFrame(**frame);
        }
        if (!open) {
            return;
        }
        if (!reader.holdsPartialFrame() && sentAFrame) {
            partialSince.reset();
        } else if (completed || !partialSince) {
            // A new frame has begun.
            partialSince = SteadyClock::now();
            server.watchPartialFrames();
        }
    }

    void closeAfterError(std::error_code error) {
        const bool orderly = error == asio::error::eof || error == asio::error::operation_aborted ||
                             error == asio::error::connection_reset ||
                             error == asio::error::broken_pipe;
        close(orderly ? std::string() : error.message());
    }

    void handleFrame(const FrameView& frame) {
        switch (frame.kind) {
            case FrameKind::call:
                server.dispatch(*this, frame.id, frame.channel, frame.payload);
                return;
            case FrameKind::listen:
                subscriptions.emplace(frame.channel);
                sendReply(frame.id, {});
                return;
            case FrameKind::reply:
            case FrameKind::outgoingCall:
                close("it sent a frame only the host may send");
                return;
        }
    }

    // Writes what the socket takes at once, when nothing waits ahead of the frame; returns the
    // bytes written (0 when they must wait, or when a failed write closed the connection).
    std::size_t writeNow(ByteView frameHeader, ByteView payload) {
        if (!queue.empty()) {
            return 0;
        }
        std::error_code error;
        const std::size_t written =
            payload.empty()
                ? socket.write_some(asio::buffer(frameHeader.data(), frameHeader.size()), error)
                : socket.write_some(
                      std::array<asio::const_buffer, 2>{
                          asio::buffer(frameHeader.data(), frameHeader.size()),
                          asio::buffer(payload.data(), payload.size())},
                      error);
        if (error && error != asio::error::would_block && error != asio::error::try_again) {
            closeAfterError(error);
        }
        return written;
    }

    // Keeps the unwritten rest of a frame (`written` bytes of it are out) for an async write.
    void queueFrame(QueuedFrame frame, std::size_t written) {
        if (queuedBytes + frame.size() > ChannelServer::kMaxQueuedBytes) {
            close("it does not read what is sent to it");
            return;
        }
        if (server.heldBytes + frame.size() > server.limits.maxHeldBytes) {
            close("its output would take the clients' buffers past " +
                  describeBytes(server.limits.maxHeldBytes));
            return;
        }
        if (queue.empty()) {
            frontWritten = written;
        }
        queuedBytes += frame.size();
        queue.push_back(std::move(frame));
        account();
        if (!writing) {
            writeNext();
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
        for (std::size_t i = 0; i < frames; ++i) {
            const QueuedFrame& frame = queue[i];
            // Only the front frame can have been written in part.
            const std::size_t skip = i == 0 ? frontWritten : 0;
            const std::size_t headerSkip = std::min(skip, frame.header.size());
            if (headerSkip < frame.header.size()) {
                buffers.push_back(asio::buffer(frame.header) + headerSkip);
            }
            if (frame.payload && skip - headerSkip < frame.payload->size()) {
                buffers.push_back(asio::buffer(*frame.payload) + (skip - headerSkip));
            }
        }
        socket.async_write_some(
            buffers, [self = shared_from_this()](std::error_code error, std::size_t count) {
                if (error) {
                    self->writing = false;
                    self->closeAfterError(error);
                    return;
                }
                self->written(count);
            });
    }

    void written(std::size_t count) {
        if (!open) {
            return;
        }
        while (count > 0) {
            QueuedFrame& front = queue.front();
            const std::size_t left = front.size() - frontWritten;
            if (count < left) {
                frontWritten += count;
                break;
            }
            count -= left;
            queuedBytes -= front.size();
            queue.pop_front();
            frontWritten = 0;
        }
        account();
        writeNext();
    }

    // Brings the server's total up to date with what this connection holds now.
    void account() {
        const std::size_t holding = open ? reader.capacity() + queuedBytes : 0;
        server.heldBytes = server.heldBytes - accounted + holding;
        accounted = holding;
    }

    Stream::socket socket;
    ChannelServer::Core& server;
    FrameReader reader;
    std::optional<SteadyClock::time_point> partialSince;
    bool sentAFrame = false;
    std::set<std::string, std::less<>> subscriptions;
    // Kept for the reply headers, so a reply written at once allocates nothing here.
    ByteBuffer header;
    std::deque<QueuedFrame> queue;
    std::size_t frontWritten = 0;
    std::size_t queuedBytes = 0;
    std::size_t accounted = 0;
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
            auto connection = std::make_shared<ServerConnection>(std::move(socket), *self);
            self->connections.insert(connection);
            connection->start();
            // Until its first frame is complete, a client counts as holding a partial one.
            self->watchPartialFrames();
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

void ChannelServer::Core::watchPartialFrames() {
    // When armed, it is for an earlier deadline than that of a frame begun now.
    if (!partialFrameTimerArmed) {
        armPartialFrameTimer(SteadyClock::now() + limits.partialFrameTimeout);
    }
}

void ChannelServer::Core::armPartialFrameTimer(SteadyClock::time_point due) {
    partialFrameTimerArmed = true;
    partialFrameTimer.expires_at(due);
    partialFrameTimer.async_wait([weak = weak_from_this()](std::error_code error) {
        auto self = weak.lock();
        if (self && !error) {
            self->partialFrameTimerArmed = false;
            self->dropStalledClients();
        }
    });
}

void ChannelServer::Core::dropStalledClients() {
    const auto now = SteadyClock::now();
    std::optional<SteadyClock::time_point> earliest;
    std::vector<std::shared_ptr<ServerConnection>> stalled;
    for (const auto& connection : connections) {
        const auto since = connection->holdingPartialFrameSince();
        if (!since) {
            continue;
        }
        if (*since + limits.partialFrameTimeout <= now) {
            stalled.push_back(connection);
        } else if (!earliest || *since < *earliest) {
            earliest = since;
        }
    }
    const std::string limit = describeDuration(limits.partialFrameTimeout);
    for (const auto& connection : stalled) {
        connection->close(connection->hasSentAFrame() ? "it left a frame unfinished for " + limit
                                                      : "it sent no frame within " + limit);
    }
    if (earliest) {
        armPartialFrameTimer(*earliest + limits.partialFrameTimeout);
    }
}

void ChannelServer::Core::stop() {
    listening = false;
    std::error_code ignored;
    acceptor.close(ignored);
    retryTimer.cancel();
    partialFrameTimer.cancel();
    partialFrameTimerArmed = false;
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

ChannelServer::ChannelServer(asio::io_context& io, ChannelServerLimits limits)
    : core(std::make_shared<Core>(io, limits)) {}

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

std::size_t ChannelServer::heldBytes() const {
    return core->heldBytes;
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
    const ByteBuffer header =
        encodeFrameHeader(FrameKind::outgoingCall, 0, channel, payload->size());
    for (const auto& listener : listeners) {
        listener->sendOutgoing(header, payload);
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

}  // namespace kestralune
