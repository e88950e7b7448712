#!/usr/bin/env bash
# The main job: builds Discmend and updates the firmware of a simulated drive
# with it, under Wine, the way a user would: the agreement is read to its end
# and accepted, the drive chosen, UPDATE pressed and the questions confirmed.
# Runs headless on an Xvfb of its own. Prints what happened and saves
# screenshots into out/.
#
#   bash scripts/main-job.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh
. scripts/emulation-env.sh
mkdir -p out
exec /usr/bin/python3 - "$(pwd)" <<'EOF'
import subprocess
import sys
import time
from pathlib import Path

repo = Path(sys.argv[1])
sys.path.insert(0, str(repo / "tools" / "rig"))
import harness  # noqa: E402
from harness import drive, wait_until  # noqa: E402
from program import ids  # noqa: E402

MODEL, BEFORE, IMAGE_REVISION, BLOCK = "HX-2150RA", "1.00", "1.10", 2048


def say(text):
    print(text, flush=True)


def screenshot(rig, window, name):
    """The window as it is on the screen, once two shots in a row agree (the
    program has finished painting it)."""
    left, top, right, bottom = window["rect"]
    target = repo / "out" / f"{name}.png"
    previous = None
    for _ in range(20):
        shot = subprocess.run(["import", "-display", rig.display, "-window", "root", "-crop",
                               f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
                               "-colors", "32", "png:-"],
                              check=True, timeout=60, capture_output=True).stdout
        if shot == previous:
            break
        previous = shot
        time.sleep(0.2)
    target.write_bytes(shot)
    return target.relative_to(repo)


def read_to_the_end_and_choose(scn, agreement, choice):
    """Page Down until the choice opens, then the radio button choice."""
    while not scn.refresh(agreement)["controls"][choice]["enabled"]:
        assert scn.robot(f"key {agreement['hwnd']} 34")["ok"]
    scn.click(agreement, choice)
    wait_until(lambda: scn.refresh(agreement)["controls"][ids.IDC_AGREEMENT_NEXT]["enabled"], 15, "NEXT enabled")


def japanese_agreement(rig):
    """The agreement as a Japanese user sees it when the program starts."""
    scn = rig.scenario("japanese-agreement", language="ja", time_limit=120)
    try:
        scn.fixture("image", "fw.bin", model=MODEL, rev3=IMAGE_REVISION)
        scn.drives(drive(0, 1, product=MODEL, revision=BEFORE))
        scn.start("fw.bin")
        return screenshot(rig, scn.dialog("Discmend", limit=60), "agreement-ja")
    finally:
        scn.close()


def main():
    started = time.monotonic()
    rig = harness.Rig()
    rig.start()
    scn = rig.scenario("main-job", time_limit=300)
    try:
        image = scn.fixture("image", "fw.bin", model=MODEL, rev3=IMAGE_REVISION)
        scn.drives(drive(0, 1, product=MODEL, revision=BEFORE))
        scn.trace("user32.ExitWindowsEx;advapi32.AdjustTokenPrivileges;"
                  "advapi32.LookupPrivilegeValueA")
        program = scn.start("fw.bin", relay=True)
        say("Discmend main job: a firmware update of a simulated drive under Wine")
        say(f"  image       fw.bin: {image.stat().st_size} bytes, model {MODEL}, "
            f"target revision {IMAGE_REVISION} (made by mkfixture)")

        agreement = scn.dialog("Discmend", limit=60)
        read_to_the_end_and_choose(scn, agreement, ids.IDC_AGREEMENT_ACCEPT)
        shot = screenshot(rig, agreement, "agreement")
        scn.click(agreement, ids.IDC_AGREEMENT_NEXT)
        say(f"  agreement   \"{agreement['caption']}\": read to its end with Page Down, accepted")

        dialog = scn.main_dialog()
        shown = dialog["controls"]
        say(f"  before      adapter 0 target 1: {MODEL}, listed as {shown[ids.IDC_SLOT1_RADIO]['text']} "
            f"with firmware {shown[ids.IDC_SLOT1_REVISION]['text']}")
        scn.click(dialog, ids.IDC_UPDATE)
        update_pressed = time.monotonic()
        for _ in range(2):
            say(f"  question    {scn.answer(1, limit=60)['text'].splitlines()[0]}  [OK]")
        wait_until(scn.session_events, 120, "the shutdown request")
        wait_until(lambda: (lambda bar: bar["run"] == bar["width"] > 0)(
            scn.robot(f"pixels {dialog['hwnd']} {ids.IDC_PROGRESS}")), 30, "the progress bar full")
        requested = time.monotonic()
        shot2 = screenshot(rig, scn.refresh(dialog), "main-dialog")

        writes = [r for r in scn.log() if r["cdb"].startswith("3B")]
        places = [(int(r["cdb"][2:4], 16), int(r["cdb"][6:12], 16)) for r in writes]
        if places != [(6, n * BLOCK) for n in range(256)] + [(7, 256 * BLOCK)]:
            raise RuntimeError("the drive did not receive the 257 blocks in order")
        saved = scn.path("C:\\dump\\image-0-1.bin").read_bytes()
        if saved != image.read_bytes():
            raise RuntimeError("the image the drive saved differs from fw.bin")
        after = saved[499692:499696].decode("ascii").rstrip("\0 ")
        say(f"  update      {len(writes)} WRITE BUFFER commands: 256 with mode 6, then mode 7 "
            f"(save); {int(writes[-1]['t']) - int(writes[0]['t'])} ms in the drive")
        say(f"  after       the drive reports firmware {after}: the image it saved equals "
            "fw.bin byte for byte")
        program.stderr_file.seek(0)
        trace = program.stderr_file.read().decode(errors="replace")
        if "Call user32.ExitWindowsEx(00000001,00000000)" not in trace or \
                "AdjustTokenPrivileges() retval=00000001" not in trace:
            raise RuntimeError("no shutdown request with the privilege in the relay trace")
        say("  shutdown    asked for with SeShutdownPrivilege enabled "
            f"({requested - update_pressed:.1f} s after UPDATE; declined by the rig, so the "
            "program stays to be photographed)")

        scn.click(dialog, ids.IDC_EXIT)
        code = scn.exit_code(program)
        say(f"  exit        EXIT pressed, exit code {code}")
        say(f"  screenshots {shot}, {shot2}, {japanese_agreement(rig)}")
        say(f"  time        {time.monotonic() - started:.1f} s for the whole run under Wine")
        if after != IMAGE_REVISION or code != 0:
            raise RuntimeError("the update did not end as expected")
    finally:
        scn.close()
        rig.stop()


try:
    main()
except (RuntimeError, AssertionError, harness.RigError, OSError,
        subprocess.SubprocessError) as error:
    print(f"main job failed: {error}", file=sys.stderr)
    sys.exit(1)
EOF
