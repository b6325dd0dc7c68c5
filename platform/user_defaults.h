#pragma once

#include "platform/plist_value.h"

#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// A user-defaults domain (NSUserDefaults): a persistent map from key to property-list value.
// Every change is written through to disk at once, in one atomic write; the in-memory values
// are always those of the last write that succeeded (or of the file as it was opened), so a
// failed write changes nothing and never reaches disk later. A string that is not valid UTF-8
// or holds a character XML cannot carry (see `canWriteAsXml`) is refused the same way.
// Failures are logged, one line each, and reported as false.
//
// Safe to use from any thread. Reads never wait for a disk write: the block server reads the
// appearance on its own queue while the main thread may be writing.
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;

    virtual std::optional<PlistValue> objectForKey(const std::string& key) const = 0;
    // Stores every key of `group` together: readers, and the file after a crash, see all of
    // them or none.
    virtual bool setObjects(const PlistValue::Dictionary& group) = 0;
    // True when the key is gone, including when it was never there.
    virtual bool removeObject(const std::string& key) = 0;
    // Writes the domain again.
    virtual bool synchronize() = 0;

    bool setObject(const std::string& key, PlistValue value);

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
