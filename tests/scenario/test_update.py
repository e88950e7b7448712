"""Updates through the real program and the simulated drives: the ATAPI
update on the NT family with its shutdown, and the two-phase update of a USB
drive on the 9x family."""

import pytest

from harness import drive, fnv1a64, text_mode, wait_until
from program import ids, texts

BLOCK = 2048
UPDATE, EXIT, PROGRESS, NOTE = ids.IDC_UPDATE, ids.IDC_EXIT, ids.IDC_PROGRESS, ids.IDC_NOTE
RADIO1, REVISION1 = ids.IDC_SLOT1_RADIO, ids.IDC_SLOT1_REVISION
EN = texts("en")
CLOSE_APPS = EN["MsgCloseApps"]
NO_ABORT = EN["WarnNoAbort"]
OTHERS_CLOSED = EN["WarnCloseApps"] + EN["WarnRemoveDisc"]
WARNING_TEXT = EN["WarningText"]
MAY_TAKE_MINUTES = EN["MsgMayTakeMinutes"]
SHUTDOWN_CALLS = "user32.ExitWindowsEx;advapi32.AdjustTokenPrivileges;advapi32.LookupPrivilegeValueA"


def write_buffers(log):
    return [(int(r["cdb"][2:4], 16), int(r["cdb"][6:12], 16), r)
            for r in log if r["cdb"].startswith("3B")]


def bar_full(scn, dialog):
    bar = scn.robot(f"pixels {dialog['hwnd']} {PROGRESS}")
    return bar["ok"] and bar["run"] == bar["width"] > 0


@pytest.mark.parametrize("manager", [
    pytest.param(True, id="ASPI manager"),
    pytest.param(False, id="pass-through only", marks=pytest.mark.passthrough)])
def test_atapi_update_on_nt_writes_the_image_and_asks_for_shutdown(scenario, manager):
    # The drive is on D: either way: with an ASPI manager the program must
    # not reach it through pass-through; without one it reaches it only so.
    scn = scenario()
    image = scn.fixture("image", "fw.bin", rev3="1.10")
    scn.drives(drive(0, 1, revision="1.00", letter="D"), manager=manager)
    # The auto-insert setting matters only on the 9x family: here it is on
    # and must stay untouched.
    instance = r"Enum\SCSI\VELKOSA_HX-2150RA______1.00\0000"
    scn.registry("system", instance, {"AutoInsertNotification": b"\x01"})
    scn.trace(SHUTDOWN_CALLS)
    program = scn.start("fw.bin", relay=True)
    scn.accept_agreement()
    dialog = scn.main_dialog()
    assert (dialog["controls"][RADIO1]["text"], dialog["controls"][REVISION1]["text"]) == ("ATAPI", "1.00")
    scn.click(dialog, UPDATE)
    assert scn.answer(1)["text"] == CLOSE_APPS
    confirm = scn.answer(1)
    assert (confirm["text"], confirm["buttons"]) == (WARNING_TEXT, [1, 2])
    wait_until(lambda: scn.session_events(), 60, "shutdown request")
    wait_until(lambda: bar_full(scn, dialog), 10, "the bar full")
    shown = scn.refresh(dialog)["controls"]
    assert shown[NOTE]["text"] == MAY_TAKE_MINUTES
    assert shown[EXIT]["enabled"] and not shown[UPDATE]["enabled"]
    scn.click(dialog, EXIT)
    assert scn.exit_code(program) == 0

    log = scn.log()
    assert {"letter" in r for r in log} == {not manager}, "not all through the one way in"
    writes = write_buffers(log)
    assert [(m, o) for m, o, _ in writes] == [(6, n * BLOCK) for n in range(256)] + [(7, 256 * BLOCK)]
    assert all(r["status"] == "0x01" for _, _, r in writes)
    assert scn.path("C:\\dump\\image-0-1.bin").read_bytes() == image.read_bytes()
    program.stderr_file.seek(0)
    trace = program.stderr_file.read().decode(errors="replace")
    calls = [c for c in ("LookupPrivilegeValueA(00000000", "SeShutdownPrivilege",
                         "Ret  advapi32.AdjustTokenPrivileges() retval=00000001",
                         "Call user32.ExitWindowsEx(00000001,00000000)") if c not in trace]
    assert not calls, calls
    # Nothing of the 9x restart cycle.
    value = scn.robot(f"reg HKLM {instance.encode().hex()} {b'AutoInsertNotification'.hex()}")
    assert value["data"] == "01"
    assert not list(scn.path("C:\\windows").glob("Rariru*"))


LOADER = "LDR_01.bin"


def test_usb_update_on_9x_runs_both_phases_and_reports_success(scenario):
    scn = scenario(family="9x", time_limit=300)
    scn.fixture("image", "fw.bin", model="HX-2170RA", rev1="1.10", rev3="1.10")
    loader = scn.fixture("loader", LOADER, body_length=5000, model_digits="21",
                         firmware_digits="15", crlf_at=777)
    scn.put("Varoriva.inf", f"fw.bin\r\n{LOADER}\r\n")
    scn.drives(drive(0, 1, product="HX-2170RA USB", usb=1, firmware_code="0x10",
                     model_code="0x21", latency_ms=1)
               + "after save revision_from=1\n"
               "after finish down=absent down_ms=20000 address=0:4\n"
               "after loader down=notready down_ms=8000 firmware_code=0x15\n")
    program = scn.start()
    scn.accept_agreement()
    dialog = scn.main_dialog()
    shown = dialog["controls"]
    assert (shown[RADIO1]["text"], shown[REVISION1]["text"]) == ("USB", "1.00 (10)")
    scn.click(dialog, UPDATE)
    assert scn.answer(1)["text"] == CLOSE_APPS
    confirm = scn.answer(1)
    assert confirm["text"] == NO_ABORT + EN["TxtUsbPowerLine"] + OTHERS_CLOSED
    assert scn.answer(1, limit=200)["text"] == EN["TxtLoadSucceeded"]
    assert bar_full(scn, dialog)
    wait_until(lambda: scn.refresh(dialog)["controls"][EXIT]["enabled"], 10, "EXIT enabled")
    assert not scn.refresh(dialog)["controls"][UPDATE]["enabled"]
    scn.click(dialog, EXIT)
    assert scn.exit_code(program) == 0
    assert scn.session_events() == []  # the computer is left running

    log = scn.log()
    writes = write_buffers(log)
    assert [(m, o) for m, o, _ in writes] == [(6, n * BLOCK) for n in range(256)] + [(7, 256 * BLOCK)]
    assert all((r["ha"], r["tgt"], r["status"]) == ("0", "1", "0x01") for _, _, r in writes)
    finish = [r for r in log if r["cdb"].startswith("CDFF")]
    loads = [r for r in log if r["cdb"].startswith("CD00")]
    assert len(finish) == 1 and log.index(finish[0]) > log.index(writes[-1][2])
    assert len(loads) == 1
    body = text_mode(loader.read_bytes())[64:64 + 5000]
    # Sent whole, to the address the drive came back at.
    assert (loads[0]["ha"], loads[0]["tgt"], loads[0]["loader_len"]) == ("0", "4", "5000")
    assert loads[0]["digest"] == fnv1a64(body)
    assert scn.path("C:\\dump\\loader-0-4.bin").read_bytes() == body
