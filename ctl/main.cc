// kestralunectl: drives a running host over its channel socket, standing in for the UI.
// Exit codes: 0 ok, 1 error reply or not implemented, 2 usage, 3 cannot connect (or the
// connection failed: timed out, host gone).
#include "channel/json_mapping.h"
#include "channel/socket_transport.h"
#include "platform/bundle.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitErrorReply = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConnection = 3;

constexpr const char* kBlockingChannel = "orrindale/blocking";
constexpr const char* kControlChannel = "kestralune/control";

constexpr const char* kUsage = R"(usage: kestralunectl [options] COMMAND

commands:
  call METHOD [JSON]   call METHOD with JSON arguments ("-": read them from standard
                       input); prints the reply as JSON
  listen               prints each call the host sends, one JSON line
                       {"method":..., "arguments":...} per call
  menu                 prints the status-bar menu (action, title, enabled state)
  menu choose ACTION   chooses the menu item that carries ACTION
  app-menu             prints the application menu (action, title)
  app-menu choose TITLE
                       chooses the application menu's item titled TITLE
  quit                 asks the host to quit; prints {"terminated": true|false}

options:
  --channel NAME       channel for call and listen (default orrindale/blocking)
  --bundle-id ID       host whose socket to use (default com.orrindale.app)
  --socket PATH        connect to this socket instead
  --timeout SECONDS    how long to wait for the host (default 10)
  --count N            listen: exit after N calls
  -h, --help           this text

exit status: 0 ok, 1 error reply or not implemented, 2 usage, 3 cannot connect
)";

