// The removal's Windows entry points: the decisions (tree_removal.cpp) over Windows' own file
// calls.
#include "acquire/work_area/remove_tree_win.h"

#include "acquire/work_area/tree_removal.h"
#include "acquire/work_area/file_operations_win.h"

namespace velbro {

DWORD remove_dir_tree(const NativePath& dir) { return remove_dir_tree(windows_file_operations(), dir); }

DWORD delete_entry(HANDLE dir, std::u16string_view name) {
    return delete_entry(windows_file_operations(), file_handle(dir), name);
}

void remove_work_dir(const NativePath& work_dir) { remove_dir_tree(work_dir); }

}  // namespace velbro
