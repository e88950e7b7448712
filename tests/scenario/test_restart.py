"""The Windows 9x restart cycle of Discmend.exe under Wine, seen from outside:
the drives' "AutoInsertNotification" values under HKLM\\Enum\\SCSI (made by
each test), the two restart files in the Windows directory, the Run value,
and the requests to restart or shut Windows down (Wine's relay trace).

Under Wine a restart request runs `wineboot --end-session`: it ends the
program and then starts what the HKLM Run key names, from the Windows
directory. The whole cycle uses that as the restart; the other resumed runs
are started here with the bare program path and no arguments, as the Run
value would start them."""

import re

import pytest

import harness
from harness import EXE_NAME
from test_screens import (accept_agreement, agreement, choose, click, controls, dialog_state,
                          drive, main_dialog, scroll, sim_requests, use_drives, wait_until,
                          write_buffers)

EN = {
    "MsgRestartNow": "You must restart your computer to take effect all the changes.\r\n"
                     "Dou you want to restart your computer now?",
    "MsgUpdateFailed": "Failed to update the firmware. Turn the power off PC,\r\n"
                       "turn the power on PC and try it again.",
    "MsgNoDevice": "Error: No device could be detected.",
    "MsgNoDataFile": "Error: Couldn't find data file.",
    "MsgBadSize": "Error: Invalid file size.",
    "MsgCloseApps": "Close all other applications and save all your editing documents now.",
    "MsgAlreadyUpdated": "The drive has already been updated.",
    "WarningText": "-DO NOT abort this program nor turn the power off PC during updating.\r\n"
                   "-Closing all other applications before starting the operation.\r\n"
                   "-Take CD off the VELKOSA USB CD-R/RW drive before starting the "
                   "operation.\r\n"
                   "-Your computer will be ready to be turned off or will be turned off "
                   "after updating the firmware. Turn on the computer after that again.",
}

WINDOWS_DIR = "C:\\windows"
PROG_DIR = "C:\\prog"
PROGRAM = PROG_DIR + "\\Discmend.exe"
WORK = harness.WORK_DIR_WIN
RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
ENUM = "Enum\\SCSI"
VALUE = "AutoInsertNotification"
IDOK, IDCANCEL = 1, 2
BLOCK = 2048

# The device keys of the supported models as the 9x family names them.
KEY_2150RA = "VELKOSA_HX-2150RA______1.00"
KEY_2150RU = "VELKOSA_HX-2150RU______1.00"
KEY_2350RU = "VELKOSA_HX-2350RU______1.00"
KEY_2170USB = "VELKOSA_HX-2170RA_USB__1.00"
KEY_BANG = "VELKOSA_HX-2150RA!SECONDARY"


# -- the registry ----------------------------------------------------------------

def reg_escape(text):
    """A key name or string as the prefix's registry files write it."""
    return text.replace("\\", "\\\\")


def add_auto_insert(scn, layout):
    """Creates the instance keys of layout ((device, instance, first byte),
    ...) under HKLM\\Enum\\SCSI with a one-byte REG_BINARY value each. Written
    into the prefix's registry file, so it must come before the scenario's
    first program."""
    assert not scn.server_started
    with open(scn.prefix / "system.reg", "a", encoding="ascii") as reg:
        for device, instance, value in layout:
            key = reg_escape(f"{ENUM}\\{device}\\{instance}")
            reg.write(f"\n[{key}] 1700000000\n\"{VALUE}\"=hex:{value:02x}\n")


def set_run_value(scn, data):
    assert not scn.server_started
    with open(scn.prefix / "system.reg", "a", encoding="ascii") as reg:
        reg.write(f"\n[{reg_escape(RUN_KEY)}] 1700000000\n\"Discmend\"=\"{reg_escape(data)}\"\n")


def remove_run_key(scn):
    """Takes the Run key out of the prefix's registry file."""
    assert not scn.server_started
    path = scn.prefix / "system.reg"
    text = path.read_text(encoding="ascii")
    header = f"[{reg_escape(RUN_KEY)}]"
    kept, skipping = [], False
    for line in text.split("\n"):
        if line.startswith("["):
            skipping = line.split(" ")[0] == header
        if not skipping:
            kept.append(line)
    assert len(kept) < len(text.split("\n")), "no Run key in the prefix"
    path.write_text("\n".join(kept), encoding="ascii")


