// The run and its step sequence, driven with stand-ins that record every call in order.
#include "main/flow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace velbro {
namespace {

using Log = std::vector<std::string>;

struct DialogCall {
    void* owner;
    bool is_error;
    std::string instruction, content, footer;
    std::vector<std::pair<int, std::string>> buttons;
    std::uint32_t common_buttons;
};

class FakeUi final : public UserInterface {
public:
    explicit FakeUi(Log& log) : log_(log) {}
    int confirm_answer = BUTTON_INSTALL;
    void* console = reinterpret_cast<void*>(0x1234);
    std::vector<DialogCall> dialogs;

    int show_dialog(OwnerWindow owner, bool is_error, std::string_view main_instruction,
                    std::string_view content, std::string_view footer,
                    std::span<const DialogButton> buttons, std::uint32_t common_buttons) override {
        DialogCall call{owner.handle, is_error, std::string(main_instruction), std::string(content),
                        std::string(footer), {}, common_buttons};
        for (const auto& b : buttons) call.buttons.emplace_back(b.id, b.text);
        dialogs.push_back(call);
        log_.push_back("dialog");
        return dialogs.size() == 1 ? confirm_answer : 2;
    }
    OwnerWindow open_progress_console() override {
        log_.push_back("console");
        return OwnerWindow{console};
    }
    void print_status(std::string_view text) override { log_.push_back("print " + std::string(text)); }
    void close_progress_console() override { log_.push_back("close console"); }

private:
    Log& log_;
};

// Each step succeeds unless told which failure to give, or to throw; handles count opens
// and closes.
class FakeSteps final : public InstallSteps {
public:
    explicit FakeSteps(Log& log) : log_(log) { self = this; }
    std::optional<std::string> fail_prepare, fail_download, fail_open, fail_verify;
    std::string install_result = "ok";  // "ok" or a failure message
    std::string throw_in;               // the step that throws, as it is logged
    int open_handles = 0;

