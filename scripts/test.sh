#!/usr/bin/env bash
# Runs every test: the portable unit tests (natively, with sanitizers), the
# unit tests that run under Wine, the check of the program's imports, and the
# scenario tests of the real program under Wine with simulated drives.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
bash scripts/build.sh || exit 1

export WINEDEBUG=-all
export WINEPREFIX=${DISCMEND_UNIT_PREFIX:-$(mktemp -d /tmp/discmend-unit.XXXXXX)}
total_pass=0
total_fail=0
failed_parts=()

run_ctest() {  # name, dir
    local name=$1 dir=$2 out
    echo "== $name"
    out=$(cd "$dir" && ctest --output-on-failure --timeout 300 2>&1)
    local rc=$?
    echo "$out" | grep -E 'tests passed|Failed|\*\*\*|FAIL' | head -40
    local line pass fail
    line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -1)
    fail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    if [ -z "$line" ]; then fail=1; all=1; fi
    total_pass=$((total_pass + all - fail))
    total_fail=$((total_fail + fail))
    [ $rc = 0 ] || failed_parts+=("$name")
}

run_ctest "unit tests (native, sanitizers)" build/native
echo "== unit tests (under Wine)"
# Some of them open windows: give them a display of their own when there is none.
display=()
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then display=(xvfb-run -a -s "-screen 0 1024x768x24"); fi
out=$(cd build/wintest && WINEDLLOVERRIDES=wnaspi32=n timeout 900 "${display[@]}" wine wintests.exe 2>&1)
rc=$?
out=$(tr -d '\r' <<<"$out")
echo "$out" | grep -E '^\[  (PASSED|FAILED) |: Failure$|^Expected|^ +Which is' | head -60
p=$(echo "$out" | sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\./\1/p' | tail -1)
f=$(echo "$out" | sed -nE 's/^ ?([0-9]+) FAILED TESTS?$/\1/p' | tail -1)
[ -n "$p" ] || p=0
[ -n "$f" ] || f=0
[ $rc = 0 ] || [ "$f" != 0 ] || f=1
total_pass=$((total_pass + p))
total_fail=$((total_fail + f))
[ $rc = 0 ] || failed_parts+=("unit tests (under Wine)")
run_ctest "program checks" build/win
wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"

echo "== scenario tests (Discmend.exe under Wine)"
out=$(cd tests/scenario && /usr/bin/python3 -m pytest -q -p no:cacheprovider 2>&1)
rc=$?
echo "$out" | tail -25
line=$(echo "$out" | grep -E '[0-9]+ (passed|failed)' | tail -1)
p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
f=0
for n in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$line" | grep -oE '[0-9]+'); do f=$((f + n)); done
[ -n "$p" ] || p=0
[ -n "$f" ] || f=0
[ -n "$line" ] || f=$((f + 1))
total_pass=$((total_pass + p))
total_fail=$((total_fail + f))
[ $rc = 0 ] || failed_parts+=("scenario tests")

echo
[ ${#failed_parts[@]} = 0 ] || echo "failing: ${failed_parts[*]}"
echo "$total_pass passed, $total_fail failed"
[ ${#failed_parts[@]} = 0 ] && [ $total_fail = 0 ]
