#include "held_file.h"

#include <gtest/gtest.h>

#include <string>

namespace velbro::test {
namespace {

constexpr DWORD HELPER_READY_MS = 10000;

}  // namespace

HeldFile::HeldFile(const NativePath& path) {
    // The job ends the helper with the test, however the test ends.
    job_.reset(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

    static unsigned long counter = 0;
    NativePath event_name = to_wide("velbro-work-area-hold-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                    std::to_string(++counter));
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
