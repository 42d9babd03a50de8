// Another program holding a file open, for the work area's tests.
#pragma once

#include "platform/text.h"
#include "platform/unique_handle.h"

namespace velbro::test {

// Holds a file open from another process (velbro_hold_file.exe, beside the tests), shared for
// reading and writing but not for deleting, as a virus scanner might, until destroyed.
class HeldFile {
public:
    explicit HeldFile(const NativePath& path);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    UniqueHandle job_;
    UniqueHandle process_;
};

}  // namespace velbro::test
