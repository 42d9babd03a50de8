// A thin layer: each operation is one Windows call, with no decision of its own beyond
// turning the call's answer into a Win32 error.
#include "acquire/work_area/file_operations_win.h"

#include <sddl.h>
#include <winternl.h>

#include <array>
#include <cstddef>
#include <cstring>

namespace velbro {

static_assert(win32::invalid_function == ERROR_INVALID_FUNCTION &&
              win32::file_not_found == ERROR_FILE_NOT_FOUND &&
              win32::path_not_found == ERROR_PATH_NOT_FOUND && win32::access_denied == ERROR_ACCESS_DENIED &&
              win32::invalid_drive == ERROR_INVALID_DRIVE && win32::no_more_files == ERROR_NO_MORE_FILES &&
              win32::sharing_violation == ERROR_SHARING_VIOLATION &&
              win32::not_supported == ERROR_NOT_SUPPORTED && win32::bad_netpath == ERROR_BAD_NETPATH &&
              win32::bad_net_name == ERROR_BAD_NET_NAME && win32::file_exists == ERROR_FILE_EXISTS &&
              win32::invalid_parameter == ERROR_INVALID_PARAMETER &&
              win32::invalid_name == ERROR_INVALID_NAME && win32::dir_not_empty == ERROR_DIR_NOT_EMPTY &&
              win32::already_exists == ERROR_ALREADY_EXISTS && win32::not_a_directory == ERROR_DIRECTORY &&
              win32::delete_pending == ERROR_DELETE_PENDING);
static_assert(win32::list_directory == FILE_LIST_DIRECTORY &&
              win32::add_subdirectory == FILE_ADD_SUBDIRECTORY &&
              win32::read_attributes == FILE_READ_ATTRIBUTES &&
              win32::write_attributes == FILE_WRITE_ATTRIBUTES && win32::delete_access == DELETE &&
              win32::synchronize == SYNCHRONIZE);
static_assert(win32::attribute_read_only == FILE_ATTRIBUTE_READONLY &&
              win32::attribute_directory == FILE_ATTRIBUTE_DIRECTORY &&
              win32::attribute_normal == FILE_ATTRIBUTE_NORMAL &&
              win32::attribute_reparse_point == FILE_ATTRIBUTE_REPARSE_POINT);

namespace {

// ntstatus.h cannot be included beside windows.h without clashes, so the two statuses looked
// at are spelled out here.
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
using NtCreateFileFunction = decltype(&::NtCreateFile);
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
    NtCreateFileFunction create_file = ntdll_function<NtCreateFileFunction>("NtCreateFile");
    StatusToErrorFunction status_to_error = ntdll_function<StatusToErrorFunction>("RtlNtStatusToDosError");
};

const NtFunctions& nt() {
    static const NtFunctions functions;
    return functions;
}

HANDLE handle_of(FileHandle handle) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)); }

DWORD outcome(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : ::GetLastError(); }

// Appends the entries of one listing batch; false when the batch is malformed.
bool read_batch(const std::byte* batch, std::vector<ListedEntry>& entries) {
    constexpr std::size_t NAME_OFFSET = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    for (std::size_t offset = 0;;) {
        if (offset + NAME_OFFSET > LISTING_BUFFER_BYTES) return false;
        FILE_ID_BOTH_DIR_INFO header;
        std::memcpy(&header, batch + offset, NAME_OFFSET);
        if (offset + NAME_OFFSET + header.FileNameLength > LISTING_BUFFER_BYTES) return false;
        ListedEntry& entry = entries.emplace_back();
        entry.name.resize(header.FileNameLength / sizeof(char16_t));
        std::memcpy(entry.name.data(), batch + offset + NAME_OFFSET, entry.name.size() * sizeof(char16_t));
        entry.attributes = header.FileAttributes;
        if (header.NextEntryOffset == 0) return true;
        offset += header.NextEntryOffset;
    }
}

// One class of information about an open entry; `info` is zero when the query fails.
template <typename Info>
DWORD query(FileHandle entry, FILE_INFO_BY_HANDLE_CLASS what, Info& info) {
    info = Info{};
    return outcome(::GetFileInformationByHandleEx(handle_of(entry), what, &info, sizeof info));
}

// The object attributes naming `name` relative to the open directory `dir`.
struct RelativeName {
    NativePath owned_name;
    UNICODE_STRING object_name{};
    OBJECT_ATTRIBUTES attributes{};

    RelativeName(FileHandle dir, std::u16string_view name, bool dont_reparse, PSECURITY_DESCRIPTOR descriptor)
        : owned_name(name) {
        object_name.Length = static_cast<USHORT>(owned_name.size() * sizeof(char16_t));
        object_name.MaximumLength = object_name.Length;
        object_name.Buffer = wide_ptr(owned_name);
        attributes.Length = sizeof attributes;
        attributes.RootDirectory = handle_of(dir);
        attributes.ObjectName = &object_name;
        // Names compared as CreateFileW, and so curl and msiexec, compare them, also where
        // the system-wide setting makes the object manager case-sensitive: a name planted in
        // another case collides with ours instead of standing beside it.
        attributes.Attributes = OBJ_CASE_INSENSITIVE | (dont_reparse ? OBJ_DONT_REPARSE : 0);
        attributes.SecurityDescriptor = descriptor;
    }
    RelativeName(const RelativeName&) = delete;
    RelativeName& operator=(const RelativeName&) = delete;

    // The name's length is counted in bytes in 16 bits.
    bool fits() const { return owned_name.size() <= 0x7FFF; }
};

