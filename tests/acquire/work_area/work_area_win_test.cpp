// Preparing the work area under Wine, with SystemRoot pointed at a test folder: the paths,
// the directories it makes, a file in the way, and the step's messages.
#include "acquire/work_area/work_area_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "acquire/work_area/file_operations_win.h"
#include "acquire/work_area/tree_removal.h"
#include "acquire/work_area/work_dir_creation.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

NativePath own_work_dir_name() { return to_wide("velbro-vpn-" + std::to_string(::GetCurrentProcessId())); }

// Sets (or, given nothing, removes) SystemRoot for one test, and puts it back afterwards.
class SystemRootSetting : public ScopedEnvironment {
public:
    explicit SystemRootSetting(const std::optional<NativePath>& value)
        : ScopedEnvironment(u"SystemRoot",
                            value ? std::optional<std::u16string_view>(*value) : std::nullopt) {}
};

// Makes `dir` the current directory for one test.
class CurrentDirSetting {
public:
    explicit CurrentDirSetting(const NativePath& dir) {
        saved_.resize(::GetCurrentDirectoryW(0, nullptr));
        saved_.resize(::GetCurrentDirectoryW(static_cast<DWORD>(saved_.size()), wide_ptr(saved_)));
        ::SetCurrentDirectoryW(wide_ptr(dir));
    }
    ~CurrentDirSetting() { ::SetCurrentDirectoryW(wide_ptr(saved_)); }

private:
    NativePath saved_;
};

// Puts a stand-in for the temporary-directory query in place for one test.
class TempPathSetting {
public:
    explicit TempPathSetting(TempPathFunction query) { set_temp_path_function(query); }
    ~TempPathSetting() { set_temp_path_function(nullptr); }
};

std::string shown(const NativePath& path) { return to_utf8(path); }

TEST(PrepareWorkArea, CreatesTheWorkDirUnderSystemRootAndReturnsThePaths) {
    ScratchFolder scratch;
    // Longer than the first buffer for SystemRoot, and than MAX_PATH, so a \\?\ path.
    const NativePath long_root = u"\\\\?\\" + (scratch.path(NativePath(200, u'a'))) + u"\\" +
                                 NativePath(200, u'b') + u"\\" + NativePath(200, u'c');
    ASSERT_GT(long_root.size(), 512u);
    make_dir(scratch.path(u"existing"));
    make_dir(scratch.path(u"existing\\Temp"));
    struct Case {
        const char* what;
        NativePath system_root;
        NativePath expected_root;  // what the paths are made of
    };
    const std::vector<Case> cases = {
        {"missing SystemRoot folder and Temp", scratch.path(u"missing root"), scratch.path(u"missing root\\")},
        {"trailing backslash, existing Temp", scratch.path(u"existing\\"), scratch.path(u"existing\\")},
        {"non-ASCII", scratch.path(u"r\u00f8d \u65e5\u672c"), scratch.path(u"r\u00f8d \u65e5\u672c\\")},
        {"longer than 512 units", long_root, long_root + u"\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SystemRootSetting system_root(c.system_root);
        const Result<WorkPaths> prepared = prepare_work_area();
        ASSERT_TRUE(prepared.ok()) << prepared.error().message;
        const WorkPaths& paths = prepared.value();
        const NativePath work_dir = c.expected_root + u"Temp\\" + own_work_dir_name();
        EXPECT_EQ(shown(c.expected_root + u"System32"), shown(paths.system32_dir));
        EXPECT_EQ(shown(work_dir), shown(paths.work_dir));
        EXPECT_EQ(shown(work_dir + u"\\Cloudflare_WARP.msi"), shown(paths.package_path));
        EXPECT_EQ(shown(temp_dir() + u"velbro-vpn-install.log"), shown(paths.log_path));
        EXPECT_TRUE(is_dir(paths.work_dir));
        EXPECT_EQ(std::vector<std::string>{}, list_dir(paths.work_dir));
        EXPECT_FALSE(exists(paths.log_path));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), remove_dir_tree(windows_file_operations(), paths.work_dir));
    }
}

TEST(PrepareWorkArea, AnEmptySystemRootMeansTheCurrentDirectory) {
    ScratchFolder scratch;
    CurrentDirSetting current_dir(scratch.path());
    SystemRootSetting system_root(NativePath{});
    const Result<WorkPaths> prepared = prepare_work_area();
    ASSERT_TRUE(prepared.ok()) << prepared.error().message;
    EXPECT_EQ("System32", shown(prepared.value().system32_dir));
    EXPECT_EQ(shown(u"Temp\\" + own_work_dir_name()), shown(prepared.value().work_dir));
    EXPECT_TRUE(is_dir(scratch.path(u"Temp\\" + own_work_dir_name())));
}

