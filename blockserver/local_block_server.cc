#include "blockserver/local_block_server.h"

#include "blockserver/blocked_page.h"
#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"
#include "blockserver/request_reader.h"
#include "blockserver/request_router.h"
#include "platform/log.h"
#include "platform/socket_options.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace kestralune {

namespace {

using Tcp = asio::ip::tcp;
using SteadyClock = std::chrono::steady_clock;

const std::string kAppearanceKey = "kestralune.appearance";

// How long the system keeps a connection that has sent nothing before handing it over
// anyway (then the idle timeout applies). Its shortest setting.
constexpr int kDeferAcceptSeconds = 1;

// Pause before accepting again after an accept failed and no connection of ours could be
// given up to make room.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

// Asio reports socket errors in its own system category, which compares equal to errno
// values but not to std::errc conditions.
bool isOutOfDescriptors(const std::error_code& error) {
    if (error.category() != asio::system_category()) {
        return false;
    }
    const auto code = static_cast<std::errc>(error.value());
    return code == std::errc::too_many_files_open ||
           code == std::errc::too_many_files_open_in_system || code == std::errc::no_buffer_space ||
           code == std::errc::not_enough_memory;
}

bool isWouldBlock(const std::error_code& error) {
    return error == asio::error::would_block || error == asio::error::try_again;
}

}  // namespace

// One accepted connection: read until the reader can route, answer once, close.
// Owned by its pending handlers; queue only.
struct LocalBlockServer::Connection {
    Connection(Tcp::socket socket, std::weak_ptr<State> server)
        : socket(std::move(socket)), server(std::move(server)) {}

    Tcp::socket socket;
    std::weak_ptr<State> server;
    RequestReader reader;
    std::string response;  // kept alive while a write is still under way
    bool closed = false;

    // Place in the server's list of open connections, oldest first.
    SteadyClock::time_point deadline;
    Connection* older = nullptr;
    Connection* newer = nullptr;
};

// Everything the server owns. Built by the server's constructor, then used and destroyed only
// on the queue; handlers reach it through weak references.
struct LocalBlockServer::State : std::enable_shared_from_this<State> {
    State(asio::io_context& context, std::shared_ptr<const Clock> clock,
          std::shared_ptr<const UserDefaults> defaults, std::uint16_t port,
          std::chrono::milliseconds idleTimeout)
        : context(context),
          clock(std::move(clock)),
          defaults(std::move(defaults)),
          port(port),
          idleTimeout(idleTimeout),
          acceptRetry(context),
          idleSweep(context) {}

    ~State() {
        while (oldest != nullptr) {
            close(*oldest);
        }
    }

    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Present exactly while the server counts as running.
    std::optional<Tcp::acceptor> listener;
    // exceptionDomains (sorted and distinct after every update), blockedDomains (distinct)
    // and allWebsitesBlocked, in the shape the script and document builders read.
    RuleLists rules{defaultExceptionDomainList(), {}, true};
    std::int64_t blockedRequestCount = 0;
    // When each host key was last counted. Emptied only by resetBlockedRequests.
    std::unordered_map<std::string, WallClockTime> recentlyBlockedWebTargets;
    static constexpr double blockedWebAttemptCooldown = 30;

    asio::io_context& context;
    const std::shared_ptr<const Clock> clock;
    const std::shared_ptr<const UserDefaults> defaults;
    const std::uint16_t port;
    const std::chrono::milliseconds idleTimeout;
    // Tells the late handlers of a stopped listener from those of the current one.
    std::uint64_t listenerGeneration = 0;
    asio::steady_timer acceptRetry;
    asio::steady_timer idleSweep;
    bool idleSweepPending = false;
    Connection* oldest = nullptr;
    Connection* newest = nullptr;
    // Every read lands here first, so silent connections hold no buffer of their own.
    std::array<char, RequestReader::kMaxRequestBytes> readBuffer;

    void start();
    void stop();
    void update(std::vector<std::string> exceptionDomains, std::vector<std::string> blockedDomains,
                bool allWebsitesBlocked);
    void resetBlockedRequests();

    void acceptNext();
    void accepted(const std::error_code& error, Tcp::socket socket, std::uint64_t generation);
    void makeRoomWhenAClientWaits();
    void retryAcceptLater();
    void serve(Tcp::socket socket);
    void readAvailable(const std::shared_ptr<Connection>& connection);
    void waitReadable(const std::shared_ptr<Connection>& connection);
    void answer(const std::shared_ptr<Connection>& connection);
    void recordBlockedAttempt(std::string_view target);
    void close(Connection& connection);
    void closeIdleConnections();
    void armIdleSweep();
};

