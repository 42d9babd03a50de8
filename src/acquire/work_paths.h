// The paths of one run and the one way they are composed. Windows-free.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

namespace velbro {

struct WorkPaths {
    NativePath system32_dir;
    NativePath work_dir;
    NativePath package_path;
    NativePath log_path;
};

// base + "\" + name; no separator after an empty base, a base ending in "\" or "/", or a
// bare drive designator such as "C:".
NativePath join_path(std::u16string_view base, std::u16string_view name);

}  // namespace velbro
