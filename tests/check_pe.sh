#!/usr/bin/env bash
# Checks that an exe is a PE32 GUI program for i386 with subsystem version 4.0
# and no symbol table,
# that it imports only the allowed system DLLs, and that every function it
# imports is exported by the Windows 98 SE DLL of that name.
#   check_pe.sh EXE WIN98_EXPORT_DIR
set -uo pipefail
exe=$1
exports=$2
dump=$(i686-w64-mingw32-objdump -p "$exe") || { echo "FAIL: cannot read $exe"; exit 1; }
fail=0
check() { if ! grep -qE "$1" <<<"$dump"; then echo "FAIL: $2"; fail=1; fi; }
check 'file format pei-i386' "not a PE for i386"
check 'Magic[[:space:]]+010b' "not PE32"
check 'Subsystem[[:space:]]+00000002' "not the GUI subsystem"
check 'MajorSubsystemVersion[[:space:]]+4$' "subsystem major version is not 4"
check 'MinorSubsystemVersion[[:space:]]+0$' "subsystem minor version is not 0"
# A release carries no symbol table.
if i686-w64-mingw32-objdump -f "$exe" | grep -q HAS_SYMS; then echo "FAIL: carries a symbol table"; fail=1; fi

allowed="kernel32 user32 gdi32 advapi32 comctl32 version msvcrt wnaspi32"
checked=0
current=""
while IFS= read -r line; do
    if [[ $line =~ DLL\ Name:\ (.*)$ ]]; then
        current=$(tr 'A-Z' 'a-z' <<<"${BASH_REMATCH[1]%.*}")
        if ! grep -qw "$current" <<<"$allowed"; then
            echo "FAIL: imports ${BASH_REMATCH[1]}, not a system DLL"
            fail=1
        fi
        continue
    fi
    [ -z "$current" ] && continue
    if [[ $line =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+([A-Za-z_][A-Za-z0-9_@]*)$ ]]; then
        name=${BASH_REMATCH[1]}
        list="$exports/$current.dll.txt"
        if [ ! -f "$list" ]; then
            echo "FAIL: no Windows 98 export list for $current"
            fail=1
        elif ! grep -qx "$name" "$list"; then
            echo "FAIL: $current!$name is not exported by Windows 98 SE"
            fail=1
        fi
        checked=$((checked + 1))
    elif [[ -z ${line// /} ]]; then
        current=""
    fi
done <<<"$dump"
[ "$checked" -gt 0 ] || { echo "FAIL: no imports found"; fail=1; }
[ $fail = 0 ] && echo "ok: $exe is PE32/i386 GUI 4.0, $checked imports all present on Windows 98 SE"
exit $fail
