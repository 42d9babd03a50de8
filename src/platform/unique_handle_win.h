// One owner for every kind of Windows resource: a raw value never outlives the line that
// got it. Each kind supplies its empty value and how it is released.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace velbro {

template <typename Traits>
class Unique {
public:
    using value_type = typename Traits::type;

    Unique() = default;
    explicit Unique(value_type value) : value_(value) {}
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    value_type get() const { return value_; }
    explicit operator bool() const { return Traits::is_valid(value_); }

    value_type release() { return std::exchange(value_, Traits::empty()); }
    void reset(value_type value = Traits::empty()) {
        value_type old = std::exchange(value_, value);
        if (Traits::is_valid(old)) Traits::close(old);
    }

private:
    value_type value_ = Traits::empty();
};

// Kernel handles: both NULL and INVALID_HANDLE_VALUE mean "none".
struct KernelHandleTraits {
    using type = HANDLE;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) { ::CloseHandle(h); }
};
using UniqueHandle = Unique<KernelHandleTraits>;

struct LibraryTraits {
    using type = HMODULE;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr; }
    static void close(type h) { ::FreeLibrary(h); }
};
using UniqueLibrary = Unique<LibraryTraits>;

struct LocalMemoryTraits {
    using type = HLOCAL;
    static type empty() { return nullptr; }
    static bool is_valid(type h) { return h != nullptr; }
    static void close(type h) { ::LocalFree(h); }
};
using UniqueLocal = Unique<LocalMemoryTraits>;

// The UTF-16 texts of the Windows-free code are char16_t; Windows takes wchar_t.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
inline const wchar_t* wide_ptr(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline wchar_t* wide_ptr(std::u16string& text) { return reinterpret_cast<wchar_t*>(text.data()); }

}  // namespace velbro
