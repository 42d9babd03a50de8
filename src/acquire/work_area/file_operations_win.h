// The work area's file operations carried out by Windows' own file calls.
#pragma once

#include <windows.h>

#include "acquire/work_area/file_operations.h"

namespace velbro {

// One for the process, so that OBJ_DONT_REPARSE, once switched off, stays off.
FileOperations& windows_file_operations();

// The Win32 error of an NTSTATUS, as RtlNtStatusToDosError gives it, except that a pending
// deletion stays ERROR_DELETE_PENDING instead of becoming "access denied".
DWORD error_of_status(LONG status);

inline FileHandle file_handle(HANDLE handle) { return FileHandle(reinterpret_cast<std::uintptr_t>(handle)); }

}  // namespace velbro
