// Built command lines checked against Windows' own parsers rather than our expectations:
// CommandLineToArgvW in-process for many random lists, and real children for some.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <random>

#include "child_harness_win.h"
#include "platform/system_error_win.h"

namespace velbro {
namespace {

constexpr std::uint32_t SEED = 20240611;

// Random argument lists made of the pieces that quoting gets wrong: separators, quotes,
// backslash runs before quotes and at the end, empty arguments, non-ASCII, and surrogates,
// paired or not: Windows texts may hold unpaired surrogates, and they must pass through too.
class ArgumentLists {
public:
    explicit ArgumentLists(std::uint32_t seed) : random_(seed) {}

    std::vector<std::u16string> next() {
        std::vector<std::u16string> list(below(7));
        for (auto& argument : list) {
            if (below(8) == 0) continue;  // stays empty
            for (std::size_t pieces = 1 + below(8); pieces > 0; --pieces) argument += PIECES[below(std::size(PIECES))];
        }
        return list;
    }

private:
    static constexpr std::u16string_view PIECES[] = {
        u" ", u"\t", u" ", u"\t", u"\"", u"\"", u"\\", u"\\\\", u"\\\\\\", u"\\\\\\\\", u"\\\"",
        u"\\\\\"", u"\\\\\\\"", u"\\\\\\\\\"", u"/", u"*", u"=", u":", u"-", u".", u",", u";", u"'", u"`", u"^",
        u"&", u"|", u"<", u">", u"(", u")", u"%", u"!", u"\n", u"\r", u"\v", u"ø", u"æ", u"å", u"é",
        u"€", u"中", u"–", u"…", u"\u00A0", u"\u3000", u"\U0001F600", u"\U00010428", u"\xD83D", u"\xDC00",
        u"\xDBFF\xDFFF", u"a", u"b", u"c", u"x", u"y", u"z", u"A", u"Z", u"abc"};

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    std::mt19937 random_;
};

std::vector<std::u16string> with_program(const std::u16string& program,
                                         std::vector<std::u16string> list) {
    list.insert(list.begin(), program);
    return list;
}

TEST(CommandLineProperty, CommandLineToArgvWSplitsBackEveryList) {
    const std::u16string program = u"C:\\Program Files\\Velbro æøå\\child.exe";
    ArgumentLists lists(SEED);
    for (int round = 0; round < 100000; ++round) {
        const auto list = lists.next();
        auto built = build_command_line(program, list);
        ASSERT_TRUE(built.ok());
        ASSERT_EQ(test::split_with_shell(built.value()), with_program(program, list))
            << "seed " << SEED << ", list " << round << ", command line "
            << ::testing::PrintToString(built.value());
    }
}

TEST(CommandLineProperty, ChildrenReceiveEveryList) {
    test::EchoFolder folder;
    test::CapturedStream output(folder.path(u"stdout.bin"));
    ArgumentLists lists(SEED + 1);
    for (int round = 0; round < 100; ++round) {
        const std::string context = "seed " + std::to_string(SEED + 1) + ", list " + std::to_string(round);
        ChildCommand command(folder.echo_program());
        command.arguments = lists.next();
        output.clear();
        auto result = test::run_with_deadline(command);
        ASSERT_TRUE(result.ok()) << display_text(result.error());
        ASSERT_EQ(result.value(), 0u);
        const auto report = test::parse_echo_report(output.text());
        ASSERT_TRUE(report.has_value()) << "unreadable report, " << context;
        const auto expected = with_program(command.program, command.arguments);
        ASSERT_EQ(report->command_line, build_command_line(command.program, command.arguments).value()) << context;
        ASSERT_EQ(test::split_with_shell(report->command_line), expected) << context << ", CommandLineToArgvW";
        ASSERT_EQ(report->crt, expected) << context << ", the C runtime";
    }
}

}  // namespace
}  // namespace velbro
