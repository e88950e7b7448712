#!/usr/bin/env bash
# Puts Wine's own fonts (Debian's fonts-wine: MS Sans Serif, Tahoma, the
# System fonts of each code page) into a Wine prefix's C:\windows\Fonts, as
# links. Wine 8.0 as Debian packages it looks for them under
# Z:\usr\share\wine\../fonts, a path that resolves to nothing, and without
# them draws the system font in whatever fontconfig offers (DejaVu Sans).
# Left out: the Japanese bitmap fonts (j*.fon, *_jp.ttf). They hold no kanji,
# and with them Wine draws every kanji of the Japanese system font as a
# black box; without them that font comes from fontconfig (IPAGothic).
# The prefix must exist already (after its first wine command).
#   bash scripts/wine-fonts.sh PREFIX
set -euo pipefail
fonts=/usr/share/wine/fonts
target=$1/drive_c/windows/Fonts
[ -d "$fonts" ] || { echo "wine-fonts: $fonts missing: install fonts-wine (scripts/setup.sh)" >&2; exit 1; }
mkdir -p "$target"
for font in "$fonts"/*; do
    case ${font##*/} in j*.fon|*_jp.ttf) continue ;; esac
    [ -e "$target/${font##*/}" ] || ln -s "$font" "$target/${font##*/}"
done
