#!/usr/bin/env bash
# Static analysis of the program's code (src/): clang-tidy with the checks in
# .clang-tidy, against the compile commands of a MinGW build directory, and
# cppcheck with the suppressions in .cppcheck-suppressions. Any finding fails.
#   usage: analyse.sh BUILD_DIR TARGET_TRIPLE    (e.g. build/win32 i686-w64-mingw32)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"
triple="$2"
cd "$root"

if [[ ! -f "$build/compile_commands.json" ]]; then
    echo "analyse: no compile commands in $build (configure it first)" >&2
    exit 1
fi

status=0
echo "clang-tidy: $(ls src/*/*.cpp | wc -l) files"
if ! ls src/*/*.cpp | xargs -P "$(nproc)" -n 1 \
    clang-tidy -quiet -p "$build" --extra-arg=--target="$triple" 2>/dev/null; then
    status=1
fi

echo "cppcheck"
if ! cppcheck -q --enable=warning,style,performance,portability --std=c++17 \
    --library=windows --platform=win32A -D_WIN32 -I src -I resources \
    --inline-suppr --suppressions-list=.cppcheck-suppressions --error-exitcode=1 src; then
    status=1
fi

if [[ $status -ne 0 ]]; then echo "analyse: findings above" >&2; fi
exit $status