TEST(PrepareWorkArea, WithoutSystemRootNothingIsCreated) {
    ScratchFolder scratch;
    CurrentDirSetting current_dir(scratch.path());
    SystemRootSetting system_root(std::nullopt);
    const Result<WorkPaths> prepared = prepare_work_area();
    ASSERT_FALSE(prepared.ok());
    EXPECT_EQ("SystemRoot mangler", prepared.error().message);
    EXPECT_EQ(std::vector<std::string>{}, list_dir(scratch.path()));
}

TEST(PrepareWorkArea, AFileInTheWayEndsTheStepWithError183) {
    struct Case {
        const char* what;
        NativePath file;  // under SystemRoot
    };
    const std::vector<Case> cases = {
        {"a file named Temp", u"Temp"},
        {"a file with the work directory's name", u"Temp\\" + own_work_dir_name()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const NativePath root = scratch.path(u"bl\u00e5");
        make_dir(root);
        if (c.file != u"Temp") make_dir(join_path(root, u"Temp"));
        make_file(join_path(root, c.file), "not yours");
        SystemRootSetting system_root(root);

        const Result<WorkPaths> prepared = prepare_work_area();
        ASSERT_FALSE(prepared.ok());
        const NativePath work_dir = root + u"\\Temp\\" + own_work_dir_name();
        EXPECT_TRUE(
            is_system_error_text(prepared.error().message, "kan ikke oprette " + shown(work_dir) + ": ", 183));
        EXPECT_EQ("not yours", read_file(join_path(root, c.file)));
    }
}

// Stand-ins for the temporary-directory query, and what they were asked.
struct TempPathAnswer {
    DWORD length;
    DWORD error;
};
std::vector<TempPathAnswer> g_answers;
std::vector<DWORD> g_buffer_sizes;
NativePath g_directory;

DWORD WINAPI scripted_temp_path(DWORD size, LPWSTR buffer) {
    const TempPathAnswer answer = g_answers[std::min(g_buffer_sizes.size(), g_answers.size() - 1)];
    g_buffer_sizes.push_back(size);
    if (answer.length < size) {
        std::copy(g_directory.begin(), g_directory.begin() + answer.length, buffer);
        buffer[answer.length] = 0;
    }
    ::SetLastError(answer.error);
    return answer.length;
}

void script(std::vector<TempPathAnswer> answers, NativePath directory) {
    g_answers = std::move(answers);
    g_buffer_sizes.clear();
    g_directory = std::move(directory);
}

TEST(QueryTempDir, GrowsTheBufferUntilTheAnswerFits) {
    TempPathSetting stand_in(scripted_temp_path);
    const NativePath long_dir = u"C:\\" + NativePath(695, u't') + u"\\";  // 699 units
    struct Case {
        const char* what;
        std::vector<TempPathAnswer> answers;
        NativePath directory;
        std::vector<DWORD> sizes;
    };
    const std::vector<Case> cases = {
        {"fits at once", {{8, 0}}, u"C:\\Temp\\", {512}},
        {"asks for more", {{700, 0}, {699, 0}}, long_dir, {512, 700}},
        {"as long as the buffer, insufficient buffer",
         {{512, ERROR_INSUFFICIENT_BUFFER}, {1024, ERROR_INSUFFICIENT_BUFFER}, {699, 0}}, long_dir,
         {512, 1024, 2048}},
        {"empty", {{0, 0}}, u"", {512}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        script(c.answers, c.directory);
        const Result<NativePath, SystemError> found = query_temp_dir();
        ASSERT_TRUE(found.ok()) << display_text(found.error());
        EXPECT_EQ(shown(c.directory), shown(found.value()));
        EXPECT_EQ(c.sizes, g_buffer_sizes);
    }
}

TEST(PrepareWorkArea, AFailedTempDirQueryRemovesTheWorkDirAndEndsTheStep) {
    TempPathSetting stand_in(scripted_temp_path);
    const std::string prefix = "kan ikke finde den midlertidige mappe: ";
    struct Case {
        const char* what;
        TempPathAnswer answer;
    };
    const std::vector<Case> cases = {
        {"an error", {0, ERROR_ACCESS_DENIED}},
        {"as long as the buffer, no insufficient buffer", {512, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        SystemRootSetting system_root(scratch.path());
        script({c.answer}, u"");
        const Result<WorkPaths> prepared = prepare_work_area();
        ASSERT_FALSE(prepared.ok());
        if (c.answer.error != 0) {
            EXPECT_TRUE(is_system_error_text(prepared.error().message, prefix, ERROR_ACCESS_DENIED));
        } else {
            EXPECT_EQ(prefix + "ubrugeligt svar fra systemet", prepared.error().message);
        }
        EXPECT_EQ(std::vector<std::string>{}, list_dir(scratch.path(u"Temp")));
        EXPECT_TRUE(is_dir(scratch.path(u"Temp")));
    }
}

TEST(WorkDirDescriptor, GrantsFullControlToSystemAndAdministratorsOnly) {
    Result<UniqueLocal, SystemError> built = build_work_dir_descriptor();
    ASSERT_TRUE(built.ok()) << display_text(built.error());
    const PSECURITY_DESCRIPTOR descriptor = built.value().get();

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_EQ(SE_DACL_PROTECTED | SE_DACL_PRESENT,
              control & (SE_DACL_PROTECTED | SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_SACL_PRESENT));
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    EXPECT_TRUE(owner != nullptr && ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid));

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    ASSERT_EQ(2, dacl->AceCount);
    const WELL_KNOWN_SID_TYPE expected_sids[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (DWORD i = 0; i < 2; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, allowed->Header.AceFlags);
        EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_ALL_ACCESS), allowed->Mask);
        EXPECT_TRUE(::IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), expected_sids[i]));
    }

    LPWSTR text = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    UniqueLocal text_owner(text);
    EXPECT_EQ("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", to_utf8(reinterpret_cast<const char16_t*>(text)));
}