def reg_query(scn, key):
    """The values under HKLM\\key and its subkeys, as wine reg query shows
    them: {subkey path relative to key: {name: (type, data)}}; None when the
    key does not exist."""
    env = scn.env
    env["WINEDEBUG"] = "-all"
    r = harness._run([harness.WINE, "reg", "query", "HKLM\\" + key, "/s"], env,
                     timeout=scn.budget(30))
    if r.returncode != 0:
        return None
    prefix = "HKEY_LOCAL_MACHINE\\" + key
    out, current = {}, None
    for line in r.stdout.decode("latin-1").splitlines():
        if line.startswith("HKEY_"):
            assert line.lower().startswith(prefix.lower()), line
            current = line[len(prefix) + 1:]
            out.setdefault(current, {})
        elif line.startswith("    ") and current is not None:
            m = re.fullmatch(r"    (.*?)    (REG_\w+)    ?(.*)", line)
            assert m, line
            out[current][m.group(1)] = (m.group(2), m.group(3))
    return out


def auto_insert_values(scn):
    """{device\\instance: data in hex} of every AutoInsertNotification value;
    every one must still be a REG_BINARY."""
    found = {}
    for path, values in (reg_query(scn, ENUM) or {}).items():
        if VALUE in values:
            kind, data = values[VALUE]
            assert kind == "REG_BINARY", (path, kind)
            found[path] = data
    return found


def run_value(scn):
    """The Run value "Discmend" (type, data), or None."""
    values = (reg_query(scn, RUN_KEY) or {}).get("", {})
    return values.get("Discmend")


def expected_values(layout, changes=None):
    found = {f"{d}\\{i}": f"{v:02X}" for d, i, v in layout}
    found.update(changes or {})
    return found


# -- the restart files -----------------------------------------------------------

def restart_file(scn, n):
    """The bytes of Rariru<n>.DAT in the Windows directory, None if absent."""
    return scn.read_file(f"{WINDOWS_DIR}\\Rariru{n}.DAT")


def put_restart_file(scn, n, data):
    return scn.put_file(f"Rariru{n}.DAT", data, WINDOWS_DIR)


def record(device, instance, text):
    """One backup record: the key path, NUL, two bytes of value text."""
    return f"{ENUM}\\{device}\\{instance}".encode() + b"\0" + text


def restart_state(*texts):
    return b"".join(t.encode() + b"\0" for t in texts)


def windows_dir_listing(scn):
    return sorted((p.name, p.stat().st_size if p.is_file() else -1)
                  for p in scn.unix_path(WINDOWS_DIR).iterdir())


# -- what the program asks of Windows ------------------------------------------

TRACED = "user32.ExitWindowsEx;advapi32.AdjustTokenPrivileges;advapi32.LookupPrivilegeValueA"


def trace_exit_requests(scn):
    """Has Wine's relay trace show the calls that restart or shut Windows
    down and enable the shutdown privilege; must come before the first
    program (the prefix's registry is read when its server starts)."""
    with open(scn.prefix / "user.reg", "a", encoding="ascii") as reg:
        reg.write("\n[Software\\\\Wine\\\\Debug] 1700000000\n"
                  f"\"RelayInclude\"=\"{TRACED}\"\n")


def traced(start, scn, *args, **kwargs):
    """Starts a program with the relay trace on (only that program and what
    it starts inherit it)."""
    scn.extra_env["WINEDEBUG"] = "-all,+relay"
    try:
        return start(*args, **kwargs)
    finally:
        del scn.extra_env["WINEDEBUG"]


def exit_requests(program):
    """(thread, flags, reserved) of every ExitWindowsEx call in the trace."""
    return [(m.group(1), int(m.group(2), 16), int(m.group(3), 16)) for m in
            re.finditer(r"^(\w+):Call user32\.ExitWindowsEx\((\w+),(\w+)\)", program.stderr(),
                        re.M)]


def privilege_calls(program):
    return re.findall(r"^\w+:Call advapi32\.(AdjustTokenPrivileges|LookupPrivilegeValueA)\(",
                      program.stderr(), re.M)


# -- the screens -----------------------------------------------------------------

