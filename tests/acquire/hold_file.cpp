// Test helper: holds a file open without FILE_SHARE_DELETE, as another program might, until
// it is ended. Usage: velbro_hold_file <path> <name of the event to set once it holds it>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const HANDLE file = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    const HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (ready == nullptr || !::SetEvent(ready)) return 4;
    // The test ends this process; the limit only bounds one that was left behind.
    ::Sleep(60000);
    return 0;
}
