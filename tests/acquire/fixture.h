// Folders, files and a file-holding child process for the work area's tests, all made with
// Windows calls. Never Unix symlinks: a removal test would delete their targets.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "acquire/work_paths.h"
#include "platform/unique_handle.h"

namespace velbro::test {

// A fresh, empty folder in the process's temporary directory; removed again at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const NativePath& path() const { return path_; }
    NativePath operator/(std::u16string_view name) const { return join_path(path_, name); }

private:
    NativePath path_;
};

// Each reports a failure to GoogleTest.
void make_dir(const NativePath& path);
void make_file(const NativePath& path, std::string_view contents = "x");
void set_attributes(const NativePath& path, DWORD attributes);

// INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD attributes_of(const NativePath& path);
bool exists(const NativePath& path);
bool is_dir(const NativePath& path);
std::string read_file(const NativePath& path);
// The names in a folder, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const NativePath& path);

// The process's temporary directory as Windows gives it.
NativePath temp_dir();

// Holds a file open from another process, shared for reading and writing but not for
// deleting, as a virus scanner might, until destroyed.
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
