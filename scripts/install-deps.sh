#!/usr/bin/env bash
# Installs what building and testing Harbinel needs on Debian: CMake, the host
# compiler and GoogleTest for the unit tests, both MinGW-w64 cross compilers
# (posix threads), Wine (32- and 64-bit), clang-format, the static analysers
# clang-tidy and cppcheck, NSIS for the installer, rsyslog (the syslog
# collector of the end-to-end tests) and the fonts Wine ships (fonts-wine:
# Marlett draws the caption buttons and menu arrows when run.sh shows a
# window; only a recommendation of Wine's, so named here). Installs only
# what is missing, so running it again is cheap. Packages named as arguments
# are installed with them (the screenshot tools, say).
#
# A mirror caught mid-sync fails one of its indexes (the security suite's,
# say) while the release's own suite is whole: the update is tried three
# times, and if an index still fails the packages come from the release's
# suite (-t <codename>). Only a package that cannot be installed fails the
# run, and it is named.
set -euo pipefail

packages=(cmake make g++ googletest clang-format clang-tidy cppcheck nsis rsyslog
    wine wine32:i386 wine64 fonts-wine
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    "$@")

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

updated=0
for attempt in 1 2 3; do
    if "${sudo[@]}" apt-get update -q; then
        updated=1
        break
    fi
    echo "install-deps: apt-get update failed (attempt $attempt of 3)"
done

release=()
if [[ $updated -eq 0 ]]; then
    codename="$( . /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")"
    if [[ -z "$codename" ]]; then
        codename="$(lsb_release -sc 2>/dev/null || true)"
    fi
    echo "install-deps: a package index still fails to download; installing from the release's suite ($codename)"
    if [[ -n "$codename" ]]; then
        release=(-t "$codename")
    fi
fi

apt_install() {
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${release[@]}" "$@"
}

if apt_install "${missing[@]}"; then
    exit 0
fi
# Which ones: each package still missing is tried on its own.
failed=()
for package in "${missing[@]}"; do
    if ! is_installed "$package" && ! apt_install "$package"; then
        failed+=("$package")
    fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "install-deps: could not install ${failed[*]}" >&2
    exit 1
fi
