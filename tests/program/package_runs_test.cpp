// Every outcome of a confirmed run of the real velbro-vpn.exe under Wine: signed test packages
// delivered by the stub curl.exe, installed by the stub msiexec.exe or by Wine's real one; and
// DLLs planted beside the program that must never be loaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "program/driver.h"

namespace velbro::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int BUTTON_INSTALL = 100;
// A real install, or Wine's msiexec with its error box, takes longer than a dialog.
constexpr Timeout INSTALL_WAIT = 60s;

constexpr char SUCCESS[] = "Vellumbrok VPN er installeret";
constexpr char FAILURE[] = "Installationen fejlede";
// In an expected dialog text: the system's own message, whose wording is Wine's, not Windows'.
constexpr std::string_view SYSTEM_TEXT = "<system text>";
// In an expected dialog text: the log's path in the run's temporary folder.
constexpr std::string_view LOG = "<log>";

// What the console shows when each child starts: the status line is already there.
const std::string TITLE = "Vellumbrok VPN – installation af Cloudflare WARP\n\n";
const std::string FETCH = "Henter Cloudflare WARP…\n";
const std::string FETCHED = FETCH + "[stub curl.exe]\n";
const std::string VERIFY = "Kontrollerer signatur…\n";
const std::string INSTALL = "Installerer…\n";
const std::string STUB_MSIEXEC = "[stub msiexec.exe]\n";

// install-ok.msi: where it records its properties, and how to take it away again.
constexpr wchar_t INSTALLED_KEY[] = L"Software\\Velbro Tests\\install-ok";
constexpr char16_t INSTALLED_PRODUCT[] = u"{BBE61C69-F434-405C-84A9-DE2C4038917E}";

enum class Msiexec { Stub, Real, Missing };

struct Outcome {
    const char* name;
    const char* package;  // what curl writes to --output, a fixture; null: nothing
    bool curl;            // false: System32 has no curl.exe
    const char* curl_exit;
    Msiexec msiexec;
    const char* msiexec_exit;  // the stub's
    bool success;
    std::string content;
    std::string console;  // after the title
};

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

fs::path windows_fs_path(std::string_view unix_path) { return fs::path(windows_path(unix_path)); }

std::u16string u16(const char* text) { return to_wide(text); }

// `pattern` with SYSTEM_TEXT standing for any non-empty text on one line.
bool matches(const std::string& actual, const std::string& pattern) {
    const std::size_t at = pattern.find(SYSTEM_TEXT);
    if (at == std::string::npos) return actual == pattern;
    const std::string before = pattern.substr(0, at);
    const std::string after = pattern.substr(at + SYSTEM_TEXT.size());
    if (actual.size() <= before.size() + after.size()) return false;
    const std::string middle =
        actual.substr(before.size(), actual.size() - before.size() - after.size());
    return actual.starts_with(before) && actual.ends_with(after) &&
           middle.find('\n') == std::string::npos;
}

std::optional<std::string> installed_value(const wchar_t* name) {
    wchar_t value[512];
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, INSTALLED_KEY, name,
                       RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return to_utf8(std::u16string(reinterpret_cast<const char16_t*>(value)));
}

// Wine's msiexec removes install-ok again, so the next run installs afresh.
void uninstall() {
    std::u16string command =
        u"\"C:\\windows\\system32\\msiexec.exe\" /x " + std::u16string(INSTALLED_PRODUCT) + u" /qn";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    ASSERT_TRUE(::CreateProcessW(nullptr, wide_ptr(command), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &created));
    const UniqueHandle process(created.hProcess), thread(created.hThread);
    const bool ended = ::WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(process.get(), 1);
    EXPECT_TRUE(ended) << "uninstalling install-ok did not end";
}

struct Observed {
    TaskDialogView outcome;
    std::string console;
    std::optional<DWORD> exit_code;
    std::vector<std::string> left_behind;
};

