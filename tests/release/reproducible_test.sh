#!/bin/bash
# Two builds of the same sources, in two folders of different depth, at different times and
# with different SOURCE_DATE_EPOCH and time zone, must give a byte-identical installer: what a
# release is, must not depend on where, when or by whom it was built.
# Usage: reproducible_test.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The tree as the next commit would hold it: tracked and untracked files, without what git
# ignores (build output, dist/) and without files deleted but not yet committed, so the test
# also passes before a commit.
git -C "$src" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
        case $f in build/* | dist/*) continue ;; esac
        [ -e "$src/$f" ] && printf '%s\0' "$f"
    done >"$work/files"

# build COPY_DIR [VAR=value...]: copies the tree there and builds only the installer, with the
# given environment.
build() {
    local dir=$1
    shift
    mkdir -p "$dir"
    tar -C "$src" --null -T "$work/files" -cf - | tar -C "$dir" -xf -
    if ! (cd "$dir" && env "$@" cmake --preset windows -DBUILD_TESTING=OFF &&
        env "$@" cmake --build --preset installer) >"$dir.log" 2>&1; then
        tail -n 30 "$dir.log"
        echo "FAIL: the build in $dir failed"
        exit 1
    fi
}

first=$work/a
second=$work/second-copy/of-the/sources
build "$first" -u SOURCE_DATE_EPOCH TZ=UTC
build "$second" SOURCE_DATE_EPOCH=946684800 TZ=Pacific/Auckland

exe=build/windows/velbro-vpn.exe
if ! cmp -s "$first/$exe" "$second/$exe"; then
    echo "FAIL: the two builds differ (offset, byte in the first, byte in the second; octal):"
    cmp -l "$first/$exe" "$second/$exe" | head -n 20 || true
    for dir in "$first" "$second"; do
        grep -q -a -F "$dir" "$dir/$exe" && echo "  $dir/$exe contains its build folder"
    done
    exit 1
fi
echo "PASS: both builds are byte-identical ($(stat -c %s "$first/$exe") bytes)"
