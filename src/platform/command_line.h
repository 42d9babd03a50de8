// The command line of a child program, built so that the child, splitting it by the usual
// Windows rule, gets back exactly the arguments that were added. Windows-free.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/system_error.h"
#include "platform/text.h"

namespace velbro {

// One child program to run: its absolute path and its arguments, in order.
struct ChildCommand {
    explicit ChildCommand(NativePath program) : program(std::move(program)) {}
    NativePath program;
    std::vector<std::u16string> arguments;
};

void add_argument(ChildCommand& command, std::u16string_view argument);
void add_argument(ChildCommand& command, std::string_view utf8);

// What a path or argument with U+0000 in it gives: Windows would cut the text there.
SystemError nul_in_data_error();

// Appends one argument, quoted and escaped as needed, or fails on U+0000 with nothing appended.
std::optional<SystemError> quote_argument(std::u16string& command_line,
                                          std::u16string_view argument);

// The program path in quotes, then each argument after a space. c_str() of the result is the
// NUL-terminated command line.
Result<std::u16string, SystemError> build_command_line(
    std::u16string_view program, const std::vector<std::u16string>& arguments);

// "exit code: 22"; codes with bit 31 set (crashes, NTSTATUS values) in hexadecimal.
std::string format_exit_status(std::uint32_t code);

}  // namespace velbro
