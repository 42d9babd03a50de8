// Checks the generated upper-case table through its lookup: every kind of mapping (shifted
// runs, every-other-code-point runs, two and three code points) and the edges of the table.
// Expected values are those of Unicode 15.0.0, the data the table was generated from.
#include "main/upper_case.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace velbro {
namespace {

struct UpperCase {
    char32_t in;
    std::u32string expected;
};

std::string code_point_name(char32_t c) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
    return name;
}

void expect_upper_cases(const std::initializer_list<UpperCase>& cases) {
    for (const UpperCase& test : cases) {
        char32_t out[3] = {};
        const std::size_t length = full_upper_case(test.in, out);
        ASSERT_TRUE(length >= 1 && length <= 3) << code_point_name(test.in) << " gave " << length;
        EXPECT_EQ(std::u32string(out, length), test.expected) << code_point_name(test.in);
    }
}

TEST(FullUpperCase, MapsLowerAndTitleCaseToFullUpperCase) {
    expect_upper_cases({
        {U'a', U"A"},
        {U'z', U"Z"},
        {U'ø', U"Ø"},
        {U'æ', U"Æ"},
        {U'å', U"Å"},
        {U'é', U"É"},
        {U'ÿ', U"Ÿ"},         // far from its capital: U+00FF to U+0178
        {U'µ', U"Μ"},         // micro sign to Greek capital mu
        {U'ā', U"Ā"},         // capitals and small letters alternate from U+0100
        {U'ǆ', U"Ǆ"},
        {U'ǅ', U"Ǆ"},         // title case to upper case
        {U'я', U"Я"},
        {U'ა', U"Ა"},         // Georgian Mkhedruli to Mtavruli (U+10D0 to U+1C90)
        {U'𐐨', U"𐐀"},         // outside the BMP (U+10428 to U+10400)
        {U'𞥃', U"𞤡"},         // the last mapped code point (U+1E943 to U+1E921)
        {U'ß', U"SS"},
        {U'ŉ', U"ʼN"},
        {U'ﬀ', U"FF"},
        {U'ﬗ', U"ՄԽ"},        // the last multi-character mapping
        {U'ΐ', U"\u0399\u0308\u0301"},  // escapes: an editor may compose these
    });
}

TEST(FullUpperCase, LeavesOtherCharactersUnchanged) {
    expect_upper_cases({
        {U'A', U"A"},
        {U'7', U"7"},
        {U'`', U"`"},             // just before the first run
        {U'{', U"{"},             // just after a-z
        {U'Ā', U"Ā"},
        {U'Ă', U"Ă"},             // between two members of an every-other-code-point run
        {U'İ', U"İ"},             // lower-cases to "i̇" but has no upper-case mapping
        {U'中', U"中"},
        {U'\u0378', U"\u0378"},   // unassigned
        {U'\U0010FFFF', U"\U0010FFFF"},
        {char32_t{0xD800}, std::u32string(1, char32_t{0xD800})},      // a lone surrogate
        {char32_t{0x110000}, std::u32string(1, char32_t{0x110000})},  // beyond Unicode
    });
}

}  // namespace
}  // namespace velbro
