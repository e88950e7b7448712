"""UPDATE in the main dialog for an ATAPI drive on the NT family, under Wine
with a simulated drive: the whole transfer as the drive sees it, the image
it assembled, the progress bar, the request to shut Windows down, the
refusals of the chain, and the ends of a transfer that the drive does not
accept."""

import re
import time

import pytest

import harness
from test_screens import (TEXTS, accept_agreement, click, controls, dialog_state, drive,
                          sim_requests, start_with_drive, use_drives, wait_until,
                          write_buffers)

EN = TEXTS["en"]
BLOCK = 2048
LAST_OFFSET = 256 * BLOCK
TEST_UNIT_READY = "000000000000"


# -- what the program asks of Windows -------------------------------------------

SHUTDOWN_CALLS = "user32.ExitWindowsEx;advapi32.AdjustTokenPrivileges;advapi32.LookupPrivilegeValueA"


def trace_shutdown(scn):
    """Has Wine trace the program's calls that enable the shutdown privilege
    and ask for the shutdown (relay trace on the program's stderr). Must come
    before the scenario's first program: the registry is read when the
    prefix's server starts."""
    with open(scn.prefix / "user.reg", "a", encoding="ascii") as reg:
        reg.write("\n[Software\\\\Wine\\\\Debug] 1700000000\n"
                  f"\"RelayInclude\"=\"{SHUTDOWN_CALLS}\"\n")


def start_traced(scn, *args):
    scn.extra_env["WINEDEBUG"] = "-all,+relay"
    try:
        return scn.start(*args)
    finally:
        del scn.extra_env["WINEDEBUG"]


def assert_shutdown_requested(program):
    """SeShutdownPrivilege looked up and enabled, then one request to shut
    down (EWX_SHUTDOWN, not forced), in this order."""
    lines = program.stderr().splitlines()

    def where(pattern):
        found = [i for i, line in enumerate(lines) if re.search(pattern, line)]
        assert found, f"not in the relay trace: {pattern}"
        return found

    lookup = where(r'Call advapi32\.LookupPrivilegeValueA\(00000000,\w+ "SeShutdownPrivilege",')
    enable = where(r"Call advapi32\.AdjustTokenPrivileges\(\w+,00000000,")
    enabled = where(r"Ret  advapi32\.AdjustTokenPrivileges\(\) retval=00000001")
    shutdown = where(r"Call user32\.ExitWindowsEx\(00000001,00000000\)")
    assert len(shutdown) == 1 and len(where(r"Call user32\.ExitWindowsEx")) == 1
    assert lookup[0] < enable[0] < enabled[0] < shutdown[0]


# -- the dialog ----------------------------------------------------------------

def expect_box(scn, name, owner, buttons=(1,), answer=1, timeout=15):
    box = scn.message_box(timeout=timeout)
    assert box["text"] == EN[name], f"expected {name}, got {box['text']!r}"
    assert box["caption"] == "Discmend" and box["owner"] == owner and not box["icon"]
    assert [b["id"] for b in box["buttons"] if b["visible"]] == list(buttons)
    scn.press(answer)
    return box


def buttons_enabled(scn, hwnd):
    shown = controls(dialog_state(scn, hwnd))
    return shown[1001]["enabled"], shown[1002]["enabled"]


def progress_pixels(scn, hwnd):
    return scn.robot("pixels", "--hwnd", hwnd, "--id", 1013, "--rgb", "0000FF")


def requests_since(scn, count):
    return sim_requests(scn)[count:]


def assert_blocks_in_order(writes, last_block):
    """Blocks 0 .. last_block with mode 6, each once, in order."""
    assert [(mode, offset) for mode, offset, _ in writes] == \
        [(6, n * BLOCK) for n in range(last_block + 1)]


# -- a whole update ----------------------------------------------------------

