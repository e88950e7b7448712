#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine. Usage: bench/run.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES=wnaspi32=n
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/discmend-bench.XXXXXX)}
cd build/win
wine bench_discovery.exe "${1:-200}"
wineserver -k 2>/dev/null || true
