// The handful of file operations that making the work directory and removing it are built
// on. The decisions of both are written against this interface and are Windows-free;
// the Windows side implements it over the file calls themselves (file_operations_win.h).
// The numbers are Windows' own, checked against its headers there; they are spelled in lower
// case because windows.h makes the upper-case names macros.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace velbro {

namespace win32 {
// Error codes.
inline constexpr std::uint32_t success = 0;
inline constexpr std::uint32_t invalid_function = 1;
inline constexpr std::uint32_t file_not_found = 2;
inline constexpr std::uint32_t path_not_found = 3;
inline constexpr std::uint32_t access_denied = 5;
inline constexpr std::uint32_t invalid_drive = 15;
inline constexpr std::uint32_t no_more_files = 18;
inline constexpr std::uint32_t sharing_violation = 32;
inline constexpr std::uint32_t not_supported = 50;
inline constexpr std::uint32_t bad_netpath = 53;
inline constexpr std::uint32_t bad_net_name = 67;
inline constexpr std::uint32_t file_exists = 80;
inline constexpr std::uint32_t invalid_parameter = 87;
inline constexpr std::uint32_t invalid_name = 123;
inline constexpr std::uint32_t dir_not_empty = 145;
inline constexpr std::uint32_t already_exists = 183;
inline constexpr std::uint32_t not_a_directory = 267;  // ERROR_DIRECTORY, "the directory name is invalid"
inline constexpr std::uint32_t delete_pending = 303;
inline constexpr std::uint32_t reparse_point_encountered = 4395;  // not in MinGW's headers

// Access rights.
inline constexpr std::uint32_t list_directory = 0x1;
inline constexpr std::uint32_t add_subdirectory = 0x4;
inline constexpr std::uint32_t read_attributes = 0x80;
inline constexpr std::uint32_t write_attributes = 0x100;
inline constexpr std::uint32_t delete_access = 0x10000;
inline constexpr std::uint32_t synchronize = 0x100000;

// File attributes.
inline constexpr std::uint32_t attribute_read_only = 0x1;
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_normal = 0x80;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;
}  // namespace win32

// An open file or directory; the zero value is none.
enum class FileHandle : std::uintptr_t {};

// Whether a link that is the last component of a name is opened itself or followed.
enum class FinalLink { open_link, follow };

// The two ways to mark an open entry for deletion.
enum class Disposition {
    // FileDispositionInfoEx: POSIX semantics, read-only ignored.
    posix_ignoring_read_only,
    // FileDispositionInfo: the entry goes when its last handle closes.
    on_last_close,
};

// One entry of a directory listing.
struct ListedEntry {
    std::u16string name;
    std::uint32_t attributes;
};

// Every operation returns win32::success or the Win32 error it failed with.
class FileOperations {
public:
    virtual ~FileOperations() = default;

    // Whether relative opens still ask the file system not to follow any link while it parses
    // the name (OBJ_DONT_REPARSE). Some file systems refuse that as an invalid parameter;
    // once one has, it stays off for the life of this object.
    bool dont_reparse = true;

    // Opens an existing file or directory by its path (CreateFileW with backup semantics),
    // shared for everything. A pending deletion answers access_denied.
    virtual std::uint32_t open_path(const NativePath& path, std::uint32_t access, FinalLink link,
                                    FileHandle& opened) = 0;
    // Opens `name` relative to the open directory `dir`, or `dir` itself when `name` is empty
    // (NtOpenFile), shared for everything, the name compared case-insensitively as CreateFileW
    // compares it. A pending deletion answers delete_pending.
    virtual std::uint32_t open_at(FileHandle dir, std::u16string_view name, std::uint32_t access,
                                  FinalLink link, bool dont_reparse, FileHandle& opened) = 0;
    // FileBasicInfo's attributes, read and written; 0 written leaves them as they are.
    virtual std::uint32_t read_attributes(FileHandle entry, std::uint32_t& attributes) = 0;
    virtual std::uint32_t set_attributes(FileHandle entry, std::uint32_t attributes) = 0;
    // FileStandardInfo's NumberOfLinks: how many names the file has.
    virtual std::uint32_t count_names(FileHandle entry, std::uint32_t& names) = 0;
    // The next batch of the directory's listing, or its first when `restart`; no_more_files
    // once it has given everything. "." and ".." are listed too.
    virtual std::uint32_t list(FileHandle dir, bool restart, std::vector<ListedEntry>& batch) = 0;
    virtual std::uint32_t mark_for_deletion(FileHandle entry, Disposition how) = 0;
    // Creates the directory `path` with no descriptor of its own, so that it inherits its
    // parent's (CreateDirectoryW).
    virtual std::uint32_t create_directory(const NativePath& path) = 0;
    // Creates the directory `name` in the open directory `dir` with the work directory's
    // descriptor (NtCreateFile, FILE_CREATE): a link at the name is never followed, it
    // collides as anything else there does (already_exists), a name in another case
    // included. `made` can list the directory and read its attributes. Errors are reported as
    // CreateDirectoryW reports them.
    virtual std::uint32_t create_private_dir_at(FileHandle dir, std::u16string_view name, bool dont_reparse,
                                                FileHandle& made) = 0;
    virtual void close(FileHandle entry) = 0;
    // Gives up the processor, between attempts at an entry another program holds.
    virtual void yield() = 0;

    // Makes `call(dont_reparse)` with OBJ_DONT_REPARSE while that is in force; when the file
    // system refuses the flag, switches it off for good and makes the call once more without.
    template <typename Call>
    std::uint32_t with_dont_reparse(Call call) {
        for (;;) {
            const std::uint32_t error = call(dont_reparse);
            if (error != win32::invalid_parameter || !dont_reparse) return error;
            dont_reparse = false;
        }
    }
};

// The one owner of an open entry: closed when it goes, on every road out.
class UniqueEntry {
public:
    explicit UniqueEntry(FileOperations& files) : files_(&files) {}
    UniqueEntry(UniqueEntry&& other) noexcept
        : files_(other.files_), handle_(std::exchange(other.handle_, FileHandle{})) {}
    UniqueEntry& operator=(UniqueEntry&&) = delete;
    UniqueEntry(const UniqueEntry&) = delete;
    ~UniqueEntry() { reset(); }

    FileHandle get() const { return handle_; }
    // Where an open puts the handle; whatever was held before is closed first.
    FileHandle& out() {
        reset();
        return handle_;
    }
    void reset() {
        if (handle_ != FileHandle{}) files_->close(std::exchange(handle_, FileHandle{}));
    }

private:
    FileOperations* files_;
    FileHandle handle_{};
};

}  // namespace velbro
