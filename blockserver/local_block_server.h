#pragma once

#include "blockserver/block_server_control.h"
#include "platform/clock.h"
#include "platform/serial_queue.h"
#include "platform/user_defaults.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestralune {

// The HTTP server on 127.0.0.1 that serves the proxy auto-configuration script
// (/proxy.pac), the configuration document (/config.json), the /track-block report and the
// blocked page for everything else, one request per connection, and counts blocked web
// attempts (at most once per host every 30 seconds).
//
// All of its state belongs to its serial queue "orrindale.block-server": the listener, every
// connection and every timer run their handlers there. The commands and queries of
// BlockServerControl may be called from any thread except that queue.
//
// Every answer arrives whole: when the client may still be sending (a body, more than the
// 64 KiB that are routed, bytes after the request), the server ends its sending side after
// the answer and reads and discards until the client closes, for at most 2 seconds and
// 1 MiB, so that its close does not reset the connection and destroy the answer in flight.
//
// The script's and the document's answers are built at the first request after a change of
// the rules and kept until the next. Out of descriptors, the server gives up a connection to
// make room for a waiting client (an answered one first, else the one that has waited longest
// for its request), or tries again 50 ms later.
//
// Connections and timers hold the server only weakly. Destroying the server closes the
// listener and every open connection; nothing is answered afterwards and no handler of it
// runs once the destructor has returned.
class LocalBlockServer final : public BlockServerControl {
  public:
    // How long a client may take to send its request, counted from its accept: long enough
    // for any real client on the loopback, short enough that silent sockets (browsers open them
    // in advance) cannot pile up. A connection whose request has not arrived by then is closed
    // without an answer; an answer being written is never cut short by it. The system hands a
    // connection over once its first bytes arrive, or after about a second of silence, so a
    // silent client is dropped about 11 seconds after it connected.
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{10'000};

    // `clock` times the counting cooldown; `defaults` holds the stored appearance. Ports other
    // than kBlockServerPort, and shorter idle timeouts, are for tests only.
    LocalBlockServer(std::shared_ptr<const Clock> clock,
                     std::shared_ptr<const UserDefaults> defaults,
                     std::uint16_t port = kBlockServerPort,
                     std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout);
    ~LocalBlockServer() override;
    LocalBlockServer(const LocalBlockServer&) = delete;
    LocalBlockServer& operator=(const LocalBlockServer&) = delete;

    void start() override;
    void stop() override;
    void update(std::vector<std::string> exceptionDomains, std::vector<std::string> blockedDomains,
                bool allWebsitesBlocked) override;
    void resetBlockedRequests() override;

    bool isRunning() override;
    std::int64_t blockedRequestCount() override;

  private:
    struct State;

    // Queues `work` as a command: it runs before the server accepts another connection.
    void command(std::function<void(State&)> work);

    SerialQueue queue;
    // Touched only on `queue`; connections and timers hold it weakly.
    std::shared_ptr<State> state;
};

}  // namespace kestralune
