// The open, read-shared package file, from the moment it is opened for the signature
// check until the installer program has ended. Windows-free so the flow can hold it: the
// value is an opaque handle and the close function is CloseHandle on the real side.
#pragma once

#include <utility>

namespace velbro {

class PackageHandle {
public:
    using CloseFn = void (*)(void*);

    PackageHandle() = default;
    PackageHandle(void* value, CloseFn close) : value_(value), close_(close) {}
    PackageHandle(PackageHandle&& other) noexcept
        : value_(std::exchange(other.value_, nullptr)), close_(other.close_) {}
    PackageHandle& operator=(PackageHandle&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, nullptr);
            close_ = other.close_;
        }
        return *this;
    }
    PackageHandle(const PackageHandle&) = delete;
    PackageHandle& operator=(const PackageHandle&) = delete;
    ~PackageHandle() { reset(); }

    void* get() const { return value_; }
    bool is_open() const { return value_ != nullptr; }
    void reset() {
        if (void* v = std::exchange(value_, nullptr)) close_(v);
    }

private:
    void* value_ = nullptr;
    CloseFn close_ = nullptr;
};

}  // namespace velbro
