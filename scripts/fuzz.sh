#!/usr/bin/env bash
# Fuzzes the file and command line parsers and the simulated drives' scenario
# parser: builds one libFuzzer target per parser (tests/fuzz/) with clang into
# build/fuzz/, seeds each from mkfixture output, a few inputs written here
# (and sim/README.md's example scenario) and the kept regression inputs
# (tests/fuzz/regressions/<target>/), and runs each for SECONDS (default 10),
# two at a time. Crash inputs (with their logs) are kept in build/fuzz/crashes/,
# the last logs in build/fuzz/logs/.
#
#   bash scripts/fuzz.sh [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-10}
case $seconds in
    '' | *[!0-9]* | 0) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac

# target, product sources (comma-separated), longest input
targets=(
    "cmdline app/cmdline.cpp 1200"
    "launchlist app/launchlist.cpp 1200"
    "imagerecord update/imagefile.cpp 200"
    "loader update/imagefile.cpp 50000"
    "restartstate app/restartstate.cpp 2000"
    "autoinsert drive/autoinsert_records.cpp 2000"
    "scenario sim/scenario.cpp,sim/model.cpp 4000"
)

out=build/fuzz
mkdir -p "$out/crashes" "$out/logs"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/discmend-fuzz.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ not found (Debian: clang and libclang-rt-14-dev)"
    echo "fuzz: 0 passed, ${#targets[@]} failed"
    exit 1
fi

