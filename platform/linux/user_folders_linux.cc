#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string_view>

namespace kestralune {

namespace {

std::string absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool isInside(std::string_view path, std::string folder) {
    if (folder.empty()) {
        return false;
    }
    if (folder.back() != '/') {
        folder += '/';
    }
    return path.starts_with(folder);
}

}  // namespace

std::string homeFolderPath() {
    if (auto home = absoluteVariable("HOME"); !home.empty()) {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::geteuid());
        entry != nullptr && entry->pw_dir && entry->pw_dir[0] == '/') {
        return entry->pw_dir;
    }
    return "/";
}

std::string applicationSupportPath() {
    auto data = absoluteVariable("XDG_DATA_HOME");
    return data.empty() ? homeFolderPath() + "/.local/share" : data;
}

std::string userConfigurationPath() {
    auto config = absoluteVariable("XDG_CONFIG_HOME");
    return config.empty() ? homeFolderPath() + "/.config" : config;
}

bool isInstalledInApplicationsFolder(const std::string& bundlePath) {
    const std::string bundle = resolved(bundlePath);
    if (bundle.empty()) {
        return false;
    }
    const std::string home = homeFolderPath();
    const std::string resolvedHome = resolved(home);
    return isInside(bundle, "/Applications") ||
           (home != "/" && isInside(bundle, home + "/Applications")) ||
           (!resolvedHome.empty() && resolvedHome != "/" &&
            isInside(bundle, resolvedHome + "/Applications"));
}

}  // namespace kestralune