TEST(CreateDirTree, CreatesMissingAncestorsAndAcceptsExistingDirectories) {
    ScratchFolder scratch;
    make_dir(scratch.path(u"existing"));
    make_file(scratch.path(u"file"), "not yours");
    struct Case {
        NativePath path;
        DWORD expected;
        bool makes_dir;
    };
    const std::vector<Case> cases = {
        {scratch.path(u"a\\b\\c"), ERROR_SUCCESS, true},
        {scratch.path(u"a\\b\\c\\"), ERROR_SUCCESS, true},
        {scratch.path(u"existing"), ERROR_SUCCESS, true},
        {scratch.path(u"existing\\new"), ERROR_SUCCESS, true},
        {scratch.path(u"file"), ERROR_ALREADY_EXISTS, false},
        {scratch.path(u"file\\below"), ERROR_ALREADY_EXISTS, false},
        {u"", ERROR_SUCCESS, false},
        {u"C:\\", ERROR_SUCCESS, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.path));
        EXPECT_EQ(c.expected, create_dir_tree(windows_file_operations(), c.path));
        if (c.makes_dir) {
            EXPECT_TRUE(is_dir(c.path));
        }
    }
    EXPECT_EQ("not yours", read_file(scratch.path(u"file")));
}

TEST(WorkArea, EveryRoadOutClosesWhatItOpened) {
    ScratchFolder scratch;
    make_dir(scratch.path(u"blocked"));
    make_dir(scratch.path(u"blocked\\Temp"));
    make_file(scratch.path(u"blocked\\Temp\\" + own_work_dir_name()));
    make_dir(scratch.path(u"held"));
    make_file(scratch.path(u"held\\package.msi"));
    expect_no_handle_left_open([&] {
        {
            SystemRootSetting system_root(scratch.path(u"root"));
            const Result<WorkPaths> prepared = prepare_work_area();
            ASSERT_TRUE(prepared.ok()) << prepared.error().message;
            make_file(prepared.value().package_path, "package");
            remove_work_dir(prepared.value().work_dir);
            EXPECT_FALSE(exists(prepared.value().work_dir));
        }
        {
            SystemRootSetting system_root(std::nullopt);
            EXPECT_FALSE(prepare_work_area().ok());
        }
        {
            SystemRootSetting system_root(scratch.path(u"blocked"));
            EXPECT_FALSE(prepare_work_area().ok());
        }
        remove_work_dir(scratch.path(u"missing"));
        remove_work_dir(scratch.path(u"blocked\\Temp\\" + own_work_dir_name()));
        const UniqueHandle held = hold_open(scratch.path(u"held\\package.msi"));
        remove_work_dir(scratch.path(u"held"));
        EXPECT_TRUE(exists(scratch.path(u"held\\package.msi")));
    });
}

}  // namespace
}  // namespace velbro
