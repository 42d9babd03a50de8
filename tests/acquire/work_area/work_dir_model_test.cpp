// The removal and the making of the work directory against the model of the file system: links
// of every kind pointing out of the tree, planted entries, rights, entries that other programs
// hold or delete, file systems that refuse a flag, deep trees; and the removal's attempt count.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "acquire/work_area/tree_removal.h"
#include "acquire/work_area/work_dir_creation.h"
#include "file_model.h"

namespace velbro {
namespace {

using test::FileModel;
using test::Kind;

const NativePath WORK_DIR = u"C:\\Windows\\Temp\\velbro-vpn-7";
const NativePath CANARY = u"C:\\canary";
constexpr std::uint32_t READ_ONLY = win32::attribute_read_only;
constexpr std::uint32_t READ_ONLY_HIDDEN = READ_ONLY | 0x2;

NativePath in_work_dir(std::u16string_view name) { return WORK_DIR + u"\\" + NativePath(name); }

struct FileSystem {
    const char* what;
    bool refuses_dont_reparse;
    bool refuses_disposition_ex;
    bool create_follows_dangling_link = false;
};
const FileSystem FILE_SYSTEMS[] = {
    {"NTFS", false, false},
    {"refusing OBJ_DONT_REPARSE", true, false},
    {"refusing FileDispositionInfoEx", false, true},
    {"refusing both", true, true},
    {"NTFS, CreateDirectoryW following a dangling link", false, false, true},
};

// A model with a folder outside the work area that links point at: when the test ends,
// nothing in it has changed and no handle is left open.
struct Canary : FileModel {
    std::string before;
    explicit Canary(const FileSystem& file_system = FILE_SYSTEMS[0]) {
        refuses_dont_reparse = file_system.refuses_dont_reparse;
        refuses_disposition_ex = file_system.refuses_disposition_ex;
        create_follows_dangling_link = file_system.create_follows_dangling_link;
        add(CANARY + u"\\keep.txt", Kind::file, READ_ONLY_HIDDEN);
        add(CANARY + u"\\sub\\inner.txt", Kind::file);
        add(CANARY + u"\\sub", Kind::directory, READ_ONLY);
        before = describe(CANARY);
    }
    ~Canary() override {
        EXPECT_EQ(before, describe(CANARY));
        EXPECT_EQ(0u, open_handles());
    }
};

TEST(RemoveDirTreeModel, DeletesLinksOfEveryKindAsLinksAndNeverWhatTheyPointAt) {
    const std::vector<std::pair<Kind, NativePath>> links = {
        {Kind::junction, CANARY},
        {Kind::directory_link, CANARY},
        {Kind::directory_link, u"..\\..\\..\\canary"},  // relative; dangling one level down
        {Kind::file_link, CANARY + u"\\keep.txt"},
        {Kind::junction, CANARY + u"\\sub"},
        {Kind::directory_link, CANARY + u"\\missing"},
        {Kind::file_link, u"missing.txt"},
        {Kind::junction, in_work_dir(u"sub")},           // inside the tree
        {Kind::directory_link, in_work_dir(u"link 0")},  // chained
        {Kind::file_link, in_work_dir(u"link 3")},
    };
    for (const FileSystem& file_system : FILE_SYSTEMS) {
        SCOPED_TRACE(file_system.what);
        Canary files(file_system);
        files.add(in_work_dir(u"package.msi"), Kind::file, READ_ONLY_HIDDEN);
        files.add(in_work_dir(u"sub\\read-only.txt"), Kind::file, READ_ONLY);
        files.add(in_work_dir(u"sub"), Kind::directory, READ_ONLY);
        for (std::size_t i = 0; i < links.size(); ++i) {
            const NativePath name = u"link " + NativePath(1, static_cast<char16_t>(u'0' + i));
            files.add(in_work_dir(name), links[i].first, 0, links[i].second);
            files.add(in_work_dir(u"sub\\" + name), links[i].first, 0, links[i].second);
        }
        files.add(WORK_DIR, Kind::directory, READ_ONLY);

        EXPECT_EQ(win32::success, remove_dir_tree(files, WORK_DIR));
        EXPECT_EQ("Temp: directory\n", files.describe(u"C:\\Windows\\Temp"));
        // Switched off once, and never asked for again.
        EXPECT_EQ(file_system.refuses_dont_reparse ? 1 : 0, files.dont_reparse_refusals);

        // A filter may list a name that walks through a link; nothing is opened by it, also
        // once OBJ_DONT_REPARSE is off.
        files.add(in_work_dir(u"J"), Kind::junction, 0, CANARY);
        files.list_also(WORK_DIR, u"J\\keep.txt", 0);
        EXPECT_EQ(win32::invalid_name, remove_dir_tree(files, WORK_DIR));
    }
}

TEST(MakeWorkDirModel, MakesAPrivateDirectoryAndLeavesWhateverStandsAtTheNameExactlyAsItIs) {
    const auto plant = [](Kind kind, NativePath target, NativePath at = WORK_DIR) {
        return [=](FileModel& files) { files.add(at, kind, 0, target); };
    };
    struct Case {
        const char* what;
        std::function<void(FileModel&)> plant;
        const char* made = nullptr;  // what Windows holds afterwards; none: as it was planted
    };
    const std::vector<Case> cases = {
        {"nothing", [](FileModel& files) { files.add(u"C:\\Windows\\Temp", Kind::directory); },
         "Windows: directory\nWindows\\Temp: directory\nWindows\\Temp\\velbro-vpn-7: directory, private\n"},
        {"no Windows folder either", [](FileModel&) {},
         "Windows: directory, inheriting\nWindows\\Temp: directory, inheriting\n"
         "Windows\\Temp\\velbro-vpn-7: directory, private\n"},
        {"a folder with read-only contents",
         [](FileModel& files) {
             files.add(in_work_dir(u"Cloudflare_WARP.msi"), Kind::file, READ_ONLY);
             files.add(in_work_dir(u"sub\\x"), Kind::file);
             files.add(WORK_DIR, Kind::directory, READ_ONLY_HIDDEN);
         }},
        {"a junction to the canary", plant(Kind::junction, CANARY)},
        {"a directory link to the canary", plant(Kind::directory_link, CANARY)},
        {"a file link to a canary file", plant(Kind::file_link, CANARY + u"\\keep.txt")},
        {"a dangling junction into the canary", plant(Kind::junction, CANARY + u"\\missing")},
        {"a junction to the canary, the name in upper case",
         plant(Kind::junction, CANARY, u"C:\\Windows\\TEMP\\VELBRO-VPN-7")},
        {"a plain file", [](FileModel& files) { files.add(WORK_DIR, Kind::file, READ_ONLY); }},
        {"a folder holding a second name of the canary's read-only file",
         [](FileModel& files) { files.add_hard_link(in_work_dir(u"keep.txt"), CANARY + u"\\keep.txt"); }},
    };
    for (const FileSystem& file_system : FILE_SYSTEMS) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(file_system.what) + ", " + c.what);
            Canary files(file_system);
            c.plant(files);
            const std::string planted = files.describe(u"C:\\Windows");
            EXPECT_EQ(c.made ? win32::success : win32::already_exists, make_work_dir(files, WORK_DIR));
            EXPECT_EQ(c.made ? c.made : planted, files.describe(u"C:\\Windows"));
        }
    }
}

