#!/usr/bin/env bash
# Makes the two downloads of a release from this checkout, in dist/:
#   harbinel-<version>-portable.zip  harbinel.exe and readme.txt
#   harbinel-<version>-setup.exe     the NSIS installer
# both for the shipped 32-bit Release build, and checks them (the product
# tests: the exe's imports, the zip's contents, the installer's machine and
# version). Installs what is missing first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
cd "$HARBINEL_ROOT"

bash scripts/install-deps.sh

dir=build/win32
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j"$(nproc)" --target harbinel portable installer
ctest --test-dir "$dir" -L product --output-on-failure

# The files of this version only: a build folder may still hold an earlier
# version's.
version="$(sed -n 's/^project(Harbinel VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt).0"
mkdir -p dist
echo "package: made"
for file in "harbinel-$version-portable.zip" "harbinel-$version-setup.exe"; do
    cp "$dir/$file" dist/
    printf '  %s (%s bytes)\n' "$HARBINEL_ROOT/dist/$file" "$(stat -c %s "dist/$file")"
done
