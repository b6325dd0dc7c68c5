#pragma once

#include "platform/plist_value.h"

#include <optional>
#include <string>

namespace kestralune {

// A directory bundle ("NAME.app" with Contents/Info.plist and Contents/MacOS/).
struct Bundle {
    std::string path;                       // the bundle directory (the main bundle of a
                                            // loose program: the executable's directory)
    std::optional<std::string> identifier;  // CFBundleIdentifier, when the bundle has one
    PlistValue::Dictionary infoDictionary;  // empty when there is no readable Info.plist
    std::string executablePath;             // for the main bundle: the running executable
};

// The Info.plist's string under `key`; empty when it is missing or not a string.
inline std::string infoString(const Bundle& bundle, const std::string& key) {
    const auto found = bundle.infoDictionary.find(key);
    const auto* text =
        found == bundle.infoDictionary.end() ? nullptr : found->second.get<std::string>();
    return text ? *text : std::string();
}

// Reads the bundle at `path`; nothing when Contents/Info.plist is missing or unreadable.
std::optional<Bundle> bundleAtPath(const std::string& path);

// The running program's executable, symbolic links resolved; nothing when the system
// cannot say.
std::optional<std::string> currentExecutablePath();

// The bundle whose Contents/MacOS/ holds the running executable (links resolved).
// Computed once per process.
const Bundle& mainBundle();

// The identifier the system falls back to when the main bundle has none.
inline constexpr const char* kDefaultBundleIdentifier = "com.orrindale.app";

}  // namespace kestralune
