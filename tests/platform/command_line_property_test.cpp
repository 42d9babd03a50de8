// Built command lines checked against Windows' own parsers rather than our expectations:
// CommandLineToArgvW in-process for many random lists, and real children for some.
#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "child_harness.h"
#include "platform/system_error_win.h"

namespace velbro {
namespace {

constexpr std::uint32_t SEED = 20240611;

// Random argument lists made of the pieces that quoting gets wrong: separators, quotes,
// backslash runs before quotes and at the end, empty arguments, non-ASCII, surrogates.
class ArgumentLists {
public:
    explicit ArgumentLists(std::uint32_t seed) : random_(seed) {}

    std::vector<std::u16string> next() {
        std::vector<std::u16string> list(below(7));
        for (auto& argument : list) argument = next_argument();
        return list;
    }

private:
    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }
    char16_t pick(std::u16string_view units) { return units[below(units.size())]; }

    std::u16string next_argument() {
        std::u16string argument;
        if (below(8) == 0) return argument;
        for (std::size_t pieces = 1 + below(8); pieces > 0; --pieces) {
            switch (below(10)) {
                case 0:
                    argument += u' ';
                    break;
                case 1:
                    argument += u'\t';
                    break;
                case 2:
                    argument += u'"';
                    break;
                case 3:
                    argument.append(1 + below(4), u'\\');
                    break;
                case 4:
                    argument.append(1 + below(4), u'\\'), argument += u'"';
                    break;
                case 5:
                    argument += pick(u"/*=:-.,;'`^&|<>()%!\n\r\v");
                    break;
                case 6:
                    argument += pick(u"øæåé€中–…\u00A0\u3000");
                    break;
                case 7: {
                    // A surrogate pair, now and then only one half of it: Windows texts may
                    // hold unpaired surrogates, and they must pass through unchanged too.
                    const auto c = static_cast<char32_t>(below(0x100000));
                    const auto high = static_cast<char16_t>(0xD800 + (c >> 10));
                    const auto low = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
                    const std::size_t halves = below(8);
                    if (halves != 0) argument += high;
                    if (halves != 1) argument += low;
                    break;
                }
                default:
                    argument += static_cast<char16_t>(u'a' + below(26));
                    break;
            }
        }
        return argument;
    }

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
        const auto back = test::split_with_shell(built.value());
        ASSERT_EQ(back, with_program(program, list))
            << "seed " << SEED << ", list " << round << "\n  sent " << test::describe(list)
            << "\n  command line " << test::describe({built.value()}) << "\n  parsed "
            << test::describe(back);
    }
}

TEST(CommandLineProperty, ChildrenReceiveEveryList) {
    test::ScratchFolder folder;
    test::StreamFile output(folder.path(u"stdout.bin"));
    test::ScopedStdHandle stdout_file(STD_OUTPUT_HANDLE, output.get());
    // A child costs 10 ms under an idle Wine but over 100 ms on a busy machine: past the budget,
    // the first 100 lists suffice, so that the test stays well inside its time-out.
    constexpr int LISTS = 300, MINIMUM_LISTS = 100;
    constexpr ULONGLONG BUDGET_MS = 15000;
    const ULONGLONG start = ::GetTickCount64();
    ArgumentLists lists(SEED + 1);
    int round = 0;
    for (; round < LISTS && (round < MINIMUM_LISTS || ::GetTickCount64() - start < BUDGET_MS);
         ++round) {
        ChildCommand command(folder.echo_program());
        command.arguments = lists.next();
        output.replace_contents("");
        auto result = test::run_with_deadline(command);
        ASSERT_TRUE(result.ok()) << display_text(result.error());
        ASSERT_EQ(result.value(), 0u);
        const auto report = test::parse_echo_report(output.contents());
        ASSERT_TRUE(report.has_value()) << "unreadable report, list " << round;
        const auto expected = with_program(command.program, command.arguments);
        const auto context = [&] {
            return "seed " + std::to_string(SEED + 1) + ", list " + std::to_string(round) +
                   "\n  sent " + test::describe(command.arguments);
        };
        const auto built = build_command_line(command.program, command.arguments);
        ASSERT_EQ(report->command_line, built.value())
            << context() << "\n  received " << test::describe({report->command_line});
        const auto shell = test::split_with_shell(report->command_line);
        ASSERT_EQ(shell, expected)
            << context() << "\n  CommandLineToArgvW " << test::describe(shell);
        ASSERT_EQ(report->crt, expected) << context() << "\n  CRT " << test::describe(report->crt);
    }
    std::printf("%d lists through children in %llu ms\n", round, ::GetTickCount64() - start);
}

}  // namespace
}  // namespace velbro
