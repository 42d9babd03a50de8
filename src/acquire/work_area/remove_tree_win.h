// Removing a directory tree without ever following a link out of it, with Windows' own file
// calls (the decisions are in tree_removal.h).
#pragma once

#include <windows.h>

#include <string_view>

#include "platform/text.h"

namespace velbro {

// Deletes the directory `dir` with everything in it, depth first. Returns ERROR_SUCCESS, or
// the error that ended the removal; whatever was not deleted by then stays. A `dir` that is
// not a directory is left alone (ERROR_DIRECTORY); a link to a directory is deleted as the
// link.
DWORD remove_dir_tree(const NativePath& dir);

// Deletes the entry `name` of the open directory `dir`, or `dir` itself when `name` is empty,
// without following it if it is a link. An entry that is already gone counts as deleted.
DWORD delete_entry(HANDLE dir, std::u16string_view name);

// The run's clean-up: remove_dir_tree, its failure dropped. The caller has closed every
// handle it held on files inside.
void remove_work_dir(const NativePath& work_dir);

}  // namespace velbro