void LocalBlockServer::State::start() {
    if (listener) {
        return;
    }
    Tcp::acceptor acceptor(context);
    const Tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    std::error_code error;
    acceptor.open(endpoint.protocol(), error);
    // Without address reuse a restart is refused while closed connections linger in TIME_WAIT.
    if (!error) {
        acceptor.set_option(Tcp::acceptor::reuse_address(true), error);
    }
    // Every answer is one write followed by the close: corked, the two leave as one segment.
    // Deferred accepting hands over a connection once its request (or its end) is there.
    // Both spare the client and the server a wake-up per request.
    if (!error) {
        acceptor.set_option(TcpCork(true), error);
    }
    if (!error) {
        acceptor.set_option(TcpDeferAccept(kDeferAcceptSeconds), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(Tcp::acceptor::max_listen_connections, error);
    }
    if (error) {
        logLine("Kestralune block server failed to start: " + error.message());
        return;
    }
    listener.emplace(std::move(acceptor));
    ++listenerGeneration;
    acceptNext();
}

void LocalBlockServer::State::stop() {
    listener.reset();
    acceptRetry.cancel();
}

void LocalBlockServer::State::update(std::vector<std::string> exceptionDomains,
                                     std::vector<std::string> blockedDomains,
                                     bool allWebsitesBlocked) {
    const auto allowed = alwaysAllowedDomains();
    exceptionDomains.insert(exceptionDomains.end(), allowed.begin(), allowed.end());
    std::sort(exceptionDomains.begin(), exceptionDomains.end());
    exceptionDomains.erase(std::unique(exceptionDomains.begin(), exceptionDomains.end()),
                           exceptionDomains.end());

    std::sort(blockedDomains.begin(), blockedDomains.end());
    blockedDomains.erase(std::unique(blockedDomains.begin(), blockedDomains.end()),
                         blockedDomains.end());
    std::erase_if(blockedDomains, [&allowed](const std::string& rule) {
        return std::find(allowed.begin(), allowed.end(), rule) != allowed.end();
    });

    rules = RuleLists{std::move(exceptionDomains), std::move(blockedDomains), allWebsitesBlocked};
}

void LocalBlockServer::State::resetBlockedRequests() {
    blockedRequestCount = 0;
    recentlyBlockedWebTargets.clear();
}

void LocalBlockServer::State::acceptNext() {
    listener->async_accept(context, [weak = weak_from_this(), generation = listenerGeneration](
                                        const std::error_code& error, Tcp::socket socket) {
        if (auto server = weak.lock()) {
            server->accepted(error, std::move(socket), generation);
        }
    });
}

void LocalBlockServer::State::accepted(const std::error_code& error, Tcp::socket socket,
                                       std::uint64_t generation) {
    // A connection accepted just before stop() is still served.
    if (!error) {
        serve(std::move(socket));
    }
    if (!listener || generation != listenerGeneration) {
        return;
    }
    if (!error) {
        acceptNext();
        return;
    }
    // The accept loop never ends here: it waits, or makes room, and accepts again.
    if (isOutOfDescriptors(error)) {
        makeRoomWhenAClientWaits();
        return;
    }
    retryAcceptLater();
}

void LocalBlockServer::State::makeRoomWhenAClientWaits() {
    // accept() reports a full descriptor table even when nobody is waiting, so only a waiting
    // client is worth giving up a connection for: the one that has waited longest (a silent
    // one, as a rule).
    listener->async_wait(
        Tcp::acceptor::wait_read,
        [weak = weak_from_this(), generation = listenerGeneration](const std::error_code& error) {
            auto server = weak.lock();
            if (!server || error || !server->listener || generation != server->listenerGeneration) {
                return;
            }
            if (server->oldest == nullptr) {
                server->retryAcceptLater();
                return;
            }
            server->close(*server->oldest);
            server->acceptNext();
        });
}

void LocalBlockServer::State::retryAcceptLater() {
    acceptRetry.expires_after(kAcceptRetryDelay);
    acceptRetry.async_wait(
        [weak = weak_from_this(), generation = listenerGeneration](const std::error_code& error) {
            auto server = weak.lock();
            if (!server || error || !server->listener || generation != server->listenerGeneration) {
                return;
            }
            server->acceptNext();
        });
}

void LocalBlockServer::State::serve(Tcp::socket socket) {
    auto connection = std::make_shared<Connection>(std::move(socket), weak_from_this());
    std::error_code ignored;
    connection->socket.non_blocking(true, ignored);

    connection->deadline = SteadyClock::now() + idleTimeout;
    connection->older = newest;
    (newest != nullptr ? newest->newer : oldest) = connection.get();
    newest = connection.get();
    if (!idleSweepPending) {
        armIdleSweep();
    }

    readAvailable(connection);
}

void LocalBlockServer::State::readAvailable(const std::shared_ptr<Connection>& connection) {
    for (;;) {
        std::error_code error;
        const std::size_t count = connection->socket.read_some(
            asio::buffer(readBuffer.data(), connection->reader.remainingCapacity()), error);
        if (isWouldBlock(error)) {
            waitReadable(connection);
            return;
        }
        // A closed or failed read ends the request with whatever has arrived.
        const auto progress = error ? connection->reader.peerClosed()
                                    : connection->reader.append({readBuffer.data(), count});
        if (progress == RequestReader::Progress::complete) {
            answer(connection);
            return;
        }
    }
}

void LocalBlockServer::State::waitReadable(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_wait(Tcp::socket::wait_read,
                                  [connection](const std::error_code& error) {
                                      if (connection->closed) {
                                          return;
                                      }
                                      auto server = connection->server.lock();
                                      if (!server) {
                                          std::error_code ignored;
                                          connection->socket.close(ignored);
                                          return;
                                      }
                                      if (error) {
                                          connection->reader.peerClosed();
                                          server->answer(connection);
                                          return;
                                      }
                                      server->readAvailable(connection);
                                  });
}

void LocalBlockServer::State::answer(const std::shared_ptr<Connection>& connection) {
    const std::string text = connection->reader.requestText();
    std::string_view status;
    std::string_view contentType;
    std::string body;
    switch (routeFor(text)) {
        case Route::proxyPac:
            status = "200 OK";
            contentType = "application/x-ns-proxy-autoconfig";
            body = pacScript(rules);
            break;
        case Route::configJson:
            status = "200 OK";
            contentType = "application/json; charset=utf-8";
            body = configDocument(rules);
            break;
        case Route::trackBlock:
            recordBlockedAttempt(trackedBlockTarget(text));
            status = "204 No Content";
            contentType = "text/plain; charset=utf-8";
            break;
        case Route::blocked:
            recordBlockedAttempt(requestTarget(text));
            status = "403 Forbidden";
            contentType = "text/html; charset=utf-8";
            body = blockedPage(text, defaults->stringForKey(kAppearanceKey).value_or("system"));
            break;
    }
    connection->response = httpResponse(status, contentType, body);

    std::error_code error;
    const std::size_t written =
        connection->socket.write_some(asio::buffer(connection->response), error);
    if (error ? !isWouldBlock(error) : written == connection->response.size()) {
        close(*connection);
        return;
    }
    // The client is slower than the answer is long: finish it in the background.
    asio::async_write(connection->socket, asio::buffer(connection->response) + written,
                      [connection](const std::error_code&, std::size_t) {
                          if (auto server = connection->server.lock()) {
                              server->close(*connection);
                          }
                      });
}

void LocalBlockServer::State::recordBlockedAttempt(std::string_view target) {
    std::string key = normalizedBlockedTarget(target);
    if (key.empty()) {
        return;
    }
    const WallClockTime now = clock->now();
    const auto [entry, inserted] = recentlyBlockedWebTargets.try_emplace(std::move(key), now);
    if (!inserted) {
        // The cooldown runs from the last counted attempt, so the stored time stays put here.
        if (secondsBetween(entry->second, now) < blockedWebAttemptCooldown) {
            return;
        }
        entry->second = now;
    }
    ++blockedRequestCount;
}

void LocalBlockServer::State::close(Connection& connection) {
    if (connection.closed) {
        return;
    }
    connection.closed = true;
    (connection.older != nullptr ? connection.older->newer : oldest) = connection.newer;
    (connection.newer != nullptr ? connection.newer->older : newest) = connection.older;
    connection.older = nullptr;
    connection.newer = nullptr;
    std::error_code ignored;
    connection.socket.close(ignored);
}

void LocalBlockServer::State::closeIdleConnections() {
    const auto now = SteadyClock::now();
    while (oldest != nullptr && oldest->deadline <= now) {
        close(*oldest);
    }
    if (oldest != nullptr) {
        armIdleSweep();
    }
}

void LocalBlockServer::State::armIdleSweep() {
    idleSweepPending = true;
    idleSweep.expires_at(oldest->deadline);
    idleSweep.async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto server = weak.lock();
        if (!server || error) {
            return;
        }
        server->idleSweepPending = false;
        server->closeIdleConnections();
    });
}

