#!/usr/bin/env bash
# The main job: builds Discmend and updates the firmware of a simulated drive
# with it, under Wine, the way a user would: the agreement is read to its end
# and accepted, the drive chosen, UPDATE pressed and the questions confirmed.
# Runs headless on its own Xvfb, or on the display in DISPLAY when that one
# can be used. Prints what happened and saves screenshots into out/.
#
#   bash scripts/main-job.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/setup.sh
bash scripts/build.sh

mkdir -p out
export DISCMEND_BUILD_DIR="$repo/build/win"
export DISCMEND_NATIVE_BUILD_DIR="$repo/build/native"
exec /usr/bin/python3 - "$repo" <<'EOF'
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

repo = Path(sys.argv[1])
sys.path.insert(0, str(repo / "tests" / "scenario"))
import harness  # noqa: E402
from harness import wait_until  # noqa: E402

OUT = repo / "out"
BLOCK = 2048
MODEL, REVISION_BEFORE, IMAGE_REVISION = "HX-2150RA", "1.00", "1.10"
REVISION_OFFSET = 499692  # the image's target revision, which the drive reports after a save
SHUTDOWN_CALLS = "user32.ExitWindowsEx;advapi32.AdjustTokenPrivileges;advapi32.LookupPrivilegeValueA"


def say(text=""):
    print(text, flush=True)


def crop_to(scn, name, window):
    """Screenshot of the screen cut to a window's outer rectangle."""
    shot = scn.screenshot(name + "-screen")
    if shot is None:
        raise RuntimeError("screenshot failed")
    r = window["window_rect"]
    geometry = f"{r['right'] - r['left']}x{r['bottom'] - r['top']}+{r['left']}+{r['top']}"
    target = OUT / f"{name}.png"
    subprocess.run(["convert", str(shot), "-crop", geometry, "+repage", str(target)],
                   check=True, timeout=30)
    return target


def controls(dialog):
    return {c["id"]: c for c in dialog["controls"]}


