// The real velbro-vpn.exe under Wine, driven as a user would: its dialogs and the icons they
// show, its console, what it leaves on disk and its exact exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "end_to_end/driver.h"

namespace velbro::e2e {
namespace {

constexpr char TITLE[] = "Vellumbrok VPN";
constexpr char FOOTER[] = "Hjælp: it-support@vellumbrok.dk";

class ProgramTest : public ::testing::Test {
protected:
    RunFolders folders_;
};

// Confirmed with Enter, a run without SystemRoot fails at its first step: the title alone in
// the console, the failure dialog in front of it, exit code 1 however that dialog is closed,
// nothing on disk.
TEST_F(ProgramTest, EnterConfirmsAndARunWithoutSystemRootFailsInFrontOfItsConsole) {
    std::vector<EnvChange> env = folders_.environment();
    env.push_back({u"SystemRoot", std::nullopt});
    const Program program = Program::start(env);
    const HWND dialog = program.wait_for_dialog();
    ASSERT_NE(dialog, nullptr) << "no confirmation dialog";

    const TaskDialogView confirmation = read_task_dialog(dialog);
    EXPECT_EQ(confirmation.title, TITLE);
    EXPECT_EQ(confirmation.main_instruction, "Installér Vellumbrok VPN");
    EXPECT_EQ(confirmation.content,
              "Dette installerer Cloudflare WARP og forbinder computeren til Vellumbroks netværk.\n"
              "\n"
              "Installationen henter WARP fra Cloudflare og kræver internetforbindelse.");
    EXPECT_EQ(confirmation.footer, FOOTER);
    EXPECT_EQ(confirmation.buttons,
              (std::vector<Button>{{100, "Installér", true}, {IDCANCEL, "Annuller", false}}));
    EXPECT_EQ(confirmation.icon, "program");
    EXPECT_EQ(::GetWindow(dialog, GW_OWNER), nullptr);

    ASSERT_TRUE(press_key(dialog, VK_RETURN));
    const HWND outcome = program.wait_for_dialog(dialog);
    ASSERT_NE(outcome, nullptr) << "Enter did not start the run";

    const std::optional<ConsoleView> console = program.read_console();
    ASSERT_TRUE(console.has_value()) << "the program has no console";
    EXPECT_EQ(console->text, "Vellumbrok VPN – installation af Cloudflare WARP\n\n");
    EXPECT_TRUE(console->blank_after_cursor);
    ASSERT_NE(console->window, nullptr);
    EXPECT_EQ(::GetWindow(outcome, GW_OWNER), console->window);

    const TaskDialogView failure = read_task_dialog(outcome);
    EXPECT_EQ(failure.title, TITLE);
    EXPECT_EQ(failure.main_instruction, "Installationen fejlede");
    EXPECT_EQ(failure.content, "SystemRoot mangler.");
    EXPECT_EQ(failure.footer, FOOTER);
    EXPECT_EQ(failure.buttons, (std::vector<Button>{{IDOK, "OK", true}}));
    EXPECT_EQ(failure.icon, "error");

    // Closing the outcome dialog some other way than OK changes nothing.
    ASSERT_TRUE(close_with_close_box(outcome));
    EXPECT_EQ(program.wait_for_exit(), 1u) << "nullopt: still running at the deadline";
    EXPECT_EQ(folders_.left_behind(program.pid()), std::vector<std::string>{});
}

struct Decline {
    const char* name;
    bool (*act)(HWND dialog);
};

void PrintTo(const Decline& decline, std::ostream* out) { *out << decline.name; }

class DeclineTest : public ProgramTest, public ::testing::WithParamInterface<Decline> {};

TEST_P(DeclineTest, EndsWithZeroAndCreatesNothing) {
    const Program program = Program::start(folders_.environment());
    const HWND dialog = program.wait_for_dialog();
    ASSERT_NE(dialog, nullptr) << "no confirmation dialog";
    ASSERT_TRUE(GetParam().act(dialog));

    EXPECT_EQ(program.wait_for_exit(), 0u) << "nullopt: still running at the deadline";
    // A console would have started Wine's console host inside the job.
    EXPECT_EQ(program.processes_started(), 1u) << "something besides the program ran";
    EXPECT_EQ(folders_.left_behind(program.pid()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    EachWay, DeclineTest,
    ::testing::Values(Decline{"CancelButton", [](HWND d) { return click_button(d, IDCANCEL); }},
                      Decline{"EscapeKey", [](HWND d) { return press_key(d, VK_ESCAPE); }},
                      Decline{"CloseBox", [](HWND d) { return close_with_close_box(d); }}),
    [](const ::testing::TestParamInfo<Decline>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velbro::e2e
