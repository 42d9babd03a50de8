// The deadline keeps the test and its children in one job so a missed deadline can find them.
#include "test_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/unique_handle.h"

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
    union {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        char room[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 256 * sizeof(ULONG_PTR)];
    } ids{};
    if (!::QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr)) return;
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
        const auto pid = static_cast<DWORD>(ids.list.ProcessIdList[i]);
        if (pid == ::GetCurrentProcessId()) continue;
        const UniqueHandle child(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
        if (child) ::TerminateProcess(child.get(), 3);
    }
}

DWORD WINAPI run_body(void* body) {
    (*static_cast<const std::function<void()>*>(body))();
    return 0;
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

int count_handles() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 65536; value += 4) {
        DWORD flags;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

ScratchFolder::ScratchFolder(std::string_view label) {
    static int serial = 0;
    NativePath temp(MAX_PATH + 1, u'\0');
    temp.resize(::GetTempPathW(MAX_PATH + 1, wide_ptr(temp)));
    // Wine reuses process ids from one server start to the next, and a crashed test leaves
    // its folder behind: skip names that are taken.
    bool created = false;
    do {
        folder_ = temp + to_wide(std::string(label) + " " + std::to_string(::GetCurrentProcessId()) +
                                 "-" + std::to_string(++serial));
        created = ::CreateDirectoryW(wide_ptr(folder_), nullptr);
    } while (!created && ::GetLastError() == ERROR_ALREADY_EXISTS);
    if (temp.empty() || !created) {
        std::fprintf(stderr, "cannot create %s (error %lu)\n", to_utf8(folder_).c_str(), ::GetLastError());
        std::abort();
    }
}

ScratchFolder::~ScratchFolder() {
    // Only plain files are ever made in here.
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW(wide_ptr(path(u"*")), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                ::DeleteFileW(wide_ptr(path(reinterpret_cast<const char16_t*>(entry.cFileName))));
            }
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(wide_ptr(folder_));
}

NativePath ScratchFolder::path(std::u16string_view name) const { return folder_ + u"\\" + NativePath(name); }

ScopedStdHandle::ScopedStdHandle(DWORD stream, HANDLE handle)
    : stream_(stream), saved_(::GetStdHandle(stream)) {
    ::SetStdHandle(stream, handle);
}

ScopedStdHandle::~ScopedStdHandle() { ::SetStdHandle(stream_, saved_); }

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
    ::SetEnvironmentVariableW(name, value);
}

ScopedEnvironment::ScopedEnvironment(const char16_t* name, const std::u16string& value)
    : ScopedEnvironment(reinterpret_cast<const wchar_t*>(name), wide_ptr(value)) {}

ScopedEnvironment::~ScopedEnvironment() { ::SetEnvironmentVariableW(name_.c_str(), nullptr); }

}  // namespace velbro::test_support
