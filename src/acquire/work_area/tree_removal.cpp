// The work directory's removal, whole: which entry is opened and how, when it goes down into
// a directory, what a refusal means, when it tries again and when it clears read-only. An
// explicit stack of open directories instead of recursion, so depth is not limited by the
// thread's stack.
#include "acquire/work_area/tree_removal.h"

#include <vector>

namespace velbro {
namespace {

// Opens `name` relative to the open directory `dir`, a final link as the link itself, never
// its target, and no link on the way followed while the file system honours that.
std::uint32_t open_entry(FileOperations& files, FileHandle dir, std::u16string_view name,
                         std::uint32_t access, UniqueEntry& opened) {
    // Where the file system refuses OBJ_DONT_REPARSE, links are still opened as links.
    return files.with_dont_reparse([&](bool dont_reparse) {
        return files.open_at(dir, name, access, FinalLink::open_link, dont_reparse, opened.out());
    });
}

// An entry that another program deleted, or is deleting, in the meantime counts as deleted.
bool is_gone(std::uint32_t error) {
    return error == win32::file_not_found || error == win32::path_not_found || error == win32::bad_netpath ||
           error == win32::bad_net_name || error == win32::delete_pending;
}

std::uint32_t unless_gone(std::uint32_t error) { return is_gone(error) ? win32::success : error; }

struct Marked {
    std::uint32_t error;
    bool fell_back;
};

// Marks the open entry to be deleted when its handle is closed. POSIX semantics take the name
// away at once even while another program still has the entry open.
Marked mark_for_deletion(FileOperations& files, FileHandle entry) {
    const std::uint32_t error = files.mark_for_deletion(entry, Disposition::posix_ignoring_read_only);
    if (error != win32::invalid_function && error != win32::invalid_parameter &&
        error != win32::not_supported) {
        return {error, false};
    }
    // Older Windows and other file systems know only the plain disposition.
    return {files.mark_for_deletion(entry, Disposition::on_last_close), true};
}

// The plain disposition refuses a read-only entry. Clears the attribute and marks the entry
// again; the attribute is not put back if that fails too.
std::uint32_t clear_read_only_and_mark(FileOperations& files, FileHandle dir, std::u16string_view name,
                                       std::uint32_t refusal) {
    UniqueEntry entry(files);
    const std::uint32_t access = win32::delete_access | win32::read_attributes | win32::write_attributes;
    // Gone meanwhile counts as deleted, as at the first open; a sharing violation goes back to
    // the caller's retries.
    if (const std::uint32_t error = open_entry(files, dir, name, access, entry)) return unless_gone(error);
    std::uint32_t attributes = 0;
    std::uint32_t names = 0;
    // Attributes belong to the file, not the name: a second name may be a hard link someone
    // planted to a file anywhere on the volume, and clearing it would change that file.
    if (files.read_attributes(entry.get(), attributes) != win32::success ||
        (attributes & win32::attribute_read_only) == 0 ||
        files.count_names(entry.get(), names) != win32::success || names != 1) {
        return refusal;
    }
    std::uint32_t changed = attributes & ~win32::attribute_read_only;
    // Written as 0, the attributes would stay as they are.
    if (changed == 0) changed = win32::attribute_normal;
    if (const std::uint32_t error = files.set_attributes(entry.get(), changed)) return error;
    return mark_for_deletion(files, entry.get()).error;
}

// One name within the directory. NTFS never lists anything else, but a file-system filter
// may answer a listing with any name it likes, and a relative open walks through every
// component of one like "J\x", a junction J included.
bool is_one_name(std::u16string_view name) {
    return !name.empty() && name.find_first_of(std::u16string_view(u"\\/:\0", 4)) == name.npos;
}

}  // namespace

std::uint32_t delete_entry(FileOperations& files, FileHandle dir, std::u16string_view name) {
    UniqueEntry entry(files);
    if (const std::uint32_t error = open_entry(files, dir, name, win32::delete_access, entry)) {
        return unless_gone(error);
    }
    const Marked marked = mark_for_deletion(files, entry.get());
    if (marked.error == win32::access_denied && marked.fell_back) {
        entry.reset();
        return clear_read_only_and_mark(files, dir, name, marked.error);
    }
    return marked.error;  // the entry goes away as its handle closes here
}

std::uint32_t remove_dir_tree(FileOperations& files, const NativePath& dir) {
    // delete_entry, tried again while it fails with `transient_error`.
    const auto delete_with_retries = [&](FileHandle parent, std::u16string_view name, std::uint32_t transient_error) {
        return retry_while(
            transient_error, [&] { return delete_entry(files, parent, name); }, [&] { files.yield(); });
    };
    UniqueEntry root(files);
    if (const std::uint32_t error = files.open_path(dir, win32::list_directory | win32::read_attributes,
                                                    FinalLink::open_link, root.out())) {
        return error;
    }
    std::uint32_t attributes = 0;
    if (const std::uint32_t error = files.read_attributes(root.get(), attributes)) return error;
    if ((attributes & win32::attribute_directory) == 0) return win32::not_a_directory;

    // The directories being emptied, outermost first; the top one is listed.
    std::vector<UniqueEntry> open_dirs;
    open_dirs.push_back(std::move(root));
    bool restart = true;
    std::vector<ListedEntry> batch;
    while (!open_dirs.empty()) {
        const FileHandle current = open_dirs.back().get();
        const std::uint32_t listed = files.list(current, std::exchange(restart, false), batch);
        if (listed == win32::no_more_files) {
            if (const std::uint32_t error = delete_with_retries(current, u"", win32::dir_not_empty)) {
                return error;
            }
            open_dirs.pop_back();
            // The parent's listing position is stale once an entry has gone from under it.
            restart = true;
            continue;
        }
        if (listed != win32::success) return listed;
        for (const ListedEntry& entry : batch) {
            if (entry.name == u"." || entry.name == u"..") continue;
            if (!is_one_name(entry.name)) return win32::invalid_name;
            if ((entry.attributes & win32::attribute_directory) != 0) {
                // A link to a directory lists as one too; opened as the link it is empty.
                UniqueEntry subdir(files);
                const std::uint32_t error = open_entry(files, current, entry.name,
                                                       win32::synchronize | win32::list_directory, subdir);
                if (error == win32::success) {
                    open_dirs.push_back(std::move(subdir));
                    restart = true;
                    break;
                }
                if (!is_gone(error)) return error;
            } else if (const std::uint32_t error =
                           delete_with_retries(current, entry.name, win32::sharing_violation)) {
                return error;
            }
        }
    }
    return win32::success;
}

}  // namespace velbro