// Prepares the run's System32 and environment, confirms, reads the outcome dialog and the
// console, closes the dialog and collects the exit code and what is left on disk.
Observed run(const Outcome& outcome, const RunFolders& folders, const std::u16string& exe,
             std::vector<EnvChange> env, const char* screenshot = nullptr) {
    const fs::path system32 = folders.system_root() / "System32";
    fs::create_directories(system32);
    const fs::path stubs = windows_fs_path(VELBRO_STUB_SYSTEM32);
    if (outcome.curl) fs::copy_file(stubs / "curl.exe", system32 / "curl.exe");
    // The stub msiexec too is reached through the forwarder, which gives it its own exit code:
    // both stubs read VELBRO_STUB_EXIT, and curl must end with 0 in the same run.
    if (outcome.msiexec != Msiexec::Missing)
        fs::copy_file(windows_fs_path(VELBRO_FORWARDER), system32 / "msiexec.exe");

    // Every stub variable is set or removed: the test's own environment may hold some.
    using Value = std::optional<std::u16string>;
    const fs::path packages = windows_fs_path(VELBRO_PACKAGE_FIXTURES);
    env.push_back({u"VELBRO_STUB_DOWNLOAD", outcome.package
                                                ? Value((packages / outcome.package).u16string())
                                                : std::nullopt});
    env.push_back({u"VELBRO_STUB_EXIT", u16(outcome.curl_exit)});
    env.push_back({u"VELBRO_MSIEXEC_EXIT", u16(outcome.msiexec_exit)});
    env.push_back({u"VELBRO_FORWARD_TO", outcome.msiexec == Msiexec::Stub
                                             ? Value((stubs / "msiexec.exe").u16string())
                                             : std::nullopt});
    // The package's path holds the program's process id, unknown until it runs, so the stubs
    // are not told the exact arguments here; the steps' own tests check those.
    env.push_back({u"VELBRO_STUB_ARGS", std::nullopt});

    Observed observed;
    const Program program = Program::start(env, exe);
    const HWND confirmation = program.wait_for_dialog();
    EXPECT_NE(confirmation, nullptr) << "no confirmation dialog";
    if (confirmation == nullptr || !click_button(confirmation, BUTTON_INSTALL)) return observed;

    // Wine's msiexec shows an error box when a package fails, even with /passive: closed here,
    // or the run would wait for it.
    HWND dialog = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + INSTALL_WAIT;
    while (dialog == nullptr && std::chrono::steady_clock::now() < deadline) {
        dialog = program.wait_for_dialog(confirmation, 250ms);
        if (outcome.msiexec == Msiexec::Real && !outcome.success) {
            for (HWND box : program.windows_of_children()) ::PostMessageW(box, WM_CLOSE, 0, 0);
        }
    }
    EXPECT_NE(dialog, nullptr) << "no outcome dialog";
    if (dialog == nullptr) return observed;

    observed.outcome = read_task_dialog(dialog);
    if (const std::optional<ConsoleView> console = program.read_console()) {
        observed.console = console->text;
    }
    if (screenshot != nullptr) {
        save_screenshot(dialog, screenshot);
        // The console behind it, with every status line, as Windows would centre the dialog.
        const std::optional<ConsoleView> console = program.read_console();
        if (console && centre_on(dialog, console->window)) {
            save_screenshot(console->window, std::string(screenshot) + "-console");
        }
    }
    EXPECT_TRUE(click_button(dialog, IDOK));
    observed.exit_code = program.wait_for_exit();
    observed.left_behind = folders.left_behind(program.pid());
    return observed;
}

class PackageRunTest : public ::testing::TestWithParam<Outcome> {};

TEST_P(PackageRunTest, ShowsItsOutcomeAndLeavesNothing) {
    const Outcome& outcome = GetParam();
    const bool installs = outcome.msiexec == Msiexec::Real && outcome.success;
    if (installs) {
        uninstall();
        ASSERT_EQ(installed_value(L"ORGANIZATION"), std::nullopt)
            << "install-ok is still installed";
    }

    const RunFolders folders;
    const std::string log = to_utf8((folders.temp() / "velbro-vpn-install.log").u16string());
    std::string content = outcome.content;
    if (const std::size_t at = content.find(LOG); at != std::string::npos)
        content.replace(at, LOG.size(), log);

    Observed observed = run(outcome, folders, program_path(), folders.environment(),
                            installs ? "success" : nullptr);

    EXPECT_EQ(observed.outcome.main_instruction, outcome.success ? SUCCESS : FAILURE);
    EXPECT_TRUE(matches(observed.outcome.content, content))
        << "expected: " << content << "\nshown:    " << observed.outcome.content;
    EXPECT_EQ(observed.console, TITLE + outcome.console);
    EXPECT_EQ(observed.exit_code, outcome.success ? 0u : 1u)
        << "nullopt: still running at the deadline";
    if (outcome.msiexec == Msiexec::Real) {
        EXPECT_EQ(std::erase(observed.left_behind, log), 1u) << "msiexec wrote no log";
    }
    EXPECT_EQ(observed.left_behind, std::vector<std::string>{});

    if (installs) {
        EXPECT_EQ(installed_value(L"ORGANIZATION"), "velbro");
        EXPECT_EQ(installed_value(L"ONBOARDING"), "false");
        EXPECT_EQ(installed_value(L"SUPPORT_URL"), "mailto:it-support@vellumbrok.dk");
        uninstall();
    }
}

