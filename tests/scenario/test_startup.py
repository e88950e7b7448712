"""Start-up of Discmend.exe under Wine, seen from outside: the refusals of a
bad or missing image or loader, the launch list, unusual command lines, the
single-instance guard, in both languages and both Windows families."""

import time

import pytest

from harness import CAPTION, EXE_NAME, IMAGE_SIZE

EN = {
    "MsgBadSize": "Error: Invalid file size.",
    "MsgInvalidData": "Error: Invalid data was detected.",
    "MsgNoDataFile": "Error: Couldn't find data file.",
    "MsgReadError": "Error: Couldn't read data.",
    "MsgAccessError": "Error: Couldn't access the file.",
    "MsgUpdateFailed": "Failed to update the firmware. Turn the power off PC,\r\n"
                       "turn the power on PC and try it again.",
}
JA = {
    "MsgBadSize": "エラー：ファイルサイズが異常です。",
    "MsgInvalidData": "エラー：異常データが検出されました。",
    "MsgNoDataFile": "エラー：ファイルが見つかりません。",
}
CODEC = {"en": "ascii", "ja": "cp932"}

# What start-up itself may say; anything else comes from a later screen.
STARTUP_TEXTS = set(EN.values()) | set(JA.values())

WORK_EXE = "C:\\work\\Discmend.exe"


def expect_refusal(scn, program, message, language="en"):
    """The program shows exactly one message box with the entry's text, in
    the user's language, OK only, and ends with exit code 0 once OK is
    pressed."""
    expected = (JA if language == "ja" else EN)[message]
    box = scn.message_box()
    assert box["exe"] == EXE_NAME
    assert box["caption"] == CAPTION and box["caption_hex"] == CAPTION.encode().hex()
    assert bytes.fromhex(box["text_hex"]) == expected.encode(CODEC[language]), box["text"]
    assert [b["id"] for b in box["buttons"] if b["visible"]] == [1]
    assert not box["icon"]
    assert box["owner"] == 0
    assert [w["hwnd"] for w in scn.windows()] == [box["hwnd"]], "other windows are open"
    scn.press(1)
    assert program.wait() == 0
    assert program.crashed() is None
    return box


def expect_past_startup(scn, program):
    """Start-up accepted the image and the loader: what the program shows
    first is a dialog, or a message of a later screen, not a refusal."""
    first = scn.wait_first_window(program)
    assert program.crashed() is None
    assert first is not None, f"{program.label} ended without showing anything"
    if "controls" not in first:
        assert first["text"] not in STARTUP_TEXTS, f"refused at start-up: {first['text']!r}"
    return first


@pytest.mark.parametrize("family,language", [("nt", "en"), ("nt", "ja"), ("9x", "en"),
                                             ("9x", "ja")])
def test_rig_settings_reach_the_program(scenario, family, language):
    """The family and language settings that the scenarios below rely on."""
    scenario.family = family
    scenario.language = language
    seen = scenario.probe()
    assert (seen["version"] >= 0x80000000) == (family == "9x"), hex(seen["version"])
    assert seen["langid"] & 0x3FF == (17 if language == "ja" else 9), hex(seen["langid"])
    assert seen["acp"] == (932 if language == "ja" else 1252)


def bad_size_image(scn, name="bad.bin", size=IMAGE_SIZE - 1):
    return scn.image(name, size=size)


# -- refusals of the image and the loader -----------------------------------

def case_size_one_short(scn):
    scn.image("fw.bin", size=IMAGE_SIZE - 1)
    return scn.start("fw.bin"), "MsgBadSize"


def case_size_one_long(scn):
    scn.image("fw.bin", size=IMAGE_SIZE + 1)
    return scn.start("fw.bin"), "MsgBadSize"


def case_signature_case(scn):
    scn.image("fw.bin", signature="VELKOSa")
    return scn.start("fw.bin"), "MsgInvalidData"


