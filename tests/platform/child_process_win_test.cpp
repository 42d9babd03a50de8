// run_and_wait against real children under Wine: exit codes, start failures, standard
// handles and handle hygiene.
#include "platform/child_process_win.h"

#include <gtest/gtest.h>

#include "child_harness_win.h"
#include "platform/system_error_win.h"

namespace velbro {
namespace {

using namespace test;
using namespace std::string_literals;

class RunAndWait : public ::testing::Test {
protected:
    EchoFolder folder;
};

TEST_F(RunAndWait, ExitCodesPassThroughIntact) {
    const std::uint32_t codes[] = {0, 22, 259, 1603, 3010, 0x7FFFFFFF, 0xC0000005, 0xFFFFFFFF};
    for (const std::uint32_t code : codes) {
        const ScopedEnvironment mode(u"VELBRO_CHILD_MODE", to_wide("exit:" + std::to_string(code)));
        auto result = run_with_deadline(ChildCommand(folder.echo_program()));
        ASSERT_TRUE(result.ok()) << code << ": " << display_text(result.error());
        EXPECT_EQ(result.value(), code);
    }
}

TEST_F(RunAndWait, StartFailuresCarryTheSystemErrorCode) {
    make_file(folder.path(u"not a program.exe"), "MZ? no, just text\r\n");
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
        EXPECT_TRUE(is_system_error_text(display_text(result.error()), "", static_cast<std::int32_t>(code)));
    }
}

TEST_F(RunAndWait, RefusesNulAndStartsNothing) {
    const CapturedStream output(folder.path(u"stdout.bin"));
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
    EXPECT_EQ(output.text(), "") << "a child was started";
}

TEST_F(RunAndWait, ChildUsesTheInstallersStandardHandles) {
    const CapturedStream input(folder.path(u"stdin.bin"), STD_INPUT_HANDLE, "input æøå\r\n");
    const CapturedStream output(folder.path(u"stdout.bin"));
    const CapturedStream errors(folder.path(u"stderr.bin"), STD_ERROR_HANDLE);
    const ScopedEnvironment mode(u"VELBRO_CHILD_MODE", u"streams");

    auto result = run_with_deadline(ChildCommand(folder.echo_program()));
    ASSERT_TRUE(result.ok()) << display_text(result.error());
    EXPECT_EQ(result.value(), 0u);
    EXPECT_EQ(output.text(), "input æøå\r\n");
    EXPECT_EQ(errors.text(), "err");
}

TEST_F(RunAndWait, MissingStandardHandlesStayMissing) {
    const ScopedStdHandle no_input(STD_INPUT_HANDLE, nullptr);
    {
        // Only the streams that exist are passed; the child reads nothing and still writes.
        const CapturedStream output(folder.path(u"stdout.bin"));
        const CapturedStream errors(folder.path(u"stderr.bin"), STD_ERROR_HANDLE);
        const ScopedEnvironment mode(u"VELBRO_CHILD_MODE", u"streams");
        auto result = run_with_deadline(ChildCommand(folder.echo_program()));
        ASSERT_TRUE(result.ok()) << display_text(result.error());
        EXPECT_EQ(output.text(), "");
        EXPECT_EQ(errors.text(), "err");
    }
    // No standard handle at all: the child is started without STARTF_USESTDHANDLES.
    const ScopedStdHandle no_output(STD_OUTPUT_HANDLE, nullptr);
    const ScopedStdHandle no_errors(STD_ERROR_HANDLE, INVALID_HANDLE_VALUE);
    const ScopedEnvironment mode(u"VELBRO_CHILD_MODE", u"exit:7");
    auto result = run_with_deadline(ChildCommand(folder.echo_program()));
    ASSERT_TRUE(result.ok()) << display_text(result.error());
    EXPECT_EQ(result.value(), 7u);
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
    const CapturedStream output(folder.path(u"stdout.bin"));
    const ScopedStdHandle broken_errors(STD_ERROR_HANDLE, closed_handle_value());
    auto result = run_with_deadline(ChildCommand(folder.echo_program()));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE))
        << display_text(result.error());
    EXPECT_EQ(output.text(), "") << "a child was started";
}

TEST_F(RunAndWait, LeavesNoHandleOpen) {
    const CapturedStream output(folder.path(u"stdout.bin"));
    const HANDLE broken = closed_handle_value();
    ChildCommand echo(folder.echo_program());
    add_argument(echo, u"a b");
    ChildCommand missing(folder.path(u"missing.exe"));
    ChildCommand nul(folder.echo_program() + u"\0"s);

    expect_no_handle_left_open([&] {
        EXPECT_TRUE(run_with_deadline(echo).ok());
        {
            const ScopedEnvironment mode(u"VELBRO_CHILD_MODE", u"exit:1603");
            EXPECT_EQ(run_with_deadline(echo).value(), 1603u);
        }
        EXPECT_FALSE(run_with_deadline(missing).ok());
        EXPECT_FALSE(run_with_deadline(nul).ok());
        const ScopedStdHandle broken_errors(STD_ERROR_HANDLE, broken);
        EXPECT_FALSE(run_with_deadline(echo).ok());
    });
}

}  // namespace
}  // namespace velbro
