// The work directory's removal: an explicit stack of open directory handles instead of
// recursion, so depth is not limited by the thread's stack.
#include "acquire/remove_tree.h"

#include <winternl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "acquire/retry.h"
#include "platform/unique_handle.h"

namespace velbro {
namespace {

// ntstatus.h cannot be included beside windows.h without clashes, so the two statuses the
// removal looks at are spelled out here.
constexpr NTSTATUS DELETE_PENDING_STATUS = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS NAME_INVALID_STATUS = static_cast<NTSTATUS>(0xC0000033);

// MinGW hides FileDispositionInfoEx (class 21) behind a _WIN32_WINNT value it never sets, and
// gives 21 to another name, so the class, its structure and flags are declared here.
constexpr auto DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionInfoEx {
    DWORD flags;
};
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY_ATTRIBUTE = 0x10;

constexpr DWORD LISTING_BUFFER_BYTES = 1024;
constexpr ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

using NtOpenFileFunction = decltype(&::NtOpenFile);
using StatusToErrorFunction = decltype(&::RtlNtStatusToDosError);

template <typename Function>
Function ntdll_function(const char* name) {
    // Not owned: ntdll is loaded in every process for its whole life.
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    // Through void(*)(): GCC accepts that as a cast between unrelated function types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, name)));
}

// Looked up rather than imported: they are in every ntdll, and the build then needs no
// import library for it.
struct NtFunctions {
    NtOpenFileFunction open_file = ntdll_function<NtOpenFileFunction>("NtOpenFile");
    StatusToErrorFunction status_to_error =
        ntdll_function<StatusToErrorFunction>("RtlNtStatusToDosError");
};

const NtFunctions& nt() {
    static const NtFunctions functions;
    return functions;
}

DWORD error_of(NTSTATUS status) {
    const StatusToErrorFunction status_to_error = nt().status_to_error;
    return status_to_error != nullptr ? status_to_error(status) : ERROR_PROC_NOT_FOUND;
}

// Some file systems refuse OBJ_DONT_REPARSE as an invalid parameter; once one has, the
// removal goes on without it for the rest of the process. It never comes back on.
bool g_dont_reparse = true;

// Opens `name` relative to the open directory `dir` (`dir` itself for an empty name). A
// final link is opened as the link, never its target.
NTSTATUS open_relative(HANDLE dir, std::u16string_view name, ACCESS_MASK access, ULONG options,
                       UniqueHandle& opened) {
    const NtOpenFileFunction open_file = nt().open_file;
    if (open_file == nullptr) return NAME_INVALID_STATUS;
    // The name's length is counted in bytes in 16 bits.
    if (name.size() > 0x7FFF) return NAME_INVALID_STATUS;
    NativePath owned_name(name);
    UNICODE_STRING object_name;
    object_name.Length = static_cast<USHORT>(owned_name.size() * sizeof(char16_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = wide_ptr(owned_name);
    for (;;) {
        OBJECT_ATTRIBUTES attributes{};
        attributes.Length = sizeof attributes;
        attributes.RootDirectory = dir;
        attributes.ObjectName = &object_name;
        attributes.Attributes = g_dont_reparse ? OBJ_DONT_REPARSE : 0;
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        const NTSTATUS status = open_file(&handle, access, &attributes, &io, SHARE_ALL,
                                          options | FILE_OPEN_REPARSE_POINT);
        if (NT_SUCCESS(status)) {
            opened.reset(handle);
            return status;
        }
        if (!g_dont_reparse || error_of(status) != ERROR_INVALID_PARAMETER) return status;
        g_dont_reparse = false;
    }
}

bool is_gone(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_DELETE_PENDING;
}

// ERROR_SUCCESS for an entry that is gone already, else the open's error.
DWORD open_failure(NTSTATUS status) {
    if (status == DELETE_PENDING_STATUS) return ERROR_SUCCESS;
    const DWORD error = error_of(status);
    return is_gone(error) ? ERROR_SUCCESS : error;
}

DWORD set_information(HANDLE entry, FILE_INFO_BY_HANDLE_CLASS type, void* info, DWORD size) {
    return ::SetFileInformationByHandle(entry, type, info, size) ? ERROR_SUCCESS : ::GetLastError();
}

// Marks the open entry to be deleted when its handle is closed. POSIX semantics take the name
// away at once even while another program still has the entry open.
DWORD mark_for_deletion(HANDLE entry, bool& fell_back) {
    DispositionInfoEx info_ex{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                              DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
    const DWORD error = set_information(entry, DISPOSITION_INFO_EX_CLASS, &info_ex, sizeof info_ex);
    fell_back = error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER ||
                error == ERROR_NOT_SUPPORTED;
    if (!fell_back) return error;
    // Older Windows and other file systems know only the plain disposition.
    FILE_DISPOSITION_INFO info{TRUE};
    return set_information(entry, FileDispositionInfo, &info, sizeof info);
}

// The plain disposition refuses a read-only entry. Clears the attribute and marks the entry
// again; the attribute is not put back if that fails too.
DWORD clear_read_only_and_mark(HANDLE dir, std::u16string_view name, DWORD refusal) {
    UniqueHandle entry;
    if (!NT_SUCCESS(open_relative(dir, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  0, entry))) {
        return refusal;
    }
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return refusal;
    }
    FILE_BASIC_INFO changed{};  // zero times: leave them as they are
    changed.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (changed.FileAttributes == 0) changed.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (const DWORD error = set_information(entry.get(), FileBasicInfo, &changed, sizeof changed)) {
        return error;
    }
    bool fell_back;
    return mark_for_deletion(entry.get(), fell_back);
}

DWORD delete_with_retries(HANDLE dir, std::u16string_view name, DWORD transient_error) {
    return retry_while(
        transient_error, [&] { return delete_entry(dir, name); }, [] { ::SwitchToThread(); });
}

// One entry of a listing batch.
struct ListedEntry {
    std::u16string name;
    DWORD attributes;
    DWORD next_offset;
};

bool read_entry(const std::byte* batch, std::size_t offset, ListedEntry& entry) {
    constexpr std::size_t NAME_OFFSET = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    if (offset + NAME_OFFSET > LISTING_BUFFER_BYTES) return false;
    FILE_ID_BOTH_DIR_INFO header;
    std::memcpy(&header, batch + offset, NAME_OFFSET);
    if (offset + NAME_OFFSET + header.FileNameLength > LISTING_BUFFER_BYTES) return false;
    entry.name.resize(header.FileNameLength / sizeof(char16_t));
    std::memcpy(entry.name.data(), batch + offset + NAME_OFFSET, entry.name.size() * sizeof(char16_t));
    entry.attributes = header.FileAttributes;
    entry.next_offset = header.NextEntryOffset;
    return true;
}

}  // namespace

DWORD delete_entry(HANDLE dir, std::u16string_view name) {
    UniqueHandle entry;
    const NTSTATUS status = open_relative(dir, name, DELETE, 0, entry);
    if (!NT_SUCCESS(status)) return open_failure(status);
    bool fell_back;
    const DWORD error = mark_for_deletion(entry.get(), fell_back);
    if (error == ERROR_ACCESS_DENIED && fell_back) {
        entry.reset();
        return clear_read_only_and_mark(dir, name, error);
    }
    return error;  // the entry goes away as its handle closes here
}

DWORD remove_dir_tree(const NativePath& dir) {
    UniqueHandle root(::CreateFileW(wide_ptr(dir), FILE_LIST_DIRECTORY, SHARE_ALL, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!root) return ::GetLastError();
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(root.get(), FileBasicInfo, &basic, sizeof basic)) {
        return ::GetLastError();
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;

    // The directories being emptied, outermost first; the top one is listed.
    std::vector<UniqueHandle> open_dirs;
    open_dirs.push_back(std::move(root));
    bool restart = true;
    alignas(8) std::array<std::byte, LISTING_BUFFER_BYTES> batch;
    while (!open_dirs.empty()) {
        const HANDLE current = open_dirs.back().get();
        const FILE_INFO_BY_HANDLE_CLASS listing =
            restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
        restart = false;
        if (!::GetFileInformationByHandleEx(current, listing, batch.data(), LISTING_BUFFER_BYTES)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_FILES) return error;
            if (const DWORD failed = delete_with_retries(current, u"", ERROR_DIR_NOT_EMPTY)) {
                return failed;
            }
            open_dirs.pop_back();
            // The parent's listing position is stale once an entry has gone from under it.
            restart = true;
            continue;
        }
        ListedEntry entry;
        for (std::size_t offset = 0;; offset += entry.next_offset) {
            if (!read_entry(batch.data(), offset, entry)) return ERROR_INVALID_DATA;
            if (entry.name != u"." && entry.name != u"..") {
                if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    UniqueHandle subdir;
                    const NTSTATUS status =
                        open_relative(current, entry.name, SYNCHRONIZE | FILE_LIST_DIRECTORY,
                                      FILE_SYNCHRONOUS_IO_NONALERT, subdir);
                    if (NT_SUCCESS(status)) {
                        open_dirs.push_back(std::move(subdir));
                        restart = true;
                        break;
                    }
                    if (const DWORD error = open_failure(status)) return error;
                } else if (const DWORD error =
                               delete_with_retries(current, entry.name, ERROR_SHARING_VIOLATION)) {
                    return error;
                }
            }
            if (entry.next_offset == 0) break;
        }
    }
    return ERROR_SUCCESS;
}

void remove_work_dir(const NativePath& work_dir) { remove_dir_tree(work_dir); }

}  // namespace velbro
