// The control for the planted-DLL test: loads wintrust.dll by its bare name, with the default
// search order, which looks in the program's own folder first. Exit 0 when it loaded.
#include <windows.h>

int wmain() { return ::LoadLibraryW(L"wintrust.dll") != nullptr ? 0 : 1; }
