// The deadline keeps the test and its children in one job so a missed deadline can find them.
#include "test_support_win.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace velbro::test_support {
namespace {

// Without JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE: Wine 8's wineserver crashes when a process
// inside such a job closes the job's last handle, as the handle's owner does at exit, and
// every Wine process of the prefix is then left stranded.
HANDLE test_job() {
    static const UniqueHandle job = [] {
        UniqueHandle created(::CreateJobObjectW(nullptr, nullptr));
        if (!created || !::AssignProcessToJobObject(created.get(), ::GetCurrentProcess())) {
            std::fprintf(stderr, "cannot put the test in a job (error %lu)\n", ::GetLastError());
            std::abort();
        }
        return created;
    }();
    return job.get();
}

// Every process in the job but this one, with the code a killed child shows.
void end_children(HANDLE job) {
    for (const DWORD pid : processes_in(job)) {
        if (pid == ::GetCurrentProcessId()) continue;
        const UniqueHandle child(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
        if (child) ::TerminateProcess(child.get(), 3);
    }
}

DWORD WINAPI run_body(void* body) {
    (*static_cast<const std::function<void()>*>(body))();
    return 0;
}

// Reports a file operation that failed, with the error it left.
void expect_done(bool done, const char* what, const NativePath& path) {
    const DWORD error = ::GetLastError();
    if (!done) ADD_FAILURE() << what << " " << to_utf8(path) << ": error " << error;
}

// The names in a folder, as Windows gives them.
std::vector<NativePath> names_in(const NativePath& folder) {
    std::vector<NativePath> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(wide_ptr(folder + u"\\*"), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const NativePath name(reinterpret_cast<const char16_t*>(found.cFileName));
        if (name != u"." && name != u"..") names.push_back(name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

// Deletes `path` and everything in it, read-only entries too. A link is deleted as the link.
void erase(const NativePath& path) {
    const DWORD attributes = attributes_of(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        ::SetFileAttributesW(wide_ptr(path), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW(wide_ptr(path));
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        for (const NativePath& name : names_in(path)) erase(path + u"\\" + name);
    }
    ::RemoveDirectoryW(wide_ptr(path));
}

bool write_all(HANDLE file, std::string_view bytes) {
    DWORD written = 0;
    return bytes.empty() || (::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                          nullptr) &&
                             written == bytes.size());
}

}  // namespace

void within_deadline(const char* what, const std::function<void()>& body, DWORD deadline_ms) {
    const HANDLE job = test_job();
    UniqueHandle worker(
        ::CreateThread(nullptr, 0, run_body, const_cast<std::function<void()>*>(&body), 0, nullptr));
    if (!worker) std::abort();
    if (::WaitForSingleObject(worker.get(), deadline_ms) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "FAILED: %s did not end within %lu ms; ending its children and the test\n",
                     what, deadline_ms);
        std::fflush(stderr);
        end_children(job);
        // A failing exit code whatever the stuck thread is doing. (TerminateJobObject would end
        // this process too, but Wine then reports exit code 0: the test would pass.)
        ::ExitProcess(1);
    }
}

std::vector<DWORD> processes_in(HANDLE job) {
    // The list runs past the one-element array the header declares, so it is read from the
    // raw bytes: indexing that array beyond [0] is undefined and the compiler drops it.
    alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) std::byte buffer[4096];
    std::vector<DWORD> ids;
    if (!::QueryInformationJobObject(job, JobObjectBasicProcessIdList, buffer, sizeof buffer, nullptr)) {
        return ids;
    }
    JOBOBJECT_BASIC_PROCESS_ID_LIST header;
    std::memcpy(&header, buffer, sizeof header);
    for (DWORD i = 0; i < header.NumberOfProcessIdsInList; ++i) {
        ULONG_PTR id;
        std::memcpy(&id, buffer + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) + i * sizeof id,
                    sizeof id);
        ids.push_back(static_cast<DWORD>(id));
    }
    return ids;
}

bool running_under_wine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

int count_handles() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 65536; value += 4) {
        DWORD flags;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

void expect_no_handle_left_open(const std::function<void()>& body) {
    body();
    const int before = count_handles();
    body();
    EXPECT_EQ(count_handles() - before, 0) << "handles left open";
}

NativePath temp_dir() {
    NativePath temp(MAX_PATH + 1, u'\0');
    temp.resize(::GetTempPathW(MAX_PATH + 1, wide_ptr(temp)));
    return temp;
}

ScratchFolder::ScratchFolder() {
    static int serial = 0;
    const NativePath temp = temp_dir();
    // Wine reuses process ids from one server start to the next, and a crashed test leaves
    // its folder behind: skip names that are taken.
    bool created = false;
    do {
        folder_ = temp + u"velbro æøå " + to_wide(std::to_string(::GetCurrentProcessId()) + "-" +
                                                  std::to_string(++serial));
        created = ::CreateDirectoryW(wide_ptr(folder_), nullptr);
    } while (!created && ::GetLastError() == ERROR_ALREADY_EXISTS);
    // GoogleTest catches it and fails this test alone with the line; an abort would end the
    // program without its summary.
    if (temp.empty() || !created) {
        const DWORD error = ::GetLastError();
        throw std::runtime_error("cannot create the scratch folder " + to_utf8(folder_) + " (error " +
                                 std::to_string(error) + ")" +
                                 (running_under_wine() ? "; likely cause: Wine runs without a UTF-8 locale and "
                                                         "cannot make non-ASCII names (cmake/wine-run.sh sets one)"
                                                       : ""));
    }
}

ScratchFolder::~ScratchFolder() { erase(folder_); }

WorkPaths ScratchFolder::work_paths(const NativePath& system32_dir) const {
    return WorkPaths{system32_dir, path(), path(u"Cloudflare_WARP.msi"), path(u"velbro-vpn-install.log")};
}

void make_dir(const NativePath& path) {
    expect_done(::CreateDirectoryW(wide_ptr(path), nullptr), "CreateDirectoryW", path);
}

void make_file(const NativePath& path, std::string_view contents) {
    const UniqueHandle file(::CreateFileW(wide_ptr(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    expect_done(file && write_all(file.get(), contents), "making the file", path);
}

void copy_file(const NativePath& from, const NativePath& to) {
    expect_done(::CopyFileW(wide_ptr(from), wide_ptr(to), FALSE), "copying to", to);
}

void set_attributes(const NativePath& path, DWORD attributes) {
    expect_done(::SetFileAttributesW(wide_ptr(path), attributes), "SetFileAttributesW", path);
}

std::string read_all(HANDLE file) {
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

std::string read_file(const NativePath& path) {
    const UniqueHandle file(::CreateFileW(wide_ptr(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "(cannot open: " + std::to_string(::GetLastError()) + ")";
    return read_all(file.get());
}

DWORD attributes_of(const NativePath& path) { return ::GetFileAttributesW(wide_ptr(path)); }

bool exists(const NativePath& path) { return attributes_of(path) != INVALID_FILE_ATTRIBUTES; }

bool is_dir(const NativePath& path) {
    const DWORD attributes = attributes_of(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> list_dir(const NativePath& path) {
    std::vector<std::string> names;
    for (const NativePath& name : names_in(path)) names.push_back(to_utf8(name));
    std::sort(names.begin(), names.end());
    return names;
}

DWORD delete_file(const NativePath& path) { return ::DeleteFileW(wide_ptr(path)) ? 0 : ::GetLastError(); }

DWORD open_error(const NativePath& path, DWORD access, DWORD share) {
    const UniqueHandle file(::CreateFileW(wide_ptr(path), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
    return file ? 0 : ::GetLastError();
}

UniqueHandle hold_open(const NativePath& path) {
    UniqueHandle file(::CreateFileW(wide_ptr(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file) ADD_FAILURE() << "cannot hold " << to_utf8(path) << " open: error " << ::GetLastError();
    return file;
}

ScopedStdHandle::ScopedStdHandle(DWORD stream, HANDLE handle)
    : stream_(stream), saved_(::GetStdHandle(stream)) {
    ::SetStdHandle(stream, handle);
}

ScopedStdHandle::~ScopedStdHandle() { ::SetStdHandle(stream_, saved_); }

CapturedStream::CapturedStream(const NativePath& file, DWORD stream, std::string_view contents)
    : file_(::CreateFileW(wide_ptr(file), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)),
      swap_(stream, file_.get()) {
    if (!file_ || !write_all(file_.get(), contents)) {
        std::fprintf(stderr, "cannot make %s (error %lu)\n", to_utf8(file).c_str(), ::GetLastError());
        std::abort();
    }
    ::SetFilePointer(file_.get(), 0, nullptr, FILE_BEGIN);
}

std::string CapturedStream::text() const { return read_all(file_.get()); }

void CapturedStream::clear() {
    ::SetFilePointer(file_.get(), 0, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file_.get());
}

ScopedEnvironment::ScopedEnvironment(std::u16string_view name, std::optional<std::u16string_view> value)
    : name_(name) {
    std::u16string old(32767, u'\0');
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(wide_ptr(name_), wide_ptr(old), 32767);
    if (length > 0 && length < old.size()) saved_ = old.substr(0, length);
    if (length == 0 && ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) saved_ = u"";
    ::SetEnvironmentVariableW(wide_ptr(name_), value ? wide_ptr(std::u16string(*value)) : nullptr);
}

ScopedEnvironment::~ScopedEnvironment() {
    ::SetEnvironmentVariableW(wide_ptr(name_), saved_ ? wide_ptr(*saved_) : nullptr);
}

::testing::AssertionResult is_system_error_text(std::string_view text, std::string_view prefix,
                                                std::int32_t code, std::string_view suffix) {
    const std::string tail = " (os error " + std::to_string(code) + ")" + std::string(suffix);
    const auto shape = [&] {
        return ::testing::AssertionFailure() << "\"" << text << "\" is not \"" << prefix
                                             << "<a message of the system>" << tail << "\"";
    };
    if (!text.starts_with(prefix) || !text.ends_with(tail) || text.size() <= prefix.size() + tail.size()) {
        return shape();
    }
    const std::string_view message = text.substr(prefix.size(), text.size() - prefix.size() - tail.size());
    if (message.find('\n') != message.npos || message.find_last_not_of("\t\f\r ") != message.size() - 1) {
        return shape() << ": the message is not one trimmed line";
    }
    if (message.starts_with("OS Error")) return shape() << ": the system has no message for it";
    return ::testing::AssertionSuccess();
}

NativePath beside_this_program(std::u16string_view name) {
    NativePath program(32768, u'\0');
    program.resize(::GetModuleFileNameW(nullptr, wide_ptr(program), 32768));
    return program.substr(0, program.find_last_of(u'\\') + 1) + NativePath(name);
}

NativePath build_path(std::u16string_view relative) {
    NativePath path = to_wide(VELBRO_WINE_BUILD_DIR) + u"/" + NativePath(relative);
    std::ranges::replace(path, u'/', u'\\');
    return path;
}

NativePath fixture_package(std::u16string_view name) {
    return build_path(u"fixtures/packages/" + NativePath(name));
}

NativePath stub_system32() { return build_path(u"fixtures/stub-system32"); }

std::u16string stub_arguments(const ChildCommand& command) {
    std::u16string lines;
    for (const std::u16string& argument : command.arguments) lines += (lines.empty() ? u"" : u"\n") + argument;
    return lines;
}

std::optional<std::string> recorded_property(const InstallablePackage& package,
                                             std::u16string_view property) {
    const std::u16string key = u"Software\\Velbro Tests\\" + std::u16string(package.name);
    std::u16string value(512, u'\0');
    DWORD size = static_cast<DWORD>(value.size() * sizeof(char16_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, wide_ptr(key), wide_ptr(std::u16string(property)),
                       RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, wide_ptr(value), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(size / sizeof(char16_t) - 1);
    return to_utf8(value);
}

void uninstall(const InstallablePackage& package) {
    std::u16string command =
        u"\"C:\\windows\\system32\\msiexec.exe\" /x " + std::u16string(package.product_code) + u" /qn";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(nullptr, wide_ptr(command), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &created)) {
        ADD_FAILURE() << "cannot start msiexec /x: " << ::GetLastError();
        return;
    }
    const UniqueHandle process(created.hProcess), thread(created.hThread);
    // Generous for a loaded machine (it takes a second), and with a run of the program and
    // another removal still inside the test's own limit.
    if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ADD_FAILURE() << "msiexec /x " << to_utf8(package.product_code) << " did not end within 60 s";
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, wide_ptr(u"Software\\Velbro Tests\\" + std::u16string(package.name)));
}

}  // namespace velbro::test_support
