// Test support for starting children under Wine without leaving anything behind.
#include "child_harness.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velbro::test {
namespace {

std::u16string module_folder() {
    std::u16string path(MAX_PATH, u'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, wide_ptr(path), static_cast<DWORD>(path.size()));
        if (length == 0) std::abort();
        if (length < path.size()) {
            path.resize(length);
            return path.substr(0, path.find_last_of(u'\\'));
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

ScratchFolder::ScratchFolder() : test_support::ScratchFolder("velbro runner æøå") {
    if (!::CopyFileW(wide_ptr(module_folder() + u"\\argv_echo.exe"), wide_ptr(echo_program()), TRUE)) {
        std::fprintf(stderr, "cannot copy argv_echo.exe (error %lu)\n", ::GetLastError());
        std::abort();
    }
}

StreamFile::StreamFile(const std::u16string& path)
    : file_(::CreateFileW(wide_ptr(path), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file_) std::abort();
}

std::string StreamFile::contents() const {
    std::string bytes;
    ::SetFilePointer(file_.get(), 0, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file_.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

void StreamFile::replace_contents(std::string_view bytes) {
    ::SetFilePointer(file_.get(), 0, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file_.get());
    DWORD written = 0;
    if (!bytes.empty() && (!::WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &written, nullptr) ||
                           written != bytes.size())) {
        std::abort();
    }
    ::SetFilePointer(file_.get(), 0, nullptr, FILE_BEGIN);
}

Result<std::uint32_t, SystemError> run_with_deadline(const ChildCommand& command) {
    std::optional<Result<std::uint32_t, SystemError>> result;
    const std::string what = to_utf8(command.program);
    test_support::within_deadline(what.c_str(), [&] { result.emplace(run_and_wait(command)); }, 20000);
    return std::move(*result);
}

std::optional<EchoReport> parse_echo_report(std::string_view bytes) {
    std::size_t at = 0;
    const auto take_count = [&](std::uint32_t& n) {
        if (bytes.size() - at < 4) return false;
        std::memcpy(&n, bytes.data() + at, 4);
        at += 4;
        return true;
    };
    const auto take_list = [&](std::vector<std::u16string>& list) {
        std::uint32_t count;
        if (!take_count(count)) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t length;
            if (!take_count(length) || (bytes.size() - at) / 2 < length) return false;
            std::u16string text(length, u'\0');
            std::memcpy(text.data(), bytes.data() + at, length * 2);
            at += length * 2;
            list.push_back(std::move(text));
        }
        return true;
    };
    std::vector<std::u16string> command_line;
    EchoReport report;
    if (!take_list(command_line) || command_line.size() != 1 || !take_list(report.crt) ||
        at != bytes.size()) {
        return std::nullopt;
    }
    report.command_line = std::move(command_line[0]);
    return report;
}

std::vector<std::u16string> split_with_shell(const std::u16string& command_line) {
    int count = 0;
    UniqueLocal arguments(::CommandLineToArgvW(wide_ptr(command_line), &count));
    if (!arguments) std::abort();
    std::vector<std::u16string> split;
    for (int i = 0; i < count; ++i) {
        split.emplace_back(
            reinterpret_cast<const char16_t*>(static_cast<wchar_t**>(arguments.get())[i]));
    }
    return split;
}

std::string describe(const std::vector<std::u16string>& texts) {
    std::string out = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ", ";
        out += '"';
        for (const char16_t unit : texts[i]) {
            if (unit == u'\\' || unit == u'"') {
                out += '\\';
                out += static_cast<char>(unit);
            } else if (unit == u'\t') {
                out += "\\t";
            } else if (unit >= 0x20 && unit < 0x7F) {
                out += static_cast<char>(unit);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
                out += escaped;
            }
        }
        out += '"';
    }
    return out + "]";
}

}  // namespace velbro::test