def main():
    started = time.monotonic()
    rig = harness.Rig()
    artifacts = Path(tempfile.mkdtemp(prefix="discmend-main-job-"))
    try:
        rig.start()
        headless = rig.xvfb is not None
        scn = rig.new_scenario("main-job", artifacts, 300)

        # Wine's relay trace shows the calls that ask for the shutdown.
        with open(scn.prefix / "user.reg", "a", encoding="ascii") as reg:
            reg.write("\n[Software\\\\Wine\\\\Debug] 1700000000\n"
                      f"\"RelayInclude\"=\"{SHUTDOWN_CALLS}\"\n")

        # A program that refuses to let Windows end the session, started
        # first: Wine asks programs in the order they started, so Discmend
        # stays open after its shutdown request and can be photographed.
        hold = harness.SessionHold(scn)  # keeps the session going after the shutdown request

        image = scn.image("fw.bin", model=MODEL, rev3=IMAGE_REVISION)
        scn.put_file("scen.txt", f"[device 0 1]\nproduct {MODEL}\nrevision {REVISION_BEFORE}\n")
        scn.use_sim("C:\\work\\scen.txt")
        scn.unix_path("C:\\dump").mkdir()
        scn.extra_env["DISCMEND_SIM_DUMP_DIR"] = "C:\\dump"
        scn.extra_env["WINEDEBUG"] = "-all,+relay"
        program = scn.start("fw.bin")
        del scn.extra_env["WINEDEBUG"]

        say("Discmend main job: a firmware update of a simulated drive under Wine")
        say(f"  display     {rig.display} ({'own Xvfb, headless' if headless else 'visible'})")
        say(f"  image       fw.bin: {image.stat().st_size} bytes, model {MODEL}, "
            f"target revision {IMAGE_REVISION} (made by mkfixture)")

        # The agreement: read to its end with Page Down, then accepted.
        agreement = scn.dialog(timeout=30)
        hwnd = agreement["hwnd"]
        crop_to(scn, "agreement", agreement)
        presses = 0
        while not controls(scn.dialog(hwnd=hwnd))[1004]["enabled"]:
            scn.robot("key", "--hwnd", hwnd, "--vk", "PAGEDOWN")
            presses += 1
            if presses > 20:
                raise RuntimeError("the agreement never enabled its choice")
        scn.robot("click", "--hwnd", hwnd, "--id", 1004)
        wait_until(lambda: controls(scn.dialog(hwnd=hwnd))[1]["enabled"], bool, 10, "NEXT enabled")
        scn.robot("click", "--hwnd", hwnd, "--id", 1)
        scn.robot("wait-gone", "--hwnd", hwnd, wait_ms=10000)
        say(f"  agreement   \"{agreement['caption']}\": read to the end with {presses} "
            "Page Down presses, accepted")

        # The main dialog: the drive as the program found it.
        main_dialog = scn.dialog(timeout=30)
        hwnd = main_dialog["hwnd"]
        shown = controls(main_dialog)
        kind, before = shown[1003]["text"], shown[31]["text"]
        say(f"  before      adapter 0 target 1: {MODEL}, listed as {kind} with firmware {before}")
        if before != REVISION_BEFORE:
            raise RuntimeError(f"the dialog lists revision {before!r}")
        scn.robot("click", "--hwnd", hwnd, "--id", 1003)
        seen = len(Path(scn.unix_path("C:\\sim.log")).read_text().splitlines())

        # UPDATE and the two questions.
        update_pressed = time.monotonic()
        scn.robot("click", "--hwnd", hwnd, "--id", 1001)
        for expected in ("Close all other applications", "-DO NOT abort this program"):
            box = scn.message_box(timeout=30)
            if not box["text"].startswith(expected):
                raise RuntimeError(f"unexpected message: {box['text']!r}")
            scn.press(1)
        confirmed = time.monotonic()
        hold.wait_for_request(timeout=120)
        shutdown_seen = time.monotonic()
        box = scn.robot("msgbox", check=False)
        if box.get("ok"):
            raise RuntimeError(f"the update reported: {box['text']!r}")

        state = scn.dialog(hwnd=hwnd)
        bar = scn.robot("pixels", "--hwnd", hwnd, "--id", 1013)
        shot = crop_to(scn, "main-dialog", state)

        log = Path(scn.unix_path("C:\\sim.log")).read_text().splitlines()[seen:]
        requests = [dict(f.split("=", 1) for f in line.split() if "=" in f)
                    for line in log if " cdb=" in line]
        writes = [(int(r["cdb"][2:4], 16), int(r["cdb"][6:12], 16), r)
                  for r in requests if r["cdb"].startswith("3B")]
        expected = [(6, n * BLOCK) for n in range(256)] + [(7, 256 * BLOCK)]
        if [(m, o) for m, o, _ in writes] != expected:
            raise RuntimeError("the drive did not receive the 257 blocks in order")
        if any(r["status"] != "0x01" for _, _, r in writes):
            raise RuntimeError("a block was not accepted")
        dump = scn.unix_path("C:\\dump\\image-0-1.bin").read_bytes()
        if dump != image.read_bytes():
            raise RuntimeError("the image the drive saved differs from fw.bin")
        after = dump[REVISION_OFFSET:REVISION_OFFSET + 4].decode("ascii").rstrip()
        transfer_ms = int(writes[-1][2]["t"]) - int(writes[0][2]["t"])
        say(f"  update      {len(writes)} WRITE BUFFER commands: 256 with mode 6 at offsets 0 to "
            f"{255 * BLOCK:,}, then mode 7 (save) at {256 * BLOCK:,}")
        say(f"              {transfer_ms} ms in the drive from the first block to the save; "
            f"{shutdown_seen - confirmed:.1f} s from the confirmation to the shutdown request")
        say(f"  after       the drive reports firmware {after} (the revision of the image it "
            "saved, which equals fw.bin byte for byte)")
        say(f"  progress    {bar['matching_run']} of {bar['width']} pixels of the bar filled")

        trace = program.stderr()
        privilege = re.search(r'LookupPrivilegeValueA\(00000000,\w+ "SeShutdownPrivilege"', trace)
        enabled = re.search(r"Ret  advapi32\.AdjustTokenPrivileges\(\) retval=00000001", trace)
        shutdown = re.search(r"Call user32\.ExitWindowsEx\(00000001,00000000\)", trace)
        if not (privilege and enabled and shutdown):
            raise RuntimeError("no shutdown request with the privilege in the relay trace")
        say("  shutdown    asked for with SeShutdownPrivilege enabled "
            "(ExitWindowsEx EWX_SHUTDOWN; another program declined, so the session went on)")

        scn.robot("click", "--hwnd", hwnd, "--id", 1002)
        code = program.wait(timeout=30)
        say(f"  exit        EXIT pressed, Discmend ended with exit code {code}")
        say(f"  screenshots out/agreement.png, out/{shot.name}")
        say(f"  time        {time.monotonic() - update_pressed:.1f} s from UPDATE to EXIT, "
            f"{time.monotonic() - started:.1f} s for the whole run under Wine")
        if after != IMAGE_REVISION or bar["matching_run"] != bar["width"] or code != 0:
            raise RuntimeError("the update did not end as expected")
        return 0
    finally:
        rig.stop()
        if not os.environ.get("DISCMEND_KEEP"):
            shutil.rmtree(artifacts, ignore_errors=True)


try:
    sys.exit(main())
except (RuntimeError, AssertionError, harness.RigError, OSError,
        subprocess.SubprocessError) as error:
    print(f"main job failed: {error}", file=sys.stderr)
    sys.exit(1)
EOF
