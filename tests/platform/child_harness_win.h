// What the runner's Windows tests share: a scratch folder holding our test child, a deadline
// for every child, and the child's report.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/child_process_win.h"
#include "test_support_win.h"

namespace velbro::test {

using namespace test_support;

// A scratch folder with a copy of argv_echo.exe in it, under a name with a space and a
// non-ASCII letter.
class EchoFolder : public ScratchFolder {
public:
    EchoFolder() { copy_file(beside_this_program(u"argv_echo.exe"), echo_program()); }
    NativePath echo_program() const { return path(u"argv echo ø.exe"); }
};

// run_and_wait with a deadline: a child, or the runner, still busy after 20 s ends this test
// process and every child it started, with a message. Under Wine, a start that fails with
// "internal error" (1359) is tried again, with a note: Wine's own start of the child failed.
Result<std::uint32_t, SystemError> run_with_deadline(const ChildCommand& command);

// What argv_echo reported: the command line it received, and its arguments as the CRT split them.
struct EchoReport {
    std::u16string command_line;
    std::vector<std::u16string> crt;
};
std::optional<EchoReport> parse_echo_report(std::string_view bytes);

// The arguments CommandLineToArgvW splits from a command line.
std::vector<std::u16string> split_with_shell(const std::u16string& command_line);

}  // namespace velbro::test
