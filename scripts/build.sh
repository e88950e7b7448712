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
# The simulated SCSI CD-ROM devices for the pass-through path: an i386
# preload for Wine's programs (sim/ptdev.cpp); an empty library of the same
# name for the 64-bit ones, which $LIB in the preload path leads them to.
ptdev() {
    local out=build/ptdev i386 x86_64
    i386=$out/lib/$(gcc -m32 -print-multiarch)
    x86_64=$out/lib/$(gcc -print-multiarch)
    if [ -f "$i386/libptdev.so" ] && [ -f "$x86_64/libptdev.so" ] &&
       [ -z "$(find sim drive/aspi.h app/platform.h scripts/build.sh -newer "$i386/libptdev.so")" ]; then
        return 0
    fi
    mkdir -p "$i386" "$x86_64"
    g++ -m32 -O2 -fPIC -shared -fvisibility=hidden -fno-exceptions -fno-rtti -fno-stack-protector -D_FILE_OFFSET_BITS=64 \
        -D_TIME_BITS=64 -Wall -Wextra -Wno-format-truncation -I. -static-libgcc \
        -o "$i386/libptdev.so" sim/ptdev.cpp sim/model.cpp sim/scenario.cpp sim/host.cpp
    printf '' | gcc -x c -shared -fPIC -o "$x86_64/libptdev.so" -
}
ptdev
# Where i386 programs run under qemu (see scripts/setup.sh), Wine needs the
# mend library that scripts/emulation-env.sh preloads into them.
if bash tools/emulation/registered.sh; then
    bash tools/emulation/build.sh build/emulation
fi
echo "build: ok (build/win/Discmend.exe)"
