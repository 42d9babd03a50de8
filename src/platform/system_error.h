// The failure of an operating-system call: a Win32 error code taken right after the
// failing call, or a fixed text. The type is Windows-free; its display text is not.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace velbro {

class SystemError {
public:
    static SystemError from_code(std::uint32_t code) { return SystemError(true, code, {}); }
    static SystemError fixed(std::string text) { return SystemError(false, 0, std::move(text)); }

    bool has_code() const { return has_code_; }
    std::uint32_t code() const { return code_; }
    const std::string& fixed_text() const { return fixed_text_; }

private:
    SystemError(bool has_code, std::uint32_t code, std::string text)
        : has_code_(has_code), code_(code), fixed_text_(std::move(text)) {}
    bool has_code_;
    std::uint32_t code_;
    std::string fixed_text_;
};

// "{system message} (os error {N})", or the fixed text. Defined on the Windows side.
std::string display_text(const SystemError& error);

}  // namespace velbro
