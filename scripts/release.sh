#!/usr/bin/env bash
# Builds the download for Windows users: dist/Discmend-<version>.zip with
# Discmend.exe, the guides README.txt (English) and README-ja.txt (Japanese,
# Shift-JIS), both with CR LF line ends, and SHA256SUMS. The version is the
# file version of the program's version resource. Two runs for one commit
# give the same bytes in any folder: the exe builds reproducibly, and the zip
# holds its files in a fixed order with the commit's time and fixed
# permissions. Prints the zip's path and its SHA-256.
#   bash scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2

version=$(sed -nE 's/^[[:space:]]*FILEVERSION[[:space:]]+([0-9]+),[[:space:]]*([0-9]+),[[:space:]]*([0-9]+),[[:space:]]*([0-9]+).*/\1.\2.\3.\4/p' resources/discmend.rc)
[ -n "$version" ] || { echo "release: no FILEVERSION in resources/discmend.rc" >&2; exit 1; }
# The zip's time: the commit's, or the one SOURCE_DATE_EPOCH gives.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}

bash scripts/build-exe.sh build/release
python3 tests/check_guide.py . >&2

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp build/release/Discmend.exe "$stage/"
# The guides are kept as UTF-8 with LF; Notepad on Windows 98 wants the
# user's code page and CR LF. iconv stops at a character that Shift-JIS
# lacks, and the round trip must give the source back, so nothing is
# dropped or changed on the way.
convert() {  # source, target, code page
    local src=docs/guide/$1
    iconv -f UTF-8 -t UTF-8 "$src" >/dev/null || { echo "release: $src is not UTF-8" >&2; exit 1; }
    if grep -q $'\r' "$src"; then echo "release: $src has CR line ends; keep LF" >&2; exit 1; fi
    iconv -f UTF-8 -t "$3" "$src" >"$stage/$2.lf" || { echo "release: $src has characters $3 lacks" >&2; exit 1; }
    iconv -f "$3" -t UTF-8 "$stage/$2.lf" | cmp -s - "$src" || { echo "release: $src changes in $3" >&2; exit 1; }
    sed 's/$/\r/' "$stage/$2.lf" >"$stage/$2"
    rm "$stage/$2.lf"
}
convert README.txt README.txt ASCII
convert README-ja.txt README-ja.txt CP932
(cd "$stage" && sha256sum Discmend.exe README.txt README-ja.txt >SHA256SUMS)

mkdir -p dist
zip=dist/Discmend-$version.zip
python3 - "$stage" "$zip" "$epoch" <<'PY'
import sys, time, zipfile
stage, target, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times start in 1980
with zipfile.ZipFile(target, "w") as z:
    for name in ("Discmend.exe", "README.txt", "README-ja.txt", "SHA256SUMS"):
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(f"{stage}/{name}", "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
PY
echo "$(pwd)/$zip"
sha256sum "$zip" | cut -d' ' -f1
