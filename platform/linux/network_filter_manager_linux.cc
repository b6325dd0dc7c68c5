#include "platform/files.h"
#include "platform/network_filter_manager.h"
#include "platform/user_folders.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace kestralune {

namespace {

// The file holds a handful of keys; anything larger is not ours.
constexpr std::size_t kPreferencesLimit = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The preferences on disk, or the failure's description. A missing file is empty preferences.
std::pair<PlistValue::Dictionary, std::optional<std::string>> readPreferences(
    const std::string& path) {
    const auto failure = [&](const std::string& reason) {
        return std::make_pair(PlistValue::Dictionary{},
                              std::optional<std::string>("Could not read " + path + ": " + reason));
    };
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rbe"));
    if (!file) {
        return errno == ENOENT
                   ? std::make_pair(PlistValue::Dictionary{}, std::optional<std::string>())
                   : failure(std::strerror(errno));
    }
    std::string bytes;
    char buffer[4096];
    while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, file.get())) {
        bytes.append(buffer, count);
        if (bytes.size() > kPreferencesLimit) {
            return failure("the file is too large");
        }
    }
    if (std::ferror(file.get())) {
        return failure(std::strerror(errno));
    }
    const auto parsed = parsePropertyList(bytes);
    if (!parsed || !parsed->is<PlistValue::Dictionary>()) {
        return failure("the file is not a property list dictionary");
    }
    return {*parsed->get<PlistValue::Dictionary>(), std::nullopt};
}

// The loaded preferences, changed in place by the setters, under the names the system's filter
// manager gives its properties.
class FileNetworkFilterManager final : public NetworkFilterManager {
  public:
    explicit FileNetworkFilterManager(RunLoop& runLoop) : runLoop(runLoop) {}

    void loadFromPreferences(Completion completion) override {
        auto [loaded, error] = readPreferences(networkFilterPreferencesPath());
        if (!error) {
            preferences = std::move(loaded);
        }
        complete(std::move(completion), std::move(error));
    }

    void setLocalizedDescription(const std::string& description) override {
        preferences["localizedDescription"] = description;
    }

    void setProviderConfiguration(const FilterProviderConfiguration& configuration) override {
        preferences["providerConfiguration"] = PlistValue::Dictionary{
            {"organization", configuration.organization},
            {"filterSockets", configuration.filterSockets},
            {"vendorConfiguration", configuration.vendorConfiguration},
        };
    }

    void setEnabled(bool enabled) override { preferences["enabled"] = enabled; }

    void saveToPreferences(Completion completion) override {
        complete(std::move(completion), write());
    }

  private:
    std::optional<std::string> write() const {
        const std::string path = networkFilterPreferencesPath();
        const auto bytes = xmlPropertyList(PlistValue(preferences));
        if (!bytes) {
            return "Could not write " + path + ": a value is not valid text";
        }
        std::string failure = createDirectories(path.substr(0, path.rfind('/')), 0700);
        if (failure.empty()) {
            failure = replaceFile(path, *bytes);
        }
        return failure.empty() ? std::nullopt : std::optional<std::string>(failure);
    }

    void complete(Completion completion, std::optional<std::string> error) {
        runLoop.async(
            [completion = std::move(completion), error = std::move(error)] { completion(error); });
    }

    RunLoop& runLoop;
    PlistValue::Dictionary preferences;
};

}  // namespace

std::shared_ptr<NetworkFilterManager> makeNetworkFilterManager(RunLoop& runLoop) {
    return std::make_shared<FileNetworkFilterManager>(runLoop);
}

std::string networkFilterPreferencesPath() {
    return userConfigurationPath() + "/Kestralune/NetworkFilter.plist";
}

}  // namespace kestralune
