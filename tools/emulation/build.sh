#!/usr/bin/env bash
# Builds the mend library (mend.c) that scripts/emulation-env.sh preloads into
# the i386 programs run under qemu. scripts/build.sh calls it where the
# emulator is registered; nothing else needs it.
#
#   bash tools/emulation/build.sh [OUT]     (OUT defaults to build/emulation)
#
# Output:
#   OUT/lib/i386-linux-gnu/libemumend.so     the mend
#   OUT/lib/x86_64-linux-gnu/libemumend.so   an empty library of the same name
# The preload path names the folder with the dynamic loader's $LIB, which
# each loader expands to its own: 64-bit programs started by the emulated
# ones inherit the variable and quietly load the empty library.
#
# No 32-bit C headers are needed: mend.c declares what it uses, and it is
# linked against the i386 C library that wine32:i386 brings.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../../build/emulation}
libc32=/usr/lib/i386-linux-gnu/libc.so.6
i386_dir=$out/lib/$(gcc -m32 -print-multiarch)
x86_64_dir=$out/lib/$(gcc -print-multiarch)
mend=$i386_dir/libemumend.so
empty=$x86_64_dir/libemumend.so

if [ -f "$mend" ] && [ -f "$empty" ] && [ "$mend" -nt "$here/mend.c" ] && [ "$mend" -nt "$0" ]; then
    exit 0
fi
if [ ! -f "$libc32" ]; then
    echo "emulation: $libc32 is missing (install wine32:i386: bash scripts/setup.sh)" >&2
    exit 1
fi
mkdir -p "$i386_dir" "$x86_64_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

gcc -m32 -c -O2 -fPIC -fno-stack-protector -ffreestanding -Wall -Wextra -Werror \
    -o "$work/mend.o" "$here/mend.c"
ld -m elf_i386 -shared -soname libemumend.so -o "$work/mend.so" "$work/mend.o" "$libc32"

printf '' >"$work/empty.c"
gcc -c -O2 -fPIC -o "$work/empty.o" "$work/empty.c"
ld -shared -soname libemumend.so -o "$work/empty.so" "$work/empty.o"

mv "$work/empty.so" "$empty"
mv "$work/mend.so" "$mend"