def expect_box(scn, name, owner, buttons=(IDOK,), answer=IDOK, timeout=15):
    box = scn.message_box(timeout=timeout)
    assert box["text"] == EN[name], f"expected {name}, got {box['text']!r}"
    assert box["exe"] == EXE_NAME and box["caption"] == "Discmend" and not box["icon"]
    assert box["owner"] == owner, f"{name} owned by {box['owner']}, not {owner}"
    assert [b["id"] for b in box["buttons"] if b["visible"]] == list(buttons)
    scn.press(answer)
    return box


def buttons_enabled(scn, hwnd):
    shown = controls(dialog_state(scn, hwnd))
    return shown[1001]["enabled"], shown[1002]["enabled"]


def new_window(scn, old_pids, timeout=20):
    """The first window of a Discmend.exe process not in old_pids."""
    def shown():
        return [w for w in scn.windows() if w["pid"] not in old_pids]
    found = wait_until(shown, bool, timeout=timeout, what="a window of a new Discmend.exe")
    return found[0]


def wait_no_program_window(scn, timeout=30):
    wait_until(scn.windows, lambda shown: not shown, timeout=timeout,
               what="every Discmend.exe window gone")


def setup_9x(scn, layout, *drives):
    """9x family, the program in C:\\prog, fw.bin in C:\\work, the keys of
    layout and the simulated drives (an HX-2150RA at 0:1 by default)."""
    scn.family = "9x"
    add_auto_insert(scn, layout)
    scn.install(exe_dir=PROG_DIR)
    image = scn.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scn, *(drives or (drive(0, 1),)))
    return image


def assert_nothing_arranged(scn, layout):
    assert restart_file(scn, 1) is None and restart_file(scn, 2) is None
    assert auto_insert_values(scn) == expected_values(layout)
    assert run_value(scn) is None


# -- the whole cycle -------------------------------------------------------------

CYCLE_LAYOUT = (
    ("OTHER_CDROM", "0", 1),
    (KEY_BANG, "0", 1),
    (KEY_2150RA, "0", 1),
    (KEY_2150RA, "1", 12),
    (KEY_2150RA, "BUS0", 1),
    (KEY_2150RA, "SCSI0", 0),
    (KEY_2150RA, "USB0", 1),
    (KEY_2150RU, "0", 1),
    (KEY_2170USB, "0", 0),
    (KEY_2350RU, "0", 1),
)
# By switch-off entry (HX-2150RA, HX-2350RU, HX-2170RA USB), then key order;
# the "!" key, the HX-2150RU key and other devices are not treated.
CYCLE_BACKUP = b"".join((
    record(KEY_2150RA, "0", b"1\0"),
    record(KEY_2150RA, "1", b"12"),
    record(KEY_2150RA, "BUS0", b"1\0"),
    record(KEY_2150RA, "SCSI0", b"0\0"),
    record(KEY_2150RA, "USB0", b"1\0"),
    record(KEY_2350RU, "0", b"1\0"),
    record(KEY_2170USB, "0", b"0\0"),
))
CYCLE_SWITCHED_OFF = {f"{d}\\{i}": "00" for d, i in (
    (KEY_2150RA, "0"), (KEY_2150RA, "1"), (KEY_2150RA, "BUS0"), (KEY_2150RA, "SCSI0"),
    (KEY_2150RA, "USB0"), (KEY_2350RU, "0"), (KEY_2170USB, "0"))}


