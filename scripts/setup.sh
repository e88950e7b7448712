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
           googletest python3 python3-pytest imagemagick x11-utils locales fonts-ipafont-gothic; do
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
