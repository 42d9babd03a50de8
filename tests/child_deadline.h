// What every Windows test that starts children shares: a deadline that ends them all instead
// of letting the test hang, and a count of this process's open handles.
#pragma once

#include <windows.h>

#include <functional>

namespace velbro::test_support {

// Runs `body`, which starts children. If it has not returned by the deadline, every child the
// test started is ended and the test exits with 1 and a message: the run fails, not stalls.
void within_deadline(const char* what, const std::function<void()>& body, DWORD deadline_ms = 30000);

// Open handles of this process, found by probing handle values: under Wine
// GetProcessHandleCount always reports 0.
int count_handles();

}  // namespace velbro::test_support
