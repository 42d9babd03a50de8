// The checks an IT person runs in a disposable Windows VM before a release: what the other
// tests cannot show because they run under Wine, and the Windows test programs that install
// nothing. One line per check, then the counts. Exit code 1 when any check failed, 2 when none
// failed but one could not be made here: a release is gated on 0 alone.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "acquire/download/download_command.h"
#include "acquire/publisher/publisher_decision.h"
#include "acquire/publisher/publisher_win.h"
#include "acquire/work_area/file_operations_win.h"
#include "acquire/work_area/tree_removal.h"
#include "acquire/work_area/work_area_paths.h"
#include "acquire/work_area/work_area_win.h"
#include "platform/child_process_win.h"
#include "platform/unique_handle_win.h"
#include "settings/settings.h"
#include "test_support_win.h"
#include "ui/progress_console_win.h"

using namespace velbro;
using test_support::beside_this_program;
using test_support::read_all;
using test_support::read_file;

namespace {

enum Verdict { PASSED, FAILED, SKIPPED, INCOMPLETE };

struct Outcome {
    Verdict verdict = PASSED;
    std::string reason;
};

Outcome failed(std::string reason) { return {FAILED, std::move(reason)}; }
Outcome failed(const char* what, DWORD error) {
    return failed(std::string(what) + " (error " + std::to_string(error) + ")");
}

// What the checks need of the machine, found once before they run. The kit's test switches
// Wine detection off to follow the roads a check takes on Windows.
struct Machine {
    bool wine = false;
    bool elevated = false;
    bool symlink_privilege = false;
    NativePath scratch;         // the kit's private folder, once made
    std::string scratch_fault;  // why it cannot serve the checks; empty when it can
} machine;

enum Needs { SCRATCH = 1, SYMLINKS = 2, TEMP_PATH2 = 4 };

// Under Wine a check says why Wine cannot show it. On Windows a missing precondition makes it
// incomplete, which the run cannot pass with.
std::optional<Outcome> unless_windows(const char* wine_reason, int needs) {
    if (machine.wine) return Outcome{SKIPPED, wine_reason};
    if ((needs & SYMLINKS) && !machine.symlink_privilege) {
        return Outcome{INCOMPLETE, "no privilege to create symbolic links, even after enabling it"};
    }
    if ((needs & TEMP_PATH2) && !::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")) {
        return Outcome{INCOMPLETE, "this Windows has no GetTempPath2W"};
    }
    if ((needs & SCRATCH) && !machine.scratch_fault.empty()) return Outcome{INCOMPLETE, machine.scratch_fault};
    return std::nullopt;
}

// Whether this process is elevated, and whether it holds the symbolic-link privilege, which an
// elevated administrator has but may have to switch on.
void read_token() {
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token);
    const UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    machine.elevated = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                       elevation.TokenIsElevated;
    TOKEN_PRIVILEGES enable{1, {{{}, SE_PRIVILEGE_ENABLED}}};
    machine.symlink_privilege =
        ::LookupPrivilegeValueW(nullptr, SE_CREATE_SYMBOLIC_LINK_NAME, &enable.Privileges[0].Luid) &&
        ::AdjustTokenPrivileges(token, FALSE, &enable, 0, nullptr, nullptr) && ::GetLastError() == ERROR_SUCCESS;
}

