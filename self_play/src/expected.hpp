// A value or an error, for the expected failures of the engine.
#pragma once

#include <utility>
#include <variant>

namespace tarnex::self_play {

template <class E>
struct Unexpected {
    E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Expected(Unexpected<F> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    E& error() { return std::get<1>(v_); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace tarnex::self_play
