#include "platform/bundle.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace kestralune {

namespace {

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

Bundle loadMainBundle() {
    const std::string executable = currentExecutablePath().value_or("");
    const std::string macos = parentOf(executable);
    const std::string contents = parentOf(macos);
    const std::string candidate = parentOf(contents);
    if (lastComponent(macos) == "MacOS" && lastComponent(contents) == "Contents" &&
        candidate.size() > 4 && candidate.ends_with(".app")) {
        if (auto bundle = bundleAtPath(candidate)) {
            bundle->executablePath = executable;
            return *bundle;
        }
    }
    Bundle loose;
    loose.path = macos;
    loose.executablePath = executable;
    return loose;
}

}  // namespace

std::optional<std::string> currentExecutablePath() {
    char resolved[PATH_MAX];
    if (realpath("/proc/self/exe", resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

std::optional<Bundle> bundleAtPath(const std::string& path) {
    std::ifstream in(path + "/Contents/Info.plist", std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    auto parsed = parsePropertyList(bytes.str());
    if (!parsed || !parsed->is<PlistValue::Dictionary>()) {
        return std::nullopt;
    }
    Bundle bundle;
    bundle.path = path;
    bundle.infoDictionary = *parsed->get<PlistValue::Dictionary>();
    if (auto found = bundle.infoDictionary.find("CFBundleIdentifier");
        found != bundle.infoDictionary.end() && found->second.is<std::string>()) {
        bundle.identifier = *found->second.get<std::string>();
    }
    return bundle;
}

const Bundle& mainBundle() {
    static const Bundle bundle = loadMainBundle();
    return bundle;
}

}  // namespace kestralune
