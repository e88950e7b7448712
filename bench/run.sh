#!/usr/bin/env bash
# Builds the program and runs the benchmarks under Wine on the scenario rig
# (an X server and a Wine prefix of its own), and prints one table: each
# figure, its floor or target, and the ratio. The request benchmarks run
# against the same simulated drives with zero latency, the program's code and
# its floor side by side in one process; the memory figure is the peak
# working set of the real program during whole updates less that of a
# program of one dialog (bench/baseline_dialog.cpp) under the same Wine.
#
# Each request benchmark is a program bench/bench_*.cpp that prints result
# lines (bench/bench.h); to add one, add the file and its line to BENCHES.
# Each runs in a scenario of its own.
#
#   bash bench/run.sh [rounds]      (default 200; 40 where an emulator runs Wine)
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-200} in *[!0-9]* | 0) echo "usage: bench/run.sh [rounds]" >&2; exit 2 ;; esac
bash scripts/build.sh >/dev/null
. scripts/emulation-env.sh
exec /usr/bin/python3 - "$(pwd)" "${1:-}" <<'EOF'
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

repo = Path(sys.argv[1])
sys.path.insert(0, str(repo / "tools" / "rig"))
import harness  # noqa: E402
from harness import BUILD, drive, wait_until  # noqa: E402
from program import ids  # noqa: E402

emulated = os.environ.get("DISCMEND_EMULATED") == "1"
rounds = int(sys.argv[2] or (40 if emulated else 200))
updates = 3 if rounds >= 100 else 1
rows, notes = [], []


def row(what, figure, reference, unit, limit, kind):
    rows.append((what, float(figure), float(reference), unit, float(limit), kind))


# The drive on D: for the pass-through path, reached through the preload
# (build/ptdev), with no ASPI manager.
ON_D = drive(0, 1, letter="D")

# The request benchmarks, in the order of the table: the program, the drives
# on letters it needs (None: the simulated ASPI manager, which the benchmark
# sets up itself), its arguments.
BENCHES = [
    ("bench_discovery.exe", None, rounds),
    ("bench_transfer.exe", None, rounds, 5),  # a polled image takes seconds
    ("bench_passthrough.exe", ON_D, rounds),
]


def bench(scn, program, *args):
    env = dict(scn.env, **scn.program_env)
    if scn.program_env:
        # No log and no image files: the manager's simulator keeps none either.
        del env["DISCMEND_SIM_LOG"], env["DISCMEND_SIM_DUMP_DIR"]
    else:
        env["WINEDLLOVERRIDES"] += ";wnaspi32=n"
    out = subprocess.run(["wine", program, *map(str, args)], cwd=BUILD, env=env, text=True,
                         capture_output=True, timeout=1200 * harness.SCALE).stdout
    for line in out.replace("\r", "").splitlines():
        fields = line.split("\t")
        if fields[0] == "row":
            row(*fields[1:7])
        elif fields[0] == "note":
            notes.append(fields[1])
        else:
            print(f"{program}: {line}", file=sys.stderr)


def peak_during_update(rig):
    """A whole update of an HX-2150RA drive, as in the main job; the peak
    working set of the program once it has asked for the shutdown."""
    scn = rig.scenario("update", time_limit=300)
    try:
        scn.fixture("image", "fw.bin", rev3="1.10")
        scn.drives(drive(0, 1))
        program = scn.start("fw.bin")
        scn.accept_agreement()
        dialog = scn.main_dialog()
        scn.click(dialog, ids.IDC_UPDATE)
        scn.answer(1)
        scn.answer(1, limit=60)
        wait_until(scn.session_events, 120, "the shutdown request")
        if len([r for r in scn.log() if r["cdb"].startswith("3B")]) != 257:
            raise RuntimeError("the update did not send the whole image")
        peak = scn.robot(f"memory {dialog['pid']}")["peak"]
        scn.click(dialog, ids.IDC_EXIT)
        scn.exit_code(program)
        return peak / 1048576
    finally:
        scn.close()


def peak_of_one_dialog(rig, sim=False):
    """The peak working set of bench/baseline_dialog.cpp, a program that
    shows one dialog, once the dialog is up, in a scenario like the update's;
    with sim, after it had the simulated ASPI manager take a whole image."""
    scn = rig.scenario("baseline", time_limit=120)
    try:
        exe = harness.WORK + "\\baseline_dialog.exe"
        shutil.copy2(BUILD / "baseline_dialog.exe", scn.path(exe))
        if sim:
            scn.drives(drive(0, 1))
        program = scn.start(*(["sim"] if sim else []), exe=exe)
        shown = wait_until(lambda: next((w for w in scn.robot("windows")["windows"]
                                         if w["exe"].lower() == "baseline_dialog.exe"), None),
                           30, "the one dialog")
        time.sleep(1)  # drawn
        peak = scn.robot(f"memory {shown['pid']}")["peak"]
        scn.click(shown, 1)
        scn.exit_code(program)
        return peak / 1048576
    finally:
        scn.close()


load = open("/proc/loadavg").read().split()[0]
rig = harness.Rig()
try:
    rig.start()
    for program, letters, *args in BENCHES:
        scn = rig.scenario("requests", time_limit=3600)
        try:
            if letters:
                scn.drives(letters, manager=False)
            bench(scn, program, *args)
        finally:
            scn.close()
    row("Discmend.exe size (build/win)", (BUILD / "Discmend.exe").stat().st_size / 1024, 400,
        "KB", 1, "target")
    peak = statistics.median(peak_during_update(rig) for _ in range(updates))
    base = statistics.median(peak_of_one_dialog(rig) for _ in range(updates))
    with_sim = statistics.median(peak_of_one_dialog(rig, sim=True) for _ in range(updates))
    row("Peak working set of Discmend.exe during a whole update, less a program of one dialog "
        "and the simulated manager's share", peak - with_sim, 1.5, "MB", 1, "target")
    notes.append(f"peak working set under this Wine: Discmend.exe during a whole update "
                 f"{peak:.2f} MB; a program of one dialog (common controls initialised) {base:.2f} MB, "
                 f"the same after it had the simulated manager take a whole image {with_sim:.2f} MB: "
                 f"the simulator's share {with_sim - base:.2f} MB, the program's own "
                 f"{peak - with_sim:.2f} MB (medians of {updates})")
finally:
    rig.stop()

cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")),
           os.uname().machine)
wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
print(f"Discmend benchmarks: medians over {rounds} rounds ({updates} updates), "
      f"{time.strftime('%Y-%m-%d', time.gmtime())}")
print(f"host: {cpu}, {os.cpu_count()} cores, load average {load} at the start; {wine} running "
      f"{'under emulation' if emulated else 'natively'}\n")
print("| Benchmark | Figure | Floor or target | Ratio | Limit | Met |")
print("|---|---|---|---|---|---|")
for what, figure, reference, unit, limit, kind in rows:
    ratio = figure / reference if reference else 0
    met = ("yes" if ratio <= limit else "**no**") if limit else "-"
    shown = f"\u2264 {limit:.2f}" if limit else "none set"
    print(f"| {what} | {figure:.2f} {unit} | {kind} {reference:.2f} {unit} | {ratio:.2f} | {shown} "
          f"| {met} |")
print()
for note in notes:
    print(f"- {note}")
if emulated:
    print("- under emulation the times are the emulator's, and the working set is its process's")
EOF
