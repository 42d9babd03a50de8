// The work area's path composition and the parent walk of its directory creation.
#include "acquire/work_area/work_area_paths.h"

#include <string>

#include "settings/settings.h"

namespace velbro {
namespace {

bool is_drive(std::u16string_view path) {
    return path.size() >= 2 && path[1] == u':' &&
           ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
}

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

// Where the component after `from` ends, separated by a backslash only, or by a slash too.
std::size_t end_of_component(std::u16string_view path, std::size_t from, bool backslash_only) {
    while (from < path.size() && !(path[from] == u'\\' || (!backslash_only && path[from] == u'/'))) {
        ++from;
    }
    return from;
}

// The end of "server\share" starting at `server`.
std::size_t share_end(std::u16string_view path, std::size_t server, bool backslash_only) {
    const std::size_t server_end = end_of_component(path, server, backslash_only);
    if (server_end >= path.size()) return path.size();
    return end_of_component(path, server_end + 1, backslash_only);
}

struct Prefix {
    std::size_t length;
    // "\\?\" paths are passed to the file system as they are: only "\" separates there.
    bool verbatim;
};

// The part of the path that names a volume or a share rather than a directory on it.
Prefix path_prefix(std::u16string_view path) {
    if (path.starts_with(u"\\\\?\\")) {
        const std::u16string_view rest = path.substr(4);
        if (rest.starts_with(u"UNC\\")) return {share_end(path, 8, true), true};
        if (is_drive(rest)) return {6, true};
        return {end_of_component(path, 4, true), true};
    }
    if (path.starts_with(u"\\\\.\\")) return {end_of_component(path, 4, false), false};
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        return {share_end(path, 2, false), false};
    }
    if (is_drive(path)) return {2, false};
    return {0, false};
}

}  // namespace

NativePath windows_temp_dir(std::u16string_view system_root) { return join_path(system_root, u"Temp"); }

NativePath work_dir_name(std::uint32_t process_id) {
    NativePath name(WORK_DIR_PREFIX);
    for (char digit : std::to_string(process_id)) name.push_back(static_cast<char16_t>(digit));
    return name;
}

WorkPaths compose_work_paths(std::u16string_view system_root, std::uint32_t process_id) {
    WorkPaths paths;
    paths.system32_dir = join_path(system_root, u"System32");
    paths.work_dir = join_path(windows_temp_dir(system_root), work_dir_name(process_id));
    paths.package_path = join_path(paths.work_dir, PACKAGE_FILE_NAME);
    return paths;
}

NativePath log_path_in(std::u16string_view temp_dir) { return join_path(temp_dir, LOG_FILE_NAME); }

std::optional<std::u16string_view> parent_path(std::u16string_view path) {
    const Prefix prefix = path_prefix(path);
    const auto separates = [&](char16_t c) { return prefix.verbatim ? c == u'\\' : is_separator(c); };
    std::size_t start = prefix.length;
    while (start < path.size() && separates(path[start])) ++start;  // the root
    std::size_t end = path.size();
    while (end > start && separates(path[end - 1])) --end;
    if (end == start) return std::nullopt;
    std::size_t cut = end;
    while (cut > start && !separates(path[cut - 1])) --cut;
    while (cut > start && separates(path[cut - 1])) --cut;
    return path.substr(0, cut);
}

}  // namespace velbro
