// A value or the error that kept a call from making it. A step's error is its InstallError
// (platform/step_result.h); an operating-system call wrapper's is a SystemError.
#pragma once

#include <utility>
#include <variant>

namespace velbro {

struct InstallError;

template <typename T, typename E = InstallError>
class Result {
public:
    Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : value_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return value_.index() == 0; }
    T& value() { return std::get<0>(value_); }
    const T& value() const { return std::get<0>(value_); }
    const E& error() const { return std::get<1>(value_); }

private:
    std::variant<T, E> value_;
};

}  // namespace velbro
