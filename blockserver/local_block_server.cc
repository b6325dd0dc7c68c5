#include "blockserver/local_block_server.h"

#include "blockserver/blocked_page.h"
#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"
#include "blockserver/request_reader.h"
#include "blockserver/request_router.h"
#include "platform/log.h"
#include "platform/socket_io.h"
#include "platform/socket_options.h"

#include <asio/defer.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <atomic>
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

// Connections taken from the listener in one turn; then the queue's other work runs first.
constexpr int kAcceptBatch = 64;

// After its answer, a client that may still be sending is read to its close, but no longer
// than this and no more than this: a client that never stops cannot hold a connection.
constexpr std::chrono::seconds kLingerTimeout{2};
constexpr std::size_t kLingerBytes = 1 << 20;

struct List;

// A connection that could not be answered and closed in one go: its request is still on the
// way, its answer is larger than the socket takes at once, or its client may still send.
// Owned by its pending handler; the server's lists point at it. Queue only.
struct Connection {
    enum class Phase { reading, writing, lingering };

    explicit Connection(Tcp::socket socket) : socket(std::move(socket)) {}

    Tcp::socket socket;
    Phase phase = Phase::reading;
    RequestReader reader;
    std::string answer;
    std::size_t sent = 0;
    bool lingerAfterAnswer = false;
    std::size_t discarded = 0;
    bool closed = false;

    // Place in the server's list for its phase, oldest first.
    List* list = nullptr;
    SteadyClock::time_point deadline;
    Connection* older = nullptr;
    Connection* newer = nullptr;
};

// The connections of one phase in the order they entered it, so with one time limit per
// list their deadlines ascend.
struct List {
    Connection* oldest = nullptr;
    Connection* newest = nullptr;

    void append(Connection& connection) {
        connection.list = this;
        connection.older = newest;
        (newest != nullptr ? newest->newer : oldest) = &connection;
        newest = &connection;
    }
    void remove(Connection& connection) {
        (connection.older != nullptr ? connection.older->newer : oldest) = connection.newer;
        (connection.newer != nullptr ? connection.newer->older : newest) = connection.older;
        connection.list = nullptr;
        connection.older = nullptr;
        connection.newer = nullptr;
    }
};

}  // namespace

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
          sweepTimer(context) {}

    ~State() {
        for (List* list : {&waiting, &writing, &lingering}) {
            while (list->oldest != nullptr) {
                close(*list->oldest);
            }
        }
    }

    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Present exactly while the server counts as running.
    std::optional<Tcp::acceptor> listener;
    // exceptionDomains (sorted and distinct after every update), blockedDomains (distinct)
    // and allWebsitesBlocked, in the shape the script and document builders read.
    RuleLists rules{defaultExceptionDomainList(), {}, true};
    // The script's and the document's whole answers, built at the first request after an
    // update and kept until the next one: they depend on the rules alone.
    std::optional<std::string> pacAnswer;
    std::optional<std::string> configAnswer;
    const std::string trackBlockAnswer =
        httpResponse("204 No Content", "text/plain; charset=utf-8", "");
    // The last page answer; its memory is reused by the next.
    std::string pageAnswer;
    std::int64_t blockedRequestCount = 0;
    // When each host key was last counted. Emptied only by resetBlockedRequests.
    std::unordered_map<std::string, WallClockTime> recentlyBlockedWebTargets;
    static constexpr double blockedWebAttemptCooldown = 30;

    asio::io_context& context;
    const std::shared_ptr<const Clock> clock;
    const std::shared_ptr<const UserDefaults> defaults;
    const std::uint16_t port;
    const std::chrono::milliseconds idleTimeout;
    // Commands issued and not yet run. The accept loop lets them run before it serves another
    // connection, so a request made after update() has returned sees the new rules.
    std::atomic<int> commandsQueued = 0;
    // Tells the late handlers of a stopped listener from those of the current one.
    std::uint64_t listenerGeneration = 0;
    asio::steady_timer acceptRetry;
    // Closes the connections of `waiting` and `lingering` whose time is up.
    asio::steady_timer sweepTimer;
    std::optional<SteadyClock::time_point> sweepAt;
    List waiting;    // for their request, until accepted + idleTimeout
    List writing;    // for the socket to take more of their answer, without a limit
    List lingering;  // for their client's close, until answered + kLingerTimeout
    // The reader of the connection being served at once; handed to it when it must wait.
    RequestReader freshReader;
    // Every read lands here first, so waiting connections hold no buffer of their own.
    std::array<char, RequestReader::kMaxRequestBytes> readBuffer;

    void start();
    void stop();
    void update(std::vector<std::string> exceptionDomains, std::vector<std::string> blockedDomains,
                bool allWebsitesBlocked);
    void resetBlockedRequests();

    void waitForConnections();
    void acceptPending();
    void makeRoomWhenAClientWaits();
    void retryAcceptLater();
    bool isCurrentListener(std::uint64_t generation) const;

    void serve(UniqueFd socket);
    std::shared_ptr<Connection> adopt(UniqueFd socket);
    bool readRequest(int socket, RequestReader& reader);
    std::string_view answerTo(std::string_view requestText);
    void recordBlockedAttempt(std::string_view target);

    void resume(const std::shared_ptr<Connection>& connection);
    void continueReading(const std::shared_ptr<Connection>& connection);
    void continueWriting(const std::shared_ptr<Connection>& connection);
    void discardUntilClosed(const std::shared_ptr<Connection>& connection);
    void waitUntilReady(const std::shared_ptr<Connection>& connection);
    void enter(Connection& connection, Connection::Phase phase);
    void close(Connection& connection);
    void sweep();
    void armSweep(SteadyClock::time_point deadline);
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
    // Most answers are one write followed by the close: corked, the two leave as one segment.
    // Deferred accepting hands over a connection once its request (or its end) is there.
    // Both spare the client and the server a wake-up per request.
    if (!error) {
        acceptor.set_option(TcpCork(true), error);
    }
    if (!error) {
        acceptor.set_option(TcpDeferAccept(kDeferAcceptSeconds), error);
    }
    if (!error) {
        acceptor.non_blocking(true, error);
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
    waitForConnections();
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
    pacAnswer.reset();
    configAnswer.reset();
}

