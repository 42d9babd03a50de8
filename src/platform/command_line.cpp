// Quoting by the rule that CommandLineToArgvW and the C runtime use to split a command line.
#include "platform/command_line.h"

namespace velbro {

void add_argument(ChildCommand& command, std::u16string_view argument) {
    command.arguments.emplace_back(argument);
}

void add_argument(ChildCommand& command, std::string_view utf8) {
    command.arguments.push_back(to_wide(utf8));
}

SystemError nul_in_data_error() { return SystemError::fixed("nul byte found in provided data"); }

std::optional<SystemError> quote_argument(std::u16string& command_line,
                                          std::u16string_view argument) {
    if (argument.find(u'\0') != std::u16string_view::npos) return nul_in_data_error();

    const bool quoted =
        argument.empty() || argument.find_first_of(u" \t") != std::u16string_view::npos;
    if (quoted) command_line.push_back(u'"');
    std::size_t backslashes = 0;
    for (const char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
        } else {
            // n backslashes before a quote become 2n + 1: each doubled, plus one for the quote.
            if (unit == u'"') command_line.append(backslashes + 1, u'\\');
            backslashes = 0;
        }
        command_line.push_back(unit);
    }
    if (quoted) {
        // A trailing run is doubled so that it does not escape the closing quote.
        command_line.append(backslashes, u'\\');
        command_line.push_back(u'"');
    }
    return std::nullopt;
}

Result<std::u16string, SystemError> build_command_line(
    std::u16string_view program, const std::vector<std::u16string>& arguments) {
    if (program.find(u'\0') != std::u16string_view::npos) return nul_in_data_error();

    // The program is split off by a simpler rule (up to the next quote, no escapes), so its
    // path goes in as it is, always quoted.
    std::u16string command_line;
    command_line.push_back(u'"');
    command_line.append(program);
    command_line.push_back(u'"');
    for (const auto& argument : arguments) {
        command_line.push_back(u' ');
        if (auto error = quote_argument(command_line, argument)) return std::move(*error);
    }
    return command_line;
}

std::string format_exit_status(std::uint32_t code) {
    std::string text = "exit code: ";
    if ((code & 0x80000000u) == 0) return text + std::to_string(code);

    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (std::uint32_t rest = code; rest != 0; rest >>= 4) {
        hex.insert(hex.begin(), DIGITS[rest & 0xF]);
    }
    return text + "0x" + hex;
}

}  // namespace velbro