# Build each target unless it is newer than everything it is made of. Only the
# product code is instrumented for coverage: the checks of the targets walk
# whole inputs and would only slow the search down.
flags=(-std=c++17 -g -O1 -I "$root" -Wall -Wextra -Wno-unused-parameter -fno-sanitize-recover=undefined)
build_failed=()
build_target() {  # name, product sources...
    local name=$1 source objects=("$tmp/$1-target.o")
    shift
    nice -n 10 clang++ "${flags[@]}" -fsanitize=address,undefined -c \
        "tests/fuzz/fuzz_$name.cpp" -o "$tmp/$name-target.o" || return 1
    for source in "$@"; do
        objects+=("$tmp/$name-$(basename "$source" .cpp).o")
        nice -n 10 clang++ "${flags[@]}" -fsanitize=fuzzer-no-link,address,undefined -c \
            "$source" -o "${objects[-1]}" || return 1
    done
    clang++ -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$tmp/fuzz_$name" &&
        mv -f "$tmp/fuzz_$name" "$out/fuzz_$name"
}
for entry in "${targets[@]}"; do
    read -r name sources _ <<<"$entry"
    IFS=, read -ra product <<<"$sources"
    binary=$out/fuzz_$name
    deps=(scripts/fuzz.sh tests/fuzz/fuzz_$name.cpp tests/fuzz/fuzz.h "${product[@]}" app/*.h update/*.h drive/*.h sim/*.h)
    if [ -x "$binary" ] && [ -z "$(find "${deps[@]}" -newer "$binary" 2>/dev/null)" ]; then
        continue
    fi
    if ! build_target "$name" "${product[@]}" >"$out/logs/build-$name.log" 2>&1; then
        build_failed+=("$name")
        rm -f "$binary"
    fi
done

# Seeds.
mkfixture=build/native/mkfixture
if [ ! -x "$mkfixture" ]; then
    [ -f build/native/Makefile ] || cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/native --target mkfixture -- --no-print-directory >/dev/null
fi
seeds=$tmp/seeds
for entry in "${targets[@]}"; do mkdir -p "$seeds/${entry%% *}"; done

i=0
for model in "HX-1150RA" "HX-2150RA" "HX-2170RA" "HX-2350RU"; do
    for product in "HX-2170RA USB   " "HX-2150RA       " "HX-2350RU       " "OTHER DRIVE     "; do
        "$mkfixture" image "$tmp/image.bin" --model "$model" --rev1 1.01 --rev3 1.2 --fill zero
        { tail -c +499661 "$tmp/image.bin" | head -c 38; printf '%s' "$product"; } \
            >"$seeds/imagerecord/$((i++))"
    done
done
"$mkfixture" image "$tmp/image.bin" --signature VELK --fill zero
tail -c +499661 "$tmp/image.bin" | head -c 38 >"$seeds/imagerecord/bad-signature"

"$mkfixture" loader "$seeds/loader/plain"
"$mkfixture" loader "$seeds/loader/bad" --bad-checksum --crlf-at 10 --crlf-at 500 --eof-at 30000
"$mkfixture" loader "$seeds/loader/odd" --body-length 101 --model-digits 21 --firmware-digits 15
"$mkfixture" loader "$seeds/loader/long-field" --length-field 49089
"$mkfixture" loader "$seeds/loader/beyond-buffer" --body-length 40000 --min-size 49200 --crlf-at 100
"$mkfixture" loader "$seeds/loader/short" --body-length 16 --min-size 0

# Command line seeds: 2 bytes scan start, the character, the copy capacity, the line.
printf '\001\000"\377"C:\\Tools\\upd.exe" fw.bin /NON' >"$seeds/cmdline/quoted"
printf '\000\000\000\010"C:\\u.exe"  fw.bin' >"$seeds/cmdline/two-blanks"
printf '\001\000"\040C:\\Tools\\upd.exe fw.bin /NON' >"$seeds/cmdline/unquoted"
{ printf '\346\003"\000"C:\\u.exe" '; head -c 1100 /dev/zero | tr '\0' 'a'; } >"$seeds/cmdline/long"

printf 'fw.bin\r\nldr.bin /NON\r\n' >"$seeds/launchlist/both"
printf 'fw.bin /NON\nldr.bin\n' >"$seeds/launchlist/lf-only"
printf 'fw.bin\rjunk\nldr.bin' >"$seeds/launchlist/lone-cr"
{ head -c 300 /dev/zero | tr '\0' 'n'; printf '\r\nldr.bin\r\n'; } >"$seeds/launchlist/long"

printf '"C:\\Tools\\upd.exe" fw.bin /NON\000C:\\Tools\000fw.bin\000/NON\000' >"$seeds/restartstate/full"
printf 'cmd\000dir\000fw.bin\000' >"$seeds/restartstate/no-option"
{ head -c 400 /dev/zero | tr '\0' 'x'; printf '\000dir\000fw.bin\000'; } >"$seeds/restartstate/long"

key='Enum\SCSI\VELKOSA_HX-2150RA_____\MF&CHILD0001&PCI&VEN_1000'
printf '%s\0001\000%s\0000\000' "$key" "$key" >"$seeds/autoinsert/two"
printf '%s\0001' "$key" >"$seeds/autoinsert/cut-short"
{ head -c 300 /dev/zero | tr '\0' 'k'; printf '\0001\000'; } >"$seeds/autoinsert/too-long"

# Scenario seeds: the example of sim/README.md, and a few short ones.
sed -n '/^#### Example/,/^Scenario errors/s/^    //p' sim/README.md >"$seeds/scenario/readme-example"
printf 'adapters 2\n[device 0 1]\nusb 1\nafter finish down=absent down_ms=10 down_inquiries=2 address=1:3\n' \
    >"$seeds/scenario/usb"
printf '[device 1 0]\nletter D\nfault error op=3B offset=2048 sense=2/3A\nfault delay which=2 ms=5\n[device 1 1]\nletter E\n' \
    >"$seeds/scenario/faults"
printf 'support_info 0x0102 - 0xE800\ndump_dir "C:\\\\d \\\\x41"\n[device 0 2]\nkind disk\nimage_size 100\n' \
    >"$seeds/scenario/world"

# Run, two at a time. Each log is written in the temporary directory and
# copied to build/fuzz/logs/ at the end (another run may be going on).
run() {  # name, longest input
    local name=$1 max=$2 binary=$out/fuzz_$1 log=$tmp/$1.log
    local dirs=("$tmp/corpus/$name" "$seeds/$name")
    [ -d "tests/fuzz/regressions/$name" ] && dirs+=("tests/fuzz/regressions/$name")
    mkdir -p "$tmp/corpus/$name"
    timeout -k 10 $((seconds + 300)) nice -n 19 "$binary" -max_total_time="$seconds" \
        -max_len="$max" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/crashes/$name-" "${dirs[@]}" >"$log" 2>&1
    local rc=$?
    local runs cov kept=$out/logs/$name.log
    runs=$(sed -nE 's/^stat::number_of_executed_units: ([0-9]+).*/\1/p' "$log" | tail -1)
    cov=$(grep -a -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1)
    if [ $rc = 0 ] && [ -n "$runs" ]; then
        cp "$log" "$kept"
        echo "fuzz $name: ok, $runs runs (${cov:-cov: ?}, ${seconds}s)" >"$tmp/result-$name"
    else
        local input what
        input=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$log" | tail -1)
        [ -n "$input" ] && kept=$input.log
        cp "$log" "$kept"
        what=$(grep -a -m1 -oE 'property broken: .*|ERROR: [A-Za-z]+: [^ ]+( [^ ]+)?|ERROR: libFuzzer: [a-z-]+|runtime error: .*' "$log")
        echo "fuzz $name: FAILED (${what:-exit $rc}), input ${input:-none}, log $kept" >"$tmp/result-$name"
    fi
}

passed=0
failed=0
report() {
    local name=$1
    cat "$tmp/result-$name"
    if grep -q ': ok,' "$tmp/result-$name"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}
pending=()
for entry in "${targets[@]}" ""; do
    if [ -n "$entry" ]; then
        read -r name _ max <<<"$entry"
        if [[ " ${build_failed[*]} " == *" $name "* ]]; then
            echo "fuzz $name: FAILED (does not build), input none, log $out/logs/build-$name.log" \
                >"$tmp/result-$name"
            report "$name"
            continue
        fi
        run "$name" "$max" &
        pending+=("$name")
    fi
    if [ ${#pending[@]} = 2 ] || { [ -z "$entry" ] && [ ${#pending[@]} -gt 0 ]; }; then
        wait
        for name in "${pending[@]}"; do report "$name"; done
        pending=()
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed = 0 ]
