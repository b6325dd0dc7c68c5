#include "host/application_choice.h"

#include "platform/base64.h"
#include "platform/bundle.h"
#include "platform/images.h"

#include <filesystem>

namespace kestralune {

namespace {

const std::string* infoString(const Bundle& bundle, const char* key) {
    const auto found = bundle.infoDictionary.find(key);
    return found == bundle.infoDictionary.end() ? nullptr : found->second.get<std::string>();
}

}  // namespace

EncodableMap chosenApplication(const std::string& path) {
    const auto bundle = bundleAtPath(path);
    std::string name = std::filesystem::path(path).stem().string();
    std::string identifier = path;
    if (bundle) {
        if (const auto* display = infoString(*bundle, "CFBundleDisplayName")) {
            name = *display;
        } else if (const auto* bundleName = infoString(*bundle, "CFBundleName")) {
            name = *bundleName;
        }
        identifier = bundle->identifier.value_or(path);
    }
    return EncodableMap{
        {"name", name},
        {"path", path},
        {"bundleIdentifier", identifier},
        {"iconBase64", base64Encoded(applicationIconPng(path))},
    };
}

}  // namespace kestralune
