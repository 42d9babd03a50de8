// The real velbro-vpn.exe with no X display, where Wine's TaskDialogIndirect answers -1: a
// confirmation dialog that could not be shown is a decline. no_display.sh runs this without
// DISPLAY while the desktop keeper holds Wine's desktop on the display.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "end_to_end/driver.h"

namespace velbro::e2e {
namespace {

// Opening the keeper's events touches no window, so no desktop is started here by mistake.
UniqueHandle wait_for_event(const wchar_t* name, DWORD access) {
    return poll_until(WAIT, [&] { return UniqueHandle(::OpenEventW(access, FALSE, name)); });
}

TEST(ProgramWithoutDisplay, DeclinesAndCreatesNothing) {
    ASSERT_EQ(::GetEnvironmentVariableW(L"DISPLAY", nullptr, 0), 0u)
        << "run me through no_display.sh";
    ASSERT_TRUE(wait_for_event(L"velbro-e2e-desktop-ready", SYNCHRONIZE)) << "no desktop keeper";
    const UniqueHandle keeper_done = wait_for_event(L"velbro-e2e-desktop-done", EVENT_MODIFY_STATE);

    const RunFolders folders;
    const Program program = Program::start(folders.environment());
    EXPECT_EQ(program.wait_for_exit(), 0u) << "nullopt: still running at the deadline";
    EXPECT_EQ(program.processes_started(), 1u) << "something besides the program ran";
    EXPECT_EQ(folders.left_behind(program.pid()), std::vector<std::string>{});

    ::SetEvent(keeper_done.get());
}

}  // namespace
}  // namespace velbro::e2e