def case_model_not_an_image_model(scn):
    # Drives of this model exist, images for it do not.
    scn.image("fw.bin", model="HX-2350RU")
    return scn.start("fw.bin"), "MsgInvalidData"


def case_no_image_no_launch_list(scn):
    return scn.start(), "MsgNoDataFile"


def case_named_image_missing(scn):
    return scn.start("nothere.bin"), "MsgNoDataFile"


def case_launch_list_loader_missing(scn):
    scn.image("fw.bin")
    scn.launch_list(b"fw.bin\r\nnothere.bin\r\n")
    return scn.start(), "MsgNoDataFile"


CASES = {f.__name__[5:]: f for f in (
    case_size_one_short, case_size_one_long, case_signature_case,
    case_model_not_an_image_model, case_no_image_no_launch_list, case_named_image_missing,
    case_launch_list_loader_missing)}
CORE = ("size_one_short", "signature_case", "no_image_no_launch_list",
        "launch_list_loader_missing")

MATRIX = ([("nt", "en", c) for c in CASES]
          + [("nt", "ja", c) for c in CORE]
          + [("9x", "en", c) for c in CORE]
          + [("9x", "ja", c) for c in ("size_one_short", "launch_list_loader_missing")])


@pytest.mark.parametrize("family,language,case", MATRIX,
                         ids=[f"{f}-{l}-{c}" for f, l, c in MATRIX])
def test_startup_refuses(scenario, family, language, case):
    scenario.family = family
    scenario.language = language
    program, message = CASES[case](scenario)
    expect_refusal(scenario, program, message, language)


def test_valid_image_passes_startup(scenario):
    scenario.image("fw.bin", model="HX-1150RA", rev1="1.0", rev2="", rev3="ZZZZ")
    expect_past_startup(scenario, scenario.start("fw.bin"))


def test_valid_image_passes_startup_9x_japanese(scenario):
    scenario.family = "9x"
    scenario.language = "ja"
    scenario.image("fw.bin", model="HX-2170RA")
    expect_past_startup(scenario, scenario.start("fw.bin"))


# -- single instance ---------------------------------------------------------

def test_second_instance_ends_at_once_and_shows_nothing(scenario):
    bad_size_image(scenario)
    first = scenario.start("bad.bin")
    box = scenario.message_box()

    started = time.monotonic()
    second = scenario.start("bad.bin")
    assert second.wait(timeout=15) == 0
    elapsed = time.monotonic() - started
    assert second.crashed() is None
    assert [w["hwnd"] for w in scenario.windows()] == [box["hwnd"]]
    assert first.running()
    assert elapsed < 10, f"second instance took {elapsed:.1f} s"

    scenario.press(1)
    assert first.wait() == 0
    # The guard ends with the process that holds it.
    expect_refusal(scenario, scenario.start("bad.bin"), "MsgBadSize")


# -- launch list -------------------------------------------------------------

def test_launch_list_name_then_option(scenario):
    bad_size_image(scenario)
    scenario.launch_list(b"bad.bin /NON\r\n")
    expect_refusal(scenario, scenario.start(), "MsgBadSize")


def test_launch_list_name_without_line_end(scenario):
    bad_size_image(scenario)
    scenario.launch_list(b"bad.bin")
    expect_refusal(scenario, scenario.start(), "MsgBadSize")


def test_launch_list_empty_file(scenario):
    bad_size_image(scenario)
    scenario.launch_list(b"")
    expect_refusal(scenario, scenario.start(), "MsgNoDataFile")


def test_launch_list_third_line_not_read(scenario):
    scenario.image("fw.bin")
    scenario.loader("ldr.bin")
    scenario.launch_list(b"fw.bin\r\nldr.bin\r\nnothere.bin\r\n")
    expect_past_startup(scenario, scenario.start())


def test_launch_list_loader_with_option(scenario):
    scenario.image("fw.bin")
    scenario.loader("ldr.bin")
    scenario.launch_list(b"fw.bin\r\nldr.bin /NON\r\n")
    expect_past_startup(scenario, scenario.start())