class WindowsFileOperations final : public FileOperations {
public:
    std::uint32_t open_path(const NativePath& path, std::uint32_t access, FinalLink link,
                            FileHandle& opened) override {
        const DWORD flags =
            FILE_FLAG_BACKUP_SEMANTICS | (link == FinalLink::open_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
        const HANDLE handle =
            ::CreateFileW(wide_ptr(path), access, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return ::GetLastError();
        opened = file_handle(handle);
        return ERROR_SUCCESS;
    }

    std::uint32_t open_at(FileHandle dir, std::u16string_view name, std::uint32_t access, FinalLink link,
                          bool dont_reparse, FileHandle& opened) override {
        const NtOpenFileFunction open_file = nt().open_file;
        RelativeName relative(dir, name, dont_reparse, nullptr);
        if (open_file == nullptr || !relative.fits()) return error_of_status(NAME_INVALID_STATUS);
        const ULONG options = (link == FinalLink::open_link ? FILE_OPEN_REPARSE_POINT : 0) |
                              ((access & SYNCHRONIZE) != 0 ? FILE_SYNCHRONOUS_IO_NONALERT : 0);
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        const NTSTATUS status = open_file(&handle, access, &relative.attributes, &io, SHARE_ALL, options);
        if (!NT_SUCCESS(status)) return error_of_status(status);
        opened = file_handle(handle);
        return ERROR_SUCCESS;
    }

    std::uint32_t read_attributes(FileHandle entry, std::uint32_t& attributes) override {
        FILE_BASIC_INFO basic;
        const DWORD error = query(entry, FileBasicInfo, basic);
        attributes = basic.FileAttributes;
        return error;
    }

    std::uint32_t set_attributes(FileHandle entry, std::uint32_t attributes) override {
        FILE_BASIC_INFO changed{};  // zero times: leave them as they are
        changed.FileAttributes = attributes;
        return outcome(
            ::SetFileInformationByHandle(handle_of(entry), FileBasicInfo, &changed, sizeof changed));
    }

    std::uint32_t count_names(FileHandle entry, std::uint32_t& names) override {
        FILE_STANDARD_INFO standard;
        const DWORD error = query(entry, FileStandardInfo, standard);
        names = standard.NumberOfLinks;
        return error;
    }

    std::uint32_t list(FileHandle dir, bool restart, std::vector<ListedEntry>& batch) override {
        batch.clear();
        const FILE_INFO_BY_HANDLE_CLASS listing =
            restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
        alignas(8) std::array<std::byte, LISTING_BUFFER_BYTES> buffer;
        if (!::GetFileInformationByHandleEx(handle_of(dir), listing, buffer.data(), LISTING_BUFFER_BYTES)) {
            return ::GetLastError();
        }
        return read_batch(buffer.data(), batch) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    }

    std::uint32_t mark_for_deletion(FileHandle entry, Disposition how) override {
        if (how == Disposition::posix_ignoring_read_only) {
            DispositionInfoEx info{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                                   DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
            return outcome(::SetFileInformationByHandle(handle_of(entry), DISPOSITION_INFO_EX_CLASS, &info,
                                                        sizeof info));
        }
        FILE_DISPOSITION_INFO info{TRUE};
        return outcome(
            ::SetFileInformationByHandle(handle_of(entry), FileDispositionInfo, &info, sizeof info));
    }

    std::uint32_t create_directory(const NativePath& path) override {
        return outcome(::CreateDirectoryW(wide_ptr(path), nullptr));
    }

    std::uint32_t create_private_dir_at(FileHandle dir, std::u16string_view name, bool dont_reparse,
                                        FileHandle& made) override {
        const NtCreateFileFunction create_file = nt().create_file;
        Result<UniqueLocal, SystemError> descriptor = build_work_dir_descriptor();
        if (!descriptor.ok()) return descriptor.error().code();
        RelativeName relative(dir, name, dont_reparse, descriptor.value().get());
        if (create_file == nullptr || !relative.fits()) return error_of_status(NAME_INVALID_STATUS);
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        const NTSTATUS status = create_file(
            &handle, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &relative.attributes, &io,
            nullptr, FILE_ATTRIBUTE_NORMAL, SHARE_ALL, FILE_CREATE,
            FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        // As CreateDirectoryW would report it: a pending deletion at the name is "access denied".
        if (status == DELETE_PENDING_STATUS) return ERROR_ACCESS_DENIED;
        if (!NT_SUCCESS(status)) return error_of_status(status);
        made = file_handle(handle);
        return ERROR_SUCCESS;
    }

    void close(FileHandle entry) override { ::CloseHandle(handle_of(entry)); }

    void yield() override { ::SwitchToThread(); }
};

}  // namespace

DWORD error_of_status(LONG status) {
    // RtlNtStatusToDosError calls a pending deletion "access denied"; it is told apart.
    if (status == DELETE_PENDING_STATUS) return ERROR_DELETE_PENDING;
    const StatusToErrorFunction status_to_error = nt().status_to_error;
    return status_to_error != nullptr ? status_to_error(status) : ERROR_PROC_NOT_FOUND;
}

Result<UniqueLocal, SystemError> build_work_dir_descriptor() {
    const NativePath sddl(WORK_DIR_SDDL);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide_ptr(sddl), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return SystemError::from_code(::GetLastError());
    }
    return UniqueLocal(descriptor);
}

FileOperations& windows_file_operations() {
    static WindowsFileOperations operations;
    return operations;
}

}  // namespace velbro
