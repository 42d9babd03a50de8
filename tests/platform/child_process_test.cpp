// run_and_wait against real children under Wine: exit codes, start failures, standard
// handles and handle hygiene.
#include "platform/child_process.h"

#include <gtest/gtest.h>

#include "child_harness.h"
#include "platform/system_error_win.h"

namespace velbro {
namespace {

using test::run_with_deadline;
using test::ScopedEnvironment;
using test::ScopedStdHandle;
using test::ScratchFolder;
using test::StreamFile;

class RunAndWait : public ::testing::Test {
protected:
    ScratchFolder folder;
    StreamFile output{folder.path(u"stdout.bin")};
    StreamFile errors{folder.path(u"stderr.bin")};
};

TEST_F(RunAndWait, ExitCodesPassThroughIntact) {
    const std::uint32_t codes[] = {0, 22, 259, 1603, 3010, 0x7FFFFFFF, 0xC0000005, 0xFFFFFFFF};
    for (const std::uint32_t code : codes) {
        const std::wstring mode = L"exit:" + std::to_wstring(code);
        ScopedEnvironment environment(L"VELBRO_CHILD_MODE", mode.c_str());
        auto result = run_with_deadline(ChildCommand(folder.echo_program()));
        ASSERT_TRUE(result.ok()) << code << ": " << display_text(result.error());
        EXPECT_EQ(result.value(), code);
    }
}

TEST_F(RunAndWait, StartFailuresCarryTheSystemErrorCode) {
    StreamFile(folder.path(u"not a program.exe")).replace_contents("MZ? no, just text\r\n");
    const std::pair<std::u16string, std::uint32_t> cases[] = {
        {folder.path(u"missing.exe"), 2},
        {folder.path(u"missing folder\\child.exe"), 3},
        {folder.path(u"not a program.exe"), 193},
    };
    for (const auto& [program, code] : cases) {
        auto result = run_with_deadline(ChildCommand(program));
        ASSERT_FALSE(result.ok()) << to_utf8(program);
        EXPECT_TRUE(result.error().has_code());
        EXPECT_EQ(result.error().code(), code) << to_utf8(program);
    }

    const std::string text =
        display_text(run_with_deadline(ChildCommand(folder.path(u"missing.exe"))).error());
    const std::string suffix = " (os error 2)";
    ASSERT_GT(text.size(), suffix.size()) << text;
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix) << text;
    const char last = text[text.size() - suffix.size() - 1];
    EXPECT_TRUE(last != ' ' && last != '\n' && last != '\r' && last != '\t') << text;
}

TEST_F(RunAndWait, RefusesNulAndStartsNothing) {
    using namespace std::string_literals;
    ScopedStdHandle stdout_file(STD_OUTPUT_HANDLE, output.get());

    // Cut at the NUL, the program path would name a real program that reports on stdout.
    ChildCommand nul_in_program(folder.echo_program() + u"\0 rest"s);
    ChildCommand nul_in_argument(folder.echo_program());
    add_argument(nul_in_argument, u"fine");
    add_argument(nul_in_argument, u"cut\0here"s);
    for (const ChildCommand* command : {&nul_in_program, &nul_in_argument}) {
        auto result = run_with_deadline(*command);
        ASSERT_FALSE(result.ok());
        EXPECT_FALSE(result.error().has_code());
        EXPECT_EQ(display_text(result.error()), "nul byte found in provided data");
    }
    EXPECT_EQ(output.contents(), "") << "a child was started";
}

TEST_F(RunAndWait, ChildUsesTheInstallersStandardHandles) {
    StreamFile input(folder.path(u"stdin.bin"));
    input.replace_contents("input æøå\r\n");
    ScopedStdHandle stdin_file(STD_INPUT_HANDLE, input.get());
    ScopedStdHandle stdout_file(STD_OUTPUT_HANDLE, output.get());
    ScopedStdHandle stderr_file(STD_ERROR_HANDLE, errors.get());
    ScopedEnvironment environment(L"VELBRO_CHILD_MODE", L"streams");

    auto result = run_with_deadline(ChildCommand(folder.echo_program()));
    ASSERT_TRUE(result.ok()) << display_text(result.error());
    EXPECT_EQ(result.value(), 0u);
    EXPECT_EQ(output.contents(), "input æøå\r\n");
    EXPECT_EQ(errors.contents(), "err");
}

TEST_F(RunAndWait, MissingStandardHandlesStayMissing) {
    ScopedStdHandle no_input(STD_INPUT_HANDLE, nullptr);
    ScopedStdHandle stdout_file(STD_OUTPUT_HANDLE, output.get());
    ScopedStdHandle stderr_file(STD_ERROR_HANDLE, errors.get());
    {
        // Only the streams that exist are passed; the child reads nothing and still writes.
        ScopedEnvironment environment(L"VELBRO_CHILD_MODE", L"streams");
        auto result = run_with_deadline(ChildCommand(folder.echo_program()));
        ASSERT_TRUE(result.ok()) << display_text(result.error());
        EXPECT_EQ(output.contents(), "");
        EXPECT_EQ(errors.contents(), "err");
    }
    {
        // No standard handle at all: the child is started without STARTF_USESTDHANDLES.
        ScopedStdHandle no_output(STD_OUTPUT_HANDLE, nullptr);
        ScopedStdHandle no_errors(STD_ERROR_HANDLE, INVALID_HANDLE_VALUE);
        ScopedEnvironment environment(L"VELBRO_CHILD_MODE", L"exit:7");
        auto result = run_with_deadline(ChildCommand(folder.echo_program()));
        ASSERT_TRUE(result.ok()) << display_text(result.error());
        EXPECT_EQ(result.value(), 7u);
    }
}

// A value that is not an open handle of this process.
HANDLE closed_handle_value() {
    for (std::uintptr_t value = 0xFFFC;; value -= 4) {
        DWORD flags;
        if (!::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            return reinterpret_cast<HANDLE>(value);
    }
}

TEST_F(RunAndWait, UnduplicableStandardHandleStopsTheStart) {
    // Input and output are duplicated before error fails: those copies must be closed too.
    ScopedStdHandle stdout_file(STD_OUTPUT_HANDLE, output.get());
    ScopedStdHandle broken_errors(STD_ERROR_HANDLE, closed_handle_value());
    auto result = run_with_deadline(ChildCommand(folder.echo_program()));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE))
        << display_text(result.error());
    EXPECT_EQ(output.contents(), "") << "a child was started";
}