// A folder of the kit's own for canaries and scratch folders: under %SystemRoot%\Temp, so that a
// kit started from a share works, and private as the work directory is. The link and removal
// checks need it on a local fixed volume with POSIX deletion. Returns why it cannot serve.
std::string make_scratch_area() {
    const DWORD FILE_SUPPORTS_POSIX_UNLINK_RENAME = 0x400;  // MinGW's winnt.h lacks it
    NativePath path(MAX_PATH + 1, u'\0');
    path.resize(::GetSystemWindowsDirectoryW(wide_ptr(path), MAX_PATH + 1));
    path += u"\\Temp\\velbro-checks-" + to_wide(std::to_string(::GetCurrentProcessId()));
    const Result<UniqueLocal, SystemError> descriptor = build_work_dir_descriptor();
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.ok() ? descriptor.value().get() : nullptr, FALSE};
    if (!descriptor.ok() || !::CreateDirectoryW(wide_ptr(path), &security)) {
        return failed("the kit's scratch folder cannot be made", ::GetLastError()).reason;
    }
    machine.scratch = path;
    const UniqueHandle dir(::CreateFileW(wide_ptr(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t root[MAX_PATH + 1];
    DWORD flags = 0;
    if (!dir || !::GetVolumeInformationByHandleW(dir.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
        !::GetVolumePathNameW(wide_ptr(path), root, MAX_PATH + 1) || ::GetDriveTypeW(root) != DRIVE_FIXED ||
        (flags & FILE_SUPPORTS_POSIX_UNLINK_RENAME) == 0) {
        return "the kit's scratch folder is not on a local fixed volume that supports POSIX deletion";
    }
    return "";
}

// A new name in the kit's scratch folder, which goes with everything in it at the end.
NativePath scratch(const char* name) {
    static int serial = 0;
    return machine.scratch + u"\\" + to_wide(name + std::to_string(++serial));
}

// A folder or link that was made, removed on every road out (a link as the link). It is armed
// with the path only after the creation succeeded: what stood there before is not ours.
struct Made {
    NativePath path;
    ~Made() {
        if (!path.empty()) remove_dir_tree(windows_file_operations(), path);
    }
};

// Creates `path` holding `text`, kept open in `file`; false with the error as the last error.
bool create_file(UniqueHandle& file, const NativePath& path, std::string_view text,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    file.reset(::CreateFileW(wide_ptr(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, attributes, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The descriptor's `parts` as SDDL text; empty when it cannot be shown.
std::string sddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
        return "";
    }
    const UniqueLocal owned(text);
    return to_utf8(reinterpret_cast<const char16_t*>(text));
}

// Acts with `token` on this thread until it goes; without a token, or refused it, `acting` is false.
struct ActingAs {
    UniqueHandle token;
    bool acting = token && ::SetThreadToken(nullptr, token.get());
    ~ActingAs() { ::RevertToSelf(); }
};

// This administrator's token, making the user's own account the owner of what it creates, as
// the policy "Default owner for objects created by members of the Administrators group: Object
// creator" does. As a standard user, also with the Administrators group made deny-only and
// every privilege dropped: it can then do at most what the same person's unelevated session
// can, so what it is refused a standard user is refused, and what it plants one can plant.
// Empty when Windows refuses.
UniqueHandle user_token(bool as_standard_user) {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    SID_AND_ATTRIBUTES deny_only{admins, 0};
    HANDLE own = nullptr, restricted = nullptr, copy = nullptr;
    const bool made =
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own) &&
        ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
        ::GetTokenInformation(own, TokenUser, user, sizeof user, &size) &&
        (!as_standard_user || ::CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &deny_only, 0,
                                                      nullptr, 0, nullptr, &restricted)) &&
        ::DuplicateTokenEx(restricted ? restricted : own, TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT,
                           nullptr, SecurityImpersonation, TokenImpersonation, &copy);
    const UniqueHandle owned[] = {UniqueHandle(own), UniqueHandle(restricted)};
    UniqueHandle token(copy);
    TOKEN_OWNER owner{reinterpret_cast<TOKEN_USER*>(user)->User.Sid};
    return made && ::SetTokenInformation(token.get(), TokenOwner, &owner, sizeof owner) ? std::move(token)
                                                                                         : UniqueHandle();
}

// A plain directory (not a link), owned by Administrators or SYSTEM, its DACL protected with
// exactly full control for SYSTEM and Administrators inherited by files and folders, and a
// standard user refused when it really tries. Empty when all holds.
std::string protection_fault(const NativePath& dir) {
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const UniqueHandle folder(::CreateFileW(wide_ptr(dir), READ_CONTROL | FILE_READ_ATTRIBUTES, all, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder || !::GetFileInformationByHandle(folder.get(), &info)) {
        return failed("cannot open it", ::GetLastError()).reason;
    }
    const DWORD kind = info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind != FILE_ATTRIBUTE_DIRECTORY) return "it is not a plain directory";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const DWORD read = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr,
                                         &descriptor);
    const UniqueLocal owned_descriptor(descriptor);
    if (read != ERROR_SUCCESS) return failed("cannot read its security", read).reason;
    const std::string shown = sddl(descriptor, parts);
    if (shown.empty()) return failed("cannot show its security", ::GetLastError()).reason;
    const std::string owner = shown.substr(0, shown.find("D:"));
    // An owner may always rewrite the DACL, whatever it says; the work directory names its own.
    if (owner != "O:BA") return "its owner is " + owner;
    // Windows may mark the DACL as set up for automatic inheritance (AI); that grants nothing.
    std::string dacl = shown.substr(owner.size());
    if (dacl.starts_with("D:PAI(")) dacl.erase(3, 2);
    if (dacl != "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") return "its DACL is " + shown.substr(owner.size());

    UniqueHandle inside;
    if (!create_file(inside, dir + u"\\inside.txt", "x")) {
        return failed("cannot make a file in it", ::GetLastError()).reason;
    }
    inside.reset();
    // What is made inside, the package among it, gets exactly these two entries, inherited.
    PSECURITY_DESCRIPTOR file_descriptor = nullptr;
    const DWORD file_read = ::GetNamedSecurityInfoW(wide_ptr(dir + u"\\inside.txt"), SE_FILE_OBJECT,
                                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                                                    &file_descriptor);
    const UniqueLocal owned_file_descriptor(file_descriptor);
    std::string inherited = file_read == ERROR_SUCCESS ? sddl(file_descriptor, DACL_SECURITY_INFORMATION) : "";
    if (inherited.empty()) {
        return failed("cannot read the security of a file made in it", file_read ? file_read : ::GetLastError()).reason;
    }
    if (inherited.starts_with("D:AI(")) inherited.erase(2, 2);
    if (inherited != "D:(A;ID;FA;;;SY)(A;ID;FA;;;BA)") return "a file made in it has the DACL " + inherited;
    const ActingAs as_standard_user{user_token(true)};
    if (!as_standard_user.acting) return failed("cannot act as a standard user", ::GetLastError()).reason;
    const auto error_of = [](bool done) { return done ? DWORD{ERROR_SUCCESS} : ::GetLastError(); };
    const auto opens = [&](const NativePath& path, DWORD access, DWORD disposition) {
        return bool(UniqueHandle(::CreateFileW(wide_ptr(path), access, all, nullptr, disposition,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    };
    const std::pair<const char*, DWORD> attempts[] = {
        {"list it", error_of(opens(dir, FILE_LIST_DIRECTORY, OPEN_EXISTING))},
        {"add a file", error_of(opens(dir + u"\\added.txt", GENERIC_WRITE, CREATE_NEW))},
        {"delete a file in it", error_of(::DeleteFileW(wide_ptr(dir + u"\\inside.txt")))},
        {"change its DACL", error_of(::SetFileSecurityW(wide_ptr(dir), DACL_SECURITY_INFORMATION, descriptor))},
    };
    for (const auto& [what, error] : attempts) {
        if (error == ERROR_SUCCESS) return std::string("a standard user could ") + what;
        if (error != ERROR_ACCESS_DENIED) return failed((std::string("trying to ") + what).c_str(), error).reason;
    }
    return "";
}

// Made where policy would make the administrator's own account the owner: only the owner the
// descriptor names makes Administrators the owner then.
Outcome work_dir_protection() {
    if (auto skip = unless_windows("Wine does not keep a folder's security descriptor", 0)) return *skip;
    std::optional<Result<WorkPaths>> area;
    if (const ActingAs as_creator{user_token(false)}; as_creator.acting) area = prepare_work_area();
    if (!area) return failed("cannot act with the user as the default owner");
    if (!area->ok()) return failed("prepare_work_area: " + area->error().message);
    const Made work{area->value().work_dir};
    const std::string fault = protection_fault(work.path);
    return {fault.empty() ? PASSED : FAILED, fault};
}

enum class Link { junction, dir_symlink, file_symlink };

// A junction is a directory carrying a mount point: a header (tag, length, the names' offsets
// and sizes), then the target as an NT path and as the name shown, each ending in NUL.
DWORD make_link(Link kind, const NativePath& link, const NativePath& target) {
    if (kind != Link::junction) {
        const DWORD flags = kind == Link::dir_symlink ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        const bool made = ::CreateSymbolicLinkW(wide_ptr(link), wide_ptr(target), flags);
        return made ? ERROR_SUCCESS : ::GetLastError();
    }
    if (!::CreateDirectoryW(wide_ptr(link), nullptr)) return ::GetLastError();
    const UniqueHandle dir(::CreateFileW(wide_ptr(link), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const NativePath nt_name = u"\\??\\" + target;
    const NativePath names = nt_name + u'\0' + target + u'\0';
    const auto bytes = [](std::size_t units) { return static_cast<WORD>(units * sizeof(char16_t)); };
    const WORD header[] = {LOWORD(IO_REPARSE_TAG_MOUNT_POINT), HIWORD(IO_REPARSE_TAG_MOUNT_POINT),
                           static_cast<WORD>(8 + bytes(names.size())), 0, 0, bytes(nt_name.size()),
                           bytes(nt_name.size() + 1), bytes(target.size())};
    std::vector<BYTE> data(sizeof header + bytes(names.size()));
    std::memcpy(data.data(), header, sizeof header);
    std::memcpy(data.data() + sizeof header, names.data(), bytes(names.size()));
    DWORD returned = 0;
    const bool set = dir && ::DeviceIoControl(dir.get(), FSCTL_SET_REPARSE_POINT, data.data(), data.size(),
                                              nullptr, 0, &returned, nullptr);
    return set ? ERROR_SUCCESS : ::GetLastError();
}

// A folder outside the work directory holding canary.txt, which no check may change; false
// with the error as the last error when it cannot be made.
bool make_canary(const NativePath& canary) {
    UniqueHandle file;
    return ::CreateDirectoryW(wide_ptr(canary), nullptr) && create_file(file, canary + u"\\canary.txt", "canary");
}

// Empty when the work area's preparation refused, with error 183, to work where something
// already stood at the work directory's name; what is wrong otherwise.
std::string refusal_fault(const Result<WorkPaths>& area, const NativePath& work_dir) {
    if (area.ok()) return "prepare_work_area took over what stood at the name";
    const std::string& message = area.error().message;
    return test_support::is_system_error_text(message, "kan ikke oprette " + to_utf8(work_dir) + ": ", 183)
               ? ""
               : "prepare_work_area: " + message;
}

// A link to a canary outside the work directory, inside it or standing at its name: the
// removal takes a link inside away and leaves the canary be; the work area's preparation
// refuses a link at the name and leaves it as it stands. A dangling link at the name leads to
// a folder that must not come to exist: made there, the work directory would be a link its
// planter can point elsewhere.
template <Link kind, bool at_work_dir_name, bool dangling = false>
Outcome link_check() {
    if (auto skip = unless_windows("Wine cannot make links", kind == Link::junction ? SCRATCH : SCRATCH | SYMLINKS)) {
        return *skip;
    }
    const NativePath canary = scratch("canary-"), canary_file = canary + u"\\canary.txt";
    if (!make_canary(canary)) return failed("cannot make the canary", ::GetLastError());
    const Result<WorkPaths> area = prepare_work_area();
    if (!area.ok()) return failed("prepare_work_area: " + area.error().message);
    const Made work{area.value().work_dir};
    const NativePath link = at_work_dir_name ? work.path : work.path + u"\\link";
    const DWORD room = at_work_dir_name ? remove_dir_tree(windows_file_operations(), work.path) : ERROR_SUCCESS;
    if (room != ERROR_SUCCESS) return failed("cannot make room for the link", room);
    const NativePath missing = canary + u"\\missing";
    const DWORD error = make_link(kind, link, dangling ? missing : kind == Link::file_symlink ? canary_file : canary);
    if (error != ERROR_SUCCESS) return failed("cannot make the link", error);
    // A link, leading where it was made to lead.
    const auto leads_to_canary = [&] {
        return (::GetFileAttributesW(wide_ptr(link)) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
               (dangling ? ::GetFileAttributesW(wide_ptr(missing)) == INVALID_FILE_ATTRIBUTES
                         : read_file(kind == Link::file_symlink ? link : link + u"\\canary.txt") == "canary");
    };
    if (!leads_to_canary()) return failed("the link was made but does not lead where it should");
    if (at_work_dir_name) {
        const std::string fault = refusal_fault(prepare_work_area(), work.path);
        if (!fault.empty()) return failed(fault);
        if (!leads_to_canary()) return failed("the link at the name was changed");
    }
    const DWORD removal = remove_dir_tree(windows_file_operations(), work.path);
    if (removal) return failed("the removal failed", removal);
    if (::GetFileAttributesW(wide_ptr(work.path)) != INVALID_FILE_ATTRIBUTES) {
        return failed("the work directory is still there");
    }
    if (read_file(canary_file) != "canary") return failed("the canary's contents were touched");
    return {};
}

// What a standard user can leave at the work directory's name: a folder of their own holding a
// file under an oplock they never acknowledge and, beside the file, a junction out to a
// canary. The preparation must refuse at once and leave all of it as it stands.
Outcome held_plant_at_name() {
    if (auto skip = unless_windows("Wine cannot make links", SCRATCH)) return *skip;
    const NativePath canary = scratch("canary-");
    if (!make_canary(canary)) return failed("cannot make the canary", ::GetLastError());
    const Result<WorkPaths> area = prepare_work_area();
    if (!area.ok()) return failed("prepare_work_area: " + area.error().message);
    const Made work{area.value().work_dir};
    if (const DWORD room = remove_dir_tree(windows_file_operations(), work.path)) {
        return failed("cannot make room for the plant", room);
    }
    const NativePath held_file = work.path + u"\\held.txt", junction = work.path + u"\\out";
    // A batch oplock: an open that breaks it (one asking for DELETE, say) waits until its
    // holder acknowledges, which this one never does. The request ends as the file closes,
    // before the plant's removal and while the request's structure, made first, still lives.
    OVERLAPPED oplock{};
    const UniqueHandle broken(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    oplock.hEvent = broken.get();
    UniqueHandle file;
    const auto hold_oplock = [&] {
        file.reset(::CreateFileW(wide_ptr(held_file), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_NEW, FILE_FLAG_OVERLAPPED, nullptr));
        return file && !::DeviceIoControl(file.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, nullptr,
                                          &oplock) && ::GetLastError() == ERROR_IO_PENDING;
    };
    {
        const ActingAs planter{user_token(true)};
        if (!planter.acting || !::CreateDirectoryW(wide_ptr(work.path), nullptr) ||
            make_link(Link::junction, junction, canary) != ERROR_SUCCESS || !hold_oplock()) {
            return failed("cannot plant as a standard user", ::GetLastError());
        }
    }
    std::optional<Result<WorkPaths>> refused;
    test_support::within_deadline("prepare_work_area beside a held oplock", [&] { refused = prepare_work_area(); },
                                  10000);
    if (const std::string fault = refusal_fault(*refused, work.path); !fault.empty()) return failed(fault);
    if (::WaitForSingleObject(broken.get(), 0) != WAIT_TIMEOUT) return failed("the planted file's oplock was broken");
    if (::GetFileAttributesW(wide_ptr(held_file)) == INVALID_FILE_ATTRIBUTES ||
        (::GetFileAttributesW(wide_ptr(junction)) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        read_file(canary + u"\\canary.txt") != "canary") {
        return failed("the plant was changed");
    }
    return {};
}

// The folder goes while both files are still open: only the POSIX disposition, which also
// ignores the read-only attribute, takes names away before their last handle closes.
Outcome open_and_read_only_files() {
    if (auto skip = unless_windows("Wine refuses FileDispositionInfoEx", SCRATCH)) return *skip;
    const NativePath dir = scratch("removal-check-");
    UniqueHandle open_file, read_only_file;
    if (!::CreateDirectoryW(wide_ptr(dir), nullptr) || !create_file(open_file, dir + u"\\open.txt", "x") ||
        !create_file(read_only_file, dir + u"\\read-only.txt", "x", FILE_ATTRIBUTE_READONLY)) {
        return failed("cannot make the files", ::GetLastError());
    }
    {
        // The removal counts on the POSIX disposition refusing a folder that is not empty at once.
        const UniqueHandle folder(::CreateFileW(wide_ptr(dir), DELETE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        DWORD delete_posix = 0x1 | 0x2;  // FileDispositionInfoEx (21): delete, POSIX semantics
        const bool marked = ::SetFileInformationByHandle(
            folder.get(), static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &delete_posix, sizeof delete_posix);
        const DWORD error = marked ? ERROR_SUCCESS : ::GetLastError();
        if (error != ERROR_DIR_NOT_EMPTY) {
            return failed("FileDispositionInfoEx on a folder that is not empty did not answer 145", error);
        }
    }
    if (const DWORD error = remove_dir_tree(windows_file_operations(), dir)) return failed("the removal failed", error);
    if (::GetFileAttributesW(wide_ptr(dir)) != INVALID_FILE_ATTRIBUTES) {
        return failed("the folder is still there while the files are open");
    }
    return {};
}

// The Windows file operations with FileDispositionInfoEx refused, as on Windows 10 before 1709,
// FAT32 and many shares: the removal's fallback road, on NTFS.
class WithoutDispositionEx final : public FileOperations {
public:
    std::uint32_t open_path(const NativePath& path, std::uint32_t access, FinalLink link, FileHandle& opened) override {
        return real().open_path(path, access, link, opened);
    }
    std::uint32_t open_at(FileHandle dir, std::u16string_view name, std::uint32_t access, FinalLink link,
                          bool dont_reparse, FileHandle& opened) override {
        return real().open_at(dir, name, access, link, dont_reparse, opened);
    }
    std::uint32_t read_attributes(FileHandle entry, std::uint32_t& attributes) override {
        return real().read_attributes(entry, attributes);
    }
    std::uint32_t set_attributes(FileHandle entry, std::uint32_t attributes) override {
        return real().set_attributes(entry, attributes);
    }
    std::uint32_t count_names(FileHandle entry, std::uint32_t& names) override {
        return real().count_names(entry, names);
    }
    std::uint32_t list(FileHandle dir, bool restart, std::vector<ListedEntry>& batch) override {
        return real().list(dir, restart, batch);
    }
    std::uint32_t mark_for_deletion(FileHandle entry, Disposition how) override {
        if (how == Disposition::posix_ignoring_read_only) return ERROR_INVALID_PARAMETER;
        return real().mark_for_deletion(entry, how);
    }
    std::uint32_t create_directory(const NativePath& path) override { return real().create_directory(path); }
    std::uint32_t create_private_dir_at(FileHandle dir, std::u16string_view name, bool dont_reparse,
                                        FileHandle& made) override {
        return real().create_private_dir_at(dir, name, dont_reparse, made);
    }
    void close(FileHandle entry) override { real().close(entry); }
    void yield() override { real().yield(); }

private:
    static FileOperations& real() { return windows_file_operations(); }
};

// On the fallback road the removal clears read-only before it deletes; a second name of a
// read-only file outside (a hard link someone planted) must stop it instead, the file outside
// unchanged.
Outcome hard_link_on_fallback_road() {
    if (auto skip = unless_windows("the removal's tests take this road under Wine", SCRATCH)) return *skip;
    const NativePath outside = scratch("outside-");
    const NativePath dir = scratch("hard-link-check-");
    UniqueHandle file;
    if (!::CreateDirectoryW(wide_ptr(outside), nullptr) ||
        !create_file(file, outside + u"\\keep.txt", "keep", FILE_ATTRIBUTE_READONLY) ||
        !::CreateDirectoryW(wide_ptr(dir), nullptr) ||
        !create_file(file, dir + u"\\a read-only.txt", "x", FILE_ATTRIBUTE_READONLY) ||
        !::CreateHardLinkW(wide_ptr(dir + u"\\second name.txt"), wide_ptr(outside + u"\\keep.txt"), nullptr)) {
        return failed("cannot make the files", ::GetLastError());
    }
    file.reset();
    WithoutDispositionEx files;
    const DWORD removal = remove_dir_tree(files, dir);
    if (removal != ERROR_ACCESS_DENIED) return failed("the removal did not stop at the second name", removal);
    if (::GetFileAttributesW(wide_ptr(dir + u"\\a read-only.txt")) != INVALID_FILE_ATTRIBUTES) {
        return failed("the read-only file with one name was not removed");
    }
    if ((::GetFileAttributesW(wide_ptr(outside + u"\\keep.txt")) & FILE_ATTRIBUTE_READONLY) == 0) {
        return failed("the file outside lost its read-only attribute");
    }
    return {};
}

// Runs `command` from the kit's folder with no window and none of our handles, ended when it
// runs longer than `limit_ms`; passed when it exits with 0.
Outcome run_hidden(const ChildCommand& command, DWORD limit_ms) {
    Result<std::u16string, SystemError> line = build_command_line(command.program, command.arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const auto start = [&] {
        return line.ok() && ::CreateProcessW(wide_ptr(command.program), wide_ptr(line.value()), nullptr, nullptr,
                                             FALSE, CREATE_NO_WINDOW, nullptr, wide_ptr(beside_this_program(u"")),
                                             &startup, &started);
    };
    DWORD error = start() ? ERROR_SUCCESS : ::GetLastError();
    // Under Wine, "internal error" (1359) means Wine's own start of the child failed: tried
    // again, at most twice, as the runner's tests do.
    for (int retry = 0; retry < 2 && error == ERROR_INTERNAL_ERROR && test_support::running_under_wine(); ++retry) {
        error = start() ? ERROR_SUCCESS : ::GetLastError();
    }
    if (error != ERROR_SUCCESS) return failed("cannot start it", error);
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    if (::WaitForSingleObject(process.get(), limit_ms) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return failed("did not end within " + std::to_string(limit_ms / 1000) + " s");
    }
    DWORD code = 1;
    ::GetExitCodeProcess(process.get(), &code);
    return code == 0 ? Outcome{} : failed("exit code " + std::to_string(code));
}

// The Task Scheduler's command-line tool, given a minute.
Outcome schtasks(std::vector<std::u16string> arguments) {
    NativePath system(MAX_PATH + 1, u'\0');
    system.resize(::GetSystemDirectoryW(wide_ptr(system), MAX_PATH + 1));
    ChildCommand command(system + u"\\schtasks.exe");
    command.arguments = std::move(arguments);
    Outcome outcome = run_hidden(command, 60000);
    if (outcome.verdict == FAILED) outcome.reason = "schtasks " + to_utf8(command.arguments[0]) + " " + outcome.reason;
    return outcome;
}

// The child of the log path check, run as SYSTEM: beside itself it puts "ok" when the log path
// the program composes lies in the directory GetTempPath2W gives it, or what it found instead.
int log_path_child() {
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W");
    const auto get_temp_path2 = reinterpret_cast<TempPathFunction>(reinterpret_cast<void (*)()>(found));
    NativePath temp_dir(MAX_PATH + 1, u'\0');
    temp_dir.resize(found ? get_temp_path2(MAX_PATH + 1, wide_ptr(temp_dir)) : 0);
    const Result<WorkPaths> area = prepare_work_area();
    const Made work{area.ok() ? area.value().work_dir : u""};
    const std::string answer =
        !area.ok() ? "prepare_work_area: " + area.error().message
        : temp_dir.empty() || area.value().log_path != temp_dir + u"velbro-vpn-install.log"
            ? "the log path " + to_utf8(area.value().log_path) + " is not in " + to_utf8(temp_dir)
            : "ok";
    UniqueHandle file;
    return create_file(file, beside_this_program(u"log-path.txt"), answer) ? 0 : 1;
}

// Deployment tools run the program as SYSTEM, the one account GetTempPath2W gives a directory
// of its own. A one-shot scheduled task runs a copy of this program as SYSTEM from the scratch
// folder, which SYSTEM can reach where a share holding the kit may not be.
Outcome log_path() {
    if (auto skip = unless_windows("Wine 8 does not export GetTempPath2W", TEMP_PATH2 | SCRATCH)) return *skip;
    const NativePath copy = machine.scratch + u"\\windows-checks.exe";
    if (!::CopyFileW(wide_ptr(beside_this_program(u"windows-checks.exe")), wide_ptr(copy), TRUE)) {
        return failed("cannot copy this program into the scratch folder", ::GetLastError());
    }
    const std::u16string task = u"velbro-checks-" + to_wide(std::to_string(::GetCurrentProcessId()));
    Outcome step = schtasks({u"/create", u"/tn", task, u"/ru", u"SYSTEM", u"/sc", u"once", u"/st", u"00:00", u"/f",
                             u"/tr", u"\"" + copy + u"\" --log-path-child"});
    if (step.verdict != PASSED) return step;
    const struct Task {
        const std::u16string& name;
        ~Task() {
            schtasks({u"/end", u"/tn", name});
            schtasks({u"/delete", u"/tn", name, u"/f"});
        }
    } made{task};
    if ((step = schtasks({u"/run", u"/tn", task})).verdict != PASSED) return step;
    std::string answer;
    for (int waited = 0; (answer = read_file(machine.scratch + u"\\log-path.txt")).empty() ||
                         answer.starts_with("(cannot open");
         waited += 250) {
        if (waited >= 60000) return failed("the task gave no answer within 60 s");
        ::Sleep(250);
    }
    return answer == "ok" ? Outcome{} : failed("as SYSTEM: " + answer);
}

// The child of the handle check (this program again): 2 when it holds the file it was not
// given, 3 when its standard output or error refuses a write.
int handle_check_child(std::wstring_view secret_name) {
    for (ULONG_PTR value = 4; value < 65536; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        wchar_t path[1024];
        const DWORD length =
            ::GetFileType(handle) == FILE_TYPE_DISK ? ::GetFinalPathNameByHandleW(handle, path, 1024, 0) : 0;
        if (length > 0 && length < 1024 && std::wstring_view(path, length).ends_with(secret_name)) return 2;
    }
    DWORD written = 0;
    const bool wrote = ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "to the file", 11, &written, nullptr) &&
                       ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), "to the pipe", 11, &written, nullptr);
    return wrote ? 0 : 3;
}

Outcome child_handles() {
    if (auto skip = unless_windows("Wine hands a child the standard handles even when they are not inherited",
                                   SCRATCH)) {
        return *skip;
    }
    const NativePath dir = scratch("child-check-");
    UniqueHandle secret_file, output;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreateDirectoryW(wide_ptr(dir), nullptr) || !create_file(secret_file, dir + u"\\secret.txt", "") ||
        !create_file(output, dir + u"\\output.txt", "") ||
        !::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        return failed("cannot make the child's streams", ::GetLastError());
    }
    secret_file.reset();
    // Held open by the installer's own step, as the package is while msiexec runs.
    const Result<PackageHandle> secret = open_package(dir + u"\\secret.txt");
    if (!secret.ok()) return failed("open_package: " + secret.error().message);
    UniqueHandle reader(read_end), writer(write_end);
    ChildCommand command(beside_this_program(u"windows-checks.exe"));
    add_argument(command, u"--handle-check-child");
    add_argument(command, u"secret.txt");
    // The product waits without a limit; a child that hangs ends the kit with exit code 1.
    std::optional<Result<std::uint32_t, SystemError>> run;
    test_support::within_deadline("the handle check's child", [&] {
        const test_support::ScopedStdHandle to_file(STD_OUTPUT_HANDLE, output.get());
        const test_support::ScopedStdHandle to_pipe(STD_ERROR_HANDLE, writer.get());
        run = run_and_wait(command);
    }, 60000);
    writer.reset();
    const Result<std::uint32_t, SystemError>& code = *run;
    if (!code.ok()) return failed("run_and_wait: " + display_text(code.error()));
    if (code.value() == 2) return failed("the child holds a handle of ours that it was not given");
    if (code.value() != 0 || read_file(dir + u"\\output.txt") != "to the file" ||
        read_all(reader.get()) != "to the pipe") {
        return failed("what the child wrote did not arrive (exit code " + std::to_string(code.value()) + ")");
    }
    return {};
}

// Where a package is checked here: under the name it has in the work directory, in a folder of
// its own in the kit's scratch folder. The folder is all the trust checks need of it.
std::optional<Outcome> place_package(NativePath& package) {
    if (machine.scratch.empty()) return Outcome{INCOMPLETE, machine.scratch_fault};
    const NativePath dir = scratch("package-check-");
    package = join_path(dir, PACKAGE_FILE_NAME);
    if (!::CreateDirectoryW(wide_ptr(dir), nullptr)) return failed("cannot make its folder", ::GetLastError());
    return std::nullopt;
}

// What the program's own publisher check says of the package: empty when it accepts it, and
// then `held` holds it as the program holds it until msiexec has ended.
std::string publisher_check(const NativePath& package, PackageHandle& held) {
    Result<PackageHandle> opened = open_package(package);
    if (!opened.ok()) return "open_package: " + opened.error().message;
    held = std::move(opened.value());
    const StepFailure refused = verify_publisher(package, held);
    return refused ? refused->message : "";
}

// A package from the kit, made when the kit was built, refused for exactly `status`. The
// throwaway root it is signed under was not shipped: it is neither in the kit nor in the
// signature, which carries the leaf and its intermediate CA only, and no store has it, so
// Windows cannot complete the chain (CERT_E_CHAINING; a root it could find but does not trust
// would give CERT_E_UNTRUSTEDROOT). Windows compares the content with the signature before it
// judges the chain: the package changed after signing gives TRUST_E_BAD_DIGEST.
Outcome package_refused(const char* kit_file, HRESULT status, const char* wine_reason) {
    std::optional<Outcome> skip = wine_reason ? unless_windows(wine_reason, 0) : std::nullopt;
    NativePath package;
    if (skip || (skip = place_package(package))) return *skip;
    if (!::CopyFileW(wide_ptr(beside_this_program(to_wide(kit_file))), wide_ptr(package), TRUE)) {
        return failed((std::string("cannot copy ") + kit_file).c_str(), ::GetLastError());
    }
    PackageHandle held;
    const std::string answer = publisher_check(package, held);
    if (answer.empty()) return failed("accepted by verify_publisher");
    return answer == decide_publisher(status, std::nullopt)->message ? Outcome{} : failed("refused: " + answer);
}

// The vendor's package fetched from the download address by System32's curl.exe with the
// program's own arguments, then checked and held as the program does it. The release's canary:
// a renamed signer, a moved address or a changed package shows here before an employee meets it.
Outcome vendor_package() {
    std::optional<Outcome> skip = unless_windows("the test command has no network, and Wine no curl.exe", 0);
    wchar_t root[MAX_PATH + 1] = {};
    ::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH + 1);
    WorkPaths paths = compose_work_paths(reinterpret_cast<const char16_t*>(root), 0);
    if (skip || (skip = place_package(paths.package_path))) return *skip;
    // In a hidden console of its own, so its progress bar stays off the kit's lines.
    const Outcome fetched = run_hidden(curl_command(paths), 600000);
    if (fetched.verdict != PASSED) return {INCOMPLETE, "curl.exe: " + fetched.reason};
    PackageHandle held;
    if (const std::string answer = publisher_check(paths.package_path, held); !answer.empty()) {
        return failed("refused: " + answer);
    }
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD writing = test_support::open_error(paths.package_path, GENERIC_WRITE, all);
    const DWORD reading = test_support::open_error(paths.package_path, GENERIC_READ, all);
    if (writing == ERROR_SHARING_VIOLATION && reading == ERROR_SUCCESS) return {};
    return failed("accepted, but not held read-shared: another open for writing gave error " +
                  std::to_string(writing) + ", one for reading error " + std::to_string(reading));
}

// One of the Windows test programs, its results in logs\, ended if it runs too long. It gets
// a hidden console of its own and no standard handles from here: a console test needs its
// standard handles to follow the console it opens.
Outcome test_program(const std::string& name) {
    const std::string results = "logs\\" + name + ".xml";
    ChildCommand command(beside_this_program(to_wide(name + ".exe")));
    add_argument(command, "--gtest_output=xml:" + results);
    Outcome outcome = run_hidden(command, 180000);
    if (outcome.verdict == FAILED) outcome.reason += " (results: " + results + ")";
    return outcome;
}

// Opens relative to a folder ask Windows to follow no link on the way (OBJ_DONT_REPARSE). A
// file system that refuses that makes the removal switch it off for the process, and then
// the link checks above did not show what they say.
Outcome dont_reparse_in_force() {
    if (auto skip = unless_windows("Wine cannot make links", SCRATCH)) return *skip;
    if (!windows_file_operations().dont_reparse) return failed("the removal switched it off on this machine");
    return {};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring_view(argv[1]) == L"--handle-check-child") {
        return handle_check_child(argv[2]);
    }
    if (argc == 2 && std::wstring_view(argv[1]) == L"--log-path-child") return log_path_child();
    machine.wine = test_support::running_under_wine() &&
                   ::GetEnvironmentVariableW(L"VELBRO_CHECKS_NOT_WINE", nullptr, 0) == 0;
    read_token();
    if (!machine.wine && !machine.elevated) {
        print_status("not elevated: run run-checks.cmd from a Command Prompt opened with \"Run as administrator\"\n");
        return 2;
    }
    machine.scratch_fault = make_scratch_area();
    const Made scratch_area{machine.scratch};
    const struct {
        const char* name;
        Outcome (*run)();
    } checks[] = {
        {"work directory protected, full control for SYSTEM and Administrators only", work_dir_protection},
        {"junction inside the work directory removed as a link", link_check<Link::junction, false>},
        {"directory symbolic link inside the work directory removed as a link",
         link_check<Link::dir_symlink, false>},
        {"file symbolic link inside the work directory removed as a link",
         link_check<Link::file_symlink, false>},
        {"junction at the work directory's name refused, left as it stands", link_check<Link::junction, true>},
        {"directory symbolic link at the work directory's name refused, left as it stands",
         link_check<Link::dir_symlink, true>},
        {"file symbolic link at the work directory's name refused, left as it stands",
         link_check<Link::file_symlink, true>},
        {"junction to a missing folder at the work directory's name refused, nothing made where it led",
         link_check<Link::junction, true, true>},
        {"standard user's folder at the work directory's name, a file in it under an oplock, refused at once",
         held_plant_at_name},
        {"hard link to a read-only file outside stops the fallback removal, the file unchanged",
         hard_link_on_fallback_road},
        {"open and read-only files removed at once (FileDispositionInfoEx)", open_and_read_only_files},
        {"OBJ_DONT_REPARSE still in force after the link and removal checks", dont_reparse_in_force},
        {"log path in the temporary directory from GetTempPath2W", log_path},
        {"child writes through the handles it was given, and finds no other of ours", child_handles},
        {"unsigned package refused", [] { return package_refused("unsigned.msi", TRUST_E_NOSIGNATURE, nullptr); }},
        {"package signed under an unknown root refused", [] {
             return package_refused("untrusted-root.msi", CERT_E_CHAINING,
                                    "Wine does not judge the chain of a SHA-256 signing certificate");
         }},
        {"package changed after signing refused", [] {
             return package_refused("changed-payload.msi", TRUST_E_BAD_DIGEST,
                                    "Wine does not check an MSI's content against its signature");
         }},
        {"vendor package downloaded, accepted and held read-shared", vendor_package},
        {"child process runner and error texts (platform_windows_tests.exe)",
         [] { return test_program("platform_windows_tests"); }},
        {"console output (ui_windows_tests.exe)", [] { return test_program("ui_windows_tests"); }},
        {"work area and removal (work_area_windows_tests.exe)", [] { return test_program("work_area_windows_tests"); }},
    };
    const char* const words[] = {"passed  ", "failed  ", "skipped ", "incomplete "};
    int counts[4] = {};
    // Given names, only the checks whose names start with one of them run.
    const auto chosen = [&](std::string_view name) {
        for (int i = 1; i < argc; ++i) {
            if (name.starts_with(to_utf8(reinterpret_cast<const char16_t*>(argv[i])))) return true;
        }
        return argc == 1;
    };
    for (const auto& check : checks) {
        if (!chosen(check.name)) continue;
        const Outcome outcome = check.run();
        ++counts[outcome.verdict];
        print_status(words[outcome.verdict] + std::string(check.name) +
                     (outcome.reason.empty() ? "" : ": " + outcome.reason) + "\n");
    }
    print_status(std::to_string(counts[PASSED]) + " passed, " + std::to_string(counts[FAILED]) + " failed, " +
                 std::to_string(counts[SKIPPED]) + " skipped, " + std::to_string(counts[INCOMPLETE]) +
                 " incomplete\n");
    return counts[FAILED] > 0 ? 1 : counts[INCOMPLETE] > 0 ? 2 : 0;
}
