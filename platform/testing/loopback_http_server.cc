#include "platform/testing/loopback_http_server.h"

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <map>
#include <mutex>
#include <thread>

namespace kestralune {

namespace {

using Tcp = asio::ip::tcp;

// One connection: the request head read, one answer written.
struct Exchange {
    explicit Exchange(Tcp::socket socket) : socket(std::move(socket)) {}
    Tcp::socket socket;
    std::string request;
    std::string response;
};

}  // namespace

struct LoopbackHttpServer::State {
    asio::io_context context{1};
    Tcp::acceptor acceptor{context, Tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
    const unsigned short port = acceptor.local_endpoint().port();
    mutable std::mutex mutex;
    std::map<std::string, Route> routes;
    std::map<std::string, int> counts;
    std::thread thread;

    void accept() {
        acceptor.async_accept([this](std::error_code error, Tcp::socket socket) {
            if (error) {
                return;
            }
            auto exchange = std::make_shared<Exchange>(std::move(socket));
            asio::async_read_until(
                exchange->socket, asio::dynamic_buffer(exchange->request), "\r\n\r\n",
                [this, exchange](std::error_code readError, std::size_t) {
                    if (readError) {
                        return;
                    }
                    exchange->response = answer(exchange->request);
                    asio::async_write(exchange->socket, asio::buffer(exchange->response),
                                      [exchange](std::error_code, std::size_t) {
                                          std::error_code ignored;
                                          exchange->socket.shutdown(Tcp::socket::shutdown_both,
                                                                    ignored);
                                      });
                });
            accept();
        });
    }

    std::string answer(const std::string& request) {
        // "GET /path HTTP/1.1": the target lies between the first two spaces.
        const auto start = request.find(' ') + 1;
        const std::string path = request.substr(start, request.find(' ', start) - start);
        Route route{.status = 404, .body = "Not Found\n"};
        {
            const std::lock_guard lock(mutex);
            ++counts[path];
            if (const auto found = routes.find(path); found != routes.end()) {
                route = found->second;
            }
        }
        std::string head = "HTTP/1.1 " + std::to_string(route.status) + " Test\r\n";
        for (const auto& [name, value] : route.headers) {
            head += name + ": " + value + "\r\n";
        }
        if (!route.withoutLength) {
            head += "Content-Length: " +
                    std::to_string(route.declaredLength.value_or(route.body.size())) + "\r\n";
        }
        head += "Connection: close\r\n\r\n";
        return head + route.body;
    }
};

LoopbackHttpServer::LoopbackHttpServer() : state(std::make_unique<State>()) {
    state->accept();
    state->thread = std::thread([this] { state->context.run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    state->context.stop();
    state->thread.join();
}

unsigned short LoopbackHttpServer::port() const {
    return state->port;
}

std::string LoopbackHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
}

void LoopbackHttpServer::setRoute(const std::string& path, Route route) {
    const std::lock_guard lock(state->mutex);
    state->routes[path] = std::move(route);
}

int LoopbackHttpServer::requestCount(const std::string& path) const {
    const std::lock_guard lock(state->mutex);
    const auto found = state->counts.find(path);
    return found == state->counts.end() ? 0 : found->second;
}

}  // namespace kestralune
