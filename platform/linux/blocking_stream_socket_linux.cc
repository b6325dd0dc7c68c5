#include "platform/blocking_stream_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

namespace kestralune {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kJoinedWriteLimit = 512;

std::error_code lastError() {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // What a blocking connect reports when its send timeout has passed.
        return std::make_error_code(std::errc::timed_out);
    }
    return {errno, std::generic_category()};
}

// Waits for `events` at most `timeout` (none: indefinitely).
std::error_code waitFor(int fd, short events,
                        std::optional<BlockingStreamSocket::Timeout> timeout) {
    pollfd entry{fd, events, 0};
    const int milliseconds = timeout ? static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
                                           timeout->count(), 0, std::numeric_limits<int>::max()))
                                     : -1;
    const int ready = ::poll(&entry, 1, milliseconds);
    if (ready < 0) {
        return {errno, std::generic_category()};
    }
    return ready == 0 ? std::make_error_code(std::errc::timed_out) : std::error_code();
}

}  // namespace

std::unique_ptr<BlockingStreamSocket> BlockingStreamSocket::connect(
    const std::filesystem::path& path, Timeout timeout, std::error_code& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof(address.sun_path)) {
        error = std::make_error_code(std::errc::filename_too_long);
        return nullptr;
    }
    std::memcpy(address.sun_path, text.data(), text.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = lastError();
        return nullptr;
    }
    const int descriptor = fd.get();
    std::unique_ptr<BlockingStreamSocket> socket(new BlockingStreamSocket(std::move(fd)));
    // A blocking connect waits for room in a full backlog, as long as the send timeout allows
    // (a non-blocking one would fail at once); zero would mean no limit.
    const auto micros = std::max<std::int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count(), 1);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(micros / 1'000'000);
    limit.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
    if (::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
        ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = lastError();
        return nullptr;
    }
    error.clear();
    return socket;
}

std::error_code BlockingStreamSocket::writeAll(std::span<const std::uint8_t> first,
                                               std::span<const std::uint8_t> second,
                                               Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    std::array<iovec, 2> parts{iovec{const_cast<std::uint8_t*>(first.data()), first.size()},
                               iovec{const_cast<std::uint8_t*>(second.data()), second.size()}};
    // A small message goes out joined, with a plain send: cheaper than a gathered write.
    std::array<std::uint8_t, kJoinedWriteLimit> joined;
    if (first.size() + second.size() <= joined.size()) {
        std::copy(first.begin(), first.end(), joined.begin());
        std::copy(second.begin(), second.end(), joined.begin() + first.size());
        parts = {iovec{joined.data(), first.size() + second.size()}, iovec{nullptr, 0}};
    }
    std::size_t next = 0;
    while (true) {
        while (next < parts.size() && parts[next].iov_len == 0) {
            ++next;
        }
        if (next == parts.size()) {
            return {};
        }
        ssize_t sent = 0;
        if (next + 1 == parts.size() || parts[next + 1].iov_len == 0) {
            sent = ::send(fd.get(), parts[next].iov_base, parts[next].iov_len,
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            msghdr message{};
            message.msg_iov = &parts[next];
            message.msg_iovlen = parts.size() - next;
            sent = ::sendmsg(fd.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return {errno, std::generic_category()};
            }
            const auto left = std::chrono::ceil<Timeout>(deadline - Clock::now());
            if (left <= Timeout(0)) {
                return std::make_error_code(std::errc::timed_out);
            }
            if (auto error = waitFor(fd.get(), POLLOUT, left);
                error && error != std::errc::interrupted) {
                return error;
            }
            continue;
        }
        auto done = static_cast<std::size_t>(sent);
        while (next < parts.size() && done >= parts[next].iov_len) {
            done -= parts[next].iov_len;
            ++next;
        }
        if (next < parts.size()) {
            parts[next].iov_base = static_cast<std::uint8_t*>(parts[next].iov_base) + done;
            parts[next].iov_len -= done;
        }
    }
}

std::size_t BlockingStreamSocket::readSome(std::span<std::uint8_t> buffer,
                                           std::optional<Timeout> timeout, std::error_code& error) {
    // Waiting in poll rather than in recv: the wake-up the peer's read of our last write sends
    // (room to write) is filtered out there, so it neither wakes us nor costs the peer a
    // wake-up on its way to the answer.
    error = waitFor(fd.get(), POLLIN, timeout);
    if (error) {
        return 0;
    }
    const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
        error = errno == EAGAIN || errno == EWOULDBLOCK
                    ? std::make_error_code(std::errc::interrupted)
                    : std::error_code(errno, std::generic_category());
        return 0;
    }
    return static_cast<std::size_t>(got);
}

}  // namespace kestralune