void LocalBlockServer::State::resetBlockedRequests() {
    blockedRequestCount = 0;
    recentlyBlockedWebTargets.clear();
}

bool LocalBlockServer::State::isCurrentListener(std::uint64_t generation) const {
    return listener && generation == listenerGeneration;
}

void LocalBlockServer::State::waitForConnections() {
    listener->async_wait(
        Tcp::acceptor::wait_read,
        [weak = weak_from_this(), generation = listenerGeneration](const std::error_code& error) {
            auto server = weak.lock();
            if (server && !error && server->isCurrentListener(generation)) {
                server->acceptPending();
            }
        });
}

void LocalBlockServer::State::acceptPending() {
    for (int accepted = 0; accepted < kAcceptBatch && commandsQueued.load() == 0; ++accepted) {
        std::error_code error;
        UniqueFd socket = acceptConnection(listener->native_handle(), error);
        if (!error) {
            serve(std::move(socket));
            continue;
        }
        if (isWouldBlock(error)) {
            waitForConnections();
            return;
        }
        // A client that gave up while waiting to be accepted.
        if (error == std::errc::connection_aborted || error == std::errc::protocol_error) {
            continue;
        }
        // The accept loop never ends here: it waits, or makes room, and accepts again.
        if (isOutOfDescriptors(error)) {
            makeRoomWhenAClientWaits();
        } else {
            retryAcceptLater();
        }
        return;
    }
    // Deferred, the rest comes after the work already queued, commands included.
    asio::defer(context, [weak = weak_from_this(), generation = listenerGeneration] {
        auto server = weak.lock();
        if (server && server->isCurrentListener(generation)) {
            server->acceptPending();
        }
    });
}

void LocalBlockServer::State::makeRoomWhenAClientWaits() {
    // accept() reports a full descriptor table even when nobody is waiting, so only a waiting
    // client is worth giving up a connection for: one that has been answered already, else
    // the one that has waited longest for its request (a silent one, as a rule).
    listener->async_wait(
        Tcp::acceptor::wait_read,
        [weak = weak_from_this(), generation = listenerGeneration](const std::error_code& error) {
            auto server = weak.lock();
            if (!server || error || !server->isCurrentListener(generation)) {
                return;
            }
            Connection* given = server->lingering.oldest != nullptr ? server->lingering.oldest
                                                                    : server->waiting.oldest;
            if (given == nullptr) {
                server->retryAcceptLater();
                return;
            }
            server->close(*given);
            server->acceptPending();
        });
}

