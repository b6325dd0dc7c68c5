#include "blocking/network_filter_permission.h"

#include "platform/bundle.h"

#include <filesystem>
#include <optional>
#include <utility>

namespace kestralune {

namespace {

constexpr const char* kFilterDataIdentifier = "com.apple.networkextension.filter-data";

const PlistValue* entry(const PlistValue::Dictionary& dictionary, const std::string& key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &found->second;
}

const PlistValue::Dictionary* dictionaryEntry(const PlistValue::Dictionary& dictionary,
                                              const std::string& key) {
    const PlistValue* value = entry(dictionary, key);
    return value == nullptr ? nullptr : value->get<PlistValue::Dictionary>();
}

bool declaresFilterExtensionPoint(const PlistValue::Dictionary& info) {
    const auto* extension = dictionaryEntry(info, "NSExtension");
    const PlistValue* point =
        extension == nullptr ? nullptr : entry(*extension, "NSExtensionPointIdentifier");
    return point != nullptr && point->get<std::string>() != nullptr &&
           *point->get<std::string>() == kFilterDataIdentifier;
}

bool declaresFilterProviderClass(const PlistValue::Dictionary& info) {
    const auto* networkExtension = dictionaryEntry(info, "NetworkExtension");
    const auto* classes = networkExtension == nullptr
                              ? nullptr
                              : dictionaryEntry(*networkExtension, "NEProviderClasses");
    return classes != nullptr && classes->contains(kFilterDataIdentifier);
}

bool containsFilterProvider(const std::filesystem::path& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (isNetworkFilterExtension(it->path().string())) {
            return true;
        }
    }
    return false;
}

EncodableMap outcome(bool enabled, std::string summary) {
    return EncodableMap{{"enabled", enabled}, {"summary", std::move(summary)}};
}

}  // namespace

bool isNetworkFilterExtension(const std::string& path) {
    const auto bundle = bundleAtPath(path);
    return bundle && (declaresFilterExtensionPoint(bundle->infoDictionary) ||
                      declaresFilterProviderClass(bundle->infoDictionary));
}

void requestNetworkFilterPermission(const std::string& bundlePath,
                                    std::shared_ptr<NetworkFilterManager> manager,
                                    std::function<void(EncodableMap)> completion) {
    const std::filesystem::path contents = std::filesystem::path(bundlePath) / "Contents";
    if (!containsFilterProvider(contents / "PlugIns") &&
        !containsFilterProvider(contents / "Library/SystemExtensions")) {
        completion(outcome(false,
                           "This build does not contain a network filter extension. Website "
                           "blocking uses the macOS automatic proxy."));
        return;
    }
    auto loaded = [manager, completion](const std::optional<std::string>& error) {
        if (error) {
            completion(outcome(false, "Network filter preferences could not be loaded: " + *error));
            return;
        }
        manager->setProviderConfiguration(FilterProviderConfiguration{
            .organization = "Kestralune",
            .filterSockets = true,
            .vendorConfiguration = {{"configURL", "http://127.0.0.1:18081/config.json"},
                                    {"blockURL", "http://127.0.0.1:18081/blocked"}},
        });
        manager->setLocalizedDescription("Kestralune Web Blocking");
        manager->setEnabled(true);
        manager->saveToPreferences([manager, completion](const std::optional<std::string>& error) {
            completion(error
                           ? outcome(false, "Network filter permission was not enabled: " + *error)
                           : outcome(true,
                                     "Network filter permission enabled. Kestralune can apply "
                                     "browser-independent web blocking after the filter "
                                     "extension target is signed."));
        });
    };
    manager->loadFromPreferences(std::move(loaded));
}

}  // namespace kestralune
