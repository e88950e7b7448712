"""Start-up as the user meets it: every refusal by its text, a missing ASPI
manager, a second instance."""

import pytest

from harness import CAPTION, drive
from program import texts

EN = texts("en")
NO_DATA_FILE, NO_DEVICE, INVALID = EN["MsgNoDataFile"], EN["MsgNoDevice"], EN["MsgInvalidData"]


def ends_with_box(scn, program, text):
    box = scn.answer(1)
    assert (box["caption"], box["text"], box["buttons"]) == (CAPTION, text, [1])
    assert scn.exit_code(program) == 0


def image(scn, **options):
    scn.fixture("image", "fw.bin", **options)


def image_and_loader(scn, **options):
    image(scn)
    scn.put("Varoriva.inf", "fw.bin\r\nldr.bin\r\n")
    scn.fixture("loader", "ldr.bin", **options)


REFUSALS = {
    "no image named and no launch list": (lambda scn: None, NO_DATA_FILE),
    "image one byte short": (lambda scn: image(scn, size=526335), "Error: Invalid file size."),
    "image one byte long": (lambda scn: image(scn, size=526337), "Error: Invalid file size."),
    "image of another maker": (lambda scn: image(scn, signature="VELKOSb"), INVALID),
    "image of an unknown model": (lambda scn: image(scn, model="HX-2160RA"), INVALID),
    "loader file missing": (lambda scn: (image(scn),
                                         scn.put("Varoriva.inf", "fw.bin\r\nldr.bin\r\n")),
                            NO_DATA_FILE),
    "loader shorter than its identification digits": (
        lambda scn: image_and_loader(scn, min_size=20000, body_length=1024), INVALID),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refusal_shows_its_text_and_ends_the_run(scenario, case):
    scn = scenario()
    prepare, text = REFUSALS[case]
    prepare(scn)
    program = scn.start("fw.bin") if case.startswith("image") else scn.start()
    ends_with_box(scn, program, text)


def test_japanese_user_is_refused_in_japanese(scenario):
    scn = scenario(family="9x", language="ja")
    image(scn, size=1000)
    ends_with_box(scn, scn.start("fw.bin"), "エラー：ファイルサイズが異常です。")


def test_command_line_too_long_for_its_buffer_is_not_parsed(scenario):
    # The image name fits, but the whole line passes 260 bytes: the run is
    # refused rather than started with a name taken from a cut line.
    scn = scenario()
    image(scn)
    program = "C:\\work\\Discmend.exe"
    pid = scn.launch(f'"{program}" fw.bin /NON' + " " * (261 - len(program) - 14), exe=program)
    ends_with_box(scn, pid, NO_DATA_FILE)


@pytest.mark.parametrize("manager", ["none installed", "one without host adapters"])
def test_without_an_aspi_manager_the_user_is_told_no_device_was_found(scenario, manager):
    # On the 9x family the drive on D: stays out of reach: pass-through is
    # for the NT family only. On the NT family there is no CD drive at all.
    scn = scenario(family="9x" if manager == "none installed" else "nt")
    image(scn)
    if manager == "none installed":
        scn.overrides.append("wnaspi32=")  # Wine's own manager made unavailable
        scn.drives(drive(0, 1, letter="D"), manager=False)
    program = scn.start("fw.bin")
    scn.accept_agreement()
    ends_with_box(scn, program, NO_DEVICE)
    if manager == "none installed":
        assert scn.log() == []


def test_second_instance_ends_at_once_without_a_window(scenario):
    scn = scenario()
    image(scn)
    first = scn.start("fw.bin")
    scn.dialog("Discmend")
    second = scn.start("fw.bin")
    assert scn.exit_code(second) == 0
    assert len(scn.windows()) == 1 and first.poll() is None
