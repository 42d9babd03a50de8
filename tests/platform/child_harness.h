// What the runner's Windows tests share: a scratch folder holding our test child, files that
// stand in for the standard streams, a handle count, and a deadline for every child.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "platform/child_process.h"
#include "platform/unique_handle.h"

namespace velbro::test {

using test_support::count_handles;
using test_support::ScopedEnvironment;
using test_support::ScopedStdHandle;

// A scratch folder with a copy of argv_echo.exe in it.
class ScratchFolder : public test_support::ScratchFolder {
public:
    ScratchFolder();
    std::u16string echo_program() const { return path(u"argv echo ø.exe"); }
};

// A file that can stand in for a standard stream.
class StreamFile {
public:
    explicit StreamFile(const std::u16string& path);
    HANDLE get() const { return file_.get(); }
    std::string contents() const;
    void replace_contents(std::string_view bytes);

private:
    UniqueHandle file_;
};

// run_and_wait with a deadline. A child, or the runner, still busy after 20 s ends this test
// process and every child it started, with a message: the run fails instead of stalling.
Result<std::uint32_t, SystemError> run_with_deadline(const ChildCommand& command);

// What argv_echo reported: the command line it received, and its arguments as the CRT split them.
struct EchoReport {
    std::u16string command_line;
    std::vector<std::u16string> crt;
};
std::optional<EchoReport> parse_echo_report(std::string_view bytes);

// The arguments CommandLineToArgvW splits from a command line.
std::vector<std::u16string> split_with_shell(const std::u16string& command_line);

// Printable form of UTF-16 texts for failure messages, escaped as in C: \\, \", \t, and
// \uXXXX for other controls and non-ASCII units.
std::string describe(const std::vector<std::u16string>& texts);

}  // namespace velbro::test
