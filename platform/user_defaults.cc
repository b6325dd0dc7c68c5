#include "platform/user_defaults.h"

#include <utility>

namespace kestralune {

bool UserDefaults::setObject(const std::string& key, PlistValue value) {
    return setObjects({{key, std::move(value)}});
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (value && value->is<std::string>()) {
        return *value->get<std::string>();
    }
    return std::nullopt;
}

std::optional<PlistValue::Data> UserDefaults::dataForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (value && value->is<PlistValue::Data>()) {
        return *value->get<PlistValue::Data>();
    }
    return std::nullopt;
}

std::optional<bool> UserDefaults::boolForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (value && value->is<bool>()) {
        return *value->get<bool>();
    }
    return std::nullopt;
}

}  // namespace kestralune
