// What the Windows tests share: a deadline that ends every child instead of letting the test
// hang, a count of this process's open handles, and a scratch folder.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace velbro::test_support {

// Runs `body`, which starts children. If it has not returned by the deadline, every child the
// test started is ended and the test exits with 1 and a message: the run fails, not stalls.
void within_deadline(const char* what, const std::function<void()>& body, DWORD deadline_ms = 30000);

// Open handles of this process, found by probing handle values: under Wine
// GetProcessHandleCount always reports 0.
int count_handles();

// A new folder in the temporary directory named `label`, the process id and a serial number
// (give the label a space and non-ASCII letters); removed with its plain files at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(std::string_view label);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const NativePath& path() const { return folder_; }
    NativePath path(std::u16string_view name) const;

private:
    NativePath folder_;
};

// Points one standard handle elsewhere while it lives; children started meanwhile get it.
class ScopedStdHandle {
public:
    ScopedStdHandle(DWORD stream, HANDLE handle);
    ~ScopedStdHandle();
    ScopedStdHandle(const ScopedStdHandle&) = delete;
    ScopedStdHandle& operator=(const ScopedStdHandle&) = delete;

private:
    DWORD stream_;
    HANDLE saved_;
};

// Sets an environment variable, which children inherit, while it lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value);
    ScopedEnvironment(const char16_t* name, const std::u16string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
};

}  // namespace velbro::test_support
