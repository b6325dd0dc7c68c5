#pragma once

#include "platform/plist_value.h"
#include "platform/user_defaults.h"

#include <mutex>
#include <string>

namespace kestralune {

// A defaults domain in memory that refuses what the real store refuses (strings an XML file
// cannot carry) and counts what would have been disk writes. The methods are safe from any
// thread; tests read `values` directly only while no other thread uses the store.
class MemoryUserDefaults final : public UserDefaults {
  public:
    std::optional<PlistValue> objectForKey(const std::string& key) const override {
        std::lock_guard lock(mutex);
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional<PlistValue>(found->second);
    }
    bool setObjects(const PlistValue::Dictionary& group) override {
        if (!canWriteAsXml(PlistValue(group))) {
            return false;
        }
        std::lock_guard lock(mutex);
        ++writes;
        for (const auto& [key, value] : group) {
            values.insert_or_assign(key, value);
        }
        return true;
    }
    bool removeObject(const std::string& key) override {
        std::lock_guard lock(mutex);
        ++writes;
        values.erase(key);
        return true;
    }
    bool synchronize() override {
        std::lock_guard lock(mutex);
        ++writes;
        return true;
    }

    PlistValue::Dictionary values;
    int writes = 0;

  private:
    mutable std::mutex mutex;
};

}  // namespace kestralune
