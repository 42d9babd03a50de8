// The work area's file operations carried out by Windows' own file calls, and the descriptor
// the work directory is created with.
#pragma once

#include <windows.h>

#include <string_view>

#include "acquire/work_area/file_operations.h"
#include "platform/result.h"
#include "platform/system_error.h"
#include "platform/unique_handle_win.h"

namespace velbro {

// One for the process, so that OBJ_DONT_REPARSE, once switched off, stays off.
FileOperations& windows_file_operations();

// The Win32 error of an NTSTATUS, as RtlNtStatusToDosError gives it, except that a pending
// deletion stays ERROR_DELETE_PENDING instead of becoming "access denied".
DWORD error_of_status(LONG status);

inline FileHandle file_handle(HANDLE handle) { return FileHandle(reinterpret_cast<std::uintptr_t>(handle)); }

// The work directory's protection: full control for SYSTEM and the Administrators group
// only, inherited by everything inside, nothing inherited from above. The owner is named:
// left to the token, it is the employee's own account where policy makes the creator the
// owner, and an owner may always rewrite the DACL.
inline constexpr std::u16string_view WORK_DIR_SDDL = u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// WORK_DIR_SDDL as a security descriptor, owned by its LocalFree owner.
Result<UniqueLocal, SystemError> build_work_dir_descriptor();

}  // namespace velbro