    Result<WorkPaths> prepare_work_area() override {
        step("prepare");
        if (fail_prepare) return InstallError{*fail_prepare};
        return WorkPaths{u"C:\\W\\System32", u"C:\\W\\Temp\\velbro-vpn-7", u"C:\\W\\Temp\\velbro-vpn-7\\p.msi",
                         u"C:\\T\\velbro-vpn-install.log"};
    }
    StepStatus download_package(const WorkPaths&) override {
        step("download");
        if (fail_download) return InstallError{*fail_download};
        return {};
    }
    Result<PackageHandle> open_package(const NativePath& path) override {
        step("open");
        EXPECT_EQ(path, u"C:\\W\\Temp\\velbro-vpn-7\\p.msi");
        if (fail_open) return InstallError{*fail_open};
        ++open_handles;
        return PackageHandle(reinterpret_cast<void*>(0x42), [](void*) {
            --self->open_handles;
            self->log_.push_back("close package");
        });
    }
    StepStatus verify_publisher(const NativePath&, PackageHandle& package) override {
        EXPECT_TRUE(package.is_open());
        step("verify");
        if (fail_verify) {
            package.reset();
            return InstallError{*fail_verify};
        }
        return {};
    }
    RunResult install_package(const WorkPaths&, PackageHandle package) override {
        EXPECT_TRUE(package.is_open());
        step("install");
        package.reset();
        if (install_result == "ok") return SuccessText{"installed"};
        return InstallError{install_result};
    }
    void remove_work_dir(const NativePath& work_dir) override {
        EXPECT_EQ(open_handles, 0) << "a package handle is open during the removal";
        EXPECT_EQ(work_dir, u"C:\\W\\Temp\\velbro-vpn-7");
        log_.push_back("remove");
    }

private:
    void step(const char* name) {
        log_.push_back(name);
        if (throw_in == name) throw std::bad_alloc();
    }
    static inline FakeSteps* self = nullptr;
    Log& log_;
};

const std::string TITLE = "print Vellumbrok VPN \u2013 installation af Cloudflare WARP\n\n";
const std::string VERIFYING = "print Kontrollerer signatur\u2026\n";
const std::string FOOTER = "Hjælp: it-support@vellumbrok.dk";

TEST(Confirmation, HasTheFixedTextsButtonsAndNoOwner) {
    Log log;
    FakeUi ui(log);
    FakeSteps steps(log);
    ui.confirm_answer = 2;
    run_installer(ui, steps);
    ASSERT_EQ(ui.dialogs.size(), 1u);
    const DialogCall& d = ui.dialogs[0];
    EXPECT_EQ(d.owner, nullptr);
    EXPECT_FALSE(d.is_error);
    EXPECT_EQ(d.instruction, "Installér Vellumbrok VPN");
    EXPECT_EQ(d.content,
              "Dette installerer Cloudflare WARP og forbinder computeren til Vellumbroks netværk.\n\n"
              "Installationen henter WARP fra Cloudflare og kræver internetforbindelse.");
    EXPECT_EQ(d.footer, FOOTER);
    EXPECT_EQ(d.buttons, (std::vector<std::pair<int, std::string>>{{100, "Installér"}, {2, "Annuller"}}));
    EXPECT_EQ(d.common_buttons, 0u);
}

TEST(Confirmation, AnyAnswerButInstallDeclinesWithNothingElse) {
    // 2: Annuller, Esc, close box or a dialog that failed to open; -1: Wine without a display.
    for (int answer : {2, -1, 0, 1, 101}) {
        Log log;
        FakeUi ui(log);
        FakeSteps steps(log);
        ui.confirm_answer = answer;
        EXPECT_EQ(run_installer(ui, steps), 0u) << answer;
        EXPECT_EQ(log, Log{"dialog"}) << answer;
    }
}

struct Road {
    const char* name;
    void (*setup)(FakeSteps&);
    Log expected_steps;  // between the title and the outcome dialog
    bool success;
    std::string content;
};

TEST(RunSteps, EveryRoadRunsItsStepsInOrderAndEndsAsItShould) {
    const std::vector<Road> roads = {
        {"success", [](FakeSteps&) {},
         {"prepare", "download", "open", VERIFYING, "verify", "install", "remove"}, true, "installed"},
        {"no work area", [](FakeSteps& s) { s.fail_prepare = "SystemRoot mangler"; },
         {"prepare"}, false, "SystemRoot mangler."},
        {"download fails", [](FakeSteps& s) { s.fail_download = "download fejlede (exit code: 22)"; },
         {"prepare", "download", "remove"}, false, "Download fejlede (exit code: 22)."},
        {"package cannot be opened", [](FakeSteps& s) { s.fail_open = "kan ikke åbne installationsfilen: x"; },
         {"prepare", "download", "open", "remove"}, false, "Kan ikke åbne installationsfilen: x."},
        {"publisher rejected", [](FakeSteps& s) { s.fail_verify = "uventet udgiver: Cloudflare Inc"; },
         {"prepare", "download", "open", VERIFYING, "verify", "close package", "remove"}, false,
         "Uventet udgiver: Cloudflare Inc."},
        {"installation fails", [](FakeSteps& s) { s.install_result = "installationen blev annulleret"; },
         {"prepare", "download", "open", VERIFYING, "verify", "install", "close package", "remove"}, false,
         "Installationen blev annulleret."},
    };
    for (const Road& road : roads) {
        Log log;
        FakeUi ui(log);
        FakeSteps steps(log);
        road.setup(steps);
        const std::uint32_t code = run_installer(ui, steps);

        Log expected{"dialog", "console", TITLE};
        expected.insert(expected.end(), road.expected_steps.begin(), road.expected_steps.end());
        if (road.success) {
            // the successful install closes its handle before the removal, too
            expected.insert(expected.end() - 1, "close package");
        }
        expected.insert(expected.end(), {"dialog", "close console"});
        EXPECT_EQ(log, expected) << road.name;
        EXPECT_EQ(code, road.success ? 0u : 1u) << road.name;
        EXPECT_EQ(steps.open_handles, 0) << road.name;

        ASSERT_EQ(ui.dialogs.size(), 2u) << road.name;
        const DialogCall& outcome = ui.dialogs[1];
        EXPECT_EQ(outcome.owner, ui.console) << road.name;
        EXPECT_EQ(outcome.is_error, !road.success) << road.name;
        EXPECT_EQ(outcome.instruction, road.success ? "Vellumbrok VPN er installeret" : "Installationen fejlede")
            << road.name;
        EXPECT_EQ(outcome.content, road.content) << road.name;
        EXPECT_EQ(outcome.footer, FOOTER) << road.name;
        EXPECT_TRUE(outcome.buttons.empty()) << road.name;
        EXPECT_EQ(outcome.common_buttons, 1u) << road.name;
    }
}

TEST(RunInstaller, NoConsoleWindowMeansAnOutcomeDialogWithoutOwner) {
    Log log;
    FakeUi ui(log);
    FakeSteps steps(log);
    ui.console = nullptr;
    steps.fail_prepare = "SystemRoot mangler";
    EXPECT_EQ(run_installer(ui, steps), 1u);
    ASSERT_EQ(ui.dialogs.size(), 2u);
    EXPECT_EQ(ui.dialogs[1].owner, nullptr);
}

TEST(RunInstaller, AnExceptionOutOfAStepEndsWithOneAfterTheWorkDirectoryIsRemoved) {
    for (const char* step : {"prepare", "download", "open", "verify", "install"}) {
        Log log;
        FakeUi ui(log);
        FakeSteps steps(log);
        steps.throw_in = step;
        EXPECT_EQ(run_installer(ui, steps), 1u) << step;
        EXPECT_EQ(steps.open_handles, 0) << step;
        // Nothing to remove when making the work directory was what failed.
        EXPECT_EQ(std::ranges::count(log, "remove"), steps.throw_in == "prepare" ? 0 : 1) << step;
    }
}

TEST(FailureText, UpperCasesTheFirstCharacterFullyAndAddsOneFullStop) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SystemRoot mangler", "SystemRoot mangler."},
        {"kunne ikke læse udgiver", "Kunne ikke læse udgiver."},
        {"ønsket fil", "Ønsket fil."},
        {"ßtraße", "SStraße."},
        {"𐐨x", "𐐀x."},
        {"1603 fejl", "1603 fejl."},
        {"sti C:\\x.", "Sti C:\\x.."},
        {"(kode)", "(kode)."},
        {"", ""},
        {"\xff" "abc", "\xff" "abc."},
        {"\xc3", "\xc3."},
    };
    for (const auto& [message, expected] : cases) EXPECT_EQ(failure_text(message), expected) << message;
}

}  // namespace
}  // namespace velbro
