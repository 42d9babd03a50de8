// The work area's paths from SystemRoot, the process id and the temporary directory, and the
// parent walk of the directory creation.
#include "acquire/work_area/work_area_paths.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velbro {
namespace {

std::string shown(std::u16string_view path) { return to_utf8(path); }
std::string shown_parent(std::optional<std::u16string_view> path) {
    return path ? "\"" + to_utf8(*path) + "\"" : "(none)";
}

TEST(WorkAreaPaths, AreComposedFromSystemRootProcessIdAndTempDir) {
    struct Case {
        std::u16string system_root;
        std::uint32_t process_id;
        std::u16string temp_dir;
        std::u16string system32_dir, work_dir, package_path, log_path;
    };
    const std::vector<Case> cases = {
        {u"C:\\Windows", 4242, u"C:\\Users\\a\\AppData\\Local\\Temp\\", u"C:\\Windows\\System32",
         u"C:\\Windows\\Temp\\velbro-vpn-4242",
         u"C:\\Windows\\Temp\\velbro-vpn-4242\\Cloudflare_WARP.msi",
         u"C:\\Users\\a\\AppData\\Local\\Temp\\velbro-vpn-install.log"},
        // A trailing separator is not doubled.
        {u"C:\\Windows\\", 4242, u"C:\\Temp\\", u"C:\\Windows\\System32",
         u"C:\\Windows\\Temp\\velbro-vpn-4242",
         u"C:\\Windows\\Temp\\velbro-vpn-4242\\Cloudflare_WARP.msi", u"C:\\Temp\\velbro-vpn-install.log"},
        {u"C:/Windows/", 7, u"C:\\Temp\\", u"C:/Windows/System32", u"C:/Windows/Temp\\velbro-vpn-7",
         u"C:/Windows/Temp\\velbro-vpn-7\\Cloudflare_WARP.msi", u"C:\\Temp\\velbro-vpn-install.log"},
        // Empty: relative to the current directory.
        {u"", 4242, u"C:\\Temp\\", u"System32", u"Temp\\velbro-vpn-4242",
         u"Temp\\velbro-vpn-4242\\Cloudflare_WARP.msi", u"C:\\Temp\\velbro-vpn-install.log"},
        // A bare drive: relative to that drive's current directory.
        {u"C:", 4242, u"C:\\Temp\\", u"C:System32", u"C:Temp\\velbro-vpn-4242",
         u"C:Temp\\velbro-vpn-4242\\Cloudflare_WARP.msi", u"C:\\Temp\\velbro-vpn-install.log"},
        {u"d:", 0, u"d:\\t\\", u"d:System32", u"d:Temp\\velbro-vpn-0",
         u"d:Temp\\velbro-vpn-0\\Cloudflare_WARP.msi", u"d:\\t\\velbro-vpn-install.log"},
        {u"C:\\", 4294967295u, u"", u"C:\\System32", u"C:\\Temp\\velbro-vpn-4294967295",
         u"C:\\Temp\\velbro-vpn-4294967295\\Cloudflare_WARP.msi", u"velbro-vpn-install.log"},
        // Used unchanged: no trimming, no check.
        {u" C:\\Win dows ", 10, u"C:\\Temp\\", u" C:\\Win dows \\System32",
         u" C:\\Win dows \\Temp\\velbro-vpn-10",
         u" C:\\Win dows \\Temp\\velbro-vpn-10\\Cloudflare_WARP.msi", u"C:\\Temp\\velbro-vpn-install.log"},
        // Not a drive designator: a separator is added.
        {u"1:", 10, u"C:\\Temp\\", u"1:\\System32", u"1:\\Temp\\velbro-vpn-10",
         u"1:\\Temp\\velbro-vpn-10\\Cloudflare_WARP.msi", u"C:\\Temp\\velbro-vpn-install.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("SystemRoot \"" + shown(c.system_root) + "\", temp dir \"" + shown(c.temp_dir) + "\"");
        const WorkPaths paths = compose_work_paths(c.system_root, c.process_id);
        EXPECT_EQ(shown(c.system32_dir), shown(paths.system32_dir));
        EXPECT_EQ(shown(c.work_dir), shown(paths.work_dir));
        EXPECT_EQ(shown(c.package_path), shown(paths.package_path));
        EXPECT_EQ(shown(c.log_path), shown(log_path_in(c.temp_dir)));
    }
}

TEST(WorkAreaPaths, TheWorkDirIsADirectChildOfTheTempDir) {
    const WorkPaths paths = compose_work_paths(u"C:\\Windows", 4242);
    EXPECT_EQ(shown(windows_temp_dir(u"C:\\Windows")), shown(parent_path(paths.work_dir).value()));
    EXPECT_EQ("velbro-vpn-4242", shown(work_dir_name(4242)));
}

TEST(ParentPath, RemovesTheLastComponentDownToARoot) {
    struct Case {
        std::u16string path;
        std::optional<std::u16string> parent;
    };
    const std::vector<Case> cases = {
        {u"C:\\Windows\\Temp\\velbro-vpn-1", u"C:\\Windows\\Temp"},
        {u"C:\\Windows\\Temp\\", u"C:\\Windows"},
        {u"C:\\Windows", u"C:\\"},
        {u"C:/Windows//Temp", u"C:/Windows"},
        {u"C:\\", std::nullopt},
        {u"C:", std::nullopt},
        {u"C:Temp", u"C:"},
        {u"C:Temp\\velbro-vpn-1", u"C:Temp"},
        {u"Temp\\velbro-vpn-1", u"Temp"},
        {u"Temp", u""},
        {u"Temp\\", u""},
        {u"", std::nullopt},
        {u"\\", std::nullopt},
        {u"\\Windows", u"\\"},
        {u"\\\\server\\share", std::nullopt},
        {u"\\\\server\\share\\", std::nullopt},
        {u"\\\\server\\share\\Windows", u"\\\\server\\share\\"},
        {u"//server/share/Windows/Temp", u"//server/share/Windows"},
        {u"\\\\?\\C:\\", std::nullopt},
        {u"\\\\?\\C:\\Windows", u"\\\\?\\C:\\"},
        // Verbatim paths are separated by backslashes only.
        {u"\\\\?\\C:\\a/b", u"\\\\?\\C:\\"},
        {u"\\\\?\\UNC\\server\\share\\", std::nullopt},
        {u"\\\\?\\UNC\\server\\share\\Windows", u"\\\\?\\UNC\\server\\share\\"},
        {u"\\\\?\\Volume{1}\\Windows", u"\\\\?\\Volume{1}\\"},
        {u"\\\\.\\pipe", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("path \"" + shown(c.path) + "\"");
        const std::optional<std::u16string_view> expected =
            c.parent ? std::optional<std::u16string_view>(*c.parent) : std::nullopt;
        EXPECT_EQ(shown_parent(expected), shown_parent(parent_path(c.path)));
    }
}

}  // namespace
}  // namespace velbro