LocalBlockServer::LocalBlockServer(std::shared_ptr<const Clock> clock,
                                   std::shared_ptr<const UserDefaults> defaults, std::uint16_t port,
                                   std::chrono::milliseconds idleTimeout)
    : queue("orrindale.block-server"),
      state(std::make_shared<State>(queue.ioContext(), std::move(clock), std::move(defaults), port,
                                    idleTimeout)) {}

LocalBlockServer::~LocalBlockServer() {
    // State is torn down on its own queue; the queue then drops whatever handlers remain.
    queue.sync([this] { state.reset(); });
}

// Commands run on the queue in call order. Capturing `this` is safe: the destructor's sync
// runs after every command issued before it.
void LocalBlockServer::start() {
    queue.async([this] { state->start(); });
}

void LocalBlockServer::stop() {
    queue.async([this] { state->stop(); });
}

void LocalBlockServer::update(std::vector<std::string> exceptionDomains,
                              std::vector<std::string> blockedDomains, bool allWebsitesBlocked) {
    queue.async([this, exceptions = std::move(exceptionDomains),
                 blocked = std::move(blockedDomains), allWebsitesBlocked]() mutable {
        state->update(std::move(exceptions), std::move(blocked), allWebsitesBlocked);
    });
}

void LocalBlockServer::resetBlockedRequests() {
    queue.async([this] { state->resetBlockedRequests(); });
}

bool LocalBlockServer::isRunning() {
    return queue.sync([this] { return state->listener.has_value(); });
}

std::int64_t LocalBlockServer::blockedRequestCount() {
    return queue.sync([this] { return state->blockedRequestCount; });
}

}  // namespace kestralune
