#pragma once

#include <string>

namespace kestralune {

// The user's home folder: $HOME when it holds an absolute path, else the password
// database's entry for the effective user, else "/".
std::string homeFolderPath();

// Application Support: $XDG_DATA_HOME when it holds an absolute path, else
// "<home>/.local/share". Computed afresh on every call; nothing is created.
std::string applicationSupportPath();

// The user's configuration folder: $XDG_CONFIG_HOME when it holds an absolute path, else
// "<home>/.config". Computed afresh on every call; nothing is created.
std::string userConfigurationPath();

// Whether the bundle at `bundlePath`, with symbolic links resolved, lies in an Applications
// folder: its path begins with "/Applications/" or with "<home>/Applications/" (the home
// folder as given or with its own links resolved). A path that cannot be resolved is not
// installed.
bool isInstalledInApplicationsFolder(const std::string& bundlePath);

}  // namespace kestralune
