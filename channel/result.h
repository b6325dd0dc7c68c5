#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestralune {

// A value or the reason there is none. Input and OS failures in channel/ are returned as
// this, never thrown and never logged as a default value. Reading the value of a failed
// result (or the error of a good one) is a programmer error.
template <class T, class E>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<T, E>, "value and error types must differ");

  public:
    Result(T value) : storage(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : storage(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return storage.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& {
        assert(ok());
        return std::get<0>(storage);
    }
    T& value() & {
        assert(ok());
        return std::get<0>(storage);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(storage));
    }
    const T* operator->() const { return &value(); }
    const T& operator*() const& { return value(); }

    const E& error() const {
        assert(!ok());
        return std::get<1>(storage);
    }

  private:
    std::variant<T, E> storage;
};

}  // namespace kestralune
