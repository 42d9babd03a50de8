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
[ "$files" = "argv_echo.exe changed-payload.msi platform_windows_tests.exe run-checks.cmd ui_windows_tests.exe \
unsigned.msi untrusted-root.msi velbro-vpn.exe windows-checks.exe work_area_windows_tests.exe" ] ||
    fail "the kit holds: $files"
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

# Each check | what it gives under Wine | what it gives on Windows' roads under Wine, with Wine
# detection switched off: Wine cannot change a token's default owner, the scratch folder lacks
# POSIX deletion, the process the symbolic-link privilege; Wine's trust provider accepts the two
# packages Windows refuses, and Wine has no curl.exe.
wine="skipped Wine cannot make links"
scratch="incomplete the kit's scratch folder is not on a local fixed volume that supports POSIX deletion"
privilege="incomplete no privilege to create symbolic links, even after enabling it"
checks=$(cat <<EOF2
work directory protected, full control for SYSTEM and Administrators only|skipped Wine does not keep a folder's \
security descriptor|failed cannot act with the user as the default owner
junction inside the work directory removed as a link|$wine|$scratch
directory symbolic link inside the work directory removed as a link|$wine|$privilege
file symbolic link inside the work directory removed as a link|$wine|$privilege
junction at the work directory's name refused, left as it stands|$wine|$scratch
directory symbolic link at the work directory's name refused, left as it stands|$wine|$privilege
file symbolic link at the work directory's name refused, left as it stands|$wine|$privilege
junction to a missing folder at the work directory's name refused, nothing made where it led|$wine|$scratch
standard user's folder at the work directory's name, a file in it under an oplock, refused at once|$wine|$scratch
hard link to a read-only file outside stops the fallback removal, the file unchanged|skipped the removal's tests \
take this road under Wine|$scratch
open and read-only files removed at once (FileDispositionInfoEx)|skipped Wine refuses FileDispositionInfoEx|$scratch
OBJ_DONT_REPARSE still in force after the link and removal checks|$wine|$scratch
log path in the temporary directory from GetTempPath2W|skipped Wine 8 does not export GetTempPath2W|incomplete \
this Windows has no GetTempPath2W
child writes through the handles it was given, and finds no other of ours|skipped Wine hands a child the standard \
handles even when they are not inherited|$scratch
unsigned package refused|passed|passed
package signed under an unknown root refused|skipped Wine does not judge the chain of a SHA-256 signing \
certificate|failed accepted by verify_publisher
package changed after signing refused|skipped Wine does not check an MSI's content against its \
signature|failed accepted by verify_publisher
vendor package downloaded, accepted and held read-shared|skipped the test command has no network, and Wine no \
curl.exe|incomplete curl.exe: cannot start it (error 2)
child process runner and error texts (platform_windows_tests.exe)|passed|passed
console output (ui_windows_tests.exe)|passed|passed
work area and removal (work_area_windows_tests.exe)|passed|passed
EOF2
)
# The kit's lines for column $1 of the table, and its summary, in $work/expected.
expect_column() {
    awk -F '|' -v column="$1" '{
        verdict = $column; sub(/ .*/, "", verdict); reason = substr($column, length(verdict) + 2); ++count[verdict]
        printf "%-7s %s%s\n", verdict, $1, reason == "" ? "" : ": " reason
    } END {
        printf "%d passed, %d failed, %d skipped, %d incomplete\n", count["passed"], count["failed"],
            count["skipped"], count["incomplete"]
    }' <<<"$checks" >"$work/expected"
}
expect_lines() {
    diff "$work/expected" "$work/output" >&2 || {
        cat "$work/errors" >&2
        # -s: a program that failed before writing its results left no file.
        grep -s -h -A 4 '<failure' "$work/kit/logs/"*.xml >&2 || true
        fail "the kit's lines differ (above)"
    }
}

run_kit
expect_column 2
expect_lines
[ "$code" -eq 0 ] || fail "exit code $code after a run without failures"

export VELBRO_CHECKS_NOT_WINE=1
run_kit
expect_column 3
expect_lines
[ "$code" -eq 1 ] || fail "exit code $code after a run with failed checks"
run_kit "open and" "log path" "console"
{ grep -e '^incomplete open and' -e '^incomplete log path' -e '^passed  console' "$work/expected"
  echo "1 passed, 0 failed, 0 skipped, 2 incomplete"; } >"$work/chosen" && mv "$work/chosen" "$work/expected"
expect_lines
[ "$code" -eq 2 ] || fail "exit code $code after a run with incomplete checks and no failures"
unset VELBRO_CHECKS_NOT_WINE

rm "$work/kit/argv_echo.exe"
run_kit
grep -qx 'failed  child process runner and error texts (platform_windows_tests.exe): exit code [0-9]* .*' \
    "$work/output" && [ "$(tail -n 1 "$work/output")" = "3 passed, 1 failed, 17 skipped, 0 incomplete" ] ||
    { cat "$work/output" >&2; fail "a failing check is not reported as failed"; }
[ "$code" -eq 1 ] || fail "exit code $code after a failed check"
