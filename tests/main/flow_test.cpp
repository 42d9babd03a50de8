// The run and its step sequence, driven with stand-ins that record every call in order.
#include "main/flow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <ostream>
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
    bool operator==(const DialogCall&) const = default;
};
void PrintTo(const DialogCall& d, std::ostream* out) {
    *out << "{owner " << d.owner << (d.is_error ? ", error, \"" : ", \"") << d.instruction << "\", \""
         << d.content << "\", \"" << d.footer << "\", " << d.buttons.size() << " buttons, common "
         << d.common_buttons << "}";
}

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

// Each step logs its name and succeeds, unless it is the one told to fail or to throw;
// handles count opens and closes.
class FakeSteps final : public InstallSteps {
public:
    explicit FakeSteps(Log& log) : log_(log) { self = this; }
    std::string fail_in, failure, throw_in;
    int open_handles = 0;

    Result<WorkPaths> prepare_work_area() override {
        if (StepFailure failed = step("prepare")) return *failed;
        return WorkPaths{u"C:\\W\\System32", u"C:\\W\\Temp\\velbro-vpn-7", u"C:\\W\\Temp\\velbro-vpn-7\\p.msi",
                         u"C:\\T\\velbro-vpn-install.log"};
    }
    StepFailure download_package(const WorkPaths&) override { return step("download"); }
    Result<PackageHandle> open_package(const NativePath& path) override {
        EXPECT_EQ(path, u"C:\\W\\Temp\\velbro-vpn-7\\p.msi");
        if (StepFailure failed = step("open")) return *failed;
        ++open_handles;
        return PackageHandle(reinterpret_cast<void*>(0x42), [](void*) {
            --self->open_handles;
            self->log_.push_back("close package");
        });
    }
    StepFailure verify_publisher(const NativePath&, PackageHandle& package) override {
        EXPECT_TRUE(package.is_open());
        StepFailure failed = step("verify");
        if (failed) package.reset();
        return failed;
    }
    RunResult install_package(const WorkPaths&, PackageHandle package) override {
        EXPECT_TRUE(package.is_open());
        const StepFailure failed = step("install");
        package.reset();
        if (failed) return *failed;
        return SuccessText{"installed"};
    }
    void remove_work_dir(const NativePath& work_dir) override {
        EXPECT_EQ(open_handles, 0) << "a package handle is open during the removal";
        EXPECT_EQ(work_dir, u"C:\\W\\Temp\\velbro-vpn-7");
        log_.push_back("remove");
    }

private:
    StepFailure step(const std::string& name) {
        log_.push_back(name);
        if (throw_in == name) throw std::bad_alloc();
        if (fail_in == name) return InstallError{failure};
        return {};
    }
    static inline FakeSteps* self = nullptr;
    Log& log_;
};

const std::string TITLE = "print Vellumbrok VPN \u2013 installation af Cloudflare WARP\n\n";
const std::string VERIFYING = "print Kontrollerer signatur\u2026\n";
const std::string FOOTER = "Hjælp: it-support@vellumbrok.dk";
const DialogCall CONFIRMATION{nullptr, false, "Installér Vellumbrok VPN",
                              "Dette installerer Cloudflare WARP og forbinder computeren til Vellumbroks netværk.\n\n"
                              "Installationen henter WARP fra Cloudflare og kræver internetforbindelse.",
                              FOOTER, {{100, "Installér"}, {2, "Annuller"}}, 0};

TEST(Confirmation, AnyAnswerButInstallDeclinesWithNothingElse) {
    // 2: Annuller, Esc, close box or a dialog that failed to open; -1: Wine without a display.
    for (int answer : {2, -1, 0, 1, 101}) {
        Log log;
        FakeUi ui(log);
        FakeSteps steps(log);
        ui.confirm_answer = answer;
        EXPECT_EQ(run_installer(ui, steps), 0u) << answer;
        EXPECT_EQ(log, Log{"dialog"}) << answer;
        EXPECT_EQ(ui.dialogs, std::vector<DialogCall>{CONFIRMATION}) << answer;
    }
}

struct Road {
    const char* fail_in;  // none: the road of a successful run
    const char* message;
    Log expected_steps;  // between the title and the outcome dialog
    std::string content;
};

TEST(RunSteps, EveryRoadRunsItsStepsInOrderAndEndsAsItShould) {
    const std::vector<Road> roads = {
        {"", "", {"prepare", "download", "open", VERIFYING, "verify", "install", "close package", "remove"},
         "installed"},
        {"prepare", "SystemRoot mangler", {"prepare"}, "SystemRoot mangler."},
        {"download", "download fejlede (exit code: 22)", {"prepare", "download", "remove"},
         "Download fejlede (exit code: 22)."},
        {"open", "kan ikke åbne installationsfilen: x", {"prepare", "download", "open", "remove"},
         "Kan ikke åbne installationsfilen: x."},
        {"verify", "uventet udgiver: Cloudflare Inc",
         {"prepare", "download", "open", VERIFYING, "verify", "close package", "remove"},
         "Uventet udgiver: Cloudflare Inc."},
        {"install", "installationen blev annulleret",
         {"prepare", "download", "open", VERIFYING, "verify", "install", "close package", "remove"},
         "Installationen blev annulleret."},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.fail_in);
        Log log;
        FakeUi ui(log);
        FakeSteps steps(log);
        steps.fail_in = road.fail_in;
        steps.failure = road.message;
        const bool success = steps.fail_in.empty();
        EXPECT_EQ(run_installer(ui, steps), success ? 0u : 1u);

        Log expected{"dialog", "console", TITLE};
        expected.insert(expected.end(), road.expected_steps.begin(), road.expected_steps.end());
        expected.insert(expected.end(), {"dialog", "close console"});
        EXPECT_EQ(log, expected);
        EXPECT_EQ(steps.open_handles, 0);
        const DialogCall outcome{ui.console, !success,
                                 success ? "Vellumbrok VPN er installeret" : "Installationen fejlede",
                                 road.content, FOOTER, {}, 1};
        EXPECT_EQ(ui.dialogs, (std::vector<DialogCall>{CONFIRMATION, outcome}));
    }
}

TEST(RunInstaller, NoConsoleWindowMeansAnOutcomeDialogWithoutOwner) {
    Log log;
    FakeUi ui(log);
    FakeSteps steps(log);
    ui.console = nullptr;
    steps.fail_in = "prepare";
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
