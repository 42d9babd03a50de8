// Path composition for the work area; plain text work, no file system access.
#include "acquire/work_paths.h"

namespace velbro {

NativePath join_path(std::u16string_view base, std::u16string_view name) {
    NativePath path(base);
    const bool ends_in_separator = !base.empty() && (base.back() == u'\\' || base.back() == u'/');
    const bool bare_drive = base.size() == 2 && base[1] == u':' &&
                            ((base[0] >= u'A' && base[0] <= u'Z') || (base[0] >= u'a' && base[0] <= u'z'));
    if (!base.empty() && !ends_in_separator && !bare_drive) path.push_back(u'\\');
    path.append(name);
    return path;
}

}  // namespace velbro
