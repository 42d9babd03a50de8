// Starting a child with exactly the command line we built and only the standard handles we
// mean it to have, then waiting for its exit code.
#include "platform/child_process_win.h"

#include <array>

#include "platform/system_error_win.h"
#include "platform/unique_handle_win.h"

namespace velbro {
namespace {

// Held while inheritable copies of the standard handles exist, so that a child started by
// another thread at that moment cannot inherit them too.
SRWLOCK spawn_lock = SRWLOCK_INIT;

class SpawnLockGuard {
public:
    SpawnLockGuard() { ::AcquireSRWLockExclusive(&spawn_lock); }
    ~SpawnLockGuard() { ::ReleaseSRWLockExclusive(&spawn_lock); }
    SpawnLockGuard(const SpawnLockGuard&) = delete;
    SpawnLockGuard& operator=(const SpawnLockGuard&) = delete;
};

static_assert(sizeof(STARTUPINFOW) == 104);

// The three standard streams as inheritable duplicates; a stream the installer lacks stays
// empty.
Result<std::array<UniqueHandle, 3>, SystemError> duplicate_std_handles() {
    std::array<UniqueHandle, 3> duplicates;
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (std::size_t i = 0; i < duplicates.size(); ++i) {
        const HANDLE handle = ::GetStdHandle(streams[i]);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
        HANDLE duplicate = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &duplicate, 0,
                               TRUE, DUPLICATE_SAME_ACCESS)) {
            return last_system_error();
        }
        duplicates[i].reset(duplicate);
    }
    return duplicates;
}

struct StartedChild {
    UniqueHandle process;
    UniqueHandle thread;
};

Result<StartedChild, SystemError> start_child(std::u16string& application,
                                              std::u16string& command_line) {
    // Declared after the lock, so the duplicates close before it is released, on every path.
    SpawnLockGuard lock;
    auto duplicates = duplicate_std_handles();
    if (!duplicates.ok()) return duplicates.error();
    const auto& [input, output, error] = duplicates.value();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (input || output || error) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = error.get();
    }
    PROCESS_INFORMATION info{};
    // The command line buffer must be writable: CreateProcessW may change it in place.
    if (!::CreateProcessW(wide_ptr(application), wide_ptr(command_line), nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &info)) {
        return last_system_error();
    }
    return StartedChild{UniqueHandle(info.hProcess), UniqueHandle(info.hThread)};
}

}  // namespace

Result<std::uint32_t, SystemError> run_and_wait(const ChildCommand& command) {
    // Passed as the application name, the path is used as it is: no search, no ".exe" added.
    if (command.program.find(u'\0') != NativePath::npos) return nul_in_data_error();
    std::u16string application = command.program;
    auto command_line = build_command_line(command.program, command.arguments);
    if (!command_line.ok()) return command_line.error();

    auto child = start_child(application, command_line.value());
    if (!child.ok()) return child.error();
    const StartedChild& started = child.value();

    if (::WaitForSingleObject(started.process.get(), INFINITE) != WAIT_OBJECT_0) {
        return last_system_error();
    }
    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(started.process.get(), &exit_code)) return last_system_error();
    return static_cast<std::uint32_t>(exit_code);
}

}  // namespace velbro
