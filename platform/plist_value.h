#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestralune {

// One property-list value: the types the user-defaults store and Info.plist files hold.
class PlistValue {
  public:
    using Data = std::vector<std::uint8_t>;
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    using Storage = std::variant<std::string, bool, std::int64_t, double, Data, Array, Dictionary>;

    PlistValue() : storage_(std::string()) {}
    // Implicit on purpose: values are written as literals at call sites (`set("k", true)`).
    PlistValue(std::string value) : storage_(std::move(value)) {}
    PlistValue(const char* value) : storage_(std::string(value)) {}
    PlistValue(bool value) : storage_(value) {}
    PlistValue(int value) : storage_(std::int64_t{value}) {}
    PlistValue(std::int64_t value) : storage_(value) {}
    PlistValue(double value) : storage_(value) {}
    PlistValue(Data value) : storage_(std::move(value)) {}
    PlistValue(Array value) : storage_(std::move(value)) {}
    PlistValue(Dictionary value) : storage_(std::move(value)) {}

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(storage_);
    }
    template <class T>
    const T* get() const {
        return std::get_if<T>(&storage_);
    }
    const Storage& storage() const { return storage_; }

    friend bool operator==(const PlistValue&, const PlistValue&) = default;

  private:
    Storage storage_;
};

// XML property-list text <-> value. Parsing returns nothing for text that is not a
// property list; it never throws.
std::optional<PlistValue> parsePropertyList(const std::string& bytes);

// Whether every string in the value, dictionary keys included and at any depth, is valid
// UTF-8 made only of characters an XML 1.0 document can carry (no NUL or other control
// character but tab, line feed and carriage return; no U+FFFE or U+FFFF).
bool canWriteAsXml(const PlistValue& value);

// The value as an XML property list; nothing when `canWriteAsXml` is false, since the
// text would not be a well-formed document.
std::optional<std::string> xmlPropertyList(const PlistValue& value);

}  // namespace kestralune
