#!/usr/bin/env bash
# Builds the three trees: build/win (the program, the simulated ASPI DLL, the
# GUI robot, the benchmarks), build/wintest (unit tests that run under Wine)
# and build/native (portable code with sanitizers, its tests, the tools).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

configure() {  # dir, extra cmake args...
    local dir=$1; shift
    if [ ! -f "$dir/Makefile" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    fi
}
configure build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
configure build/wintest -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686-posix.cmake -DDISCMEND_WIN_TESTS=ON
configure build/native
for dir in build/win build/wintest build/native; do
    cmake --build "$dir" -j "$jobs" -- --no-print-directory >/dev/null
done
# Where i386 programs run under qemu (see scripts/setup.sh), Wine needs the
# mend library that scripts/emulation-env.sh preloads into them.
if bash tools/emulation/registered.sh; then
    bash tools/emulation/build.sh build/emulation
fi
echo "build: ok (build/win/Discmend.exe)"
