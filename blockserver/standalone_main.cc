// kestralune-blockserver: the block server on its own, in the foreground, until Ctrl-C or
// SIGTERM. Serves the built-in defaults, or the rules of a JSON file shaped like the UI's
// configuration map; the appearance comes from the standard user defaults.

#include "blockserver/local_block_server.h"
#include "blockserver/rule_file.h"
#include "platform/clock.h"
#include "platform/open_file_limit.h"
#include "platform/user_defaults.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <charconv>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

using namespace kestralune;

namespace {

constexpr std::string_view kUsage =
    "usage: kestralune-blockserver [--port N] [RULES.json]\n"
    "  RULES.json  {\"exceptionDomains\": [...], \"blockedDomains\": [...],\n"
    "               \"allWebsitesBlocked\": true|false}\n"
    "  --port N    listen on 127.0.0.1:N instead of 18081 (tests and benchmarks)\n";

struct Options {
    std::uint16_t port = kBlockServerPort;
    std::optional<std::string> rulePath;
};

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// Nothing when the arguments are unusable; the reason has been printed.
std::optional<Options> parseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--port") {
            const auto port = i + 1 < argc ? parsePort(argv[++i]) : std::nullopt;
            if (!port) {
                std::cerr << "kestralune-blockserver: --port needs a number from 1 to 65535\n";
                return std::nullopt;
            }
            options.port = *port;
        } else if (argument.starts_with("-") || options.rulePath) {
            std::cerr << kUsage;
            return std::nullopt;
        } else {
            options.rulePath = std::string(argument);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseArguments(argc, argv);
    if (!options) {
        return 2;
    }
    std::optional<RuleFile> rules;
    if (options->rulePath) {
        auto result = readRuleFile(*options->rulePath);
        if (const auto* error = std::get_if<RuleFileError>(&result)) {
            std::cerr << "kestralune-blockserver: " << *options->rulePath << ": " << error->message
                      << "\n";
            return 1;
        }
        rules = std::move(std::get<RuleFile>(result));
    }

    // Browsers keep idle sockets open to the proxy; room for thousands of them.
    raiseOpenFileLimit();

    asio::io_context mainLoop;
    asio::signal_set signals(mainLoop, SIGINT, SIGTERM);

    LocalBlockServer server(makeSystemClock(), standardUserDefaults(), options->port);
    if (rules) {
        server.update(std::move(rules->exceptionDomains), std::move(rules->blockedDomains),
                      rules->allWebsitesBlocked);
    }
    server.start();
    if (!server.isRunning()) {
        return 1;  // the server has logged why
    }

    const std::string base = "http://127.0.0.1:" + std::to_string(options->port);
    std::cout << "Kestralune block server running (Ctrl-C stops it)\n"
              << "  " << base << "/proxy.pac\n"
              << "  " << base << "/config.json\n"
              << "  " << base << "/blocked" << std::endl;

    signals.async_wait([&server](const std::error_code&, int) { server.stop(); });
    mainLoop.run();
    return 0;
}