void LocalBlockServer::State::retryAcceptLater() {
    acceptRetry.expires_after(kAcceptRetryDelay);
    acceptRetry.async_wait(
        [weak = weak_from_this(), generation = listenerGeneration](const std::error_code& error) {
            auto server = weak.lock();
            if (server && !error && server->isCurrentListener(generation)) {
                server->acceptPending();
            }
        });
}

// The usual request is there when its connection is accepted, and its answer fits the socket:
// then it is read, answered and closed here, without registering it with the event loop.
void LocalBlockServer::State::serve(UniqueFd socket) {
    freshReader.clear();
    if (!readRequest(socket.get(), freshReader)) {
        if (auto connection = adopt(std::move(socket))) {
            std::swap(connection->reader, freshReader);
            enter(*connection, Connection::Phase::reading);
            waitUntilReady(connection);
        }
        return;
    }
    const std::string_view answer = answerTo(freshReader.requestText());
    std::error_code error;
    const std::size_t sent = sendSome(socket.get(), answer, error);
    const bool whole = !error && sent == answer.size();
    // A client that is gone, or one that can send nothing more, loses nothing to the close.
    if ((error && !isWouldBlock(error)) || (whole && !freshReader.moreMayArrive())) {
        return;
    }
    if (auto connection = adopt(std::move(socket))) {
        connection->answer.assign(answer.substr(sent));
        connection->lingerAfterAnswer = freshReader.moreMayArrive();
        continueWriting(connection);
    }
}

// Registers the socket with the event loop; nothing (and the socket closed) when that fails.
std::shared_ptr<Connection> LocalBlockServer::State::adopt(UniqueFd socket) {
    Tcp::socket registered(context);
    std::error_code error;
    registered.assign(Tcp::v4(), socket.get(), error);
    if (error) {
        return nullptr;
    }
    socket.release();
    return std::make_shared<Connection>(std::move(registered));
}

// Reads until the request can be routed (true) or nothing more has arrived (false).
bool LocalBlockServer::State::readRequest(int socket, RequestReader& reader) {
    for (;;) {
        std::error_code error;
        const std::size_t count =
            receiveSome(socket, {readBuffer.data(), reader.remainingCapacity()}, error);
        if (isWouldBlock(error)) {
            return false;
        }
        // A closed or failed read ends the request with whatever has arrived.
        const auto progress =
            error || count == 0 ? reader.peerClosed() : reader.append({readBuffer.data(), count});
        if (progress == RequestReader::Progress::complete) {
            return true;
        }
    }
}

