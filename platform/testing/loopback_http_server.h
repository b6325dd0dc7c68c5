#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// An HTTP/1.1 server on 127.0.0.1 at a port of the system's choosing, for tests of clients:
// one GET per connection, answered from a table of routes the test sets, then the connection
// is closed. Serves on a thread of its own from construction to destruction; the destructor
// stops it and joins. Every method is safe from any thread.
class LoopbackHttpServer {
  public:
    struct Route {
        int status = 200;
        std::string body = {};
        // A Content-Length above the body's own: the connection closes after the body, as a
        // server that breaks off a download would.
        std::optional<std::size_t> declaredLength = {};
        // No Content-Length at all: the body ends where the connection does.
        bool withoutLength = false;
        // Sent as they stand, after the status line (a Location, say).
        std::vector<std::pair<std::string, std::string>> headers = {};
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    unsigned short port() const;
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path) const;

    // Serves `route` for requests whose target is exactly `path`; other paths answer 404.
    void setRoute(const std::string& path, Route route);
    // Requests received for `path`, answered or not.
    int requestCount(const std::string& path) const;

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace kestralune
