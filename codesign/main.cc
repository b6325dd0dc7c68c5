// codesign: seals and signs bundles and verifies their signatures, with the command line and
// exit statuses of the system's tool, which the installer runs.
#include "codesign/code_signature.h"
#include "platform/files.h"

#include <iostream>

namespace kestralune {
namespace {

constexpr const char* kUsage =
    "Usage: codesign -s IDENTITY [-i IDENTIFIER] [-f|--force] [--deep] PATH...\n"
    "       codesign --verify|-v [--deep] [--strict] [-R=REQUIREMENT | -R REQUIREMENT] PATH...\n"
    "IDENTITY is a PEM file with the team's Ed25519 private key, its certificate and the\n"
    "certificate of the anchor that issued it. Exit status: 0 signed or valid, 1 not signed or\n"
    "invalid, 2 usage, 3 valid but failing the requirement.\n";

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kRequirementNotMet = 3;

struct CommandLine {
    std::optional<std::string> identity;
    std::optional<std::string> identifier;
    std::optional<std::string> requirement;
    bool verify = false;
    bool force = false;
    bool deep = false;
    bool strict = false;
    std::vector<std::string> paths;
};

// Returns an empty string, or why the arguments are not a command. Options with a value take it
// attached ("-sIDENTITY") or as the next argument; a requirement may start with "=" ("-R=TEXT").
std::string parseCommandLine(const std::vector<std::string>& arguments, CommandLine& line) {
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        const char option = argument.size() > 1 && argument[0] == '-' ? argument[1] : '\0';
        if (argument == "--") {
            line.paths.insert(line.paths.end(), arguments.begin() + index + 1, arguments.end());
            break;
        }
        if (option == '\0') {
            line.paths.push_back(argument);
        } else if (argument == "-v" || argument == "--verify") {
            line.verify = true;
        } else if (argument == "-f" || argument == "--force") {
            line.force = true;
        } else if (argument == "--deep" || argument == "--strict") {
            (argument == "--deep" ? line.deep : line.strict) = true;
        } else if (option == 's' || option == 'i' || option == 'R') {
            std::string value = argument.substr(2);
            if (value.empty() && index + 1 == arguments.size()) {
                return "option " + argument + " needs a value";
            }
            if (value.empty()) {
                value = arguments[++index];
            }
            if (option == 'R' && value.starts_with('=')) {
                value.erase(0, 1);
            }
            (option == 's'   ? line.identity
             : option == 'i' ? line.identifier
                             : line.requirement) = std::move(value);
        } else {
            return "unknown option " + argument;
        }
    }
    if (line.identity.has_value() == line.verify) {
        return "give either -s IDENTITY to sign or --verify to verify";
    }
    if (line.identity ? line.strict || line.requirement : line.identifier || line.force) {
        return line.identity ? "--strict and -R are for verifying"
                             : "-i and --force are for signing";
    }
    return line.paths.empty() ? "no bundle path given" : "";
}

int sign(const CommandLine& line) {
    const auto text = readFile(*line.identity, std::size_t{1} << 20);
    SigningIdentity identity;
    const std::string why = text ? readSigningIdentity(*text, identity) : "cannot be read";
    if (!why.empty()) {
        std::cerr << *line.identity << ": " << why << "\n";
        return kFailed;
    }
    int status = 0;
    for (const auto& path : line.paths) {
        if (auto failure = signBundle(path, identity, {line.identifier, line.force, line.deep});
            !failure.empty()) {
            std::cerr << path << ": " << failure << "\n";
            status = kFailed;
        }
    }
    return status;
}

int verify(const CommandLine& line) {
    VerificationOptions options{line.deep, line.strict, std::nullopt, systemTrustedAnchors()};
    if (line.requirement) {
        Requirement requirement;
        if (auto why = parseRequirement(*line.requirement, requirement); !why.empty()) {
            std::cerr << "codesign: malformed requirement: " << why << "\n";
            return kUsageError;
        }
        options.requirement = std::move(requirement);
    }
    int status = 0;
    for (const auto& path : line.paths) {
        const auto result = verifyBundle(path, options);
        if (result.status != VerificationStatus::valid) {
            std::cerr << path << ": " << result.reason << "\n";
        }
        // An invalid bundle outweighs one that only fails the requirement.
        if (result.status == VerificationStatus::invalid) {
            status = kFailed;
        } else if (result.status == VerificationStatus::requirementNotMet && status == 0) {
            status = kRequirementNotMet;
        }
    }
    return status;
}

}  // namespace
}  // namespace kestralune

int main(int argc, char** argv) {
    using namespace kestralune;
    CommandLine line;
    if (auto why = parseCommandLine({argv + 1, argv + argc}, line); !why.empty()) {
        std::cerr << "codesign: " << why << "\n" << kUsage;
        return kUsageError;
    }
    return line.identity ? sign(line) : verify(line);
}
