// Test support for starting children under Wine without leaving anything behind.
#include "child_harness_win.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system_error_win.h"

namespace velbro::test {

Result<std::uint32_t, SystemError> run_with_deadline(const ChildCommand& command) {
    const std::string what = to_utf8(command.program);
    for (int attempt = 1;; ++attempt) {
        std::optional<Result<std::uint32_t, SystemError>> result;
        within_deadline(what.c_str(), [&] { result.emplace(run_and_wait(command)); }, 20000);
        // Wine's CreateProcessW reports a child whose process ended while Wine was still
        // starting it as ERROR_INTERNAL_ERROR; the runner never makes that code itself.
        if (!running_under_wine() || attempt == 3 || result->ok() || result->error().code() != ERROR_INTERNAL_ERROR) {
            return std::move(*result);
        }
        std::fprintf(stderr, "NOTE: Wine could not start %s (%s); trying again\n", what.c_str(),
                     display_text(result->error()).c_str());
    }
}

std::optional<EchoReport> parse_echo_report(std::string_view bytes) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), bytes.size());
    EchoReport report;
    std::size_t at = units.find(u'\0');
    report.command_line = units.substr(0, at);
    while (at != std::u16string::npos) {
        const std::size_t next = units.find(u'\0', at + 1);
        report.crt.push_back(units.substr(at + 1, next == std::u16string::npos ? next : next - at - 1));
        at = next;
    }
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

}  // namespace velbro::test