TEST_F(RunAndWait, LeavesNoHandleOpen) {
    using namespace std::string_literals;
    ScopedStdHandle stdout_file(STD_OUTPUT_HANDLE, output.get());
    const HANDLE broken = closed_handle_value();
    ChildCommand echo(folder.echo_program());
    add_argument(echo, u"a b");
    ChildCommand missing(folder.path(u"missing.exe"));
    ChildCommand nul(folder.echo_program() + u"\0"s);

    const auto run_every_path = [&] {
        EXPECT_TRUE(run_with_deadline(echo).ok());
        {
            ScopedEnvironment environment(L"VELBRO_CHILD_MODE", L"exit:1603");
            EXPECT_EQ(run_with_deadline(echo).value(), 1603u);
        }
        EXPECT_FALSE(run_with_deadline(missing).ok());
        EXPECT_FALSE(run_with_deadline(nul).ok());
        ScopedStdHandle broken_errors(STD_ERROR_HANDLE, broken);
        EXPECT_FALSE(run_with_deadline(echo).ok());
    };
    // The first run loads and caches what later runs reuse.
    run_every_path();
    const int before = test::count_handles();
    for (int i = 0; i < 5; ++i) run_every_path();
    EXPECT_EQ(test::count_handles(), before);
}

}  // namespace
}  // namespace velbro
