#pragma once

#include "platform/plist_value.h"

#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// A user-defaults domain (NSUserDefaults): a persistent map from key to property-list value.
// Every change is written through to disk at once, atomically; readers see the in-memory
// copy loaded when the domain was first opened in this process. Safe to use from any thread
// (the block server reads the appearance on its own queue while the main thread writes it).
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;

    virtual std::optional<PlistValue> objectForKey(const std::string& key) const = 0;
    virtual void setObject(const std::string& key, PlistValue value) = 0;
    virtual void removeObject(const std::string& key) = 0;
    // Writes the domain again; false when the file could not be written.
    virtual bool synchronize() = 0;

    // Typed reads: nothing when the key is absent or holds another type.
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<PlistValue::Data> dataForKey(const std::string& key) const;
    std::optional<bool> boolForKey(const std::string& key) const;
};

// The standard domain: the main bundle's identifier, else the executable's name.
std::shared_ptr<UserDefaults> standardUserDefaults();

// A named suite (for example "group.com.orrindale.app"); nothing when the name cannot be
// used as a domain (empty, or a path).
std::shared_ptr<UserDefaults> userDefaultsSuite(const std::string& suiteName);

}  // namespace kestralune
