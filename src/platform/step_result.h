// The values a step hands back to the flow: a failure message, or what it made.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace velbro {

// The failure of one step: a Danish message, lower-case first letter, no full stop.
struct InstallError {
    std::string message;
};

// A step that makes nothing returns this: no value means the step succeeded.
using StepStatus = std::optional<InstallError>;

// A step that makes a T returns either it or the step's InstallError; an operating-system
// call wrapper returns a T or a SystemError.
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

// What the whole step sequence yields: a success text shown unchanged, or the failure.
struct SuccessText {
    std::string text;
};
using RunResult = Result<SuccessText>;

}  // namespace velbro