@pytest.mark.time_limit(120)
def test_whole_cycle_switches_off_restarts_resumes_restores_then_updates(scenario):
    scn = scenario
    trace_exit_requests(scn)
    # The first block is held 6 s: long enough to see what was done before it.
    image = setup_9x(scn, CYCLE_LAYOUT,
                     drive(0, 1, revision="1.00", fault="delay op=3B which=1 ms=6000"))
    # A different image of the same name where the restarted program starts.
    decoy = scn.image("fw.bin", directory=WINDOWS_DIR, model="HX-2150RA", rev3="1.10",
                      fill="byte:A5")
    assert decoy.read_bytes() != image.read_bytes()
    first = traced(scn.start, scn, "fw.bin")
    main = accept_agreement(scn)
    hwnd = main["hwnd"]
    click(scn, hwnd, 1001)
    expect_box(scn, "MsgRestartNow", hwnd, buttons=(IDOK, IDCANCEL), answer=IDOK)

    # Wine ends the program for the restart and starts the Run value's
    # command from the Windows directory.
    first.wait(timeout=20)
    assert first.crashed() is None
    resumed = new_window(scn, {main["pid"]})

    # What the first run left for the restart.
    assert restart_file(scn, 1) == CYCLE_BACKUP
    assert restart_file(scn, 2) == restart_state(f'"{PROGRAM}" fw.bin', WORK, "fw.bin", "")
    assert auto_insert_values(scn) == expected_values(CYCLE_LAYOUT, CYCLE_SWITCHED_OFF)
    assert run_value(scn) == ("REG_SZ", PROGRAM)
    requests = exit_requests(first)
    assert [(flags, reserved) for _, flags, reserved in requests] == [(2, 0)]
    assert privilege_calls(first) == []
    # The restart came before any drive command of the update.
    assert [r for r in sim_requests(scn) if r["cdb"].startswith(("00", "3B"))] == []

    # The resumed run: no agreement, straight to the drives.
    assert 1001 in controls(dialog_state(scn, resumed["hwnd"])), "not the main dialog"
    hwnd = resumed["hwnd"]
    click(scn, hwnd, 1001)
    expect_box(scn, "MsgCloseApps", hwnd)
    box = scn.message_box()
    assert box["text"] == EN["WarningText"]
    # Nothing is put back before the last confirmation.
    assert restart_file(scn, 1) == CYCLE_BACKUP and restart_file(scn, 2) is not None
    assert auto_insert_values(scn) == expected_values(CYCLE_LAYOUT, CYCLE_SWITCHED_OFF)
    assert run_value(scn) == ("REG_SZ", PROGRAM)
    scn.press(IDOK)

    # While the first block is held: settings back (12 comes back as 1),
    # both files gone, the Run value removed.
    wait_until(lambda: (restart_file(scn, 1), restart_file(scn, 2)),
               lambda files: files == (None, None), timeout=3, what="restart files deleted")
    assert auto_insert_values(scn) == expected_values(CYCLE_LAYOUT, {f"{KEY_2150RA}\\1": "01"})
    assert run_value(scn) is None
    assert write_buffers(sim_requests(scn)) == [], "the transfer was over before the clean-up"

    # The update completes and Windows is asked to shut down, which ends it.
    wait_no_program_window(scn)
    writes = write_buffers(sim_requests(scn))
    assert [(mode, offset) for mode, offset, _ in writes] == \
        [(6, n * BLOCK) for n in range(256)] + [(7, 256 * BLOCK)]
    assert scn.unix_path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()
    requests = exit_requests(first)
    assert [(flags, reserved) for _, flags, reserved in requests] == [(2, 0), (1, 0)]
    assert requests[0][0] != requests[1][0], "both requests came from one process"
    assert privilege_calls(first) == []
    assert first.crashed() is None
    assert restart_file(scn, 1) is None and restart_file(scn, 2) is None
    assert run_value(scn) is None


# -- declining and failing ---------------------------------------------------------

ONE_ON = ((KEY_2150RA, "0", 1), (KEY_2150RA, "1", 0))


