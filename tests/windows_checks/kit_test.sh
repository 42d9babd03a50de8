#!/bin/bash
# The check kit under Wine, unpacked and run through Wine's cmd as the IT person runs it: what
# can run here passes, every Windows-only check is skipped with its reason, and the summary
# and exit code agree. With Wine detection switched off the Windows-only checks take Windows'
# roads: those missing a precondition here are incomplete and the run exits 2, one failing
# check makes it exit 1. With a helper program taken out, its check fails and so does the run.
# Packed again from other copies in another order, the zip is the same.
# Usage: kit_test.sh KIT.zip pack_kit.py wine-run.sh PREFIX
set -eu
kit=$1 pack=$2 wine_run=$3 prefix=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/velbro-kit.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

python3 -m zipfile -e "$kit" "$work/kit"
files=$(cd "$work/kit" && echo *)
[ "$files" = "argv_echo.exe platform_windows_tests.exe run-checks.cmd ui_windows_tests.exe velbro-vpn.exe \
windows-checks.exe work_area_windows_tests.exe" ] || fail "the kit holds: $files"
touch -d '2001-02-03 04:05' "$work/kit/"*
python3 "$pack" "$work/again.zip" $(ls -r "$work/kit/"*)
cmp "$kit" "$work/again.zip" || fail "the same files packed again give another zip"

# The kit's lines (without CRs) in $work/output, its exit code in $code; arguments choose checks.
run_kit() {
    code=0
    (cd "$work/kit" && timeout 150 "$wine_run" "$prefix" cmd /c run-checks.cmd "$@" </dev/null) \
        >"$work/output" 2>"$work/errors" || code=$?
    sed -i 's/\r$//' "$work/output"
}

run_kit
wine="Wine cannot make links"
cat >"$work/expected" <<EOF2
skipped work directory protected, full control for SYSTEM and Administrators only: \
Wine does not keep a folder's security descriptor
skipped junction inside the work directory removed as a link: $wine
skipped directory symbolic link inside the work directory removed as a link: $wine
skipped file symbolic link inside the work directory removed as a link: $wine
skipped junction at the work directory's name replaced by a fresh directory: $wine
skipped directory symbolic link at the work directory's name replaced by a fresh directory: $wine
skipped file symbolic link at the work directory's name replaced by a fresh directory: $wine
skipped junction to a missing folder at the work directory's name replaced, nothing made where it led: $wine
skipped hard link to a read-only file outside stops the fallback removal, the file unchanged: \
the removal's tests take this road under Wine
skipped open and read-only files removed at once (FileDispositionInfoEx): Wine refuses FileDispositionInfoEx
skipped OBJ_DONT_REPARSE still in force after the link and removal checks: $wine
skipped log path in the temporary directory from GetTempPath2W: Wine 8 does not export GetTempPath2W
skipped child writes through the handles it was given, and finds no other of ours: \
Wine hands a child the standard handles even when they are not inherited
passed  child process runner and error texts (platform_windows_tests.exe)
passed  console output (ui_windows_tests.exe)
passed  work area and removal (work_area_windows_tests.exe)
3 passed, 0 failed, 13 skipped, 0 incomplete
EOF2
expect_lines() {
    diff "$work/expected" "$work/output" >&2 || {
        cat "$work/errors" >&2
        # -s: a program that failed before writing its results left no file.
        grep -s -h -A 4 '<failure' "$work/kit/logs/"*.xml >&2 || true
        fail "the kit's lines differ (above)"
    }
}
expect_lines
[ "$code" -eq 0 ] || fail "exit code $code after a run without failures"

# Wine's folders keep their creator as owner; the scratch folder lacks POSIX deletion, the
# process the symbolic-link privilege.
export VELBRO_CHECKS_NOT_WINE=1
run_kit
scratch="the kit's scratch folder is not on a local fixed volume that supports POSIX deletion"
privilege="no privilege to create symbolic links, even after enabling it"
cat >"$work/expected" <<EOF2
failed  work directory protected, full control for SYSTEM and Administrators only: \
its owner is O:S-1-5-21-0-0-0-1000
incomplete junction inside the work directory removed as a link: $scratch
incomplete directory symbolic link inside the work directory removed as a link: $privilege
incomplete file symbolic link inside the work directory removed as a link: $privilege
incomplete junction at the work directory's name replaced by a fresh directory: $scratch
incomplete directory symbolic link at the work directory's name replaced by a fresh directory: $privilege
incomplete file symbolic link at the work directory's name replaced by a fresh directory: $privilege
incomplete junction to a missing folder at the work directory's name replaced, nothing made where it led: $scratch
incomplete hard link to a read-only file outside stops the fallback removal, the file unchanged: $scratch
incomplete open and read-only files removed at once (FileDispositionInfoEx): $scratch
incomplete OBJ_DONT_REPARSE still in force after the link and removal checks: $scratch
incomplete log path in the temporary directory from GetTempPath2W: this Windows has no GetTempPath2W
incomplete child writes through the handles it was given, and finds no other of ours: $scratch
passed  child process runner and error texts (platform_windows_tests.exe)
passed  console output (ui_windows_tests.exe)
passed  work area and removal (work_area_windows_tests.exe)
3 passed, 1 failed, 0 skipped, 12 incomplete
EOF2
expect_lines
[ "$code" -eq 1 ] || fail "exit code $code after a run with one failed check"
run_kit "open and" "log path" "console"
{ grep -e '^incomplete open and' -e '^incomplete log path' -e '^passed  console' "$work/expected"
  echo "1 passed, 0 failed, 0 skipped, 2 incomplete"; } >"$work/chosen" && mv "$work/chosen" "$work/expected"
expect_lines
[ "$code" -eq 2 ] || fail "exit code $code after a run with incomplete checks and no failures"
unset VELBRO_CHECKS_NOT_WINE

rm "$work/kit/argv_echo.exe"
run_kit
grep -qx 'failed  child process runner and error texts (platform_windows_tests.exe): exit code [0-9]* .*' \
    "$work/output" && [ "$(tail -n 1 "$work/output")" = "2 passed, 1 failed, 13 skipped, 0 incomplete" ] ||
    { cat "$work/output" >&2; fail "a failing check is not reported as failed"; }
[ "$code" -eq 1 ] || fail "exit code $code after a failed check"
