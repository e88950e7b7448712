"""The restart cycle of the 9x family, seen from outside: the drives'
auto-insert settings, the two restart files in the Windows directory and the
Run value, through a whole cycle and on every way out of a resumed run.

Under Wine a restart request ends the programs and starts what the Run value
names, from the Windows directory; the resumed runs below are started the
same way."""

import pytest

from harness import drive, wait_until
from program import ids, texts

PROGRAM = "C:\\prog\\Discmend.exe"
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
DEVICE = r"Enum\SCSI\VELKOSA_HX-2150RA______1.00"
OTHER = r"Enum\SCSI\VELKOSA_HX-2350RU______1.00"
LAYOUT = {DEVICE + r"\0": 1, DEVICE + r"\1": 12, OTHER + r"\0": 1}
BACKUP = (DEVICE.encode() + b"\\0\x001\x00" + DEVICE.encode() + b"\\1\x0012"
          + OTHER.encode() + b"\\0\x001\x00")
STATE = f'"{PROGRAM}" fw.bin\0C:\\work\0fw.bin\0\0'.encode()
CLOSE_APPS = texts("en")["MsgCloseApps"]


def nine_x(scenario, values, **drive_settings):
    """A 9x run: the program in C:\\prog, fw.bin in C:\\work, the drives'
    keys with these values, an HX-2150RA drive at 0:1."""
    scn = scenario(family="9x", time_limit=120)
    for key, value in values.items():
        scn.registry("system", key, {"AutoInsertNotification": bytes([value])})
    scn.path("C:\\prog").mkdir()
    scn.path("C:\\prog\\Discmend.exe").write_bytes(scn.path("C:\\work\\Discmend.exe").read_bytes())
    image = scn.fixture("image", "fw.bin")
    scn.drives(drive(0, 1, **drive_settings))
    scn.path("C:\\prog\\WNASPI32.DLL").write_bytes(scn.path("C:\\work\\WNASPI32.DLL").read_bytes())
    return scn, image


def left_behind(scn):
    """What the cycle leaves: both restart files, the values, the Run value."""
    files = [scn.path(f"C:\\windows\\Rariru{n}.DAT") for n in (1, 2)]
    values = {}
    for key in LAYOUT:
        reply = scn.robot(f"reg HKLM {key.encode().hex()} {b'AutoInsertNotification'.hex()}")
        values[key] = int(reply["data"], 16) if reply["type"] is not None else None
    run = scn.robot(f"reg HKLM {RUN_KEY.encode().hex()} {b'Discmend'.hex()}")
    return ([f.read_bytes() if f.exists() else None for f in files], values,
            bytes.fromhex(run["data"]).rstrip(b"\0").decode() if run["type"] is not None else None)


def test_whole_cycle_switches_off_restarts_resumes_and_restores_before_the_update(scenario):
    # The first block is held for 5 s: the clean-up must be done before it.
    scn, image = nine_x(scenario, LAYOUT, fault="delay op=3B which=1 ms=5000")
    first = scn.start("fw.bin", exe=PROGRAM, hold=False)  # Wine may restart
    scn.accept_agreement()
    dialog = scn.main_dialog()
    scn.click(dialog, ids.IDC_UPDATE)
    question = scn.answer(1)
    assert question["buttons"] == [1, 2]
    assert question["text"].startswith("You must restart your computer")

    # Wine ends the program and starts the Run value's command: the resumed
    # run shows no agreement.
    first.wait(timeout=60)
    resumed = scn.main_dialog(limit=60)
    files, values, run = left_behind(scn)
    assert files == [BACKUP, STATE]
    assert values == dict.fromkeys(LAYOUT, 0)
    assert run == PROGRAM
    assert not [r for r in scn.log() if r["cdb"].startswith(("00", "3B"))]

    scn.click(resumed, ids.IDC_UPDATE)
    assert scn.answer(1)["text"] == CLOSE_APPS
    scn.click(scn.box(), 1)  # the last confirmation
    # While the first block is held (the program is busy with it, and its
    # boxes stay on the screen meanwhile): settings back (12 back as 1),
    # files deleted, Run value removed.
    wait_until(lambda: left_behind(scn)[0] == [None, None], 3, "restart files deleted")
    assert left_behind(scn) == ([None, None], {**LAYOUT, DEVICE + r"\1": 1}, None)
    assert not [r for r in scn.log() if r["cdb"].startswith("3B")]
    wait_until(lambda: len([r for r in scn.log() if r["cdb"].startswith("3B")]) == 257, 60,
               "the whole image sent")
    assert scn.path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()


def resumed_by_exit(scn):
    scn.click(scn.main_dialog(), ids.IDC_EXIT)


def resumed_without_a_drive(scn):
    scn.put("scen.txt", "adapters 1\n")
    return "Error: No device could be detected."


def resumed_with_a_bad_image(scn):
    scn.put("fw.bin", b"\0" * 1000)
    return "Error: Invalid file size."


@pytest.mark.parametrize("way_out", [resumed_by_exit, resumed_without_a_drive,
                                     resumed_with_a_bad_image])
def test_every_way_out_of_a_resumed_run_puts_everything_back(scenario, way_out):
    scn, _ = nine_x(scenario, dict.fromkeys(LAYOUT, 0))
    scn.put("Rariru1.DAT", BACKUP, directory="C:\\windows")
    scn.put("Rariru2.DAT", STATE, directory="C:\\windows")
    scn.registry("system", RUN_KEY, {"Discmend": PROGRAM})
    text = way_out(scn) if way_out is not resumed_by_exit else None
    pid = scn.launch(PROGRAM, cwd="C:\\windows")  # as the Run value starts it
    if text:
        assert scn.answer(1)["text"] == text
    else:
        way_out(scn)
    assert scn.exit_code(pid) == 0
    assert left_behind(scn) == ([None, None], {**LAYOUT, DEVICE + r"\1": 1}, None)