def test_full_update_writes_257_blocks_fills_the_bar_and_asks_for_shutdown(scenario):
    trace_shutdown(scenario)
    hold = harness.SessionHold(scenario)
    image = scenario.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scenario, drive(0, 1, revision="1.00"))
    program = start_traced(scenario, "fw.bin")
    main = accept_agreement(scenario)
    hwnd = main["hwnd"]
    assert controls(main)[31]["text"] == "1.00"
    assert progress_pixels(scenario, hwnd)["matching"] == 0
    seen = len(sim_requests(scenario))

    click(scenario, hwnd, 1001)
    expect_box(scenario, "MsgCloseApps", hwnd)
    expect_box(scenario, "WarningText", hwnd, buttons=(1, 2))
    hold.wait_for_request()
    # The transfer is over and nothing reported a failure.
    scenario.no_message_box(within=0.5)

    shown = controls(dialog_state(scenario, hwnd))
    assert (shown[1001]["enabled"], shown[1002]["enabled"]) == (False, True)
    assert shown[1015]["text"] == EN["MsgMayTakeMinutes"]
    bar = progress_pixels(scenario, hwnd)
    assert bar["matching_run"] == bar["width"] > 0
    assert bar["matching"] == bar["width"] * bar["height"]
    scenario.screenshot("main-dialog-after-update")

    requests = requests_since(scenario, seen)
    assert [r["cdb"] for r in requests[:5]] == [TEST_UNIT_READY] * 5
    writes = write_buffers(requests)
    assert len(writes) == 257 and len(requests) == 5 + 257
    assert_blocks_in_order(writes[:256], 255)
    assert (writes[256][0], writes[256][1]) == (7, LAST_OFFSET)
    for _, _, r in writes:
        assert (r["ha"], r["tgt"], r["flags"], r["len"], r["out"]) == ("0", "1", "0x10", "4096", "2048")
        assert r["status"] == "0x01" and len(r["cdb"]) == 20 and r["cdb"][12:] == "00080000"
    assert writes[256][2].get("event") == "save"
    assert scenario.unix_path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()
    assert_shutdown_requested(program)

    click(scenario, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert program.crashed() is None


def test_busy_answers_resend_the_same_block_and_the_update_completes(scenario):
    image = scenario.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scenario, drive(0, 1, revision="1.00", fault=f"busy offset={5 * BLOCK} count=2"))
    program = scenario.start("fw.bin")
    main = accept_agreement(scenario)
    click(scenario, main["hwnd"], 1001)
    expect_box(scenario, "MsgCloseApps", main["hwnd"])
    expect_box(scenario, "WarningText", main["hwnd"], buttons=(1, 2))
    # No failure to report: the shutdown that follows the transfer ends the
    # program (a message box would hold it).
    program.wait(timeout=30)  # ended by Windows: its exit code tells nothing
    assert program.crashed() is None

    writes = write_buffers(sim_requests(scenario))
    assert len(writes) == 259
    fifth = [r for _, offset, r in writes if offset == 5 * BLOCK]
    assert [r.get("fault") for r in fifth] == ["busy", "busy", None]
    assert [r["targ"] for r in fifth] == ["0x08", "0x08", "0x00"]
    assert len({r["digest"] for r in fifth}) == 1
    assert [w[:2] for w in writes[5:8]] == [(6, 5 * BLOCK)] * 3
    once = writes[:5] + writes[7:]
    assert_blocks_in_order(once[:256], 255)
    assert once[256][:2] == (7, LAST_OFFSET)
    assert scenario.unix_path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()


FAILURES = {
    # block 100 ends with an error status
    "error": (f"error offset={100 * BLOCK}", 100, 1),
    # block 7 is still busy after the tenth attempt
    "busy_ten_times": (f"busy offset={7 * BLOCK}", 7, 10),
    # block 3 never completes: the program's own 60-second time-out
    "time_out": (f"never offset={3 * BLOCK}", 3, 1),
}


@pytest.mark.parametrize("case", [
    "error", "busy_ten_times",
    pytest.param("time_out", marks=pytest.mark.time_limit(150))])
def test_block_not_accepted_ends_transfer_before_the_save(scenario, case):
    fault, block, attempts = FAILURES[case]
    trace_shutdown(scenario)
    scenario.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scenario, drive(0, 1, revision="1.00", fault=fault))
    program = start_traced(scenario, "fw.bin")
    main = accept_agreement(scenario)
    hwnd = main["hwnd"]
    click(scenario, hwnd, 1001)
    expect_box(scenario, "MsgCloseApps", hwnd)
    started = time.monotonic()
    expect_box(scenario, "WarningText", hwnd, buttons=(1, 2))

    box = scenario.message_box(timeout=90)
    assert box["text"] == EN["MsgUpdateFailedDma"] and box["owner"] == hwnd
    if case == "time_out":
        assert time.monotonic() - started > 55
    assert buttons_enabled(scenario, hwnd) == (False, False)
    writes = write_buffers(sim_requests(scenario))
    assert_blocks_in_order(writes[:block], block - 1)
    assert [w[:2] for w in writes[block:]] == [(6, block * BLOCK)] * attempts
    assert not scenario.unix_path("C:\\dump\\image-0-1.bin").exists()

    # The shutdown is asked for all the same; Windows then ends the program.
    scenario.press(1)
    program.wait(timeout=30)  # ended by Windows: its exit code tells nothing
    assert program.crashed() is None
    assert_shutdown_requested(program)
    assert len(write_buffers(sim_requests(scenario))) == len(writes)


