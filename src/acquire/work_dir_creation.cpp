// The work directory is never taken over from someone else: the Windows Temp directory lets
// every user create folders, so whatever stands at its name may be planted there. Only its
// ancestors are accepted as they are.
#include "acquire/work_dir_creation.h"

#include <optional>
#include <string_view>
#include <vector>

#include "acquire/tree_removal.h"
#include "acquire/work_area_paths.h"

namespace velbro {
namespace {

bool is_not_found(std::uint32_t error) {
    return error == win32::file_not_found || error == win32::path_not_found ||
           error == win32::invalid_drive || error == win32::bad_netpath || error == win32::bad_net_name;
}

bool is_already_there(std::uint32_t error) {
    return error == win32::file_exists || error == win32::already_exists;
}

// The attributes of what stands at `path`, of a link itself when `link` says so.
std::optional<std::uint32_t> attributes_at(FileOperations& files, const NativePath& path, FinalLink link) {
    OpenEntry entry(files);
    std::uint32_t attributes = 0;
    if (files.open_path(path, win32::read_attributes, link, entry.out()) != win32::success ||
        files.read_attributes(entry.get(), attributes) != win32::success) {
        return std::nullopt;
    }
    return attributes;
}

// Whether `path` is a directory, or a link to one.
bool is_directory(FileOperations& files, const NativePath& path) {
    const std::optional<std::uint32_t> attributes = attributes_at(files, path, FinalLink::follow);
    return attributes && (*attributes & win32::attribute_directory) != 0;
}

// Removes the link to a file at `path`, whose parent is `parent`: as the link, relative to
// its parent. Best effort, as the removal of a directory there.
void remove_file_link(FileOperations& files, const NativePath& path, std::u16string_view parent) {
    std::u16string_view name = std::u16string_view(path).substr(parent.size());
    while (!name.empty() && (name.front() == u'\\' || name.front() == u'/')) name.remove_prefix(1);
    OpenEntry parent_dir(files);
    if (files.open_path(NativePath(parent), win32::list_directory, FinalLink::follow, parent_dir.out()) ==
        win32::success) {
        delete_with_retries(files, parent_dir.get(), name, win32::sharing_violation);
    }
}

}  // namespace

std::uint32_t create_dir_tree(FileOperations& files, const NativePath& path) {
    std::vector<NativePath> missing;  // innermost first
    NativePath current = path;
    for (;;) {
        const std::optional<std::u16string_view> parent = parent_path(current);
        if (current.empty() || !parent) break;
        const std::uint32_t error = files.create_directory(current, DirSecurity::inherited);
        if (error == win32::success) break;
        if (is_already_there(error)) {
            if (is_directory(files, current)) break;
            return error;
        }
        if (!is_not_found(error)) return error;
        NativePath next(*parent);
        missing.push_back(std::move(current));
        current = std::move(next);
    }
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
        const std::uint32_t error = files.create_directory(*dir, DirSecurity::inherited);
        if (error != win32::success && !(is_already_there(error) && is_directory(files, *dir))) return error;
    }
    return win32::success;
}

std::uint32_t make_work_dir(FileOperations& files, const NativePath& work_dir) {
    const std::optional<std::u16string_view> parent = parent_path(work_dir);
    std::uint32_t error = files.create_directory(work_dir, DirSecurity::work_dir);
    if (is_not_found(error) && parent) {
        if (const std::uint32_t failed = create_dir_tree(files, NativePath(*parent))) return failed;
        error = files.create_directory(work_dir, DirSecurity::work_dir);
    }
    if (!is_already_there(error)) return error;
    // Planted by someone else, or left by an earlier run: neither is trusted. A plain file is
    // not ours to delete, and ends the step.
    const std::optional<std::uint32_t> attributes = attributes_at(files, work_dir, FinalLink::open_link);
    if (!attributes || !parent ||
        (*attributes & (win32::attribute_directory | win32::attribute_reparse_point)) == 0) {
        return error;
    }
    // Best effort: the fresh creation below tells whether it worked.
    if ((*attributes & win32::attribute_directory) != 0) {
        remove_dir_tree(files, work_dir);
    } else {
        remove_file_link(files, work_dir, *parent);
    }
    return files.create_directory(work_dir, DirSecurity::work_dir);
}

}  // namespace velbro
