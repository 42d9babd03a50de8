// The work directory is never taken over from someone else: the Windows Temp directory lets
// every user create folders, so whatever stands at its name may be planted there, and working
// inside it could be held up for ever (an oplock on a file in it) or kept busy (a folder
// refilled as fast as it is emptied). Only its ancestors are accepted as they are.
#include "acquire/work_area/work_dir_creation.h"

#include <optional>
#include <string_view>
#include <vector>

#include "acquire/work_area/work_area_paths.h"

namespace velbro {
namespace {

bool is_not_found(std::uint32_t error) {
    return error == win32::file_not_found || error == win32::path_not_found ||
           error == win32::invalid_drive || error == win32::bad_netpath || error == win32::bad_net_name;
}

bool is_already_there(std::uint32_t error) {
    return error == win32::file_exists || error == win32::already_exists;
}

// Whether `path` is a directory, or a link to one.
bool is_directory(FileOperations& files, const NativePath& path) {
    UniqueEntry entry(files);
    std::uint32_t attributes = 0;
    return files.open_path(path, win32::read_attributes, FinalLink::follow, entry.out()) == win32::success &&
           files.read_attributes(entry.get(), attributes) == win32::success &&
           (attributes & win32::attribute_directory) != 0;
}

// Makes the work directory `name` in the open Temp directory and confirms, from the handle
// of what was made, that it is a directory and not a link: only then is it ours.
std::uint32_t create_private_dir(FileOperations& files, FileHandle temp, std::u16string_view name) {
    UniqueEntry made(files);
    if (const std::uint32_t error = files.with_dont_reparse([&](bool dont_reparse) {
            return files.create_private_dir_at(temp, name, dont_reparse, made.out());
        })) {
        return error;
    }
    std::uint32_t attributes = 0;
    if (const std::uint32_t error = files.read_attributes(made.get(), attributes)) return error;
    if ((attributes & win32::attribute_reparse_point) != 0) return win32::reparse_point_encountered;
    return (attributes & win32::attribute_directory) != 0 ? win32::success : win32::not_a_directory;
}

}  // namespace

std::uint32_t create_dir_tree(FileOperations& files, const NativePath& path) {
    std::vector<NativePath> missing;  // innermost first
    NativePath current = path;
    for (;;) {
        const std::optional<std::u16string_view> parent = parent_path(current);
        if (current.empty() || !parent) break;
        const std::uint32_t error = files.create_directory(current);
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
        const std::uint32_t error = files.create_directory(*dir);
        if (error != win32::success && !(is_already_there(error) && is_directory(files, *dir))) return error;
    }
    return win32::success;
}

std::uint32_t make_work_dir(FileOperations& files, const NativePath& work_dir) {
    const std::optional<std::u16string_view> parent = parent_path(work_dir);
    if (!parent) return win32::path_not_found;
    std::u16string_view name = std::u16string_view(work_dir).substr(parent->size());
    while (!name.empty() && (name.front() == u'\\' || name.front() == u'/')) name.remove_prefix(1);
    if (const std::uint32_t error = create_dir_tree(files, NativePath(*parent))) return error;
    UniqueEntry temp(files);
    if (const std::uint32_t error =
            files.open_path(NativePath(*parent), win32::list_directory | win32::add_subdirectory,
                            FinalLink::follow, temp.out())) {
        return error;
    }
    // Made relative to the Temp directory's handle, so that a link planted at the name, even
    // one to a folder that does not exist, collides instead of being followed. Whatever stands
    // at the name may be another user's, who fully controls it: it is never opened, and ends
    // the step with the creation's error.
    return create_private_dir(files, temp.get(), name);
}

}  // namespace velbro
