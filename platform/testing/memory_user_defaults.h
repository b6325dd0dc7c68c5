#pragma once

#include "platform/user_defaults.h"

#include <map>
#include <mutex>

namespace kestralune {

// A defaults domain in memory, never written anywhere. Thread-safe like the real one: a test
// may change a value while the block server reads it on its own queue.
class MemoryUserDefaults final : public UserDefaults {
  public:
    std::optional<PlistValue> objectForKey(const std::string& key) const override {
        std::lock_guard lock(mutex);
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    void setObject(const std::string& key, PlistValue value) override {
        std::lock_guard lock(mutex);
        values.insert_or_assign(key, std::move(value));
    }
    void removeObject(const std::string& key) override {
        std::lock_guard lock(mutex);
        values.erase(key);
    }
    bool synchronize() override { return true; }

  private:
    mutable std::mutex mutex;
    std::map<std::string, PlistValue> values;
};

}  // namespace kestralune