def test_launch_list_option_with_lf_eats_first_byte_of_line_2(scenario):
    # The option is followed by two line-end bytes: LF and the "l" of ldr.bin.
    scenario.image("fw.bin")
    scenario.loader("ldr.bin")
    scenario.launch_list(b"fw.bin /NON\nldr.bin\r\n")
    expect_refusal(scenario, scenario.start(), "MsgNoDataFile")


def test_launch_list_option_with_lf_eats_exactly_one_byte(scenario):
    scenario.image("fw.bin")
    scenario.loader("ldr.bin")
    scenario.launch_list(b"fw.bin /NON\nXldr.bin\r\n")
    expect_past_startup(scenario, scenario.start())


def test_launch_list_option_with_crlf_keeps_line_2(scenario):
    scenario.image("fw.bin")
    scenario.loader("ldr.bin")
    scenario.launch_list(b"fw.bin /NON\r\nldr.bin\r\n")
    expect_past_startup(scenario, scenario.start())


def test_launch_list_not_read_when_image_named(scenario):
    scenario.image("fw.bin")
    bad_size_image(scenario)
    scenario.launch_list(b"bad.bin\r\nnothere.bin\r\n")
    expect_past_startup(scenario, scenario.start("fw.bin"))


# -- exact command lines -----------------------------------------------------

COMMAND_LINES = {
    "option_after_name": ('"%s" bad.bin /NON', "MsgBadSize"),
    "two_blanks_before_name": ('"%s"  bad.bin', "MsgBadSize"),
    "any_separator_character": ('"%s"Xbad.bin', "MsgBadSize"),
    "quoted_name_keeps_quotes": ('"%s" "bad.bin"', "MsgNoDataFile"),
    "unquoted_program_path": ("%s bad.bin", "MsgNoDataFile"),
    "path_alone_reads_launch_list": ('"%s"', "MsgBadSize"),
    "path_and_blank_reads_launch_list": ('"%s" ', "MsgBadSize"),
}


@pytest.mark.parametrize("case", COMMAND_LINES)
def test_command_line(scenario, case):
    pattern, message = COMMAND_LINES[case]
    bad_size_image(scenario)
    if "launch_list" in case:
        scenario.launch_list(b"bad.bin\r\n")
    program = scenario.start_exact(pattern % WORK_EXE, exe=WORK_EXE)
    expect_refusal(scenario, program, message)


LONG_LINES = {
    "261": lambda head: head + "a" * (261 - len(head)),
    "265": lambda head: head + "a" * (265 - len(head)),
    "600_name": lambda head: head + "a" * (600 - len(head)),
    "2000_name": lambda head: head + "a" * (2000 - len(head)),
    "long_option": lambda head: head + "bad.bin /" + "N" * 400,
    "blanks_before_name": lambda head: head + " " * 300 + "bad.bin",
}


@pytest.mark.parametrize("case", LONG_LINES)
def test_long_command_line_ends_cleanly(scenario, case, record_property):
    """Longer command lines than the buffers hold: the program may refuse
    them as it likes, but with its own message boxes and a normal end."""
    bad_size_image(scenario)
    cmdline = LONG_LINES[case]('"%s" ' % WORK_EXE)
    assert len(cmdline) > 260
    program = scenario.start_exact(cmdline, exe=WORK_EXE)
    shown = []
    for _ in range(4):
        first = scenario.wait_first_window(program)
        if first is None:
            break
        assert "controls" not in first, f"unexpected dialog {first['caption']!r}"
        assert first["exe"] == EXE_NAME and first["caption"] == CAPTION
        assert first["text"]
        shown.append(first["text"])
        scenario.press(1)
    else:
        assert scenario.wait_first_window(program) is None, f"still showing messages: {shown}"
    record_property("messages", shown)
    print(f"{len(cmdline)} characters: {shown}")
    assert program.wait() == 0
    assert program.crashed() is None
