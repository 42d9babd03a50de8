// display_text with the real FormatMessageW under Wine, and with the lookup replaced where
// only a replacement can make it fail.
#include "platform/system_error_win.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/system_error_text.h"
#include "test_support_win.h"

namespace velbro {
namespace {

TEST(DisplayText, SystemMessageThenCode) {
    for (const std::int32_t code : {2, 5, 193}) {
        EXPECT_TRUE(test_support::is_system_error_text(display_text(SystemError::from_code(code)), "", code));
    }
}

TEST(DisplayText, NtStatusCodeKeepsItsBitInTheText) {
    // STATUS_ACCESS_DENIED carried as a Win32 code. Wine's ntdll has no message table, so
    // there the lookup fails and the fallback shows; Windows has a message.
    const std::uint32_t code = 0xD0000022;
    const std::string text = display_text(SystemError::from_code(code));
    EXPECT_TRUE(text.ends_with(" (os error -805306334)")) << text;
    if (test_support::running_under_wine()) {
        const std::string prefix = "OS Error -805306334 (FormatMessageW() returned error ";
        ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
        const std::string rest = text.substr(prefix.size());
        const std::size_t digits = rest.find_first_not_of("0123456789");
        EXPECT_GT(digits, 0u) << text;
        EXPECT_EQ(rest.substr(digits), ") (os error -805306334)") << text;
    }
}

// What the lookup was asked, and what it answers.
struct LookupCall {
    DWORD flags;
    const void* source;
    DWORD id;
    DWORD language;
    DWORD size;
    bool had_arguments;
};
LookupCall last_call;
const char16_t* canned_message;
DWORD canned_error;

DWORD WINAPI recording_lookup(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer,
                              DWORD size, va_list* arguments) {
    last_call = {flags, source, id, language, size, arguments != nullptr};
    if (canned_message == nullptr) {
        ::SetLastError(canned_error);
        return 0;
    }
    const std::size_t length = std::char_traits<char16_t>::length(canned_message);
    std::memcpy(buffer, canned_message, (length + 1) * sizeof(char16_t));
    return static_cast<DWORD>(length);
}

TEST(DisplayText, LooksUpNtStatusCodesInNtdllWithoutTheBit) {
    canned_message = u"Access is denied.\r\n";
    const DWORD system_flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

    EXPECT_EQ(display_text(SystemError::from_code(5), recording_lookup),
              "Access is denied. (os error 5)");
    EXPECT_EQ(last_call.flags, system_flags);
    EXPECT_EQ(last_call.source, nullptr);
    EXPECT_EQ(last_call.id, 5u);
    EXPECT_EQ(last_call.language, 0u);
    EXPECT_EQ(last_call.size, 2048u);
    EXPECT_FALSE(last_call.had_arguments);

    EXPECT_EQ(display_text(SystemError::from_code(0xD0000022), recording_lookup),
              "Access is denied. (os error -805306334)");
    EXPECT_EQ(last_call.flags, system_flags | FORMAT_MESSAGE_FROM_HMODULE);
    EXPECT_EQ(last_call.source, ::GetModuleHandleW(L"ntdll.dll"));
    EXPECT_EQ(last_call.id, 0xC0000022u);
    EXPECT_EQ(last_call.size, 2048u);
}

// The fallback texts themselves are checked natively (system_error_text_test.cpp).
TEST(DisplayText, LookupFailureShowsItsOwnErrorAndInvalidUtf16FallsBack) {
    canned_message = nullptr;
    canned_error = ERROR_MR_MID_NOT_FOUND;
    EXPECT_EQ(display_text(SystemError::from_code(2), recording_lookup), error_text_from_lookup_failure(2, 317));
    canned_message = u"Adgang \xD800 nægtet.\r\n";
    EXPECT_EQ(display_text(SystemError::from_code(5), recording_lookup),
              error_text_from_message(5, canned_message));
}

}  // namespace
}  // namespace velbro
