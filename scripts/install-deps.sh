#!/usr/bin/env bash
# Installs what building and testing Harbinel needs on Debian: CMake, the host
# compiler and GoogleTest for the unit tests, both MinGW-w64 cross compilers
# (posix threads), Wine (32- and 64-bit), clang-format, the static analysers
# clang-tidy and cppcheck, NSIS for the installer, rsyslog (the syslog
# collector of the end-to-end tests) and the fonts Wine ships (fonts-wine:
# Marlett draws the caption buttons and menu arrows when run.sh shows a
# window; only a recommendation of Wine's, so named here). Installs only
# what is missing, so running it again is cheap.
set -euo pipefail

packages=(cmake make g++ googletest clang-format clang-tidy cppcheck nsis rsyslog
    wine wine32:i386 wine64 fonts-wine
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=1
fi

missing=()
for package in "${packages[@]}"; do
    if ! is_installed "$package"; then
        missing+=("$package")
    fi
done

if [[ $need_i386 -eq 0 && ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [[ $need_i386 -eq 1 ]]; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