# -- refusals of the chain -------------------------------------------------------

REFUSALS = {
    # name: (drive settings, image model, command line, boxes (name, answer))
    "disc_in_tray": (dict(revision="1.00", disc=1), "HX-2150RA", ("fw.bin",),
                     [("MsgTakeDiscOut", 1)]),
    "revision_equal": (dict(revision="1.10"), "HX-2150RA", ("fw.bin",),
                       [("MsgCloseApps", 1), ("MsgAlreadyUpdated", 1)]),
    "revision_newer": (dict(revision="1.20"), "HX-2150RA", ("fw.bin",),
                       [("MsgCloseApps", 1), ("MsgWrongFile", 1)]),
    # compared as text: 1.9 comes after 1.10
    "revision_newer_as_text": (dict(revision="1.9"), "HX-2150RA", ("fw.bin",),
                               [("MsgCloseApps", 1), ("MsgWrongFile", 1)]),
    "image_for_another_model": (dict(revision="1.00"), "HX-2170RA", ("fw.bin",),
                                [("MsgInvalidData", 1)]),
    # /NON skips the revision check; Cancel at the warning sends nothing
    "forced_then_cancel_at_warning": (dict(revision="1.10"), "HX-2150RA", ("fw.bin", "/NON"),
                                      [("MsgCloseApps", 1), ("WarningText", 2)]),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_update_refused(scenario, case):
    settings, model, args, boxes = REFUSALS[case]
    program = start_with_drive(scenario, drive(0, 1, **settings), args=args, model=model)
    main = accept_agreement(scenario)
    hwnd = main["hwnd"]
    seen = len(sim_requests(scenario))

    click(scenario, hwnd, 1001)
    for name, answer in boxes:
        expect_box(scenario, name, hwnd, buttons=(1, 2) if name == "WarningText" else (1,),
                   answer=answer)
    scenario.no_message_box(within=0.5)
    wait_until(lambda: buttons_enabled(scenario, hwnd), lambda b: b == (True, True),
               what="UPDATE and EXIT enabled")

    requests = requests_since(scenario, seen)
    assert write_buffers(requests) == []
    commands = [r["cdb"][:2] for r in requests]
    if case == "image_for_another_model":
        assert commands == []
    elif case == "disc_in_tray":
        assert commands == ["00"] * 5 + ["1B"]
        assert requests[-1]["cdb"] == "1B0000000200" and requests[-1].get("event") == "eject"
    else:
        assert commands == ["00"] * 5

    click(scenario, hwnd, 1002)
    assert program.wait(timeout=15) == 0


def test_chosen_slot_names_the_drive_that_is_checked(scenario):
    program = start_with_drive(scenario, drive(0, 1, revision="1.00"),
                               drive(0, 4, revision="1.00", disc=1))
    main = accept_agreement(scenario)
    hwnd = main["hwnd"]
    seen = len(sim_requests(scenario))
    click(scenario, hwnd, 1004)
    wait_until(lambda: controls(dialog_state(scenario, hwnd))[1004]["checked"], lambda c: c == 1,
               what="slot 2 checked")
    assert controls(dialog_state(scenario, hwnd))[1003]["checked"] == 0

    click(scenario, hwnd, 1001)
    expect_box(scenario, "MsgTakeDiscOut", hwnd)
    requests = requests_since(scenario, seen)
    assert [(r["tgt"], r["cdb"][:2]) for r in requests] == [("4", "00")] * 5 + [("4", "1B")]

    # Back to slot 1: the drive without a disc goes on to the revision check.
    click(scenario, hwnd, 1003)
    wait_until(lambda: controls(dialog_state(scenario, hwnd))[1003]["checked"], lambda c: c == 1,
               what="slot 1 checked")
    seen = len(sim_requests(scenario))
    click(scenario, hwnd, 1001)
    expect_box(scenario, "MsgCloseApps", hwnd)
    expect_box(scenario, "WarningText", hwnd, buttons=(1, 2), answer=2)
    assert {r["tgt"] for r in requests_since(scenario, seen)} == {"1"}
    click(scenario, hwnd, 1002)
    assert program.wait(timeout=15) == 0


# -- the 9x family: the auto-insert gate before the transfer -------------------

MSG_RESTART_NOW = ("You must restart your computer to take effect all the changes.\r\n"
                   "Dou you want to restart your computer now?")
RUN_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\run"


def reg_query(scn, key, value):
    """The data of a registry value as `reg query` shows it, or None."""
    r = harness._run([harness.WINE, "reg", "query", key, "/v", value], scn.env, timeout=30)
    out = r.stdout.decode(errors="replace")
    m = re.search(rf"{re.escape(value)}\s+REG_\w+\s+(.*)", out)
    return m.group(1).strip() if r.returncode == 0 and m else None


def test_9x_update_with_notification_off_shuts_down_without_the_privilege(scenario):
    scenario.family = "9x"
    trace_shutdown(scenario)
    image = scenario.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scenario, drive(0, 1, revision="1.00"))
    program = start_traced(scenario, "fw.bin")
    main = accept_agreement(scenario)
    click(scenario, main["hwnd"], 1001)
    expect_box(scenario, "MsgCloseApps", main["hwnd"])
    expect_box(scenario, "WarningText", main["hwnd"], buttons=(1, 2))
    program.wait(timeout=30)  # ended by Windows: its exit code tells nothing
    assert program.crashed() is None

    assert len(write_buffers(sim_requests(scenario))) == 257
    assert scenario.unix_path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()
    trace = program.stderr()
    assert len(re.findall(r"Call user32\.ExitWindowsEx\(00000001,00000000\)", trace)) == 1
    assert not re.search(r"Call advapi32\.(AdjustTokenPrivileges|LookupPrivilegeValueA)", trace)
    assert reg_query(scenario, RUN_KEY, "Discmend") is None
    assert not scenario.unix_path("C:\\windows\\Rariru1.DAT").exists()


