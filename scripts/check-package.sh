#!/usr/bin/env bash
# Checks the two downloads against the exe they were made from: the portable
# zip holds exactly harbinel.exe (the same bytes) and readme.txt (CR LF line
# ends, naming the version), and the installer is a Windows GUI program of
# the exe's machine carrying that version.
#   usage: check-package.sh harbinel.exe portable.zip setup.exe version
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

exe="$1"
zip="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
setup="$3"
version="$4"

fail=0
complain() {
    echo "check-package: $*" >&2
    fail=1
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

listing="$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')"
[[ "$listing" == "harbinel.exe readme.txt " ]] || complain "$zip holds '$listing'"
(cd "$work" && cmake -E tar xf "$zip")
cmp -s "$exe" "$work/harbinel.exe" || complain "the zip's harbinel.exe is not $exe"
if [[ -f "$work/readme.txt" ]]; then
    lines=$(wc -l <"$work/readme.txt")
    crlf=$(grep -c $'\r$' "$work/readme.txt" || true)
    [[ "$lines" -gt 0 && "$lines" -eq "$crlf" ]] || complain "readme.txt has $crlf CR LF ends in $lines lines"
    grep -q "Harbinel $version" "$work/readme.txt" || complain "readme.txt does not name version $version"
fi

[[ "$(pe_machine "$setup")" == "$(pe_machine "$exe")" ]] ||
    complain "$setup is for $(pe_machine "$setup"), the exe for $(pe_machine "$exe")"
# The version record stores its texts in UTF-16: each character then a zero.
pattern=""
for ((i = 0; i < ${#version}; i++)); do
    pattern+="$(printf '\\x%02x' "'${version:i:1}")\\x00"
done
LC_ALL=C grep -aqP "$pattern" "$setup" || complain "$setup carries no version $version"

exit $fail
