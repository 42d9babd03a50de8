// The display texts of error codes, given what the system's message lookup produced.
#include "platform/system_error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace velbro {
namespace {

TEST(SystemErrorText, MessageTrimmedAndCodeInSignedDecimal) {
    struct Case {
        std::uint32_t code;
        std::u16string message;
        const char* expected;
    };
    const Case cases[] = {
        {2, u"The system cannot find the file specified.\r\n",
         "The system cannot find the file specified. (os error 2)"},
        {5, u"Adgang nægtet. \t\f\r\n \r\n", "Adgang nægtet. (os error 5)"},
        {5, u"  inner \t\nwhitespace stays\n", "  inner \t\nwhitespace stays (os error 5)"},
        {5, u"\r\n", " (os error 5)"},
        {193, u"ikke et program \U0001F600\n", "ikke et program \U0001F600 (os error 193)"},
        {0x7FFFFFFF, u"m", "m (os error 2147483647)"},
        {0xC0000005, u"m", "m (os error -1073741819)"},
        {0xD0000022, u"m", "m (os error -805306334)"},
        {0xFFFFFFFF, u"m", "m (os error -1)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_text_from_message(c.code, c.message), c.expected) << c.code;
}

TEST(SystemErrorText, InvalidUtf16FallsBack) {
    EXPECT_EQ(error_text_from_message(5, u"Adgang \xD800 nægtet\r\n"),
              "OS Error 5 (FormatMessageW() returned invalid UTF-16) (os error 5)");
    EXPECT_EQ(
        error_text_from_message(0xC0000005, u"\xDC00"),
        "OS Error -1073741819 (FormatMessageW() returned invalid UTF-16) (os error -1073741819)");
}

TEST(SystemErrorText, LookupFailureFallsBack) {
    EXPECT_EQ(error_text_from_lookup_failure(2, 317),
              "OS Error 2 (FormatMessageW() returned error 317) (os error 2)");
    EXPECT_EQ(error_text_from_lookup_failure(0xD0000022, 317),
              "OS Error -805306334 (FormatMessageW() returned error 317) (os error -805306334)");
}

}  // namespace
}  // namespace velbro
