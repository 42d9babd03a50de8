// The work area tests' fixtures.
#include "fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "acquire/remove_tree.h"

namespace velbro::test {
namespace {

constexpr DWORD HELPER_READY_MS = 10000;

NativePath decimal(unsigned long value) {
    NativePath text;
    for (char c : std::to_string(value)) text.push_back(static_cast<char16_t>(c));
    return text;
}

std::u16string_view as_u16(const wchar_t* text) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(text));
}

}  // namespace

NativePath temp_dir() {
    NativePath buffer(MAX_PATH + 1, u'\0');
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, wide_ptr(buffer));
    buffer.resize(length);
    return buffer;
}

ScratchDir::ScratchDir() {
    static unsigned long counter = 0;
    path_ = temp_dir() + u"velbro-work-area-test-" + decimal(::GetCurrentProcessId()) + u"-" +
            decimal(++counter);
    remove_dir_tree(path_);  // left by an earlier process of the same id
    make_dir(path_);
}

ScratchDir::~ScratchDir() { remove_dir_tree(path_); }

void make_dir(const NativePath& path) {
    if (!::CreateDirectoryW(wide_ptr(path), nullptr)) {
        ADD_FAILURE() << "CreateDirectoryW " << to_utf8(path) << ": " << ::GetLastError();
    }
}

void make_file(const NativePath& path, std::string_view contents) {
    UniqueHandle file(::CreateFileW(wide_ptr(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()),
                              &written, nullptr)) {
        ADD_FAILURE() << "making file " << to_utf8(path) << ": " << ::GetLastError();
    }
}

void set_attributes(const NativePath& path, DWORD attributes) {
    if (!::SetFileAttributesW(wide_ptr(path), attributes)) {
        ADD_FAILURE() << "SetFileAttributesW " << to_utf8(path) << ": " << ::GetLastError();
    }
}

DWORD attributes_of(const NativePath& path) { return ::GetFileAttributesW(wide_ptr(path)); }

bool exists(const NativePath& path) { return attributes_of(path) != INVALID_FILE_ATTRIBUTES; }

bool is_dir(const NativePath& path) {
    const DWORD attributes = attributes_of(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string read_file(const NativePath& path) {
    UniqueHandle file(::CreateFileW(wide_ptr(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "(cannot open: " + std::to_string(::GetLastError()) + ")";
    std::string contents(4096, '\0');
    DWORD read = 0;
    ::ReadFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &read, nullptr);
    contents.resize(read);
    return contents;
}

std::vector<std::string> list_dir(const NativePath& path) {
    std::vector<std::string> names;
    const NativePath pattern = join_path(path, u"*");
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(wide_ptr(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::u16string_view name = as_u16(found.cFileName);
        if (name != u"." && name != u"..") names.push_back(to_utf8(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

HeldFile::HeldFile(const NativePath& path) {
    // The job ends the helper with the test, however the test ends.
    job_.reset(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

    static unsigned long counter = 0;
    NativePath event_name =
        u"velbro-work-area-hold-" + decimal(::GetCurrentProcessId()) + u"-" + decimal(++counter);
    UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, wide_ptr(event_name)));

    NativePath program(MAX_PATH + 1, u'\0');
    program.resize(::GetModuleFileNameW(nullptr, wide_ptr(program), MAX_PATH + 1));
    program.resize(program.find_last_of(u'\\') + 1);
    program += u"velbro_hold_file.exe";
    NativePath command_line = u"\"" + program + u"\" \"" + path + u"\" " + event_name;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(wide_ptr(program), wide_ptr(command_line), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED, nullptr, nullptr, &startup, &started)) {
        ADD_FAILURE() << "starting " << to_utf8(program) << ": " << ::GetLastError();
        return;
    }
    process_.reset(started.hProcess);
    UniqueHandle thread(started.hThread);
    ::AssignProcessToJobObject(job_.get(), process_.get());
    ::ResumeThread(thread.get());

    const HANDLE waited[] = {ready.get(), process_.get()};
    const DWORD woke = ::WaitForMultipleObjects(2, waited, FALSE, HELPER_READY_MS);
    if (woke != WAIT_OBJECT_0) {
        DWORD exit_code = 0;
        ::GetExitCodeProcess(process_.get(), &exit_code);
        ADD_FAILURE() << "the helper did not hold " << to_utf8(path) << " (wait " << woke
                      << ", exit code " << exit_code << ")";
    }
}

HeldFile::~HeldFile() {
    if (!process_) return;
    ::TerminateProcess(process_.get(), 0);
    ::WaitForSingleObject(process_.get(), HELPER_READY_MS);
}

}  // namespace velbro::test