def test_cancel_at_the_restart_question_changes_nothing(scenario):
    scn = scenario
    trace_exit_requests(scn)
    setup_9x(scn, ONE_ON)
    program = traced(scn.start, scn, "fw.bin")
    main = accept_agreement(scn)
    hwnd = main["hwnd"]
    for _ in range(2):  # asked again at the next press
        click(scn, hwnd, 1001)
        expect_box(scn, "MsgRestartNow", hwnd, buttons=(IDOK, IDCANCEL), answer=IDCANCEL)
        assert buttons_enabled(scn, hwnd) == (True, True)
        assert_nothing_arranged(scn, ONE_ON)
    # The chain ended at the question: no drive command was sent.
    assert [r for r in sim_requests(scn) if r["cdb"].startswith(("00", "1B", "3B"))] == []
    click(scn, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert exit_requests(program) == [] and privilege_calls(program) == []
    assert_nothing_arranged(scn, ONE_ON)


# An instance key whose path does not fit a backup record (259 characters).
LONG_DEVICE = "VELKOSA_HX-2150RA" + "_" * 200
LONG_INSTANCE = "L" * 40


def fail_backup_file(scn):
    scn.unix_path(WINDOWS_DIR + "\\Rariru1.DAT").mkdir()


def fail_state_file(scn):
    scn.unix_path(WINDOWS_DIR + "\\Rariru2.DAT").mkdir()


FAILURES = {
    # name: (how, layout, backup file left, switched off, state file left)
    "backup_not_creatable": (fail_backup_file, ONE_ON, "dir", {}, None),
    "key_path_too_long": (
        None, ONE_ON + ((LONG_DEVICE, "0", 1), (LONG_DEVICE, LONG_INSTANCE, 1)),
        record(KEY_2150RA, "0", b"1\0") + record(KEY_2150RA, "1", b"0\0")
        + record(LONG_DEVICE, "0", b"1\0"),
        {f"{KEY_2150RA}\\0": "00", f"{LONG_DEVICE}\\0": "00"}, None),
    "state_not_creatable": (fail_state_file, ONE_ON,
                            record(KEY_2150RA, "0", b"1\0") + record(KEY_2150RA, "1", b"0\0"),
                            {f"{KEY_2150RA}\\0": "00"}, "dir"),
    "run_key_missing": (remove_run_key, ONE_ON,
                        record(KEY_2150RA, "0", b"1\0") + record(KEY_2150RA, "1", b"0\0"),
                        {f"{KEY_2150RA}\\0": "00"},
                        restart_state(f'"{PROGRAM}" fw.bin', WORK, "fw.bin", "")),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_failed_step_reports_and_leaves_what_was_done(scenario, case):
    scn = scenario
    how, layout, backup, switched_off, state = FAILURES[case]
    trace_exit_requests(scn)
    setup_9x(scn, layout)
    if how:
        how(scn)
    program = traced(scn.start, scn, "fw.bin")
    main = accept_agreement(scn)
    hwnd = main["hwnd"]
    click(scn, hwnd, 1001)
    expect_box(scn, "MsgRestartNow", hwnd, buttons=(IDOK, IDCANCEL), answer=IDOK)
    expect_box(scn, "MsgUpdateFailed", hwnd)
    assert buttons_enabled(scn, hwnd) == (True, True)

    def left():
        files = []
        for n in (1, 2):
            path = scn.unix_path(f"{WINDOWS_DIR}\\Rariru{n}.DAT")
            files.append("dir" if path.is_dir() else restart_file(scn, n))
        return files, auto_insert_values(scn), run_value(scn)

    expected = ([backup, state], expected_values(layout, switched_off), None)
    assert left() == expected
    # No restart, and leaving the dialog undoes nothing.
    click(scn, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert exit_requests(program) == [] and privilege_calls(program) == []
    assert left() == expected


# -- a resumed run that ends without an update -----------------------------------

# The settings as a switch-off left them, and the backup that puts them back.
RESUME_LAYOUT = ((KEY_2150RA, "0", 0), (KEY_2150RA, "1", 0), (KEY_2150RA, "2", 1),
                 (KEY_2150RA, "3", 0))
RESUME_BACKUP = b"".join((
    record(KEY_2150RA, "0", b"1\0"),
    record(KEY_2150RA, "1", b"12"),
    record("VELKOSA_HX-2150RA_GONE", "0", b"1\0"),  # a key no longer there
    record(KEY_2150RA, "2", b"0\0"),
    record(KEY_2150RA, "3", b"1"),  # cut short: its value was never read
))
RESUME_RESTORED = {f"{KEY_2150RA}\\0": "01", f"{KEY_2150RA}\\1": "01", f"{KEY_2150RA}\\2": "00",
                   f"{KEY_2150RA}\\3": "00"}


def setup_resume(scn, state, drives=(drive(0, 1),), image_size=None):
    """A 9x prefix as a restart left it: both files, the settings switched
    off, the Run value set."""
    scn.family = "9x"
    add_auto_insert(scn, RESUME_LAYOUT)
    set_run_value(scn, PROGRAM)
    scn.install(exe_dir=PROG_DIR)
    scn.image("fw.bin", model="HX-2150RA", rev3="1.10", size=image_size)
    use_drives(scn, *drives)
    put_restart_file(scn, 1, RESUME_BACKUP)
    put_restart_file(scn, 2, state)


def start_as_run_value(scn):
    """As Windows starts the Run value: the bare path, no arguments, here
    from the Windows directory."""
    return scn.start_exact(PROGRAM, cwd=WINDOWS_DIR)


def assert_cleaned_up(scn):
    assert restart_file(scn, 1) is None and restart_file(scn, 2) is None
    assert auto_insert_values(scn) == RESUME_RESTORED
    assert run_value(scn) is None


STATE = restart_state(f'"{PROGRAM}" fw.bin', WORK, "fw.bin", "")
STATE_FORCED = restart_state(f'"{PROGRAM}" fw.bin /NON', WORK, "fw.bin", "/NON")
STATE_THREE_RECORDS = restart_state(f'"{PROGRAM}" fw.bin', WORK, "fw.bin")


@pytest.mark.parametrize("state, after_close_apps", [
    pytest.param(STATE_FORCED, "WarningText", id="forced_no_revision_check"),
    pytest.param(STATE_THREE_RECORDS, "MsgAlreadyUpdated", id="no_fourth_record"),
])
def test_resumed_run_left_with_exit_cleans_up(scenario, state, after_close_apps):
    scn = scenario
    # The drive already carries the image's revision: only "/NON" gets past.
    setup_resume(scn, state, drives=(drive(0, 1, revision="1.10"),))
    program = start_as_run_value(scn)
    # The state was read without a failure, and no agreement is shown.
    first = main_dialog(scn)
    hwnd = first["hwnd"]
    assert [w["hwnd"] for w in scn.windows()] == [hwnd]
    click(scn, hwnd, 1001)
    expect_box(scn, "MsgCloseApps", hwnd)
    if after_close_apps == "WarningText":
        expect_box(scn, "WarningText", hwnd, buttons=(IDOK, IDCANCEL), answer=IDCANCEL)
    else:
        expect_box(scn, after_close_apps, hwnd)
    # Not yet: only the transfer or the end of the run clears the arrangement.
    assert restart_file(scn, 1) == RESUME_BACKUP and restart_file(scn, 2) == state
    assert run_value(scn) == ("REG_SZ", PROGRAM)
    click(scn, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert_cleaned_up(scn)
    assert write_buffers(sim_requests(scn)) == []
    # The key that was gone stays gone.
    assert "VELKOSA_HX-2150RA_GONE" not in (reg_query(scn, ENUM) or {})


def resume_no_drive(scn):
    setup_resume(scn, STATE, drives=("adapters 1\n",))
    return "MsgNoDevice"


def resume_bad_image(scn):
    setup_resume(scn, STATE, image_size=harness.IMAGE_SIZE - 1)
    return "MsgBadSize"


def resume_no_image_named(scn):
    # The launch list beside the old directory is not consulted in a resume.
    setup_resume(scn, restart_state(f'"{PROGRAM}"', WORK, "", ""))
    scn.launch_list(b"fw.bin\r\n")
    return "MsgNoDataFile"


@pytest.mark.parametrize("case", [resume_no_drive, resume_bad_image, resume_no_image_named],
                         ids=lambda c: c.__name__[len("resume_"):])
def test_resumed_run_ended_by_a_message_cleans_up(scenario, case):
    scn = scenario
    message = case(scn)
    program = start_as_run_value(scn)
    box = scn.message_box()
    assert box["text"] == EN[message] and box["owner"] == 0
    assert [w["hwnd"] for w in scn.windows()] == [box["hwnd"]], "another window is open"
    scn.press(IDOK)
    assert program.wait(timeout=15) == 0
    assert_cleaned_up(scn)


# -- which keys count ------------------------------------------------------------

CHECKS = {
    # drive product, layout, restart asked for
    "usb_scsi_bus_instances_not_checked": (
        "HX-2150RA", ((KEY_2150RA, "0", 0), (KEY_2150RA, "BUS1", 1), (KEY_2150RA, "SCSI1", 1),
                      (KEY_2150RA, "USB1", 1)), False),
    "other_models_not_checked": (
        "HX-2150RA", ((KEY_2150RA, "0", 0), (KEY_2170USB, "0", 1), (KEY_2350RU, "0", 1),
                      (KEY_2150RU, "0", 1)), False),
    "hx2350ru_checked_against_hx2150ru_keys": (
        "HX-2350RU", ((KEY_2150RU, "0", 1), (KEY_2350RU, "0", 0)), True),
    "hx2350ru_not_checked_against_its_own_keys": (
        "HX-2350RU", ((KEY_2150RU, "0", 0), (KEY_2350RU, "0", 1), (KEY_2150RA, "0", 1)), False),
}


@pytest.mark.parametrize("case", list(CHECKS))
def test_restart_asked_only_for_the_chosen_drives_keys(scenario, case):
    scn = scenario
    product, layout, asked = CHECKS[case]
    setup_9x(scn, layout, drive(0, 1, product=product, revision="1.00"))
    program = scn.start("fw.bin")
    hwnd = accept_agreement(scn)["hwnd"]
    click(scn, hwnd, 1001)
    if asked:
        expect_box(scn, "MsgRestartNow", hwnd, buttons=(IDOK, IDCANCEL), answer=IDCANCEL)
    else:
        expect_box(scn, "MsgCloseApps", hwnd)
        expect_box(scn, "WarningText", hwnd, buttons=(IDOK, IDCANCEL), answer=IDCANCEL)
    assert_nothing_arranged(scn, layout)
    click(scn, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert_nothing_arranged(scn, layout)


@pytest.mark.time_limit(90)
def test_second_press_after_the_gate_clears_an_arrangement_that_is_not_there(scenario):
    """The first press found the notification off and went on; the second
    press makes no check, so it clears the restart arrangement before the
    transfer: there is no Run value to remove, which is reported, and the
    update goes on."""
    scn = scenario
    trace_exit_requests(scn)
    layout = ((KEY_2150RA, "0", 0),)
    setup_9x(scn, layout)
    program = traced(scn.start, scn, "fw.bin")
    hwnd = accept_agreement(scn)["hwnd"]
    click(scn, hwnd, 1001)
    expect_box(scn, "MsgCloseApps", hwnd)
    expect_box(scn, "WarningText", hwnd, buttons=(IDOK, IDCANCEL), answer=IDCANCEL)
    click(scn, hwnd, 1001)
    expect_box(scn, "MsgCloseApps", hwnd)
    expect_box(scn, "WarningText", hwnd, buttons=(IDOK, IDCANCEL))
    box = scn.message_box()
    assert box["text"] == EN["MsgUpdateFailed"] and box["owner"] == hwnd
    assert write_buffers(sim_requests(scn)) == [], "reported after the transfer"
    scn.press(IDOK)
    program.wait(timeout=30)  # ended by Wine's shutdown
    assert len(write_buffers(sim_requests(scn))) == 257
    assert [(f, r) for _, f, r in exit_requests(program)] == [(1, 0)]
    assert privilege_calls(program) == []
    assert_nothing_arranged(scn, layout)


def test_bang_key_counts_for_the_check_but_is_not_switched_off_and_a_refused_restart_keeps_all(
        scenario):
    scn = scenario
    trace_exit_requests(scn)
    layout = ((KEY_BANG, "0", 1), (KEY_2150RA, "0", 0))
    setup_9x(scn, layout)
    hold = harness.SessionHold(scn)
    program = traced(scn.start, scn, "fw.bin", "/NON")
    hwnd = accept_agreement(scn)["hwnd"]
    click(scn, hwnd, 1001)
    # Only the "!" key is on: the check counts it ...
    expect_box(scn, "MsgRestartNow", hwnd, buttons=(IDOK, IDCANCEL), answer=IDOK)
    hold.wait_for_request(timeout=20)
    # ... the switch-off leaves it alone.
    assert restart_file(scn, 1) == record(KEY_2150RA, "0", b"0\0")
    assert auto_insert_values(scn) == expected_values(layout)
    assert restart_file(scn, 2) == restart_state(f'"{PROGRAM}" fw.bin /NON', WORK, "fw.bin",
                                                 "/NON")
    # The restart was asked for, not forced: refused, the dialog stays, and
    # leaving it takes nothing back.
    assert buttons_enabled(scn, hwnd) == (True, True)
    click(scn, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert [(f, r) for _, f, r in exit_requests(program)] == [(2, 0)]
    assert restart_file(scn, 1) == record(KEY_2150RA, "0", b"0\0")
    assert run_value(scn) == ("REG_SZ", PROGRAM)


@pytest.mark.parametrize("present", [1, 2])
def test_only_one_restart_file_is_a_fresh_start_and_the_stray_file_stays(scenario, present):
    scn = scenario
    layout = ((KEY_2150RA, "0", 0),)
    setup_9x(scn, layout)
    stray = (record(KEY_2150RA, "0", b"1\0") if present == 1
             else restart_state(f'"{PROGRAM}" other.bin', "C:\\nowhere", "other.bin", ""))
    put_restart_file(scn, present, stray)
    program = scn.start("fw.bin")
    dialog = agreement(scn)
    hwnd = dialog["hwnd"]
    # Read to the end and declined: the run ends at once.
    info = controls(dialog)[1006]["scroll"]
    scroll(scn, hwnd, "SB_THUMBTRACK", pos=info["max"] - info["page"] + 1)
    choose(scn, hwnd, 1003)
    click(scn, hwnd, 1)
    assert program.wait(timeout=15) == 0
    assert restart_file(scn, present) == stray
    assert restart_file(scn, 3 - present) is None
    assert auto_insert_values(scn) == expected_values(layout)
    assert run_value(scn) is None


# -- the NT family -----------------------------------------------------------------

NT_LAYOUT = ((KEY_2150RA, "0", 1), (KEY_2150RA, "1", 12), (KEY_2350RU, "0", 1))


@pytest.mark.time_limit(90)
def test_nt_family_updates_without_the_cycle_and_enables_the_shutdown_privilege(scenario):
    scn = scenario
    scn.family = "nt"
    trace_exit_requests(scn)
    add_auto_insert(scn, NT_LAYOUT)
    scn.install(exe_dir=PROG_DIR)
    image = scn.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scn, drive(0, 1, revision="1.00"))
    before = windows_dir_listing(scn)
    program = traced(scn.start, scn, "fw.bin")
    hwnd = accept_agreement(scn)["hwnd"]
    click(scn, hwnd, 1001)
    # No restart question although the notification is on.
    expect_box(scn, "MsgCloseApps", hwnd)
    expect_box(scn, "WarningText", hwnd, buttons=(IDOK, IDCANCEL))
    program.wait(timeout=30)  # ended by Wine's shutdown
    assert program.crashed() is None

    assert len(write_buffers(sim_requests(scn))) == 257
    assert scn.unix_path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()
    text = program.stderr()
    lookup = text.find('Call advapi32.LookupPrivilegeValueA(00000000,')
    enable = text.find("Call advapi32.AdjustTokenPrivileges(")
    shutdown = text.find("Call user32.ExitWindowsEx(00000001,00000000)")
    assert 0 <= lookup < enable < shutdown, (lookup, enable, shutdown)
    assert '"SeShutdownPrivilege"' in text[lookup:enable]
    assert [(f, r) for _, f, r in exit_requests(program)] == [(1, 0)]
    assert auto_insert_values(scn) == expected_values(NT_LAYOUT)
    assert run_value(scn) is None
    assert windows_dir_listing(scn) == before


def test_nt_family_reads_leftover_restart_files_but_never_acts_on_them(scenario):
    scn = scenario
    scn.family = "nt"
    layout = ((KEY_2150RA, "0", 0),)
    add_auto_insert(scn, layout)
    set_run_value(scn, PROGRAM)
    scn.install(exe_dir=PROG_DIR)
    scn.image("fw.bin", model="HX-2150RA", rev3="1.10")
    use_drives(scn, drive(0, 1))
    backup = record(KEY_2150RA, "0", b"1\0")
    put_restart_file(scn, 1, backup)
    put_restart_file(scn, 2, STATE)
    # Started without an image name where there is none: only the restart
    # state and its directory lead to fw.bin.
    program = scn.start_exact(PROGRAM, cwd=WINDOWS_DIR)
    hwnd = accept_agreement(scn)["hwnd"]
    click(scn, hwnd, 1002)
    assert program.wait(timeout=15) == 0
    assert restart_file(scn, 1) == backup and restart_file(scn, 2) == STATE
    assert auto_insert_values(scn) == expected_values(layout)
    assert run_value(scn) == ("REG_SZ", PROGRAM)
