// The removal and the making of the work directory against the model of the file system:
// links of every kind pointing out of the tree, planted entries, rights, entries other
// programs hold or delete, file systems that refuse a flag, and deep trees.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "acquire/tree_removal.h"
#include "acquire/work_dir_creation.h"
#include "file_model.h"

namespace velbro {
namespace {

using test::FileModel;
using test::Kind;

const NativePath WORK_DIR = u"C:\\Windows\\Temp\\velbro-vpn-7";
const NativePath CANARY = u"C:\\canary";
constexpr std::uint32_t READ_ONLY = win32::attribute_read_only;
constexpr std::uint32_t HIDDEN = 0x2;

NativePath in_work_dir(std::u16string_view name) { return WORK_DIR + u"\\" + NativePath(name); }

// How the file system under test differs from NTFS.
struct Refusals {
    const char* what;
    bool dont_reparse;
    bool disposition_ex;
};
const Refusals FILE_SYSTEMS[] = {
    {"NTFS", false, false},
    {"refuses OBJ_DONT_REPARSE", true, false},
    {"refuses FileDispositionInfoEx", false, true},
    {"refuses both", true, true},
};

// A folder outside the work area that links point at: nothing in it may change.
struct Setting {
    FileModel files;
    std::string canary;

    explicit Setting(const Refusals& refusals = FILE_SYSTEMS[0]) {
        files.refuses_dont_reparse = refusals.dont_reparse;
        files.refuses_disposition_ex = refusals.disposition_ex;
        files.add(CANARY + u"\\keep.txt", Kind::file, READ_ONLY | HIDDEN);
        files.add(CANARY + u"\\sub\\inner.txt", Kind::file);
        files.add(CANARY + u"\\sub", Kind::directory, READ_ONLY);
        canary = files.describe(CANARY);
    }
    ~Setting() {
        EXPECT_EQ(canary, files.describe(CANARY));
        EXPECT_EQ(0, files.open_handles());
    }
};

TEST(RemoveDirTreeModel, DeletesLinksOfEveryKindAsLinksAndNeverWhatTheyPointAt) {
    for (const Refusals& refusals : FILE_SYSTEMS) {
        SCOPED_TRACE(refusals.what);
        Setting setting(refusals);
        FileModel& files = setting.files;
        files.add(in_work_dir(u"package.msi"), Kind::file, READ_ONLY | HIDDEN);
        files.add(in_work_dir(u"sub\\read-only.txt"), Kind::file, READ_ONLY);
        files.add(in_work_dir(u"sub"), Kind::directory, READ_ONLY);
        const std::vector<std::pair<Kind, NativePath>> links = {
            {Kind::junction, CANARY},
            {Kind::directory_link, CANARY},
            {Kind::directory_link, u"..\\..\\..\\canary"},  // relative
            {Kind::file_link, CANARY + u"\\keep.txt"},
            {Kind::junction, CANARY + u"\\sub"},
            {Kind::directory_link, CANARY + u"\\missing"},  // dangling
            {Kind::file_link, u"missing.txt"},
            {Kind::junction, in_work_dir(u"sub")},  // inside the tree
            {Kind::directory_link, in_work_dir(u"link 00")},  // chained: to the junction to the canary
            {Kind::file_link, in_work_dir(u"link 03")},
        };
        for (std::size_t i = 0; i < links.size(); ++i) {
            const NativePath name = u"link 0" + NativePath(1, static_cast<char16_t>(u'0' + i));
            files.add(in_work_dir(name), links[i].first, 0, links[i].second);
            files.add(in_work_dir(u"sub\\" + name), links[i].first, 0, links[i].second);
        }
        files.add(WORK_DIR, Kind::directory, READ_ONLY);

        EXPECT_EQ(win32::success, remove_dir_tree(files, WORK_DIR));
        EXPECT_EQ("Temp: directory\n", files.describe(u"C:\\Windows\\Temp"));
        // Switched off once, then never asked for again.
        EXPECT_EQ(refusals.dont_reparse ? 1 : 0, files.dont_reparse_refusals());
    }
}

TEST(RemoveDirTreeModel, RemovesALinkAtTheTopAsTheLinkAndLeavesAFileAlone) {
    struct Case {
        Kind kind;
        NativePath target;
        std::uint32_t expected;
        std::string left;
    };
    const std::vector<Case> cases = {
        {Kind::junction, CANARY, win32::success, ""},
        {Kind::directory_link, CANARY, win32::success, ""},
        {Kind::file_link, CANARY + u"\\keep.txt", win32::directory, "velbro-vpn-7: file link -> C:\\canary\\keep.txt\n"},
        {Kind::file, u"", win32::directory, "velbro-vpn-7: file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.left);
        Setting setting;
        setting.files.add(WORK_DIR, c.kind, 0, c.target);
        EXPECT_EQ(c.expected, remove_dir_tree(setting.files, WORK_DIR));
        EXPECT_EQ(c.left, setting.files.describe(WORK_DIR));
    }
}

TEST(MakeWorkDirModel, ReplacesWhatStandsAtTheNameAndMakesTheDirectoryPrivate) {
    const std::string fresh = "Windows: directory\nWindows\\Temp: directory\nWindows\\Temp\\velbro-vpn-7: directory, made private\n";
    struct Case {
        const char* what;
        std::function<void(FileModel&)> plant;
        std::uint32_t expected;
        std::string windows_after;
    };
    const std::vector<Case> cases = {
        {"nothing", [](FileModel& files) { files.add(u"C:\\Windows\\Temp", Kind::directory); }, win32::success,
         fresh},
        {"nothing, and no Windows folder either", [](FileModel&) {}, win32::success,
         "Windows: directory, made with inherited rights\nWindows\\Temp: directory, made with inherited rights\n"
         "Windows\\Temp\\velbro-vpn-7: directory, made private\n"},
        {"a folder with read-only contents",
         [](FileModel& files) {
             files.add(in_work_dir(u"Cloudflare_WARP.msi"), Kind::file, READ_ONLY);
             files.add(in_work_dir(u"sub\\x"), Kind::file);
             files.add(WORK_DIR, Kind::directory, READ_ONLY | HIDDEN);
         },
         win32::success, fresh},
        {"a junction to the canary", [](FileModel& files) { files.add(WORK_DIR, Kind::junction, 0, CANARY); },
         win32::success, fresh},
        {"a directory link to the canary",
         [](FileModel& files) { files.add(WORK_DIR, Kind::directory_link, 0, CANARY); }, win32::success, fresh},
        {"a file link to a canary file",
         [](FileModel& files) { files.add(WORK_DIR, Kind::file_link, 0, CANARY + u"\\keep.txt"); }, win32::success,
         fresh},
        {"a dangling link", [](FileModel& files) { files.add(WORK_DIR, Kind::file_link, 0, u"C:\\nowhere"); },
         win32::success, fresh},
        {"a plain file", [](FileModel& files) { files.add(WORK_DIR, Kind::file, READ_ONLY); },
         win32::already_exists,
         "Windows: directory\nWindows\\Temp: directory\nWindows\\Temp\\velbro-vpn-7: file, attributes 1\n"},
        {"a folder with a file another program holds throughout",
         [](FileModel& files) {
             files.add(in_work_dir(u"held.msi"), Kind::file);
             files.interfere(in_work_dir(u"held.msi"), std::string(100, 'H'));
         },
         win32::already_exists,
         "Windows: directory\nWindows\\Temp: directory\nWindows\\Temp\\velbro-vpn-7: directory\n"
         "Windows\\Temp\\velbro-vpn-7\\held.msi: file\n"},
    };
    for (const Refusals& refusals : FILE_SYSTEMS) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(refusals.what) + ", " + c.what);
            Setting setting(refusals);
            c.plant(setting.files);
            EXPECT_EQ(c.expected, make_work_dir(setting.files, WORK_DIR));
            EXPECT_EQ(c.windows_after, setting.files.describe(u"C:\\Windows"));
        }
    }
}

