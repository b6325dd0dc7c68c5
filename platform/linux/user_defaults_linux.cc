#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/user_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace kestralune {

namespace {

std::string preferencesFolder() {
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
        base = std::string(home) + "/.config";
    } else {
        base = "/tmp";
    }
    return base + "/Kestralune/Preferences";
}

bool makeFolders(const std::string& path) {
    std::size_t position = 0;
    while ((position = path.find('/', position + 1)) != std::string::npos) {
        const std::string prefix = path.substr(0, position);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// One domain's property list on disk. Writes go to a temporary file that is synced and
// renamed over the old one, so a crash leaves either the old or the new list, never half.
class FileUserDefaults final : public UserDefaults {
  public:
    FileUserDefaults(std::string folder, std::string path)
        : folder(std::move(folder)), path(std::move(path)) {
        load();
    }

    std::optional<PlistValue> objectForKey(const std::string& key) const override {
        std::lock_guard lock(mutex);
        auto found = values.find(key);
        if (found == values.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    void setObject(const std::string& key, PlistValue value) override {
        std::lock_guard lock(mutex);
        values.insert_or_assign(key, std::move(value));
        persist();
    }

    void removeObject(const std::string& key) override {
        std::lock_guard lock(mutex);
        if (values.erase(key) > 0) {
            persist();
        }
    }

    bool synchronize() override {
        std::lock_guard lock(mutex);
        return persist();
    }

  private:
    void load() {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return;
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        auto parsed = parsePropertyList(bytes.str());
        if (parsed && parsed->is<PlistValue::Dictionary>()) {
            values = *parsed->get<PlistValue::Dictionary>();
            return;
        }
        // Keep what could not be read instead of overwriting it with the next write.
        const std::string aside = path + ".unreadable";
        std::rename(path.c_str(), aside.c_str());
        logLine("Kestralune preferences could not be read; kept as " + aside);
    }

    bool persist() {
        if (!makeFolders(folder)) {
            logLine("Kestralune preferences folder could not be created: " + folder);
            return false;
        }
        const std::string bytes = xmlPropertyList(PlistValue(values));
        const std::string temporary = path + ".tmp." + std::to_string(getpid());
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            logLine("Kestralune preferences could not be written: " + path + ": " +
                    std::strerror(errno));
            return false;
        }
        const bool ok = fchmod(fd, 0600) == 0 && writeAll(fd, bytes) && fsync(fd) == 0;
        close(fd);
        if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
            unlink(temporary.c_str());
            logLine("Kestralune preferences could not be written: " + path);
            return false;
        }
        if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            fsync(dir);
            close(dir);
        }
        return true;
    }

    const std::string folder;
    const std::string path;
    mutable std::mutex mutex;
    PlistValue::Dictionary values;
};

bool usableDomain(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// One store per file in the process, so every caller sees the others' writes at once.
std::shared_ptr<UserDefaults> openDomain(const std::string& domain) {
    static std::mutex registryMutex;
    static std::map<std::string, std::shared_ptr<UserDefaults>> registry;
    const std::string folder = preferencesFolder();
    const std::string path = folder + "/" + domain + ".plist";
    std::lock_guard lock(registryMutex);
    auto& store = registry[path];
    if (!store) {
        store = std::make_shared<FileUserDefaults>(folder, path);
    }
    return store;
}

std::string standardDomain() {
    const Bundle& bundle = mainBundle();
    if (bundle.identifier && usableDomain(*bundle.identifier)) {
        return *bundle.identifier;
    }
    const std::string& executable = bundle.executablePath;
    std::string name = executable.substr(executable.find_last_of('/') + 1);
    return usableDomain(name) ? name : "Kestralune";
}

}  // namespace

std::shared_ptr<UserDefaults> standardUserDefaults() {
    return openDomain(standardDomain());
}

std::shared_ptr<UserDefaults> userDefaultsSuite(const std::string& suiteName) {
    if (!usableDomain(suiteName)) {
        return nullptr;
    }
    return openDomain(suiteName);
}

}  // namespace kestralune
