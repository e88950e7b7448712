#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine; skips
# what is already there. Run as root (or with sudo available).
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated_arch=1
fi
for pkg in g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 xvfb cmake make g++ \
           googletest python3 python3-pytest imagemagick x11-utils locales fonts-ipafont-gothic \
           fonts-dejavu-core fonts-wine clang libclang-rt-14-dev gcc-multilib g++-multilib; do
    have "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ] || [ -n "${updated_arch:-}" ]; then
    echo "setup: installing ${need[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Japanese scenarios run with LC_ALL=ja_JP.UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    $SUDO sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
fi

# Hosts whose kernel runs no 32-bit code (IA-32 emulation switched off):
# there Wine's i386 side runs under qemu-i386, registered through
# binfmt_misc; scripts/emulation-env.sh then hands Wine the mend it needs
# under that emulator. A probe decides: a static i386 program that exits
# with status 42. Byte 15 of its ELF identification is set to 1, which the
# kernel's loader ignores but which fails the magic of a qemu entry (it wants
# 0 there), so an emulator already registered cannot answer for the kernel.
# Where the probe passes nothing is registered: binfmt_misc is consulted
# before the kernel's own loader, so every i386 program would run emulated.
#
# DISCMEND_FORCE_EMULATION=1 sets the emulator up although the probe passes,
# to try the emulated path on a host that runs 32-bit code. Use it only in a
# user namespace with a binfmt_misc of its own, never on the host's:
#   unshare --user --map-root-user --mount --fork bash -c \
#     'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
#      DISCMEND_FORCE_EMULATION=1 bash scripts/main-job.sh'
root=$(cd "$(dirname "$0")/.." && pwd)
binfmt=/proc/sys/fs/binfmt_misc

runs_i386_code() {
    local dir status=0
    dir=$(mktemp -d)
    gcc -m32 -c -ffreestanding -nostdlib -fno-pic -O2 -o "$dir/probe.o" "$root/tools/emulation/probe.c"
    ld -m elf_i386 -static -o "$dir/probe" "$dir/probe.o"
    printf '\001' | dd of="$dir/probe" bs=1 seek=15 conv=notrunc status=none
    "$dir/probe" 2>/dev/null || status=$?
    rm -rf "$dir"
    [ "$status" = 42 ]
}

register_qemu_i386() {
    if ! have qemu-user-static; then
        echo "setup: installing qemu-user-static"
        $SUDO apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
    fi
    if [ ! -e "$binfmt/register" ]; then
        $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
    fi
    if bash "$root/tools/emulation/registered.sh"; then
        return 0
    fi
    echo "setup: $1; registering qemu-i386-static for i386 programs (binfmt_misc)"
    echo 1 | $SUDO tee "$binfmt/status" >/dev/null
    if [ -e "$binfmt/qemu-i386" ]; then  # a disabled or broken entry of that name
        echo -1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
    fi
    # i386 ELF executables and shared objects (e_type 2 and 3); flag F opens
    # the interpreter now, so it is found from any mount namespace.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $SUDO tee "$binfmt/register" >/dev/null
    if ! bash "$root/tools/emulation/registered.sh"; then
        echo "setup: registering qemu-i386-static for i386 programs failed" >&2
        return 1
    fi
}

if [ "${DISCMEND_FORCE_EMULATION:-}" = 1 ]; then
    register_qemu_i386 "DISCMEND_FORCE_EMULATION=1"
elif ! runs_i386_code; then
    register_qemu_i386 "this kernel runs no 32-bit code, Wine's i386 side runs under qemu (much slower)"
fi
