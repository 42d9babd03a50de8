// Removing the work directory under Wine, against the real file calls: what it deletes, and
// where it stops.
#include "acquire/work_area/tree_removal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "acquire/work_area/file_operations_win.h"
#include "acquire/work_area/work_area_win.h"
#include "test_support_win.h"

namespace velbro {
namespace {

using namespace test_support;

// Builds a tree under the given folder.
using Builder = std::function<void(const NativePath&)>;

NativePath numbered(std::u16string_view stem, int n) {
    NativePath name(stem);
    for (char c : std::to_string(1000 + n).substr(1)) name.push_back(static_cast<char16_t>(c));
    return name;
}

TEST(RemoveDirTree, RemovesEverythingInsideAndNothingOutside) {
    struct Case {
        const char* what;
        Builder build;
        // Refused where the plain disposition is the only road, as under Wine.
        bool refused_without_disposition_ex = false;
    };
    const std::vector<Case> cases = {
        {"an empty folder", [](const NativePath&) {}},
        {"three hundred levels", [](const NativePath& dir) {
             // Longer than MAX_PATH: made through a \\?\ path.
             NativePath level = u"\\\\?\\" + dir;
             for (int i = 0; i < 300; ++i) {
                 level = join_path(level, u"d");
                 make_dir(level);
             }
             make_file(join_path(level, u"bottom.txt"));
         }},
        {"more entries than one listing batch holds, folders among them", [](const NativePath& dir) {
             for (int i = 0; i < 150; ++i) {
                 if (i % 10 == 5) {
                     const NativePath sub = join_path(dir, numbered(u"folder-", i));
                     make_dir(sub);
                     for (int j = 0; j < 3; ++j) make_file(join_path(sub, numbered(u"inner-", j)));
                 } else {
                     make_file(join_path(dir, numbered(u"file-", i)));
                 }
             }
         }},
        {"long and non-ASCII names", [](const NativePath& dir) {
             const NativePath long_name(255, u'n');
             make_file(join_path(dir, long_name));
             make_dir(join_path(dir, NativePath(250, u'd')));
             make_file(join_path(join_path(dir, NativePath(250, u'd')), long_name));
             make_file(join_path(dir, u"bl\u00e5b\u00e6r og r\u00f8dgr\u00f8d.txt"));
             make_dir(join_path(dir, u"\u65e5\u672c\u8a9e"));
             make_file(join_path(dir, u"\u65e5\u672c\u8a9e\\\U0001F600 \u2013 emoji"));
             make_file(join_path(dir, u".hidden start"));
         }},
        {"read-only files and a read-only folder", [](const NativePath& dir) {
             make_file(join_path(dir, u"read-only.txt"));
             set_attributes(join_path(dir, u"read-only.txt"), FILE_ATTRIBUTE_READONLY);
             const NativePath folder = join_path(dir, u"read-only folder");
             make_dir(folder);
             make_file(join_path(folder, u"inner read-only.txt"));
             set_attributes(join_path(folder, u"inner read-only.txt"),
                                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
             set_attributes(folder, FILE_ATTRIBUTE_READONLY);
         }},
        {"a read-only work directory", [](const NativePath& dir) {
             make_file(join_path(dir, u"inside.txt"));
             set_attributes(dir, FILE_ATTRIBUTE_READONLY);
         }},
        {"a second name of the read-only file outside", [](const NativePath& dir) {
             ASSERT_TRUE(::CreateHardLinkW(wide_ptr(join_path(dir, u"second name.txt")),
                                           wide_ptr(join_path(dir, u"..\\work-sibling.txt")), nullptr));
         }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const NativePath victim = scratch.path(u"work");
        make_dir(victim);
        make_file(scratch.path(u"work-sibling.txt"), "stays");
        set_attributes(scratch.path(u"work-sibling.txt"), FILE_ATTRIBUTE_READONLY);
        c.build(victim);

        // Wine refuses FileDispositionInfoEx.
        const bool refused = c.refused_without_disposition_ex && running_under_wine();
        EXPECT_EQ(static_cast<DWORD>(refused ? ERROR_ACCESS_DENIED : ERROR_SUCCESS), remove_dir_tree(windows_file_operations(), victim));
        EXPECT_EQ(refused, exists(victim));
        const std::vector<std::string> left = {"work", "work-sibling.txt"};
        EXPECT_EQ(std::vector<std::string>(left.begin() + (refused ? 0 : 1), left.end()),
                  list_dir(scratch.path()));
        EXPECT_EQ("stays", read_file(scratch.path(u"work-sibling.txt")));
        EXPECT_TRUE(attributes_of(scratch.path(u"work-sibling.txt")) & FILE_ATTRIBUTE_READONLY);
    }
}

TEST(RemoveDirTree, StopsAtAFileThatIsHeldOpenAndLeavesTheRest) {
    ScratchFolder scratch;
    const NativePath victim = scratch.path(u"work");
    make_dir(victim);
    make_file(join_path(victim, u"held.msi"), "package");
    make_dir(join_path(victim, u"sub"));
    make_file(join_path(victim, u"sub\\inner.txt"));
    {
        const UniqueHandle held = hold_open(join_path(victim, u"held.msi"));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), remove_dir_tree(windows_file_operations(), victim));
        remove_work_dir(victim);  // reports nothing
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(is_dir(victim));
        EXPECT_EQ("package", read_file(join_path(victim, u"held.msi")));
    }
    // Once it is let go, the same removal finishes.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), remove_dir_tree(windows_file_operations(), victim));
    EXPECT_FALSE(exists(victim));
}

TEST(RemoveDirTree, LeavesAnythingButADirectoryAlone) {
    ScratchFolder scratch;
    make_file(scratch.path(u"work"), "a file");
    struct Case {
        NativePath path;
        DWORD expected;
    };
    const std::vector<Case> cases = {
        {scratch.path(u"missing"), ERROR_FILE_NOT_FOUND},
        {scratch.path(u"missing\\deeper"), ERROR_PATH_NOT_FOUND},
        {scratch.path(u"work"), ERROR_DIRECTORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8(c.path));
        EXPECT_EQ(c.expected, remove_dir_tree(windows_file_operations(), c.path));
        remove_work_dir(c.path);
    }
    EXPECT_EQ("a file", read_file(scratch.path(u"work")));
    EXPECT_EQ(std::vector<std::string>{"work"}, list_dir(scratch.path()));
}

TEST(DeleteEntry, AnEntryThatIsAlreadyGoneCountsAsDeleted) {
    ScratchFolder scratch;
    make_file(scratch.path(u"pending.txt"));
    // Marked for deletion by a handle that is still open: the name stays until it closes.
    UniqueHandle pending(::CreateFileW(wide_ptr(scratch.path(u"pending.txt")), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO disposition{TRUE};
    ASSERT_TRUE(::SetFileInformationByHandle(pending.get(), FileDispositionInfo, &disposition,
                                             sizeof disposition));
    UniqueHandle dir(::CreateFileW(wide_ptr(scratch.path()), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(dir);

    for (const std::u16string_view name : {u"never-there.txt", u"pending.txt"}) {
        SCOPED_TRACE(to_utf8(name));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), delete_entry(windows_file_operations(), file_handle(dir.get()), name));
    }
    pending.reset();
    EXPECT_FALSE(exists(scratch.path(u"pending.txt")));
}

TEST(WindowsFileOperations, TellAPendingDeletionApartFromAccessDenied) {
    // Wine opens an entry whose deletion is pending, so the test above cannot show it.
    struct Case {
        ULONG status;
        DWORD expected;
    };
    const std::vector<Case> cases = {
        {0xC0000056, ERROR_DELETE_PENDING},     // STATUS_DELETE_PENDING
        {0xC0000022, ERROR_ACCESS_DENIED},      // STATUS_ACCESS_DENIED
        {0xC0000034, ERROR_FILE_NOT_FOUND},     // STATUS_OBJECT_NAME_NOT_FOUND
        {0xC000003A, ERROR_PATH_NOT_FOUND},     // STATUS_OBJECT_PATH_NOT_FOUND
        {0xC0000043, ERROR_SHARING_VIOLATION},  // STATUS_SHARING_VIOLATION
        {0xC000000D, ERROR_INVALID_PARAMETER},  // STATUS_INVALID_PARAMETER
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, error_of_status(static_cast<LONG>(c.status))) << std::hex << c.status;
    }
}

}  // namespace
}  // namespace velbro