TEST(RemoveDirTreeModel, TriesAgainWhileAnotherProgramHoldsAnEntryAndStopsAfterFiftyAttempts) {
    struct Case {
        const char* what;
        std::string others;  // what other programs do before each of our opens of the package
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
        Canary files({"", false, c.refuses_disposition_ex});
        files.add(in_work_dir(u"sub\\package.msi"), Kind::file, READ_ONLY);
        files.add(in_work_dir(u"sub\\link"), Kind::junction, 0, CANARY);
        files.add(in_work_dir(u"sub\\zz last.txt"), Kind::file);
        files.interfere(in_work_dir(u"sub\\package.msi"), c.others);

        EXPECT_EQ(c.expected, remove_dir_tree(files, WORK_DIR));
        // Stopped there, the rest stays.
        EXPECT_EQ(c.expected == win32::success ? ""
                                               : "velbro-vpn-7: directory\nvelbro-vpn-7\\sub: directory\n"
                                                 "velbro-vpn-7\\sub\\package.msi: file, attributes 1\n"
                                                 "velbro-vpn-7\\sub\\zz last.txt: file\n",
                  files.describe(WORK_DIR));
    }
}

TEST(RemoveDirTreeModel, ATreeThousandsOfLevelsDeepDoesNotExhaustTheStack) {
    Canary files;
    int folder = files.add(WORK_DIR, Kind::directory);
    for (int level = 0; level < 100000; ++level) folder = files.add_in(folder, u"d", Kind::directory);
    files.add_in(folder, u"bottom.txt", Kind::file);
    EXPECT_EQ(win32::success, remove_dir_tree(files, WORK_DIR));
    EXPECT_EQ("", files.describe(WORK_DIR));
}

std::vector<std::uint32_t> busy_then(std::size_t busy, std::uint32_t last) {
    std::vector<std::uint32_t> results(busy, 32);
    results.push_back(last);
    return results;
}

TEST(EntryRetry, TriesFiftyTimesWhileTheErrorIsTheTransientOne) {
    constexpr std::uint32_t SHARING_VIOLATION = 32;
    struct Case {
        const char* what;
        std::vector<std::uint32_t> results;  // the last one repeats
        std::uint32_t expected;
        int attempts;
    };
    const std::vector<Case> cases = {
        {"success at once", {0}, 0, 1},
        {"another error at once", {5}, 5, 1},
        {"success on the third try", {32, 32, 0}, 0, 3},
        {"another error on the second try", {32, 2}, 2, 2},
        {"success on the last try", busy_then(49, 0), 0, 50},
        {"another error on the last try", busy_then(49, 5), 5, 50},
        {"never free", {32}, 32, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int attempts = 0, yields = 0;
        const std::uint32_t result = retry_while(
            SHARING_VIOLATION,
            [&] {
                const std::size_t i = static_cast<std::size_t>(attempts++);
                return c.results[i < c.results.size() ? i : c.results.size() - 1];
            },
            [&] { ++yields; });
        EXPECT_EQ(c.expected, result);
        EXPECT_EQ(c.attempts, attempts);
        EXPECT_EQ(c.attempts - 1, yields);
    }
}

}  // namespace
}  // namespace velbro
