// Command lines as exact texts: what the child is handed must not depend on luck in quoting.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velbro {
namespace {

struct CommandLineCase {
    const char* behaviour;
    std::u16string program;
    std::vector<std::u16string> arguments;
    std::u16string expected;
};

TEST(CommandLine, IsBuiltExactly) {
    const std::u16string msiexec = uR"(C:\Windows\System32\msiexec.exe)";
    // clang-format off
    const CommandLineCase cases[] = {
        {"program alone is quoted even without a space", msiexec, {},
         uR"("C:\Windows\System32\msiexec.exe")"},
        {"program with a space is quoted, not escaped", uR"(C:\Program Files\x\ø.exe)", {},
         uR"("C:\Program Files\x\ø.exe")"},
        {"switches and properties stay unquoted", msiexec,
         {u"/l*v", u"ORGANIZATION=vellumbrok", u"a:b"},
         uR"("C:\Windows\System32\msiexec.exe" /l*v ORGANIZATION=vellumbrok a:b)"},
        {"path without a space stays unquoted", u"p",
         {uR"(C:\Windows\Temp\velbro-vpn-4711\Cloudflare_WARP.msi)"},
         uR"("p" C:\Windows\Temp\velbro-vpn-4711\Cloudflare_WARP.msi)"},
        {"path with a space is quoted, backslashes unchanged", u"p",
         {uR"(C:\Users\Test User\AppData\Local\Temp\velbro-vpn-install.log)"},
         uR"("p" "C:\Users\Test User\AppData\Local\Temp\velbro-vpn-install.log")"},
        {"trailing backslash doubled when quoted", u"p", {uR"(C:\Test Dir\)"},
         uR"("p" "C:\Test Dir\\")"},
        {"trailing backslashes unchanged when not quoted", u"p", {uR"(C:\dir\\)"},
         uR"("p" C:\dir\\)"},
        {"tab causes quoting", u"p", {u"a\tb"}, u"\"p\" \"a\tb\""},
        {"quote escaped", u"p", {uR"(a"b)"}, uR"("p" a\"b)"},
        {"one backslash before a quote becomes three", u"p", {uR"(a\"b)"}, uR"("p" a\\\"b)"},
        {"two backslashes before a quote become five", u"p", {uR"(a\\"b)"}, uR"("p" a\\\\\"b)"},
        {"backslashes not before a quote unchanged", u"p", {uR"(a\\b\c)"}, uR"("p" a\\b\c)"},
        {"quotes inside a quoted argument", u"p", {uR"(say "hi\")"}, uR"("p" "say \"hi\\\"")"},
        {"lone quote", u"p", {uR"(")"}, uR"("p" \")"},
        {"empty argument", u"p", {u""}, uR"("p" "")"},
        {"empty arguments keep their places", u"p", {u"", u"x", u""}, uR"("p" "" x "")"},
        {"non-ASCII and surrogate pairs unchanged", u"p", {u"ø€中\U0001F600"},
         u"\"p\" ø€中\U0001F600"},
        {"other whitespace does not cause quoting", u"p", {u"a\nb\u3000c"},
         u"\"p\" a\nb\u3000c"},
    };
    // clang-format on
    for (const auto& c : cases) {
        auto built = build_command_line(c.program, c.arguments);
        ASSERT_TRUE(built.ok()) << c.behaviour;
        EXPECT_EQ(to_utf8(built.value()), to_utf8(c.expected)) << c.behaviour;
    }
}

TEST(CommandLine, RefusesNul) {
    using namespace std::string_literals;
    const std::pair<std::u16string, std::vector<std::u16string>> cases[] = {
        {u"C:\\a.exe\0b.exe"s, {}},
        {u"\0"s, {u"x"}},
        {u"C:\\a.exe", {u"ok", u"bad\0"s}},
        {u"C:\\a.exe", {u"\0"s}},
    };
    for (const auto& [program, arguments] : cases) {
        auto built = build_command_line(program, arguments);
        ASSERT_FALSE(built.ok()) << to_utf8(program);
        EXPECT_FALSE(built.error().has_code());
        EXPECT_EQ(built.error().fixed_text(), "nul byte found in provided data");
    }

    std::u16string line = u"\"p\" x";
    auto error = quote_argument(line, u"a b\0c"s);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->fixed_text(), "nul byte found in provided data");
    EXPECT_EQ(to_utf8(line), "\"p\" x") << "nothing may be appended before the NUL is found";
}

TEST(CommandLine, ArgumentsKeepTheirOrderAndUtf8IsConverted) {
    ChildCommand command(u"C:\\x.exe");
    add_argument(command, "/i");
    add_argument(command, u"b");
    add_argument(command, "Adgang nægtet ✓");
    EXPECT_EQ(command.program, u"C:\\x.exe");
    EXPECT_EQ(command.arguments, (std::vector<std::u16string>{u"/i", u"b", u"Adgang nægtet ✓"}));
}

TEST(ExitStatus, DecimalUnlessBit31IsSet) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "exit code: 0"},
        {22, "exit code: 22"},
        {1603, "exit code: 1603"},
        {0x7FFFFFFF, "exit code: 2147483647"},
        {0x80000000, "exit code: 0x80000000"},
        {0xC0000005, "exit code: 0xc0000005"},
        {0xC000013A, "exit code: 0xc000013a"},
        {0xFFFFFFFF, "exit code: 0xffffffff"},
    };
    for (const auto& [code, expected] : cases)
        EXPECT_EQ(format_exit_status(code), expected) << code;
}

}  // namespace
}  // namespace velbro
