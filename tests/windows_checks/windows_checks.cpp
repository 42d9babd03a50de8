// The checks an IT person runs in a disposable Windows VM before a release: what the other
// tests cannot show because they run under Wine, and the Windows test programs that install
// nothing. One line per check, then the counts; exit code 1 when any check failed.
#include <windows.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "acquire/publisher/publisher_win.h"
#include "acquire/work_area/file_operations_win.h"
#include "acquire/work_area/tree_removal.h"
#include "acquire/work_area/work_area_win.h"
#include "platform/child_process_win.h"
#include "platform/unique_handle_win.h"
#include "test_support_win.h"
#include "ui/progress_console_win.h"

using namespace velbro;
using test_support::beside_this_program;
using test_support::read_all;
using test_support::read_file;

namespace {

enum Verdict { PASSED, FAILED, SKIPPED };

struct Outcome {
    Verdict verdict = PASSED;
    std::string reason;
};

Outcome failed(std::string reason) { return {FAILED, std::move(reason)}; }
Outcome failed(const char* what, DWORD error) {
    return failed(std::string(what) + " (error " + std::to_string(error) + ")");
}

// A folder of this run's own in the kit's folder.
NativePath scratch(const char* name) {
    return beside_this_program(to_wide(name + std::to_string(::GetCurrentProcessId())));
}

// A folder or link a check made, removed on every road out (a link as the link).
struct Made {
    NativePath path;
    ~Made() { remove_dir_tree(windows_file_operations(), path); }
};

// Wine cannot show what these checks are about: there they say so rather than pass.
std::optional<Outcome> unless_windows(const char* wine_reason, bool needs_elevation) {
    if (test_support::running_under_wine()) return Outcome{SKIPPED, wine_reason};
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
                          ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated;
    const UniqueHandle owned(token);
    if (needs_elevation && !elevated) {
        return Outcome{SKIPPED, "not elevated (run it from an elevated command prompt)"};
    }
    return std::nullopt;
}

// Creates `path` holding `text`, kept open in `file`; false with the error as the last error.
bool create_file(UniqueHandle& file, const NativePath& path, std::string_view text,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    file.reset(::CreateFileW(wide_ptr(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, attributes, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Protected, exactly full control for SYSTEM and Administrators inherited by files and
// folders, as read back from the folder, and a standard user refused. Empty when all holds.
std::string protection_fault(const NativePath& dir) {
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    ::GetFileSecurityW(wide_ptr(dir), parts, nullptr, 0, &size);
    std::vector<ULONGLONG> buffer(size / sizeof(ULONGLONG) + 1);
    const PSECURITY_DESCRIPTOR descriptor = buffer.data();
    LPWSTR text = nullptr;
    if (!::GetFileSecurityW(wide_ptr(dir), parts, descriptor, size, &size) ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return failed("cannot read its security", ::GetLastError()).reason;
    }
    const UniqueLocal owned_text(text);
    const std::string shown = to_utf8(reinterpret_cast<const char16_t*>(text));
    // Windows may mark the DACL as set up for automatic inheritance (AI); that grants nothing.
    std::string dacl = shown;
    if (dacl.starts_with("D:PAI(")) dacl.erase(3, 2);
    if (dacl != "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") return "its DACL is " + shown;

    // This elevated token with the Administrators group made deny-only is, to an access
    // check, a standard user's.
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD admins_size = sizeof admins;
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size);
    SID_AND_ATTRIBUTES deny_only{admins, 0};
    HANDLE own = nullptr, restricted = nullptr, standard = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own);
    ::CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &deny_only, 0, nullptr, 0, nullptr,
                            &restricted);
    ::DuplicateToken(restricted, SecurityImpersonation, &standard);
    const UniqueHandle owned[] = {UniqueHandle(own), UniqueHandle(restricted), UniqueHandle(standard)};
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privileges_size = sizeof privileges, granted = 0;
    BOOL allowed = TRUE;
    if (!::AccessCheck(descriptor, standard, FILE_GENERIC_READ, &mapping, &privileges, &privileges_size,
                       &granted, &allowed)) {
        return failed("the access check failed", ::GetLastError()).reason;
    }
    return allowed ? "a standard user may read it" : "";
}

Outcome work_dir_protection() {
    if (auto skip = unless_windows("Wine does not keep a folder's security descriptor", true)) return *skip;
    const Result<WorkPaths> area = prepare_work_area();
    if (!area.ok()) return failed("prepare_work_area: " + area.error().message);
    const Made work{area.value().work_dir};
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

// A link to a canary outside the work directory, inside it or standing at its name: the
// removal, or the work area's preparation, takes the link away and leaves the canary be.
template <Link kind, bool at_work_dir_name>
Outcome link_check() {
    if (auto skip = unless_windows("Wine cannot make links", true)) return *skip;
    const Made canary{scratch("canary-")};
    const NativePath canary_file = canary.path + u"\\canary.txt";
    UniqueHandle canary_handle;
    if (!::CreateDirectoryW(wide_ptr(canary.path), nullptr) ||
        !create_file(canary_handle, canary_file, "canary")) {
        return failed("cannot make the canary", ::GetLastError());
    }
    Result<WorkPaths> area = prepare_work_area();
    if (!area.ok()) return failed("prepare_work_area: " + area.error().message);
    const Made work{area.value().work_dir};
    const NativePath link = at_work_dir_name ? work.path : work.path + u"\\link";
    const DWORD room = at_work_dir_name ? remove_dir_tree(windows_file_operations(), work.path) : ERROR_SUCCESS;
    if (room != ERROR_SUCCESS) return failed("cannot make room for the link", room);
    const DWORD error = make_link(kind, link, kind == Link::file_symlink ? canary_file : canary.path);
    if (error == ERROR_PRIVILEGE_NOT_HELD) return {SKIPPED, "no privilege to create symbolic links"};
    if (error != ERROR_SUCCESS) return failed("cannot make the link", error);
    if ((::GetFileAttributesW(wide_ptr(link)) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        read_file(kind == Link::file_symlink ? link : link + u"\\canary.txt") != "canary") {
        return failed("the link was made but does not lead to the canary");
    }
    if (at_work_dir_name) {
        area = prepare_work_area();
        if (!area.ok()) return failed("prepare_work_area with the link there: " + area.error().message);
        const DWORD kind_bits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        if ((::GetFileAttributesW(wide_ptr(work.path)) & kind_bits) != FILE_ATTRIBUTE_DIRECTORY) {
            return failed("no fresh directory stands at the work directory's name");
        }
        if (const std::string fault = protection_fault(work.path); !fault.empty()) {
            return failed("the fresh work directory: " + fault);
        }
    }
    if (const DWORD removal = remove_dir_tree(windows_file_operations(), work.path)) return failed("the removal failed", removal);
    if (::GetFileAttributesW(wide_ptr(work.path)) != INVALID_FILE_ATTRIBUTES) {
        return failed("the work directory is still there");
    }
    if (read_file(canary_file) != "canary") return failed("the canary's contents were touched");
    return {};
}

// The folder goes while both files are still open: only the POSIX disposition, which also
// ignores the read-only attribute, takes names away before their last handle closes.
Outcome open_and_read_only_files() {
    if (auto skip = unless_windows("Wine refuses FileDispositionInfoEx", false)) return *skip;
    const Made dir{scratch("removal-check-")};
    UniqueHandle open_file, read_only_file;
    if (!::CreateDirectoryW(wide_ptr(dir.path), nullptr) ||
        !create_file(open_file, dir.path + u"\\open.txt", "x") ||
        !create_file(read_only_file, dir.path + u"\\read-only.txt", "x", FILE_ATTRIBUTE_READONLY)) {
        return failed("cannot make the files", ::GetLastError());
    }
    wchar_t file_system[MAX_PATH + 1] = L"";
    ::GetVolumeInformationByHandleW(open_file.get(), nullptr, 0, nullptr, nullptr, nullptr, file_system,
                                    MAX_PATH + 1);
    if (std::wstring_view(file_system) != L"NTFS") return {SKIPPED, "the kit's folder is not on NTFS"};
    {
        // The removal counts on the POSIX disposition refusing a folder that is not empty at once.
        const UniqueHandle folder(::CreateFileW(wide_ptr(dir.path), DELETE,
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
    if (const DWORD error = remove_dir_tree(windows_file_operations(), dir.path)) return failed("the removal failed", error);
    if (::GetFileAttributesW(wide_ptr(dir.path)) != INVALID_FILE_ATTRIBUTES) {
        return failed("the folder is still there while the files are open");
    }
    return {};
}

Outcome log_path() {
    if (auto skip = unless_windows("Wine 8 does not export GetTempPath2W", true)) return *skip;
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W");
    if (found == nullptr) return {SKIPPED, "this Windows has no GetTempPath2W yet"};
    const auto get_temp_path2 = reinterpret_cast<TempPathFunction>(reinterpret_cast<void (*)()>(found));
    NativePath temp_dir(MAX_PATH + 1, u'\0');
    temp_dir.resize(get_temp_path2(MAX_PATH + 1, wide_ptr(temp_dir)));
    const Result<WorkPaths> area = prepare_work_area();
    if (!area.ok()) return failed("prepare_work_area: " + area.error().message);
    const Made work{area.value().work_dir};
    if (temp_dir.empty() || area.value().log_path != temp_dir + u"velbro-vpn-install.log") {
        return failed("the log path " + to_utf8(area.value().log_path) + " is not in " + to_utf8(temp_dir));
    }
    return {};
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
                                   false)) {
        return *skip;
    }
    const Made dir{scratch("child-check-")};
    UniqueHandle secret_file, output;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreateDirectoryW(wide_ptr(dir.path), nullptr) ||
        !create_file(secret_file, dir.path + u"\\secret.txt", "") ||
        !create_file(output, dir.path + u"\\output.txt", "") ||
        !::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        return failed("cannot make the child's streams", ::GetLastError());
    }
    secret_file.reset();
    // Held open by the installer's own step, as the package is while msiexec runs.
    const Result<PackageHandle> secret = open_package(dir.path + u"\\secret.txt");
    if (!secret.ok()) return failed("open_package: " + secret.error().message);
    UniqueHandle reader(read_end), writer(write_end);
    ChildCommand command(beside_this_program(u"windows-checks.exe"));
    add_argument(command, u"--handle-check-child");
    add_argument(command, u"secret.txt");
    const Result<std::uint32_t, SystemError> code = [&] {
        const test_support::ScopedStdHandle to_file(STD_OUTPUT_HANDLE, output.get());
        const test_support::ScopedStdHandle to_pipe(STD_ERROR_HANDLE, writer.get());
        return run_and_wait(command);
    }();
    writer.reset();
    if (!code.ok()) return failed("run_and_wait: " + display_text(code.error()));
    if (code.value() == 2) return failed("the child holds a handle of ours that it was not given");
    if (code.value() != 0 || read_file(dir.path + u"\\output.txt") != "to the file" ||
        read_all(reader.get()) != "to the pipe") {
        return failed("what the child wrote did not arrive (exit code " + std::to_string(code.value()) + ")");
    }
    return {};
}

// One of the Windows test programs, its results in logs\, ended if it runs too long. It gets
// a hidden console of its own and no standard handles from here: a console test needs its
// standard handles to follow the console it opens.
Outcome test_program(const std::string& name) {
    const std::string results = "logs\\" + name + ".xml";
    NativePath program = beside_this_program(to_wide(name + ".exe"));
    NativePath command_line = u"\"" + program + u"\" --gtest_output=xml:" + to_wide(results);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(wide_ptr(program), wide_ptr(command_line), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, wide_ptr(beside_this_program(u"")), &startup, &started)) {
        return failed("cannot start it", ::GetLastError());
    }
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    if (::WaitForSingleObject(process.get(), 180000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return failed("did not end within 3 minutes");
    }
    DWORD code = 1;
    ::GetExitCodeProcess(process.get(), &code);
    if (code != 0) return failed("exit code " + std::to_string(code) + " (results: " + results + ")");
    return {};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring_view(argv[1]) == L"--handle-check-child") {
        return handle_check_child(argv[2]);
    }
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
        {"junction at the work directory's name replaced by a fresh directory",
         link_check<Link::junction, true>},
        {"directory symbolic link at the work directory's name replaced by a fresh directory",
         link_check<Link::dir_symlink, true>},
        {"open and read-only files removed at once (FileDispositionInfoEx)", open_and_read_only_files},
        {"log path in the temporary directory from GetTempPath2W", log_path},
        {"child writes through the handles it was given, and finds no other of ours", child_handles},
        {"child process runner and error texts (platform_windows_tests.exe)",
         [] { return test_program("platform_windows_tests"); }},
        {"console output (ui_windows_tests.exe)", [] { return test_program("ui_windows_tests"); }},
        {"work area and removal (work_area_windows_tests.exe)",
         [] { return test_program("work_area_windows_tests"); }},
    };
    const char* const words[] = {"passed  ", "failed  ", "skipped "};
    int counts[3] = {};
    for (const auto& check : checks) {
        const Outcome outcome = check.run();
        ++counts[outcome.verdict];
        print_status(words[outcome.verdict] + std::string(check.name) +
                     (outcome.reason.empty() ? "" : ": " + outcome.reason) + "\n");
    }
    print_status(std::to_string(counts[PASSED]) + " passed, " + std::to_string(counts[FAILED]) + " failed, " +
                 std::to_string(counts[SKIPPED]) + " skipped\n");
    return counts[FAILED] == 0 ? 0 : 1;
}