// The whole answer, headers included; valid until the next answer or update.
std::string_view LocalBlockServer::State::answerTo(std::string_view requestText) {
    switch (routeFor(requestText)) {
        case Route::proxyPac:
            if (!pacAnswer) {
                pacAnswer =
                    httpResponse("200 OK", "application/x-ns-proxy-autoconfig", pacScript(rules));
            }
            return *pacAnswer;
        case Route::configJson:
            if (!configAnswer) {
                configAnswer = httpResponse("200 OK", "application/json; charset=utf-8",
                                            configDocument(rules));
            }
            return *configAnswer;
        case Route::trackBlock:
            recordBlockedAttempt(trackedBlockTarget(requestText));
            return trackBlockAnswer;
        case Route::blocked:
            recordBlockedAttempt(requestTarget(requestText));
            pageAnswer = httpResponse(
                "403 Forbidden", "text/html; charset=utf-8",
                blockedPage(requestText,
                            defaults->stringForKey(kAppearanceKey).value_or("system")));
            return pageAnswer;
    }
    return {};
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

void LocalBlockServer::State::resume(const std::shared_ptr<Connection>& connection) {
    switch (connection->phase) {
        case Connection::Phase::reading:
            continueReading(connection);
            return;
        case Connection::Phase::writing:
            continueWriting(connection);
            return;
        case Connection::Phase::lingering:
            discardUntilClosed(connection);
            return;
    }
}

void LocalBlockServer::State::continueReading(const std::shared_ptr<Connection>& connection) {
    if (!readRequest(connection->socket.native_handle(), connection->reader)) {
        waitUntilReady(connection);
        return;
    }
    connection->answer.assign(answerTo(connection->reader.requestText()));
    connection->lingerAfterAnswer = connection->reader.moreMayArrive();
    connection->reader = RequestReader();
    continueWriting(connection);
}

void LocalBlockServer::State::continueWriting(const std::shared_ptr<Connection>& connection) {
    const int socket = connection->socket.native_handle();
    while (connection->sent < connection->answer.size()) {
        std::error_code error;
        connection->sent +=
            sendSome(socket, std::string_view(connection->answer).substr(connection->sent), error);
        if (isWouldBlock(error)) {
            enter(*connection, Connection::Phase::writing);
            waitUntilReady(connection);
            return;
        }
        if (error) {
            close(*connection);
            return;
        }
    }
    if (!connection->lingerAfterAnswer) {
        close(*connection);
        return;
    }
    connection->answer = std::string();
    shutdownSending(socket);
    enter(*connection, Connection::Phase::lingering);
    discardUntilClosed(connection);
}

void LocalBlockServer::State::discardUntilClosed(const std::shared_ptr<Connection>& connection) {
    for (;;) {
        std::error_code error;
        const std::size_t count =
            receiveSome(connection->socket.native_handle(), readBuffer, error);
        if (isWouldBlock(error)) {
            waitUntilReady(connection);
            return;
        }
        connection->discarded += count;
        if (error || count == 0 || connection->discarded > kLingerBytes) {
            close(*connection);
            return;
        }
    }
}

void LocalBlockServer::State::waitUntilReady(const std::shared_ptr<Connection>& connection) {
    const auto what = connection->phase == Connection::Phase::writing ? Tcp::socket::wait_write
                                                                      : Tcp::socket::wait_read;
    connection->socket.async_wait(
        what, [weak = weak_from_this(), connection](const std::error_code& error) {
            // A server that is gone has closed its connections on the way.
            auto server = weak.lock();
            if (connection->closed || !server) {
                return;
            }
            if (error) {
                server->close(*connection);
                return;
            }
            server->resume(connection);
        });
}

void LocalBlockServer::State::enter(Connection& connection, Connection::Phase phase) {
    if (connection.list != nullptr) {
        connection.list->remove(connection);
    }
    connection.phase = phase;
    switch (phase) {
        case Connection::Phase::reading:
            connection.deadline = SteadyClock::now() + idleTimeout;
            waiting.append(connection);
            armSweep(connection.deadline);
            return;
        case Connection::Phase::writing:
            writing.append(connection);
            return;
        case Connection::Phase::lingering:
            connection.deadline = SteadyClock::now() + kLingerTimeout;
            lingering.append(connection);
            armSweep(connection.deadline);
            return;
    }
}

void LocalBlockServer::State::close(Connection& connection) {
    if (connection.closed) {
        return;
    }
    connection.closed = true;
    if (connection.list != nullptr) {
        connection.list->remove(connection);
    }
    std::error_code ignored;
    connection.socket.close(ignored);
}

void LocalBlockServer::State::sweep() {
    const auto now = SteadyClock::now();
    for (List* list : {&waiting, &lingering}) {
        while (list->oldest != nullptr && list->oldest->deadline <= now) {
            close(*list->oldest);
        }
        if (list->oldest != nullptr) {
            armSweep(list->oldest->deadline);
        }
    }
}

void LocalBlockServer::State::armSweep(SteadyClock::time_point deadline) {
    if (sweepAt && *sweepAt <= deadline) {
        return;
    }
    sweepAt = deadline;
    sweepTimer.expires_at(deadline);
    sweepTimer.async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto server = weak.lock();
        if (!server || error) {
            return;
        }
        server->sweepAt.reset();
        server->sweep();
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
void LocalBlockServer::command(std::function<void(State&)> work) {
    state->commandsQueued.fetch_add(1);
    queue.async([this, work = std::move(work)] {
        work(*state);
        state->commandsQueued.fetch_sub(1);
    });
}

void LocalBlockServer::start() {
    command([](State& server) { server.start(); });
}

void LocalBlockServer::stop() {
    command([](State& server) { server.stop(); });
}

void LocalBlockServer::update(std::vector<std::string> exceptionDomains,
                              std::vector<std::string> blockedDomains, bool allWebsitesBlocked) {
    command([exceptions = std::move(exceptionDomains), blocked = std::move(blockedDomains),
             allWebsitesBlocked](State& server) mutable {
        server.update(std::move(exceptions), std::move(blocked), allWebsitesBlocked);
    });
}

void LocalBlockServer::resetBlockedRequests() {
    command([](State& server) { server.resetBlockedRequests(); });
}

bool LocalBlockServer::isRunning() {
    return queue.sync([this] { return state->listener.has_value(); });
}

std::int64_t LocalBlockServer::blockedRequestCount() {
    return queue.sync([this] { return state->blockedRequestCount; });
}

}  // namespace kestralune
