// What the Windows tests share, one home each: a deadline for tests that start children, a
// count of this process's open handles, a scratch folder and the file helpers, the standard
// streams and the environment while a test changes them, the check of a system error's text,
// and where the build keeps the programs and packages the tests use.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquire/work_paths.h"
#include "platform/command_line.h"
#include "platform/unique_handle_win.h"

namespace velbro::test_support {

// Runs `body`, which starts children. If it has not returned by the deadline, every child the
// test started is ended and the test exits with 1 and a message: the run fails, not stalls.
// The test process joins a job for this, so a test that makes jobs of its own cannot use it.
void within_deadline(const char* what, const std::function<void()>& body, DWORD deadline_ms = 30000);

// The ids of the processes in a job, or none when the job cannot be read.
std::vector<DWORD> processes_in(HANDLE job);

bool running_under_wine();

// Open handles of this process, found by probing handle values: under Wine
// GetProcessHandleCount always reports 0.
int count_handles();

// Fails the test when `body` leaves a handle open. `body` runs twice and is counted the second
// time: the first child, the first trust check and the like load and cache what the process
// keeps from then on.
void expect_no_handle_left_open(const std::function<void()>& body);

// The process's temporary directory, with its trailing backslash.
NativePath temp_dir();

// A new, empty folder in the temporary directory, its name with a space and non-ASCII letters.
// At the end it is deleted with everything in it, read-only entries too, by plain Windows
// calls (not by the product's removal, which tests of the removal check). A folder that cannot
// be made fails the test.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const NativePath& path() const { return folder_; }
    // `relative` may name something inside a folder inside: u"sub\\file.txt".
    NativePath path(std::u16string_view relative) const { return folder_ + u"\\" + NativePath(relative); }

    // The work paths of a run in this folder: `system32_dir` as given, the package and the log
    // inside the folder.
    WorkPaths work_paths(const NativePath& system32_dir) const;

private:
    NativePath folder_;
};

// Each reports a failure to GoogleTest.
void make_dir(const NativePath& path);
void make_file(const NativePath& path, std::string_view contents = "x");
void copy_file(const NativePath& from, const NativePath& to);
void set_attributes(const NativePath& path, DWORD attributes);
// Everything in an open file from its start, or everything a pipe gives until its writer closes.
std::string read_all(HANDLE file);
// The whole file; a file that cannot be opened gives "(cannot open: <error>)".
std::string read_file(const NativePath& path);

// INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD attributes_of(const NativePath& path);
bool exists(const NativePath& path);
bool is_dir(const NativePath& path);
// The names in a folder, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const NativePath& path);
// 0 when the file was deleted, otherwise the error code.
DWORD delete_file(const NativePath& path);
// 0 when the file can be opened with this access and share mode, otherwise the error code.
DWORD open_error(const NativePath& path, DWORD access, DWORD share);
// The file held open as a virus scanner might hold the new package: shared for reading and
// writing but not for deleting, so every delete fails with a sharing violation until the handle
// is closed. Share modes belong to handles, not processes: held here, it is the same to Windows.
UniqueHandle hold_open(const NativePath& path);

// Points one standard handle elsewhere while it lives; children started meanwhile get it.
class ScopedStdHandle {
public:
    ScopedStdHandle(DWORD stream, HANDLE handle);
    ~ScopedStdHandle();
    ScopedStdHandle(const ScopedStdHandle&) = delete;
    ScopedStdHandle& operator=(const ScopedStdHandle&) = delete;

private:
    DWORD stream_;
    HANDLE saved_;
};

// A new file in place of one standard stream while it lives, holding `contents` to be read:
// what the code under test and its children write there can be checked.
class CapturedStream {
public:
    explicit CapturedStream(const NativePath& file, DWORD stream = STD_OUTPUT_HANDLE,
                            std::string_view contents = {});
    HANDLE get() const { return file_.get(); }
    std::string text() const;
    void clear();

private:
    UniqueHandle file_;
    ScopedStdHandle swap_;
};

// Sets an environment variable, which children inherit, or removes it when given no value;
// the old value comes back at the end.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::u16string_view name, std::optional<std::u16string_view> value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::u16string name_;
    std::optional<std::u16string> saved_;
};

// `text` is `prefix`, a message of the system's own on one line (in its words, which under Wine
// are not Windows'), " (os error <code>)" and `suffix`.
::testing::AssertionResult is_system_error_text(std::string_view text, std::string_view prefix,
                                                std::int32_t code, std::string_view suffix = {});

// A file in the folder of the running test program: the helper programs a test starts travel
// with it, in the build folder and in the Windows check kit alike.
NativePath beside_this_program(std::u16string_view name);
// A file of the build folder, as Wine shows it; `relative` is the path below the build folder.
NativePath build_path(std::u16string_view relative);
// A package that tests/fixtures/make_fixtures.sh made, by its file name.
NativePath fixture_package(std::u16string_view name);
// The folder with our stand-in curl.exe and msiexec.exe.
NativePath stub_system32();

// What a stand-in tool expects in VELBRO_STUB_ARGS: the command's arguments, one a line.
std::u16string stub_arguments(const ChildCommand& command);

// The test packages that Wine's msiexec really installs. Each records the properties it was
// given under HKLM\Software\Velbro Tests\<its name>.
struct InstallablePackage {
    std::u16string_view name;
    std::u16string_view product_code;
};
inline constexpr InstallablePackage INSTALL_OK{u"install-ok", u"{BBE61C69-F434-405C-84A9-DE2C4038917E}"};
inline constexpr InstallablePackage INSTALL_REBOOT{u"install-reboot",
                                                  u"{8DCFF251-90ED-461A-B361-47AD06D4E1C0}"};

// A property as the installed package recorded it; none when it is not installed.
std::optional<std::string> recorded_property(const InstallablePackage& package, std::u16string_view property);

// Takes the package away with Wine's msiexec and no user interface, so that nothing waits for
// a click when it is not installed, and forgets what it recorded. A test calls it first and
// last: an earlier run may have stopped half-way.
void uninstall(const InstallablePackage& package);

}  // namespace velbro::test_support