TEST(RemoveDirTreeModel, TriesAgainWhileAnotherProgramHoldsAnEntryAndStopsAfterFiftyAttempts) {
    struct Case {
        const char* what;
        std::string others;  // what other programs do before each of our opens of package.msi
        bool refuses_disposition_ex;
        std::uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"held for three attempts", "HHH", false, win32::success},
        {"held for 49 attempts", std::string(49, 'H'), false, win32::success},
        {"held for 50 attempts", std::string(50, 'H'), false, win32::sharing_violation},
        {"deleted by another program", "D", false, win32::success},
        {"being deleted by another program", "P", false, win32::success},
        {"held again when reopened to clear read-only", ".HH", true, win32::success},
        {"deleted before being reopened to clear read-only", ".D", true, win32::success},
        {"being deleted when reopened to clear read-only", ".P", true, win32::success},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Setting setting({"", false, c.refuses_disposition_ex});
        FileModel& files = setting.files;
        files.add(in_work_dir(u"sub\\package.msi"), Kind::file, READ_ONLY);
        files.add(in_work_dir(u"sub\\link"), Kind::junction, 0, CANARY);
        files.add(in_work_dir(u"sub\\zz last.txt"), Kind::file);
        files.interfere(in_work_dir(u"sub\\package.msi"), c.others);

        EXPECT_EQ(c.expected, remove_dir_tree(files, WORK_DIR));
        EXPECT_EQ(c.expected == win32::success ? "" : "velbro-vpn-7: directory\nvelbro-vpn-7\\sub: directory\n"
                                                       "velbro-vpn-7\\sub\\package.msi: file, attributes 1\n"
                                                       "velbro-vpn-7\\sub\\zz last.txt: file\n",
                  files.describe(WORK_DIR));
    }
}

TEST(RemoveDirTreeModel, ATreeThousandsOfLevelsDeepDoesNotExhaustTheStack) {
    Setting setting;
    int folder = setting.files.add(WORK_DIR, Kind::directory);
    for (int level = 0; level < 100000; ++level) folder = setting.files.add_in(folder, u"d", Kind::directory);
    setting.files.add_in(folder, u"bottom.txt", Kind::file);
    EXPECT_EQ(win32::success, remove_dir_tree(setting.files, WORK_DIR));
    EXPECT_EQ("", setting.files.describe(WORK_DIR));
}

}  // namespace
}  // namespace velbro
