// The deadline keeps the test and its children in one job so a missed deadline can find them.
#include "child_deadline.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

}  // namespace velbro::test_support
