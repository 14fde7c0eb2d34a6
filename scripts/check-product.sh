#!/usr/bin/env bash
# Checks a built harbinel.exe: a PE file of the expected format, a GUI
# program, importing only DLLs that Windows ships (the MinGW runtime must be
# linked in statically, never needed beside the exe).
#   usage: check-product.sh harbinel.exe objdump-program expected-format
set -euo pipefail

exe="$1"
objdump="$2"
format="$3"

# DLLs every supported Windows has in its system folder.
system_dlls=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll \
iphlpapi.dll ole32.dll oleaut32.dll shell32.dll user32.dll winhttp.dll ws2_32.dll wsock32.dll "

fail=0
headers="$("$objdump" -p "$exe")"

actual="$("$objdump" -f "$exe" | sed -n 's/.*file format \(.*\)$/\1/p')"
if [[ "$actual" != "$format" ]]; then
    echo "check-product: $exe is '$actual', expected '$format'" >&2
    fail=1
fi

if ! grep -q '^Subsystem.*Windows GUI' <<<"$headers"; then
    echo "check-product: $exe is not a Windows GUI program" >&2
    fail=1
fi

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
if [[ -z "$imports" ]]; then
    echo "check-product: no imports found in $exe" >&2
    fail=1
fi
for dll in $imports; do
    if [[ "$system_dlls" != *" $dll "* ]]; then
        echo "check-product: $exe imports $dll, which Windows does not ship" >&2
        fail=1
    fi
done

if [[ $fail -eq 0 ]]; then
    echo "check-product: $(basename "$exe") is $actual, GUI, imports:" $imports
fi
exit $fail
