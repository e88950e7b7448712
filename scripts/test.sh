#!/usr/bin/env bash
# Runs every test of this checkout's build: the portable unit tests natively
# with sanitizers, the fuzz targets for a short while, the unit tests that
# need Win32 under Wine, the check of the program's imports, and the scenario
# tests of the real program under Wine with simulated drives. The last line
# says how many passed and failed; each test is counted once.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
bash scripts/build.sh || exit 1
. scripts/emulation-env.sh
echo "testing the build of $(pwd) ($(git rev-parse --short HEAD 2>/dev/null || echo 'no git'))"

passed=0
failed=0
skipped=0  # only under CPU emulation, each with its reason in the output
failing=()
count() {  # part, passed, failed
    passed=$((passed + $2))
    failed=$((failed + $3))
    [ "$3" = 0 ] || failing+=("$1")
}
# "N tests passed" lines of ctest and GoogleTest.
ctest_counts() {
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' <<<"$2" | tail -1)
    if [ -z "$line" ]; then count "$1" 0 1; return; fi
    local bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    local all=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    count "$1" $((all - bad)) "$bad"
}
gtest_counts() {  # part, output, exit status
    local ok bad
    ok=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\..*/\1/p' <<<"$2" | tail -1)
    bad=$(sed -nE 's/^ ?([0-9]+) FAILED TESTS?$/\1/p' <<<"$2" | tail -1)
    [ -n "$bad" ] || bad=0
    if [ -z "$ok" ]; then ok=$(grep -cE '^\[       OK \]' <<<"$2"); fi
    [ "$3" = 0 ] || [ "$bad" != 0 ] || bad=1
    count "$1" "$ok" "$bad"
    local skip=$(sed -nE 's/^\[  SKIPPED \] ([0-9]+) tests?,.*/\1/p' <<<"$2" | tail -1)
    skipped=$((skipped + ${skip:-0}))
}

# Wine's processes of the unit tests: a prefix and a display of their own.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$(mktemp -d /tmp/discmend-unit.XXXXXX)
xvfb=(xvfb-run -a -s "-screen 0 1024x768x24")
scenario_log=$(mktemp /tmp/discmend-usb.XXXXXX)
trap 'wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX" "$scenario_log"' EXIT
# The dialogs are measured in Wine's own clones of the Windows fonts.
"${xvfb[@]}" wine cmd /c exit >/dev/null 2>&1
bash scripts/wine-fonts.sh "$WINEPREFIX" || exit 1

# The longest scenario (a USB update waits about 100 s for its drive to
# restart) runs beside everything else.
usb=test_update.py::test_usb_update_on_9x_runs_both_phases_and_reports_success
(cd tests/scenario && timeout 1800 /usr/bin/python3 -m pytest -q "$usb" >"$scenario_log" 2>&1) &
usb_pid=$!

echo "== unit tests (native, sanitizers)"
out=$(cd build/native && ctest --timeout 300 2>&1)
grep -E 'tests passed|\*\*\*Failed|Failed  ' <<<"$out"
ctest_counts "native unit tests" "$out"

echo "== fuzz targets (short runs; bash scripts/fuzz.sh 600 for a long one)"
out=$(bash scripts/fuzz.sh 5 2>&1)
echo "$out" | grep -E '^fuzz'
line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' <<<"$out" | tail -1)
if [ -n "$line" ]; then
    count "fuzz targets" "$(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"$line")" \
        "$(sed -E 's/.*, ([0-9]+) failed.*/\1/' <<<"$line")"
else
    count "fuzz targets" 0 1
fi

echo "== unit tests (under Wine)"
out=$(cd build/wintest && timeout 900 "${xvfb[@]}" wine wintests.exe 2>&1 | tr -d '\r')
rc=${PIPESTATUS[0]}
grep -E '^\[  (PASSED|FAILED|SKIPPED) |: Failure$|^Expected|^ +Which is|actual|Skipped$' <<<"$out" | head -60
gtest_counts "unit tests under Wine" "$out" "$rc"
# The agreement as a Japanese user's dialog draws it.
out=$(cd build/wintest && LC_ALL=ja_JP.UTF-8 timeout 300 "${xvfb[@]}" wine wintests.exe \
      --gtest_filter='Agreement.EveryLine*' 2>&1 | tr -d '\r')
rc=${PIPESTATUS[0]}
grep -E '^\[  (PASSED|FAILED) |: Failure$|actual' <<<"$out" | sed 's/^/(Japanese) /' | head -20
gtest_counts "Japanese agreement under Wine" "$out" "$rc"
wineserver -k 2>/dev/null

echo "== program checks"
out=$(cd build/win && ctest --output-on-failure --timeout 300 2>&1)
grep -E 'tests passed|FAIL' <<<"$out"
ctest_counts "program checks" "$out"

echo "== scenario tests (Discmend.exe under Wine)"
out=$(cd tests/scenario && timeout 2400 /usr/bin/python3 -m pytest -q -rs --deselect "$usb" 2>&1)
wait $usb_pid
out+=$'\n'$(cat "$scenario_log")
if grep -qE '^(FAILED|ERROR)' <<<"$out"; then
    sed -n '/^=* FAILURES =*$/,$p' <<<"$out" | tail -80
fi
grep -E '^(FAILED|ERROR|SKIPPED)|passed|failed|once more' <<<"$out"
ok=0; bad=0
for line in $(grep -oE '[0-9]+ (passed|failed|errors?|skipped)' <<<"$out" | tr ' ' '_'); do
    n=${line%%_*}
    case $line in
        *passed) ok=$((ok + n)) ;;
        *skipped) skipped=$((skipped + n)) ;;
        *) bad=$((bad + n)) ;;
    esac
done
[ $((ok + bad)) -gt 0 ] || bad=1
count "scenario tests" "$ok" "$bad"

echo
[ ${#failing[@]} = 0 ] || echo "failing: ${failing[*]}"
if [ "$skipped" = 0 ]; then
    echo "$passed passed, $failed failed"
else
    echo "$passed passed, $failed failed, $skipped skipped"
fi
[ "$failed" = 0 ]
