#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace kestralune {

class EncodableValue;
struct EncodableValueLess {
    bool operator()(const EncodableValue& a, const EncodableValue& b) const;
};
using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue, EncodableValueLess>;

// Alternatives in the codec's type order.
using EncodableVariant =
    std::variant<std::monostate, bool, std::int32_t, std::int64_t, double, std::string,
                 std::vector<std::uint8_t>, std::vector<std::int32_t>, std::vector<std::int64_t>,
                 std::vector<double>, EncodableList, EncodableMap, std::vector<float>>;

// A value of the standard message codec: null, Boolean, 32- and 64-bit integers, double,
// string, the typed lists, list and map. The variant is held, not inherited: the standard
// variant's comparison operators cannot be instantiated for a type that contains itself.
class EncodableValue {
  public:
    EncodableValue() = default;
    // Implicit on purpose, so values read like literals: EncodableValue v = EncodableMap{...}.
    template <class T>
    requires(!std::is_same_v<std::decay_t<T>, EncodableValue> &&
             std::is_constructible_v<EncodableVariant, T>) EncodableValue(T&& value)
        : storage(std::forward<T>(value)) {}
    // A string literal would otherwise become a Boolean.
    EncodableValue(const char* text) : storage(std::string(text)) {}

    const EncodableVariant& variant() const { return storage; }
    EncodableVariant& variant() { return storage; }
    std::size_t index() const { return storage.index(); }

    bool isNull() const { return std::holds_alternative<std::monostate>(storage); }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(storage);
    }
    template <class T>
    const T* getIf() const {
        return std::get_if<T>(&storage);
    }
    template <class T>
    T* getIf() {
        return std::get_if<T>(&storage);
    }

    // Either integer width, widened (the codec picks the width by magnitude).
    bool holdsInteger() const { return is<std::int32_t>() || is<std::int64_t>(); }
    // Only valid when holdsInteger() is true.
    std::int64_t longValue() const {
        if (const auto* small = getIf<std::int32_t>()) {
            return *small;
        }
        return std::get<std::int64_t>(storage);
    }
    // The value read as a whole number, as the platform's numeric conversion reads it: an
    // integer of either width, or a double with an integral value inside the 64-bit range
    // (a UI slider sends 25.0). Nothing for other values: fractions, NaN, infinities,
    // Booleans, strings.
    std::optional<std::int64_t> integerValue() const {
        if (holdsInteger()) {
            return longValue();
        }
        const auto* real = getIf<double>();
        // -2^63 and 2^63 are exact doubles; every integral double in [-2^63, 2^63) converts.
        if (!real || !std::isfinite(*real) || std::trunc(*real) != *real || *real < -0x1p63 ||
            *real >= 0x1p63) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(*real);
    }

    // Total order: by type first, then by content.
    static int compare(const EncodableValue& a, const EncodableValue& b);
    friend bool operator==(const EncodableValue& a, const EncodableValue& b) {
        return compare(a, b) == 0;
    }
    friend bool operator<(const EncodableValue& a, const EncodableValue& b) {
        return compare(a, b) < 0;
    }

  private:
    EncodableVariant storage;
};

inline bool EncodableValueLess::operator()(const EncodableValue& a, const EncodableValue& b) const {
    return EncodableValue::compare(a, b) < 0;
}

inline int EncodableValue::compare(const EncodableValue& a, const EncodableValue& b) {
    if (a.index() != b.index()) {
        return a.index() < b.index() ? -1 : 1;
    }
    return std::visit(
        [&b](const auto& left) -> int {
            using T = std::decay_t<decltype(left)>;
            const T& right = std::get<T>(b.storage);
            if constexpr (std::is_same_v<T, std::monostate>) {
                return 0;
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                for (std::size_t i = 0; i < left.size() && i < right.size(); ++i) {
                    if (int c = compare(left[i], right[i]); c != 0) {
                        return c;
                    }
                }
                return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                auto l = left.begin();
                auto r = right.begin();
                for (; l != left.end() && r != right.end(); ++l, ++r) {
                    if (int c = compare(l->first, r->first); c != 0) {
                        return c;
                    }
                    if (int c = compare(l->second, r->second); c != 0) {
                        return c;
                    }
                }
                return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
            } else {
                return left < right ? -1 : (right < left ? 1 : 0);
            }
        },
        a.storage);
}

}  // namespace kestralune
