#!/usr/bin/env bash
# Measures the dialogs in the fonts Wine draws them with, once as an English
# and once as a Japanese user: the fonts used, the widest agreement line and
# every control text against its control (build/win/dialogmetrics.exe).
#   bash tools/metrics/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
tool=build/win/dialogmetrics.exe
[ -f "$tool" ] || { echo "run.sh: no $tool; run bash scripts/build.sh first" >&2; exit 1; }
. scripts/emulation-env.sh
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$(mktemp -d /tmp/discmend-metrics.XXXXXX)
trap 'wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT
xvfb-run -a wine cmd /c exit >/dev/null 2>&1
bash scripts/wine-fonts.sh "$WINEPREFIX"
for lang in C.UTF-8 ja_JP.UTF-8; do
    LC_ALL=$lang xvfb-run -a -s "-screen 0 1024x768x24" wine "$tool" 2>/dev/null \
        | tr -d '\r' | iconv -f CP932 -t UTF-8
    wineserver -w
    echo
done
