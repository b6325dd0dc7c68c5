#include "channel/channel_frame.h"
#include "channel/frame_reader.h"
#include "channel/socket_transport.h"
#include "platform/blocking_stream_socket.h"

#include <algorithm>
#include <utility>

namespace kestralune {

// Plain blocking socket calls, no event loop: a call is one write, one wait and normally one
// read.
struct ChannelClient::Impl {
    using Clock = std::chrono::steady_clock;
    using Deadline = std::optional<Clock::time_point>;

    explicit Impl(std::unique_ptr<BlockingStreamSocket> socket) : socket(std::move(socket)) {}

    void fail(ErrorKind kind, std::string message) {
        if (failure) {
            return;
        }
        failure = Error{kind, std::move(message)};
        socket.reset();
    }

    // Handles the frames that have arrived, reading more when they run out, until `done`
    // holds, the connection fails or the deadline passes.
    template <class Done>
    bool pump(const Done& done, Deadline deadline) {
        while (true) {
            while (!done()) {
                auto frame = reader.next();
                if (!frame) {
                    fail(ErrorKind::protocolError, frame.error());
                    return false;
                }
                if (!*frame) {
                    break;
                }
                handle(**frame);
                if (failure) {
                    return false;
                }
            }
            if (done()) {
                return true;
            }
            std::optional<Timeout> left;
            if (deadline) {
                left = std::chrono::ceil<Timeout>(*deadline - Clock::now());
                if (*left <= Timeout(0)) {
                    return false;
                }
            }
            std::error_code error;
            const std::size_t count = socket->readSome(reader.space(), left, error);
            if (error) {
                if (error == std::errc::timed_out || error == std::errc::interrupted) {
                    continue;
                }
                fail(ErrorKind::disconnected, error.message());
                return false;
            }
            if (count == 0) {
                fail(ErrorKind::disconnected, "The host closed the connection.");
                return false;
            }
            reader.received(count);
        }
    }

    void handle(const FrameView& frame) {
        switch (frame.kind) {
            case FrameKind::reply:
                // A reply to a call that already timed out is dropped.
                if (awaitedId != 0 && frame.id == awaitedId) {
                    reply.assign(frame.payload.begin(), frame.payload.end());
                    replied = true;
                }
                return;
            case FrameKind::outgoingCall: {
                auto call = decodeMethodCall(frame.payload);
                if (!call) {
                    fail(ErrorKind::protocolError,
                         "undecodable call from the host: " + call.error().message);
                    return;
                }
                if (handler) {
                    handler(frame.channel, *call);
                }
                return;
            }
            case FrameKind::call:
            case FrameKind::listen:
                fail(ErrorKind::protocolError, "the host sent a frame only a client may send");
                return;
        }
    }

    // The reply's bytes stay valid until the next request.
    Result<ByteView, Error> request(FrameKind kind, std::string_view channel, ByteView payload,
                                    Timeout timeout) {
        if (failure) {
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
        header.clear();
        appendFrameHeader(header, kind, nextId, channel, payload.size());
        if (auto error = socket->writeAll(header, payload, timeout)) {
            // A half-written frame leaves the stream unusable.
            if (error == std::errc::timed_out) {
                fail(ErrorKind::timedOut, "Timed out sending to the host.");
            } else {
                fail(ErrorKind::disconnected, error.message());
            }
            return *failure;
        }
        awaitedId = nextId;
        replied = false;
        const bool answered = pump([this] { return replied; }, deadline);
        awaitedId = 0;
        if (!answered) {
            if (failure) {
                return *failure;
            }
            return Error{ErrorKind::timedOut, "Timed out waiting for the host's reply."};
        }
        return ByteView(reply);
    }

    std::unique_ptr<BlockingStreamSocket> socket;
    FrameReader reader;
    // Kept between calls so that a call allocates nothing for its frame or its reply.
    ByteBuffer header;
    ByteBuffer payload;
    ByteBuffer reply;
    bool replied = false;
    std::optional<Error> failure;
    std::uint32_t nextId = 0;
    std::uint32_t awaitedId = 0;
    OutgoingCallHandler handler;
    bool stopRequested = false;
};

ChannelClient::ChannelClient(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

ChannelClient::~ChannelClient() = default;

Result<std::unique_ptr<ChannelClient>, ChannelClient::Error> ChannelClient::connect(
    const std::filesystem::path& socketPath, Timeout timeout) {
    std::error_code error;
    auto socket = BlockingStreamSocket::connect(socketPath, timeout, error);
    if (error == std::errc::timed_out) {
        return Error{ErrorKind::cannotConnect,
                     "Timed out connecting to " + socketPath.string() + "."};
    }
    if (error) {
        return Error{ErrorKind::cannotConnect,
                     "Cannot connect to " + socketPath.string() + ": " + error.message()};
    }
    return std::unique_ptr<ChannelClient>(
        new ChannelClient(std::make_unique<Impl>(std::move(socket))));
}

Result<MethodReply, ChannelClient::Error> ChannelClient::call(std::string_view channel,
                                                              const MethodCall& call,
                                                              Timeout timeout) {
    impl->payload.clear();
    writeMethodCall(impl->payload, call);
    auto bytes = impl->request(FrameKind::call, channel, impl->payload, timeout);
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
    if (impl->failure) {
        return impl->failure;
    }
    return Error{ErrorKind::timedOut, "Timed out waiting for calls from the host."};
}

void ChannelClient::stopWaiting() {
    impl->stopRequested = true;
}

}  // namespace kestralune
