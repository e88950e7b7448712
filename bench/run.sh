#!/usr/bin/env bash
# Builds the program and runs the benchmarks under Wine, in a Wine prefix of
# their own, on an X server of their own, and prints one table: each figure,
# its floor or target, and the ratio. Every request benchmark runs against
# the same simulated drive with zero latency, the program's code and its
# floor side by side in the same process.
#
#   bash bench/run.sh [rounds]      (default 200, 40 where an emulator runs
#                                    Wine; the update runs 3 times, once
#                                    below 100 rounds)
#
# WINEPREFIX, when set, is used instead of a new prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
case ${1:-200} in *[!0-9]* | 0) echo "usage: bench/run.sh [rounds]" >&2; exit 2 ;; esac

bash scripts/build.sh >/dev/null
# Where an emulator runs Wine, this sets what Wine needs and DISCMEND_EMULATED=1.
if [ -f scripts/emulation-env.sh ]; then
    set +u
    . scripts/emulation-env.sh
    set -u
fi
emulated=${DISCMEND_EMULATED:-}
default_rounds=200
if [ "$emulated" = 1 ]; then default_rounds=40; fi
rounds=${1:-$default_rounds}
updates=3
if [ "$rounds" -lt 100 ]; then updates=1; fi

scratch=$(mktemp -d /tmp/discmend-bench.XXXXXX)
xvfb_pid=
own_prefix=
cleanup() {
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
    if [ -n "$own_prefix" ]; then rm -rf "$own_prefix"; fi
}
trap cleanup EXIT

export WINEDEBUG=-all
export WINEDLLOVERRIDES="wnaspi32=n;mscoree,mshtml,winemenubuilder.exe=d"
if [ -z "${WINEPREFIX:-}" ]; then
    own_prefix=$(mktemp -d /tmp/discmend-bench-prefix.XXXXXX)
    export WINEPREFIX=$own_prefix
fi
# An X server of its own: the update benchmark runs the real dialogs.
if command -v Xvfb >/dev/null; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" \
        >/dev/null 2>"$scratch/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$scratch/display" ] && break
        sleep 0.1
    done
    if [ -s "$scratch/display" ]; then export DISPLAY=":$(tr -d '\n' <"$scratch/display")"; fi
fi

# The prefix as the scenario rig sets it up: crashes reported on stderr, no
# window manager, the classic look.
for setting in 'Software\Wine\WineDbg|ShowCrashDialog|REG_DWORD|0' \
               'Software\Wine\X11 Driver|Managed|REG_SZ|N' \
               'Software\Microsoft\Windows\CurrentVersion\ThemeManager|ThemeActive|REG_SZ|0'; do
    IFS='|' read -r key name type value <<<"$setting"
    wine reg add "HKCU\\$key" /v "$name" /t "$type" /d "$value" /f >/dev/null 2>&1 </dev/null
done

load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
results=$scratch/results
: >"$results"
failed=0
run() {  # label, program and arguments (run in build/win)
    local label=$1; shift
    local out=$scratch/out
    if (cd build/win && timeout 1200 wine "$@" </dev/null >"$out" 2>"$scratch/err"); then
        grep -E '^(row|note)	' "$out" >>"$results" || true
    else
        failed=1
        printf 'fail\t%s: %s\n' "$label" \
            "$(cat "$out" "$scratch/err" | grep -Ev '^(row|note)	' | tail -n 3 | tr '\n' ' ')" >>"$results"
    fi
}

run "discovery" bench_discovery.exe "$rounds"
run "block transfer" bench_transfer.exe "$rounds" "$rounds"

size=$(stat -c %s build/win/Discmend.exe)
awk -v s="$size" 'BEGIN { printf "row\tDiscmend.exe size (build/win)\t%.1f\t400\tKB\t1\ttarget\n", s / 1024 }' >>"$results"

mkdir -p "$scratch/update"
build/native/mkfixture image "$scratch/update/fw.bin" --model HX-2150RA --rev3 1.10 >/dev/null
if [ -n "${DISPLAY:-}" ]; then
    mapfile -t winpaths < <(winepath -w "$repo/build/win/Discmend.exe" "$scratch/update" 2>/dev/null)
    run "update" bench_update.exe "${winpaths[0]}" "${winpaths[1]}" "$updates"
else
    printf 'fail\tupdate: no X server (Xvfb missing and DISPLAY unset)\n' >>"$results"
    failed=1
fi

# The host.
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
if [ -z "$cpu" ]; then cpu=$(uname -m); fi
if [ "$emulated" = 1 ]; then how="under emulation"; else how="natively"; fi

echo "Discmend benchmarks: medians over $rounds rounds ($updates update runs), $(date -u +%Y-%m-%d)"
echo "host: $cpu, $(nproc) cores, load average $load at the start; $(wine --version 2>/dev/null) running $how"
echo
awk -F'\t' '
function show(v, unit) {
    if (unit == "ms") return sprintf("%.2f ms", v)
    if (unit == "MB") return sprintf("%.1f MB", v)
    if (unit == "KB") return sprintf("%.1f KB", v)
    return v " " unit
}
BEGIN {
    print "| Benchmark | Figure | Floor or target | Ratio | Limit | Met |"
    print "|---|---|---|---|---|---|"
}
$1 == "row" {
    ratio = $4 > 0 ? $3 / $4 : 0
    limit = $6 > 0 ? sprintf("%s %.2f", "\342\211\244", $6) : "none set"
    met = $6 > 0 ? (ratio <= $6 ? "yes" : "**no**") : "-"
    printf "| %s | %s | %s %s | %.2f | %s | %s |\n", $2, show($3, $5), $7, show($4, $5), ratio, limit, met
}
$1 == "fail" { printf "| %s | failed | | | | **no** |\n", $2 }
END { print "" }
' "$results"
awk -F'\t' '$1 == "note" { print "- " $2 }' "$results"
if [ "$emulated" = 1 ]; then
    echo "- under emulation the times are the emulator's, and the working set is the emulator's process (its code cache included)"
fi
exit $failed