struct Options {
    std::string channel = kBlockingChannel;
    std::string bundleIdentifier = kDefaultBundleIdentifier;
    std::optional<std::string> socketPath;
    std::chrono::milliseconds timeout{10'000};
    std::optional<unsigned long> count;
    std::vector<std::string> words;
    bool help = false;
};

struct UsageError {
    std::string message;
};

std::optional<double> parseNumber(const std::string& text) {
    double value = 0;
    const auto* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

Result<Options, UsageError> parseOptions(int argc, char** argv) {
    Options options;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            options.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        // A negative number is an argument, not an option.
        if (arg[1] != '-') {
            if (parseNumber(arg)) {
                options.words.push_back(arg);
                continue;
            }
            return UsageError{"unknown option " + arg};
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (auto equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        } else if (name == "--channel" || name == "--bundle-id" || name == "--socket" ||
                   name == "--timeout" || name == "--count") {
            if (i + 1 >= argc) {
                return UsageError{name + " needs a value"};
            }
            value = argv[++i];
        }
        if (!value) {
            return UsageError{"unknown option " + arg};
        }
        if (name == "--channel") {
            if (value->empty()) {
                return UsageError{"--channel needs a name"};
            }
            options.channel = *value;
        } else if (name == "--bundle-id") {
            options.bundleIdentifier = *value;
        } else if (name == "--socket") {
            options.socketPath = *value;
        } else if (name == "--timeout") {
            auto seconds = parseNumber(*value);
            if (!seconds || !std::isfinite(*seconds) || *seconds <= 0 || *seconds > 86400) {
                return UsageError{"--timeout needs a number of seconds above 0"};
            }
            options.timeout =
                std::chrono::milliseconds(std::max<long long>(1, std::llround(*seconds * 1000)));
        } else if (name == "--count") {
            auto number = parseNumber(*value);
            if (!number || *number < 1 || *number != std::floor(*number)) {
                return UsageError{"--count needs a whole number above 0"};
            }
            options.count = static_cast<unsigned long>(*number);
        } else {
            return UsageError{"unknown option " + name};
        }
    }
    return options;
}

int usage(const std::string& problem) {
    std::cerr << "kestralunectl: " << problem << "\n" << kUsage;
    return kExitUsage;
}

int connectionFailure(const ChannelClient::Error& error) {
    std::cerr << "kestralunectl: " << error.message << "\n";
    return kExitConnection;
}

std::unique_ptr<ChannelClient> connectToHost(const Options& options, int& exitCode) {
    std::filesystem::path path;
    if (options.socketPath) {
        path = *options.socketPath;
    } else {
        auto found = channelSocketPath(options.bundleIdentifier, false);
        if (!found) {
            std::cerr << "kestralunectl: " << found.error() << "\n";
            exitCode = kExitConnection;
            return nullptr;
        }
        path = *found;
    }
    auto client = ChannelClient::connect(path, options.timeout);
    if (!client) {
        exitCode = connectionFailure(client.error());
        return nullptr;
    }
    return std::move(client).value();
}

// Prints a failed reply to stderr and gives the exit code; nothing for a success.
std::optional<int> reportFailure(const MethodReply& reply) {
    if (const auto* error = std::get_if<MethodError>(&reply)) {
        std::cerr << error->code;
        if (!error->message.empty()) {
            std::cerr << ": " << error->message;
        }
        std::cerr << "\n";
        if (!error->details.isNull()) {
            std::cerr << "details: " << jsonText(error->details) << "\n";
        }
        return kExitErrorReply;
    }
    if (std::holds_alternative<MethodNotImplemented>(reply)) {
        std::cerr << "not implemented\n";
        return kExitErrorReply;
    }
    return std::nullopt;
}

// Calls and, on success, hands the value over; otherwise sets the exit code.
std::optional<EncodableValue> callHost(ChannelClient& client, const Options& options,
                                       const std::string& channel, const std::string& method,
                                       EncodableValue arguments, int& exitCode) {
    auto reply = client.call(channel, MethodCall{method, std::move(arguments)}, options.timeout);
    if (!reply) {
        exitCode = connectionFailure(reply.error());
        return std::nullopt;
    }
    if (auto failed = reportFailure(*reply)) {
        exitCode = *failed;
        return std::nullopt;
    }
    return std::get<MethodSuccess>(std::move(reply).value()).value;
}

std::string text(const EncodableMap& map, const char* key) {
    auto found = map.find(EncodableValue(key));
    if (found == map.end()) {
        return {};
    }
    const auto* value = found->second.getIf<std::string>();
    return value != nullptr ? *value : std::string();
}

// One line per item: the action (or "-"), the title, and "(disabled)" when it is.
void printMenu(const EncodableValue& menu) {
    const auto* items = menu.getIf<EncodableList>();
    if (items == nullptr) {
        std::cout << jsonText(menu) << "\n";
        return;
    }
    std::size_t width = 1;
    for (const auto& item : *items) {
        if (const auto* map = item.getIf<EncodableMap>()) {
            width = std::max(width, text(*map, "action").size());
        }
    }
    for (const auto& item : *items) {
        const auto* map = item.getIf<EncodableMap>();
        if (map == nullptr) {
            std::cout << jsonText(item) << "\n";
            continue;
        }
        if (text(*map, "kind") == "separator") {
            std::cout << "---\n";
            continue;
        }
        std::string action = text(*map, "action");
        if (action.empty()) {
            action = "-";
        }
        action.resize(std::max(width, action.size()), ' ');
        std::cout << action << "  " << text(*map, "title");
        auto enabled = map->find(EncodableValue("enabled"));
        if (enabled != map->end() && enabled->second == EncodableValue(false)) {
            std::cout << "  (disabled)";
        }
        std::cout << "\n";
    }
}

int runCall(const Options& options) {
    if (options.words.size() < 2 || options.words.size() > 3) {
        return usage("call needs METHOD and at most one JSON argument");
    }
    EncodableValue arguments;
    if (options.words.size() == 3) {
        // "-": from standard input, for arguments longer than a command line may be (a photo).
        std::string text = options.words[2];
        if (text == "-") {
            text.assign(std::istreambuf_iterator<char>(std::cin), {});
        }
        auto parsed = encodableFromJsonText(text);
        if (!parsed) {
            return usage(parsed.error());
        }
        arguments = std::move(parsed).value();
    }
    int exitCode = kExitOk;
    auto client = connectToHost(options, exitCode);
    if (!client) {
        return exitCode;
    }
    auto value = callHost(*client, options, options.channel, options.words[1], std::move(arguments),
                          exitCode);
    if (value) {
        std::cout << jsonText(*value) << std::endl;
    }
    return exitCode;
}

int runListen(const Options& options) {
    if (options.words.size() != 1) {
        return usage("listen takes no arguments");
    }
    int exitCode = kExitOk;
    auto client = connectToHost(options, exitCode);
    if (!client) {
        return exitCode;
    }
    unsigned long received = 0;
    ChannelClient* raw = client.get();
    auto failed = client->listen(
        {options.channel},
        [&](std::string_view, const MethodCall& call) {
            std::cout << R"({"method":)"
                      << nlohmann::json(call.method)
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                      << R"(,"arguments":)" << jsonText(call.arguments) << "}" << std::endl;
            if (options.count && ++received >= *options.count) {
                raw->stopWaiting();
            }
        },
        options.timeout);
    if (failed) {
        return connectionFailure(*failed);
    }
    std::cerr << "listening on " << options.channel << std::endl;
    auto ended = client->waitForCalls();
    if (!ended || ended->kind == ChannelClient::ErrorKind::disconnected) {
        return kExitOk;
    }
    return connectionFailure(*ended);
}

// The status-bar menu, or the application menu: printed, or one of its items chosen.
struct MenuMethods {
    const char* get;
    const char* choose;
};

int runMenu(const Options& options, MenuMethods methods) {
    const auto& words = options.words;
    const bool choose = words.size() == 3 && words[1] == "choose";
    if (words.size() != 1 && !choose) {
        return usage(words[0] + " takes no arguments, or choose ITEM");
    }
    int exitCode = kExitOk;
    auto client = connectToHost(options, exitCode);
    if (!client) {
        return exitCode;
    }
    if (choose) {
        callHost(*client, options, kControlChannel, methods.choose, EncodableValue(words[2]),
                 exitCode);
        return exitCode;
    }
    if (auto menu = callHost(*client, options, kControlChannel, methods.get, {}, exitCode)) {
        printMenu(*menu);
    }
    return exitCode;
}

int runQuit(const Options& options) {
    if (options.words.size() != 1) {
        return usage("quit takes no arguments");
    }
    int exitCode = kExitOk;
    auto client = connectToHost(options, exitCode);
    if (!client) {
        return exitCode;
    }
    if (auto reply = callHost(*client, options, kControlChannel, "quit", {}, exitCode)) {
        std::cout << jsonText(*reply) << std::endl;
    }
    return exitCode;
}

int run(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    if (!options) {
        return usage(options.error().message);
    }
    if (options->help) {
        std::cout << kUsage;
        return kExitOk;
    }
    if (options->words.empty()) {
        return usage("no command given");
    }
    const std::string& command = options->words[0];
    if (command == "call") {
        return runCall(*options);
    }
    if (command == "listen") {
        return runListen(*options);
    }
    if (command == "menu") {
        return runMenu(*options, {"getMenu", "chooseMenuItem"});
    }
    if (command == "app-menu") {
        return runMenu(*options, {"getApplicationMenu", "chooseApplicationMenuItem"});
    }
    if (command == "quit") {
        return runQuit(*options);
    }
    return usage("unknown command " + command);
}

}  // namespace
}  // namespace kestralune

int main(int argc, char** argv) {
    return kestralune::run(argc, argv);
}
