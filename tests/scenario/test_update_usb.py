"""The update of a USB drive on the 9x family, through the real program and
the simulated ASPI manager: the whole two-phase update with its restarts,
a failure in Japanese, and Cancel at the confirmation."""

import time

import pytest

from harness import CAPTION, EXE_NAME

UPDATE, EXIT, PROGRESS, NOTE = 1001, 1002, 1013, 1015
IDOK, IDCANCEL = 1, 2

TEXTS = {
    "en": {
        "TxtLoadSucceeded": "Succeed to load F/W!!",
        "TxtUsbPowerLine": "-DO NOT turn the power off the USB drive during updating.\r\n",
    },
    "ja": {
        "TxtLoaderRefused": "エラー：コマンドを送る事が出来ません。",
        "TxtUsbPowerLine": "－決して実行途中で、USBドライブの電源を切らないで下さい。\r\n",
    },
}
CODEC = {"en": "ascii", "ja": "cp932"}

LOADER_NAME = "LDR_01.bin"
LOADER_BODY = 5000
LOADER_CRLF_AT = (10, 777)  # body offsets written as CR LF on disk


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for x in data:
        h = ((h ^ x) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def text_mode(data):
    """What the runtime's text-mode read delivers: CR LF becomes LF, and the
    content ends before the first 0x1A."""
    end = data.find(b"\x1a")
    if end >= 0:
        data = data[:end]
    return data.replace(b"\r\n", b"\n")


def box_text(box, language):
    return bytes.fromhex(box["text_hex"]).decode(CODEC[language])


def usb_scenario(scn, language="en", stage_lines=(), drive_lines=()):
    """A 9x run with one USB drive at 0:1, an image newer than its firmware
    and a loader newer than its firmware code, named in the launch list."""
    scn.family = "9x"
    scn.language = language
    scn.image("fw.bin", model="HX-2170RA", rev1="1.10", rev2="1.10", rev3="1.10")
    loader = scn.loader(LOADER_NAME, body_length=LOADER_BODY, model_digits="21",
                        firmware_digits="15", crlf_at=list(LOADER_CRLF_AT))
    scn.launch_list(b"fw.bin\r\n" + LOADER_NAME.encode() + b"\r\n")
    lines = ["adapters 1", "", "[device 0 1]", "product HX-2170RA USB", "revision 1.00",
             "usb 1", "firmware_code 0x10", "model_code 0x21", "latency_ms 1"]
    lines += list(drive_lines)
    lines += list(stage_lines)
    scn.put_file("scen.txt", "\n".join(lines) + "\n", directory="C:\\")
    scn.use_sim("C:\\scen.txt", log="C:\\sim.log")
    return loader


def sim_log(scn):
    path = scn.unix_path("C:\\sim.log")
    lines = path.read_text(errors="replace").splitlines() if path.exists() else []
    entries = []
    for line in lines:
        if line.startswith("#"):
            continue
        entries.append(dict(f.split("=", 1) for f in line.split() if "=" in f))
    return entries


def click(scn, hwnd, control, timeout=10):
    """Clicks a control once it is enabled."""
    end = time.monotonic() + timeout
    while True:
        result = scn.robot("click", "--hwnd", hwnd, "--id", control, check=False)
        if result.get("ok"):
            return
        if time.monotonic() > end:
            raise AssertionError(f"could not click {control}: {result}")
        time.sleep(0.1)


def controls(scn, hwnd):
    return {c["id"]: c for c in scn.dialog(hwnd=hwnd)["controls"]}


def open_main_dialog(scn):
    """Starts the program, accepts the agreement and answers the main dialog."""
    program = scn.start()
    agreement = scn.dialog(timeout=30)
    hwnd = agreement["hwnd"]
    scn.robot("scroll", "--hwnd", hwnd, "--id", 1006, "--code", "SB_PAGEDOWN", "--count", 30)
    click(scn, hwnd, 1004)
    click(scn, hwnd, 1)
    end = time.monotonic() + scn.budget(60)
    while time.monotonic() < end:
        for w in scn.windows():
            if w["hwnd"] != hwnd and w["class"] == "#32770":
                dialog = scn.dialog(hwnd=w["hwnd"])
                ids = {c["id"] for c in dialog["controls"]}
                if UPDATE in ids:
                    return program, dialog
        time.sleep(0.2)
    raise AssertionError("no main dialog")


def press_update(scn, dialog):
    listed = {c["id"]: c for c in dialog["controls"]}
    assert listed[1003]["text"] == "USB" and listed[1003]["visible"]
    click(scn, dialog["hwnd"], UPDATE)


def expect_box(scn, language, text=None, timeout=15, buttons=(IDOK,)):
    box = scn.message_box(timeout=timeout)
    assert box["exe"] == EXE_NAME
    assert box["caption"] == CAPTION
    assert [b["id"] for b in box["buttons"] if b["visible"]] == list(buttons)
    if text is not None:
        assert box_text(box, language) == text
    return box


@pytest.mark.time_limit(240)
def test_two_phase_update_with_restarts(scenario):
    """Image phase, the drive's restart at another target, the loader phase,
    the second restart, and the success message with a full bar."""
    loader = usb_scenario(scenario, stage_lines=[
        "after save revision_from=1",
        "after finish down=absent down_ms=20000 address=0:4",
        "after loader down=notready down_ms=8000 firmware_code=0x15",
    ])
    program, dialog = open_main_dialog(scenario)
    hwnd = dialog["hwnd"]
    assert dialog["owner"] == 0
    press_update(scenario, dialog)

    notice = expect_box(scenario, "en")
    assert notice["owner"] == hwnd
    scenario.press(IDOK)
    confirm = expect_box(scenario, "en", buttons=(IDOK, IDCANCEL))
    assert TEXTS["en"]["TxtUsbPowerLine"] in box_text(confirm, "en")
    scenario.press(IDOK)
    started = time.monotonic()

    done = expect_box(scenario, "en", TEXTS["en"]["TxtLoadSucceeded"], timeout=200)
    elapsed = time.monotonic() - started
    assert done["owner"] == hwnd
    # About 70 s and 30 s of fixed waits.
    assert elapsed > 95, elapsed
    bar = scenario.robot("pixels", "--hwnd", hwnd, "--id", PROGRESS)
    state = controls(scenario, hwnd)
    assert not state[UPDATE]["enabled"] and not state[EXIT]["enabled"]
    scenario.press(IDOK)

    # EXIT comes back, UPDATE does not.
    end = time.monotonic() + 10
    while not controls(scenario, hwnd)[EXIT]["enabled"]:
        assert time.monotonic() < end, "EXIT not enabled again"
        time.sleep(0.2)
    assert not controls(scenario, hwnd)[UPDATE]["enabled"]
    click(scenario, hwnd, EXIT)
    assert program.wait(30) == 0

    log = sim_log(scenario)
    writes = [e for e in log if e.get("cdb", "").startswith("3B")]
    assert len(writes) == 257
    for n, e in enumerate(writes):
        cdb = bytes.fromhex(e["cdb"])
        assert len(cdb) == 12
        assert cdb[1] == (6 if n < 256 else 7)
        assert int.from_bytes(cdb[3:6], "big") == n * 2048
        assert (e["ha"], e["tgt"], e["status"]) == ("0", "1", "0x01")
    finish = [i for i, e in enumerate(log) if e.get("cdb", "").startswith("CDFF")]
    assert len(finish) == 1 and log[finish[0]].get("event") == "finish"
    assert log.index(writes[-1]) < finish[0]

    loads = [e for e in log if e.get("cdb", "").startswith("CD00")]
    assert len(loads) == 1
    load = loads[0]
    # Sent to the address the drive came back at.
    assert (load["ha"], load["tgt"]) == ("0", "4")
    content = text_mode(loader.read_bytes())
    assert len(content) == len(loader.read_bytes()) - len(LOADER_CRLF_AT)
    length = int.from_bytes(content[60:64], "big")
    assert length == LOADER_BODY
    assert load["cdb"][12:20] == content[60:64].hex().upper()
    assert load["loader_len"] == str(length) and load["out"] == str(length)
    assert load["digest"] == fnv1a64(content[64:64 + length])
    assert load["status"] == "0x01"
    # The bar is full: a whole row of it is blue (before the last step it
    # stood at about 70 per cent).
    assert bar["matching_run"] == bar["width"], bar


def wait_enabled(scn, hwnd, control, timeout=10):
    end = time.monotonic() + timeout
    while not controls(scn, hwnd)[control]["enabled"]:
        assert time.monotonic() < end, f"{control} not enabled"
        time.sleep(0.2)


@pytest.mark.time_limit(120)
def test_refused_block_in_japanese(scenario):
    """A body block that the drive refuses ends the run with the Japanese
    text of the refusal; the rest of the image and the finish command are
    never sent, and UPDATE stays disabled."""
    usb_scenario(scenario, language="ja", drive_lines=["fault error op=3B offset=204800"])
    program, dialog = open_main_dialog(scenario)
    hwnd = dialog["hwnd"]
    press_update(scenario, dialog)
    expect_box(scenario, "ja")
    scenario.press(IDOK)
    confirm = expect_box(scenario, "ja", buttons=(IDOK, IDCANCEL))
    assert TEXTS["ja"]["TxtUsbPowerLine"] in box_text(confirm, "ja")
    scenario.press(IDOK)
    box = expect_box(scenario, "ja", TEXTS["ja"]["TxtLoaderRefused"], timeout=60)
    assert box["owner"] == hwnd
    scenario.press(IDOK)
    wait_enabled(scenario, hwnd, EXIT)
    assert not controls(scenario, hwnd)[UPDATE]["enabled"]
    assert controls(scenario, hwnd)[NOTE]["text"] != ""
    click(scenario, hwnd, EXIT)
    assert program.wait(30) == 0

    log = sim_log(scenario)
    writes = [e for e in log if e.get("cdb", "").startswith("3B")]
    assert len(writes) == 101  # blocks 0 to 100, the last one refused
    assert writes[-1]["status"] != "0x01"
    assert not [e for e in log if e.get("cdb", "").startswith("CD")]


@pytest.mark.time_limit(90)
def test_cancel_at_the_confirmation_writes_nothing(scenario):
    usb_scenario(scenario)
    program, dialog = open_main_dialog(scenario)
    hwnd = dialog["hwnd"]
    press_update(scenario, dialog)
    expect_box(scenario, "en")
    scenario.press(IDOK)
    confirm = expect_box(scenario, "en", buttons=(IDOK, IDCANCEL))
    assert TEXTS["en"]["TxtUsbPowerLine"] in box_text(confirm, "en")
    scenario.press(IDCANCEL)
    scenario.no_message_box(within=2)
    state = controls(scenario, hwnd)
    assert state[UPDATE]["enabled"] and state[EXIT]["enabled"]
    assert state[NOTE]["text"] == ""
    click(scenario, hwnd, EXIT)
    assert program.wait(30) == 0
    log = sim_log(scenario)
    assert not [e for e in log if e.get("cdb", "")[:2] in ("3B", "CD")]
    # The readiness tests and the status read were made, nothing else.
    assert [e for e in log if e.get("cdb", "").startswith("00")]
