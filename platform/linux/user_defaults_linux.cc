#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/unique_fd.h"
#include "platform/user_defaults.h"
#include "platform/user_folders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace kestralune {

namespace {

std::string preferencesFolder() {
    return userConfigurationPath() + "/Kestralune/Preferences";
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

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the writer's temporary file and locks it for as long as the write lasts, so that a
// store opening meanwhile knows it is alive. A file removed between the open and the lock
// (taken for a dead writer's) is created again.
// Invalid on failure.
UniqueFd openLockedTemporary(const std::string& path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        UniqueFd fd(
            open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() || flock(fd.get(), LOCK_EX) != 0) {
            return UniqueFd();
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd.get(), &held) == 0 && lstat(path.c_str(), &named) == 0 &&
            sameFile(held, named)) {
            return fd;
        }
    }
    return UniqueFd();
}

// One domain's property list on disk. A write goes to "<file>.tmp.<pid>", locked while it is
// written, synced and renamed over the old file, so a crash leaves either the old or the new
// list, never half. Writers serialize on their own lock; readers take the current values
// under a short one and never wait for the disk.
class FileUserDefaults final : public UserDefaults {
  public:
    FileUserDefaults(std::string folder, std::string path)
        : folder(std::move(folder)), path(std::move(path)) {
        removeAbandonedTemporaryFiles();
        values = std::make_shared<const PlistValue::Dictionary>(load());
    }

    std::optional<PlistValue> objectForKey(const std::string& key) const override {
        const auto current = currentValues();
        auto found = current->find(key);
        if (found == current->end()) {
            return std::nullopt;
        }
        return found->second;
    }

    bool setObjects(const PlistValue::Dictionary& group) override {
        std::lock_guard writing(writeMutex);
        auto next = *currentValues();
        for (const auto& [key, value] : group) {
            next.insert_or_assign(key, value);
        }
        return commit(std::move(next));
    }

    bool removeObject(const std::string& key) override {
        std::lock_guard writing(writeMutex);
        auto next = *currentValues();
        return next.erase(key) == 0 || commit(std::move(next));
    }

    bool synchronize() override {
        std::lock_guard writing(writeMutex);
        return write(*currentValues());
    }

  private:
    std::shared_ptr<const PlistValue::Dictionary> currentValues() const {
        std::lock_guard reading(valuesMutex);
        return values;
    }

    bool commit(PlistValue::Dictionary next) {
        if (!write(next)) {
            return false;
        }
        auto published = std::make_shared<const PlistValue::Dictionary>(std::move(next));
        std::lock_guard reading(valuesMutex);
        values = std::move(published);
        return true;
    }

    PlistValue::Dictionary load() {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return {};
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        auto parsed = parsePropertyList(bytes.str());
        if (!parsed || !parsed->is<PlistValue::Dictionary>()) {
            // Keep what could not be read instead of overwriting it with the next write.
            const std::string aside = path + ".unreadable";
            std::rename(path.c_str(), aside.c_str());
            logLine("Kestralune preferences could not be read; kept as " + aside);
            return {};
        }
        // A value no write could carry (left by an older version) would refuse every write.
        auto loaded = *parsed->get<PlistValue::Dictionary>();
        std::erase_if(loaded, [this](const auto& entry) {
            const bool writable = canWriteAsXml(PlistValue(PlistValue::Dictionary{entry}));
            if (!writable) {
                logLine("Kestralune preferences dropped a value that is not valid text: " + path);
            }
            return !writable;
        });
        return loaded;
    }

    // A temporary file whose lock can be taken belongs to a writer that died.
    void removeAbandonedTemporaryFiles() const {
        const std::string prefix = path.substr(path.find_last_of('/') + 1) + ".tmp.";
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            if (name.size() == prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
                name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
                continue;
            }
            const UniqueFd fd(
                open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat held {};
            struct stat named {};
            if (fd.valid() && flock(fd.get(), LOCK_EX | LOCK_NB) == 0 &&
                fstat(fd.get(), &held) == 0 && S_ISREG(held.st_mode) &&
                lstat(entry.path().c_str(), &named) == 0 && sameFile(held, named)) {
                unlink(entry.path().c_str());
            }
        }
    }

    bool write(const PlistValue::Dictionary& next) const {
        const auto bytes = xmlPropertyList(PlistValue(next));
        if (!bytes) {
            logLine("Kestralune preferences refused a string that is not valid text: " + path);
            return false;
        }
        if (const auto failed = createDirectories(folder, 0700); !failed.empty()) {
            logLine("Kestralune preferences folder could not be created: " + failed);
            return false;
        }
        const std::string temporary = path + ".tmp." + std::to_string(getpid());
        UniqueFd fd = openLockedTemporary(temporary);
        if (!fd.valid()) {
            logLine("Kestralune preferences could not be written: " + path + ": " +
                    std::strerror(errno));
            return false;
        }
        const bool written = fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), *bytes) &&
                             fsync(fd.get()) == 0 &&
                             std::rename(temporary.c_str(), path.c_str()) == 0;
        if (!written) {
            const int cause = errno;
            unlink(temporary.c_str());
            logLine("Kestralune preferences could not be written: " + path + ": " +
                    std::strerror(cause));
            return false;
        }
        fd.reset();
        if (const UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            dir.valid()) {
            fsync(dir.get());
        }
        return true;
    }

    const std::string folder;
    const std::string path;
    std::mutex writeMutex;
    mutable std::mutex valuesMutex;
    std::shared_ptr<const PlistValue::Dictionary> values;
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
