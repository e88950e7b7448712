"""Drives reached only through the NT family's SCSI pass-through (no ASPI
manager): the drives on their letters, a block the drive refuses, a drive
that never answers."""

import pytest

from harness import drive
from program import SLOTS
from test_update import BLOCK, CLOSE_APPS, EN, EXIT, UPDATE, WARNING_TEXT, write_buffers

pytestmark = pytest.mark.passthrough

UPDATE_FAILED, NO_DEVICE = EN["MsgUpdateFailed"], EN["MsgNoDevice"]


def test_drives_on_two_letters_are_listed(scenario):
    scn = scenario()
    scn.fixture("image", "fw.bin")
    scn.drives(drive(0, 1, revision="1.01", letter="D")
               + drive(1, 0, product="HX-2350RU", revision="1.02", letter="E"), manager=False)
    scn.start("fw.bin")
    scn.accept_agreement()
    shown = scn.main_dialog()["controls"]
    listed = [(shown[radio]["text"], shown[revision]["text"], shown[label]["visible"])
              for radio, label, revision in SLOTS[:3]]
    assert listed[:2] == [("ATAPI", "1.01", True), ("ATAPI", "1.02", True)]
    assert not listed[2][2]
    asked = {(r["letter"], r["ha"], r["tgt"]) for r in scn.log() if r["cdb"].startswith("12")}
    assert asked == {("D", "0", "1"), ("E", "1", "0")}


def test_drive_that_never_answers_is_given_up_by_the_programs_own_wait(scenario):
    # D: answers; E: takes every command and never ends it, well past the
    # program's 10 s wait for an INQUIRY. The run ends all the same.
    scn = scenario(time_limit=90)
    scn.fixture("image", "fw.bin")
    scn.drives(drive(0, 1, letter="D") + drive(1, 0, letter="E", fault="never"), manager=False)
    program = scn.start("fw.bin")
    scn.accept_agreement()
    assert scn.answer(1, limit=30)["text"] == UPDATE_FAILED
    assert scn.answer(1)["text"] == NO_DEVICE
    assert scn.exit_code(program) == 0
    stuck = [r for r in scn.log() if r["letter"] == "E"]
    assert [(r["cdb"][:2], r.get("fault")) for r in stuck] == [("12", "never")]


def test_block_refused_with_check_condition_ends_the_transfer_before_the_save(scenario):
    scn = scenario()
    scn.fixture("image", "fw.bin")
    scn.drives(drive(0, 1, letter="D", fault=f"error op=3B offset={100 * BLOCK}"), manager=False)
    program = scn.start("fw.bin")
    scn.accept_agreement()
    dialog = scn.main_dialog()
    scn.click(dialog, UPDATE)
    texts = [CLOSE_APPS, WARNING_TEXT, EN["MsgUpdateFailedDma"]]
    assert [scn.answer(1)["text"] for _ in texts] == texts
    scn.click(dialog, EXIT)
    assert scn.exit_code(program) == 0
    writes = write_buffers(scn.log())
    assert [o for _, o, _ in writes] == [n * BLOCK for n in range(101)], "sent on after the refusal"
    assert writes[-1][2]["fault"] == "error" and all(m == 6 for m, _, _ in writes)
