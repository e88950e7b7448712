#!/usr/bin/env bash
# Checks that Discmend.exe is reproducible: no link time stamp in its headers,
# no path of the checkout or of its build in its bytes, and a second build of
# the same sources in another folder gives the same bytes.
#   check_reproducible.sh EXE CHECKOUT
set -uo pipefail
exe=$1
src=$(cd "$2" && pwd)
fail=0
# COFF header time stamp, the debug directory and the resource directory's stamp.
python3 - "$exe" <<'PY' || fail=1
import struct, sys
b = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", b, 0x3C)[0]
nsec, stamp = struct.unpack_from("<HI", b, pe + 6)
opt = pe + 24
dirs = opt + 96
rsrc_rva, _ = struct.unpack_from("<II", b, dirs + 8 * 2)
debug = struct.unpack_from("<II", b, dirs + 8 * 6)
bad = []
if stamp:
    bad.append(f"link time stamp {stamp:#x}")
if debug != (0, 0):
    bad.append(f"a debug directory {debug}")
sections = opt + struct.unpack_from("<H", b, pe + 20)[0]
for i in range(nsec):
    _, vsize, va, _, raw = struct.unpack_from("<8sIIII", b, sections + 40 * i)
    if va <= rsrc_rva < va + vsize:
        rstamp = struct.unpack_from("<I", b, raw + rsrc_rva - va + 4)[0]
        if rstamp:
            bad.append(f"resource directory time stamp {rstamp:#x}")
for what in bad:
    print("FAIL: " + what)
sys.exit(1 if bad else 0)
PY
if grep -aqF "$src" "$exe"; then
    echo "FAIL: the exe holds the checkout path $src"
    fail=1
fi

# The second build: the checkout's files (as they are now) in another folder.
scratch=$(mktemp -d /tmp/discmend-repro.XXXXXXXX)
trap 'rm -rf "$scratch"' EXIT
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$src" && git ls-files -co --exclude-standard -z | grep -zv '^build/' |
        xargs -0 cp --parents -t "$scratch")
else
    (cd "$src" && tar --exclude=./build --exclude=./dist --exclude=./out -cf - . | tar -xf - -C "$scratch")
fi || { echo "FAIL: cannot copy the sources"; exit 1; }
if ! bash "$scratch/scripts/build-exe.sh" "$scratch/build/win"; then
    echo "FAIL: the second build failed"
    exit 1
fi
if ! cmp -s "$exe" "$scratch/build/win/Discmend.exe"; then
    echo "FAIL: a build in $scratch differs: $(cmp "$exe" "$scratch/build/win/Discmend.exe" | head -1)"
    fail=1
fi
[ $fail = 0 ] && echo "reproducible: $(sha256sum < "$exe" | cut -c1-64)"
exit $fail
