// Removing a directory tree without ever following a link out of it: every entry is opened
// relative to its parent's open handle, as the entry itself, and a link is deleted as the
// link. Windows-free: the file operations are supplied by the caller.
#pragma once

#include <cstdint>
#include <string_view>

#include "acquire/work_area/file_operations.h"

namespace velbro {

// Deletes the directory `dir` with everything in it, depth first. Returns win32::success, or
// the error that ended the removal; whatever was not deleted by then stays. A `dir` that is
// not a directory is left alone (win32::not_a_directory); a link to a directory is deleted as
// the link.
std::uint32_t remove_dir_tree(FileOperations& files, const NativePath& dir);

// Deletes the entry `name` of the open directory `dir`, or `dir` itself when `name` is empty,
// as the link if it is one. An entry that is already gone counts as deleted.
std::uint32_t delete_entry(FileOperations& files, FileHandle dir, std::u16string_view name);

// How often the removal tries one entry that another program holds for a moment (a virus
// scanner reading the new package, say).
inline constexpr int ENTRY_ATTEMPTS = 50;

// Runs `attempt` until it returns something other than `transient_error`, at most
// ENTRY_ATTEMPTS times, calling `yield` between attempts. Returns the last result.
template <typename Attempt, typename Yield>
std::uint32_t retry_while(std::uint32_t transient_error, Attempt attempt, Yield yield) {
    for (int tries = 1;; ++tries) {
        const std::uint32_t result = attempt();
        if (result != transient_error || tries == ENTRY_ATTEMPTS) return result;
        yield();
    }
}

}  // namespace velbro
