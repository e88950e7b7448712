#!/usr/bin/env bash
# Builds only Discmend.exe, into a build tree of the given folder (made as
# build/win is made by scripts/build.sh). The release and the check that
# the build is reproducible use it.
#   bash scripts/build-exe.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
if [ ! -f "$dir/Makefile" ]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
fi
cmake --build "$dir" --target Discmend -j "$(nproc 2>/dev/null || echo 2)" -- --no-print-directory >/dev/null
