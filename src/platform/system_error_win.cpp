// The display text of a SystemError: the system's own message for the code, in the system's
// language, followed by the code.
#include "platform/system_error_win.h"

#include <array>

#include "platform/system_error_text.h"

namespace velbro {
namespace {

constexpr DWORD MESSAGE_BUFFER_UNITS = 2048;

}  // namespace

std::string display_text(const SystemError& error, FormatMessageFunction format_message) {
    if (!error.has_code()) return error.fixed_text();

    const std::uint32_t code = error.code();
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE source = nullptr;
    DWORD lookup_code = code;
    // NTSTATUS values carried as Win32 codes have FACILITY_NT_BIT set; their texts are in
    // ntdll's message table, not the system's.
    if ((code & FACILITY_NT_BIT) != 0) {
        // Not owned: ntdll stays loaded for the life of every process.
        source = ::GetModuleHandleW(L"NTDLL.DLL");
        if (source != nullptr) {
            lookup_code = code & ~FACILITY_NT_BIT;
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
        }
    }

    std::array<wchar_t, MESSAGE_BUFFER_UNITS> buffer;
    const DWORD length =
        format_message(flags, source, lookup_code, 0, buffer.data(), MESSAGE_BUFFER_UNITS, nullptr);
    if (length == 0) return error_text_from_lookup_failure(code, ::GetLastError());
    const std::size_t units = length < MESSAGE_BUFFER_UNITS ? length : MESSAGE_BUFFER_UNITS;
    return error_text_from_message(
        code, std::u16string_view(reinterpret_cast<const char16_t*>(buffer.data()), units));
}

std::string display_text(const SystemError& error) { return display_text(error, ::FormatMessageW); }

}  // namespace velbro