const std::string START_FAILED = "Kunne ikke starte ";
const std::string INSTALL_FAILED = "Installationen fejlede (kode ";

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, PackageRunTest,
    ::testing::Values(
        Outcome{"RealMsiexecInstalls", "install-ok.msi", true, "0", Msiexec::Real, "", true,
                "Cloudflare WARP er installeret og forbundet til Vellumbroks netværk.",
                FETCHED + VERIFY + INSTALL},
        Outcome{"RestartNeeded", "install-ok.msi", true, "0", Msiexec::Stub, "3010", true,
                "Genstart computeren for at afslutte installationen.",
                FETCHED + VERIFY + INSTALL + STUB_MSIEXEC},
        Outcome{"UserCancelled", "install-ok.msi", true, "0", Msiexec::Stub, "1602", false,
                "Installationen blev annulleret.", FETCHED + VERIFY + INSTALL + STUB_MSIEXEC},
        Outcome{"AnotherInstallRuns", "install-ok.msi", true, "0", Msiexec::Stub, "1618", false,
                "En anden installation kører. Prøv igen om lidt.",
                FETCHED + VERIFY + INSTALL + STUB_MSIEXEC},
        Outcome{"RealMsiexecFails", "install-fails.msi", true, "0", Msiexec::Real, "", false,
                INSTALL_FAILED + "1603). Log: <log>.", FETCHED + VERIFY + INSTALL},
        Outcome{"RestartStarted", "install-ok.msi", true, "0", Msiexec::Stub, "1641", false,
                INSTALL_FAILED + "1641). Log: <log>.", FETCHED + VERIFY + INSTALL + STUB_MSIEXEC},
        Outcome{"MsiexecCrashes", "install-ok.msi", true, "0", Msiexec::Stub, "0xC0000005", false,
                INSTALL_FAILED + "-1073741819). Log: <log>.",
                FETCHED + VERIFY + INSTALL + STUB_MSIEXEC},
        Outcome{"MsiexecMissing", "install-ok.msi", true, "0", Msiexec::Missing, "", false,
                START_FAILED + "msiexec: <system text> (os error 2).", FETCHED + VERIFY + INSTALL},
        Outcome{"CurlMissing", nullptr, false, "0", Msiexec::Stub, "0", false,
                START_FAILED + "curl: <system text> (os error 2).", FETCH},
        Outcome{"DownloadFails", "install-ok.msi", true, "22", Msiexec::Stub, "0", false,
                "Download fejlede (exit code: 22).", FETCHED},
        Outcome{"NothingDownloaded", nullptr, true, "0", Msiexec::Stub, "0", false,
                "Kan ikke åbne installationsfilen: <system text> (os error 2).", FETCHED},
        Outcome{"Unsigned", "unsigned.msi", true, "0", Msiexec::Stub, "0", false,
                "Ugyldig signatur (0x800B0100).", FETCHED + VERIFY},
        Outcome{"DamagedSignature", "damaged-signature.msi", true, "0", Msiexec::Stub, "0", false,
                "Ugyldig signatur (0x80096004).", FETCHED + VERIFY},
        Outcome{"WrongSigner", "signer-no-comma.msi", true, "0", Msiexec::Stub, "0", false,
                "Uventet udgiver: Cloudflare Inc.", FETCHED + VERIFY}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

// The program runs elevated from a Downloads folder: a wintrust.dll or crypt32.dll put there
// must never load, even with Wine told to prefer such DLLs to its own. Wine reads
// WINEDLLOVERRIDES from the Unix environment a process starts with, not from the Windows
// environment block its parent passes, so CTest sets it for this whole test process.
TEST(PlantedDllTest, BesideTheProgramAreNeverLoaded) {
    const RunFolders folders;
    const std::vector<EnvChange> env = folders.environment();
    const fs::path planted = windows_fs_path(VELBRO_PLANTED_DLLS);
    const auto folder_with = [&](const char* name, const fs::path& exe) {
        const fs::path folder = folders.system_root().parent_path() / name;
        fs::create_directories(folder);
        fs::copy_file(exe, folder / exe.filename());
        fs::copy_file(planted / "wintrust.dll", folder / "wintrust.dll");
        fs::copy_file(planted / "crypt32.dll", folder / "crypt32.dll");
        return folder;
    };

    // The control: with these overrides a plain LoadLibraryW takes the planted DLL, so a
    // missing mark below means the program kept to System32.
    const fs::path control = folder_with("control", windows_fs_path(VELBRO_LOAD_PLAIN));
    const Program plain = Program::start(env, (control / "load_plain.exe").u16string());
    EXPECT_EQ(plain.wait_for_exit(), 0u);
    EXPECT_TRUE(fs::exists(control / "wintrust.dll.loaded"))
        << "WINEDLLOVERRIDES does not prefer the planted DLLs: this test proves nothing";

    const fs::path downloads = folder_with("Downloads", fs::path(program_path()));
    const Outcome success{"Planted", "install-ok.msi", true, "0", Msiexec::Stub, "0", true, "", ""};
    const Observed observed =
        run(success, folders, (downloads / "velbro-vpn.exe").u16string(), env);
    EXPECT_EQ(observed.outcome.main_instruction, SUCCESS) << observed.outcome.content;
    EXPECT_EQ(observed.exit_code, 0u);
    EXPECT_FALSE(fs::exists(downloads / "wintrust.dll.loaded"));
    EXPECT_FALSE(fs::exists(downloads / "crypt32.dll.loaded"));
}

}  // namespace
}  // namespace velbro::e2e