def test_9x_notification_on_asks_to_restart_and_arms_the_resume(scenario):
    scenario.family = "9x"
    trace_shutdown(scenario)
    with open(scenario.prefix / "system.reg", "a", encoding="ascii") as reg:
        reg.write("\n[Enum\\\\SCSI\\\\VELKOSA_HX-2150RA\\\\0001] 1700000000\n"
                  "\"AutoInsertNotification\"=hex:01\n")
    scenario.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scenario, drive(0, 1, revision="1.00"))
    program = start_traced(scenario, "fw.bin")
    main = accept_agreement(scenario)
    hwnd = main["hwnd"]
    seen = len(sim_requests(scenario))

    # Cancel: nothing changes and the next press asks again.
    click(scenario, hwnd, 1001)
    box = scenario.message_box()
    assert box["text"] == MSG_RESTART_NOW
    assert [b["id"] for b in box["buttons"] if b["visible"]] == [1, 2]
    scenario.press(2)
    wait_until(lambda: buttons_enabled(scenario, hwnd), lambda b: b == (True, True),
               what="UPDATE and EXIT enabled")
    assert not scenario.unix_path("C:\\windows\\Rariru1.DAT").exists()
    assert reg_query(scenario, RUN_KEY, "Discmend") is None

    click(scenario, hwnd, 1001)
    box = scenario.message_box()
    assert box["text"] == MSG_RESTART_NOW
    scenario.press(1)
    program.wait(timeout=30)  # ended by Windows: its exit code tells nothing
    assert program.crashed() is None

    # The notification is off, both state files and the Run value are there,
    # and Windows was asked to restart; the drive was neither tested nor
    # written. (Wine's restart then starts the program again from the Run
    # value; that run is left to itself here.)
    assert reg_query(scenario, r"HKLM\Enum\SCSI\VELKOSA_HX-2150RA\0001",
                     "AutoInsertNotification") in ("00", "0x0")
    assert scenario.unix_path("C:\\windows\\Rariru1.DAT").exists()
    state = scenario.unix_path("C:\\windows\\Rariru2.DAT").read_bytes().split(b"\0")
    assert state[2] == b"fw.bin"
    assert reg_query(scenario, RUN_KEY, "Discmend") == "C:\\work\\Discmend.exe"
    assert re.search(r"Call user32\.ExitWindowsEx\(00000002,00000000\)", program.stderr())
    assert not [r for r in sim_requests(scenario)[seen:] if r["cdb"][:2] in ("00", "1B", "3B")]
