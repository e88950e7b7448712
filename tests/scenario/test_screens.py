"""The screens of Discmend.exe under Wine with simulated drives, seen and
driven from outside: the agreement (scrolling to its end, the choice, the
result), the Japanese screens, and the main dialog's list of drives.

The helpers at the top are shared with test_update_atapi.py."""


import pytest

from harness import EXE_NAME, wait_until

CAPTION_WITH_VERSION = "Discmend" + " " * 8 + "Ver. 1.1"
LABEL_TEXT = "F/W" + " " * 9 + "version"
CODEC = {"en": "ascii", "ja": "cp932"}

TEXTS = {
    "en": {
        "LabelAccept": "Accept",
        "LabelDecline": "Do not Accept",
        "MsgCloseApps": "Close all other applications and save all your editing documents now.",
        "MsgAlreadyUpdated": "The drive has already been updated.",
        "MsgWrongFile": "Error: This drive could not be upgraded with the selected file.",
        "MsgInvalidData": "Error: Invalid data was detected.",
        "MsgTakeDiscOut": "Take CD off from a tray.",
        "MsgMayTakeMinutes": "Note: This may take several minutes. Even if there is no software "
                             "activity for a long time, do not turn your computer off.",
        "MsgUpdateFailedDma": "Failed to update the firmware. Turn the power off PC,\r\n"
                              "turn the power on PC and try it again.\r\n"
                              "If you enable DMA mode, please disable it and try to update again.",
        "WarningText": "-DO NOT abort this program nor turn the power off PC during updating.\r\n"
                       "-Closing all other applications before starting the operation.\r\n"
                       "-Take CD off the VELKOSA USB CD-R/RW drive before starting the "
                       "operation.\r\n"
                       "-Your computer will be ready to be turned off or will be turned off "
                       "after updating the firmware. Turn on the computer after that again.",
    },
    "ja": {
        "LabelAccept": "許諾する",
        "LabelDecline": "許諾しない",
        "MsgCloseApps": "他に現在実行中のアプリケーションがあれば、終了してください。\r\n"
                        "編集中のドキュメントがあれば、保存してください。",
        "MsgAlreadyUpdated": "既に更新されています。",
    },
}

# The dialog templates: size and control rectangles in dialog units.
TEMPLATES = {
    "KYODAKU": ((255, 243), {1011: (30, 30, 188, 136), 1006: (218, 30, 10, 135),
                             1004: (106, 184, 53, 17), 1003: (106, 200, 53, 17),
                             1: (173, 187, 50, 27)}),
    "KYODAKUUS": ((244, 183), {1011: (30, 9, 165, 139), 1006: (195, 9, 10, 139),
                               1004: (81, 150, 53, 17), 1003: (81, 164, 63, 17),
                               1: (146, 155, 50, 22)}),
}
_MAIN = {1001: (30, 45, 60, 30), 1002: (135, 45, 60, 30), 1003: (30, 15, 45, 15),
         1004: (30, 31, 45, 15), 1005: (30, 45, 45, 15), 1006: (30, 61, 45, 15),
         1013: (15, 90, 195, 15), 1015: (15, 120, 195, 30),
         1016: (77, 15, 75, 15), 1017: (77, 30, 75, 15), 1018: (77, 45, 75, 15),
         1019: (77, 60, 75, 15), 31: (154, 15, 30, 15), 1020: (154, 30, 30, 15),
         1021: (154, 45, 30, 15), 1022: (154, 60, 30, 15)}
TEMPLATES["MainDialog"] = ((223, 159), _MAIN)
TEMPLATES["MainDialogUS"] = ((223, 159), {**_MAIN, 1004: (30, 30, 45, 15),
                                          1006: (30, 60, 45, 15)})

SLOTS = [(1003, 1016, 31), (1004, 1017, 1020), (1005, 1018, 1021), (1006, 1019, 1022)]
MOVED_BY_GROWTH = (1001, 1013, 1002, 1015)

WS_POPUP, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x00C00000, 0x00080000
WS_EX_DLGMODALFRAME, DS_SYSMODAL, DS_MODALFRAME = 0x1, 0x2, 0x80
BS_TYPEMASK, BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTORADIOBUTTON = 0xF, 0, 1, 9


# -- the simulated drives ------------------------------------------------------

def drive(adapter, target, product="HX-2150RA", revision="1.00", **settings):
    """One [device] section of a simulator scenario."""
    lines = [f"[device {adapter} {target}]", f"product {product}", f"revision {revision}"]
    lines += [f"{key} {value}" for key, value in settings.items()]
    return "\n".join(lines) + "\n"


def use_drives(scn, *sections, dump=True):
    """Puts the simulated ASPI layer with these devices beside the program;
    with dump, the drive's image is written to C:\\dump at each save."""
    scn.put_file("scen.txt", "\n".join(sections))
    scn.use_sim("C:\\work\\scen.txt")
    if dump:
        scn.unix_path("C:\\dump").mkdir(exist_ok=True)
        scn.extra_env["DISCMEND_SIM_DUMP_DIR"] = "C:\\dump"


def sim_requests(scn):
    """The requests in the simulator's log, each a dict of its fields."""
    path = scn.unix_path("C:\\sim.log")
    if not path.exists():
        return []
    out = []
    for line in path.read_text(errors="replace").splitlines():
        if " cdb=" in line:
            out.append(dict(field.split("=", 1) for field in line.split() if "=" in field))
    return out


def write_buffers(requests):
    """(mode, offset, request) of every WRITE BUFFER command."""
    return [(int(r["cdb"][2:4], 16), int(r["cdb"][6:12], 16), r)
            for r in requests if r["cdb"].startswith("3B")]


# -- reading the screens -----------------------------------------------------

def controls(dialog):
    return {c["id"]: c for c in dialog["controls"]}


def dialog_state(scn, hwnd):
    return scn.dialog(hwnd=hwnd, timeout=5)


def mul_div(a, b, c):
    """MulDiv: a * b / c rounded to the nearest integer."""
    return (2 * a * b + c) // (2 * c)


def pixel_rect(du, units):
    (x, y, w, h), (bx, by) = du, units
    return (mul_div(x, bx, 4), mul_div(y, by, 8), mul_div(w, bx, 4), mul_div(h, by, 8))


def rect_of(control):
    r = control["rect"]
    return (r["left"], r["top"], r["right"] - r["left"], r["bottom"] - r["top"])


def assert_template(dialog, template, grown=False):
    """Every control of the template is where the template puts it, as the
    system converted dialog units to pixels with the dialog's base units
    (found here from the dialog's size and the controls). With grown, the
    height and the controls that a growing list moves are not compared.
    Answers the base units."""
    (cx, cy), rects = TEMPLATES[template]
    shown = controls(dialog)
    assert set(shown) == set(rects), f"controls {sorted(shown)} are not those of {template}"
    fixed = {cid: du for cid, du in rects.items() if not (grown and cid in MOVED_BY_GROWTH)}
    width, height = dialog["client_rect"]["right"], dialog["client_rect"]["bottom"]
    for bx in (b for b in range(1, 64) if mul_div(cx, b, 4) == width):
        for by in range(1, 64):
            if not grown and mul_div(cy, by, 8) != height:
                continue
            if all(rect_of(shown[cid]) == pixel_rect(du, (bx, by)) for cid, du in fixed.items()):
                return bx, by
    raise AssertionError(f"{dialog['client_rect']} and the controls "
                         f"{ {cid: rect_of(c) for cid, c in shown.items()} } "
                         f"do not match the template {template}")


def assert_dialog_frame(dialog):
    """System-modal pop-up with caption and modal frame, no system menu."""
    style, exstyle = dialog["style"], dialog["exstyle"]
    assert style & WS_POPUP and (style & WS_CAPTION) == WS_CAPTION, hex(style)
    assert not style & WS_SYSMENU, "the dialog has a system menu"
    assert style & DS_SYSMODAL and style & DS_MODALFRAME, hex(style)
    assert exstyle & WS_EX_DLGMODALFRAME, hex(exstyle)
    assert dialog["owner"] == 0


def text_of(control, language):
    return bytes.fromhex(control["text_hex"]).decode(CODEC[language])


# -- the agreement -----------------------------------------------------------

def agreement(scn, timeout=20):
    """Waits for the agreement dialog of the program."""
    dialog = scn.dialog(timeout=timeout)
    assert dialog["exe"] == EXE_NAME
    assert 1011 in controls(dialog), "the first screen is not the agreement"
    return dialog


def scroll(scn, hwnd, code, count=1, pos=0):
    """Sends scroll requests as the scroll bar does; answers its state."""
    result = scn.robot("scroll", "--hwnd", hwnd, "--id", 1006, "--code", code,
                       "--count", count, "--pos", pos)
    return result["scroll"]


def radios_enabled(scn, hwnd):
    shown = controls(dialog_state(scn, hwnd))
    return shown[1003]["enabled"], shown[1004]["enabled"]


def click(scn, hwnd, cid):
    scn.robot("click", "--hwnd", hwnd, "--id", cid)


def choose(scn, hwnd, cid):
    """Clicks a radio button of the agreement and waits until it is checked."""
    click(scn, hwnd, cid)
    wait_until(lambda: controls(dialog_state(scn, hwnd))[cid]["checked"], lambda c: c == 1,
               what=f"button {cid} checked")


def accept_agreement(scn):
    """Reads the agreement to its end, accepts it and answers the main dialog."""
    dialog = agreement(scn)
    hwnd = dialog["hwnd"]
    info = controls(dialog)[1006]["scroll"]
    scroll(scn, hwnd, "SB_THUMBTRACK", pos=info["max"] - info["page"] + 1)
    choose(scn, hwnd, 1004)
    click(scn, hwnd, 1)
    scn.robot("wait-gone", "--hwnd", hwnd, wait_ms=10000)
    return main_dialog(scn)


def main_dialog(scn, timeout=20):
    dialog = scn.dialog(timeout=timeout)
    assert dialog["exe"] == EXE_NAME
    assert 1001 in controls(dialog), "this is not the main dialog"
    return dialog


def start_with_drive(scn, *sections, args=("fw.bin",), model="HX-2150RA", rev3="1.10"):
    scn.image("fw.bin", model=model, rev3=rev3)
    use_drives(scn, *(sections or (drive(0, 1),)))
    return scn.start(*args)


def test_agreement_line_steps_enable_the_choice_at_the_last_line_and_declining_ends_the_run(
        scenario):
    program = start_with_drive(scenario)
    dialog = agreement(scenario)
    hwnd = dialog["hwnd"]
    shown = controls(dialog)

    assert dialog["caption"] == CAPTION_WITH_VERSION
    assert_dialog_frame(dialog)
    assert_template(dialog, "KYODAKUUS")
    assert text_of(shown[1004], "en") == TEXTS["en"]["LabelAccept"]
    assert text_of(shown[1003], "en") == TEXTS["en"]["LabelDecline"]
    assert shown[1].get("text") == "NEXT"
    assert (shown[1004]["style"] & BS_TYPEMASK) == BS_AUTORADIOBUTTON
    assert (shown[1]["style"] & BS_TYPEMASK) == BS_DEFPUSHBUTTON
    assert [shown[c]["enabled"] for c in (1003, 1004, 1, 1006)] == [False, False, False, True]

    info = shown[1006]["scroll"]
    count = rect_of(shown[1006])[3] // 20
    assert (info["min"], info["max"], info["pos"], info["page"]) == (0, 95, 0, count)
    last_top = 95 - count + 1

    # One step before the last line comes into view: still no choice.
    assert scroll(scenario, hwnd, "SB_LINEDOWN", count=last_top - 1)["pos"] == last_top - 1
    assert radios_enabled(scenario, hwnd) == (False, False)
    assert scroll(scenario, hwnd, "SB_LINEDOWN")["pos"] == last_top
    assert radios_enabled(scenario, hwnd) == (True, True)
    # The view stops at the end, and going back keeps the choice open.
    assert scroll(scenario, hwnd, "SB_LINEDOWN", count=2)["pos"] == last_top
    assert scroll(scenario, hwnd, "SB_LINEUP", count=3)["pos"] == last_top - 3
    assert radios_enabled(scenario, hwnd) == (True, True)
    assert not controls(dialog_state(scenario, hwnd))[1]["enabled"]

    # Accept, then do not accept: NEXT stays enabled and ends the run.
    choose(scenario, hwnd, 1004)
    assert controls(dialog_state(scenario, hwnd))[1]["enabled"]
    choose(scenario, hwnd, 1003)
    shown = controls(dialog_state(scenario, hwnd))
    assert shown[1004]["checked"] == 0 and shown[1]["enabled"]
    click(scenario, hwnd, 1)

    assert program.wait(timeout=15) == 0
    assert program.crashed() is None
    # No drive was looked for: the simulator saw no request at all.
    assert sim_requests(scenario) == []


def test_agreement_page_down_key_and_accept_lead_to_the_main_dialog(scenario):
    program = start_with_drive(scenario)
    dialog = agreement(scenario)
    hwnd = dialog["hwnd"]
    info = controls(dialog)[1006]["scroll"]
    page = info["page"]
    last_top = info["max"] - page + 1

    top = 0
    while top < last_top:
        scenario.robot("key", "--hwnd", hwnd, "--vk", "PAGEDOWN")
        # A page step lands where it lands unless that would pass the end.
        top = min(top + page, last_top)
        state = controls(dialog_state(scenario, hwnd))
        assert state[1006]["scroll"]["pos"] == top
        assert state[1004]["enabled"] == state[1003]["enabled"] == (top == last_top), top
    scenario.robot("key", "--hwnd", hwnd, "--vk", "PAGEDOWN")
    assert controls(dialog_state(scenario, hwnd))[1006]["scroll"]["pos"] == last_top
    scenario.robot("key", "--hwnd", hwnd, "--vk", "PAGEUP")
    assert controls(dialog_state(scenario, hwnd))[1006]["scroll"]["pos"] == last_top - page

    # Do not accept, then accept: NEXT goes on to the drives.
    choose(scenario, hwnd, 1003)
    choose(scenario, hwnd, 1004)
    click(scenario, hwnd, 1)
    main = main_dialog(scenario)
    assert main["caption"] == CAPTION_WITH_VERSION
    assert [w["hwnd"] for w in scenario.windows()] == [main["hwnd"]]
    click(scenario, main["hwnd"], 1002)
    assert program.wait(timeout=15) == 0


def test_agreement_thumb_enables_the_choice_only_at_the_bottom(scenario):
    start_with_drive(scenario)
    dialog = agreement(scenario)
    hwnd = dialog["hwnd"]
    info = controls(dialog)[1006]["scroll"]
    last_top = info["max"] - info["page"] + 1

    assert scroll(scenario, hwnd, "SB_THUMBTRACK", pos=last_top - 1)["pos"] == last_top - 1
    assert radios_enabled(scenario, hwnd) == (False, False)
    assert scroll(scenario, hwnd, "SB_THUMBPOSITION", pos=last_top)["pos"] == last_top
    assert radios_enabled(scenario, hwnd) == (True, True)
    assert scroll(scenario, hwnd, "SB_THUMBTRACK", pos=0)["pos"] == 0
    assert radios_enabled(scenario, hwnd) == (True, True)
    assert not controls(dialog_state(scenario, hwnd))[1]["enabled"]


def test_japanese_user_gets_the_japanese_screens_and_texts(scenario):
    scenario.language = "ja"
    program = start_with_drive(scenario, drive(0, 1, revision="1.10"))
    dialog = agreement(scenario)
    hwnd = dialog["hwnd"]
    shown = controls(dialog)

    assert dialog["caption"] == CAPTION_WITH_VERSION
    assert_template(dialog, "KYODAKU")
    assert text_of(shown[1004], "ja") == TEXTS["ja"]["LabelAccept"]
    assert text_of(shown[1003], "ja") == TEXTS["ja"]["LabelDecline"]
    info = shown[1006]["scroll"]
    assert (info["min"], info["max"]) == (0, 90)
    scenario.screenshot("agreement-ja")

    last_top = 90 - info["page"] + 1
    assert scroll(scenario, hwnd, "SB_THUMBTRACK", pos=last_top - 1)["pos"] == last_top - 1
    assert radios_enabled(scenario, hwnd) == (False, False)
    scroll(scenario, hwnd, "SB_LINEDOWN")
    assert radios_enabled(scenario, hwnd) == (True, True)
    choose(scenario, hwnd, 1004)
    click(scenario, hwnd, 1)

    main = main_dialog(scenario)
    assert main["caption"] == CAPTION_WITH_VERSION
    assert_template(main, "MainDialog")
    assert controls(main)[1003]["text"] == "ATAPI"

    # The messages are Japanese too: the drive already carries the image's version.
    click(scenario, main["hwnd"], 1001)
    for name in ("MsgCloseApps", "MsgAlreadyUpdated"):
        box = scenario.message_box()
        assert bytes.fromhex(box["text_hex"]).decode("cp932") == TEXTS["ja"][name]
        assert box["caption"] == "Discmend" and box["owner"] == main["hwnd"]
        scenario.press(1)
    click(scenario, main["hwnd"], 1002)
    assert program.wait(timeout=15) == 0


# -- the main dialog's list of drives ------------------------------------------

FIVE_DRIVES = [(0, 1, "HX-2150RA", "1.00"), (0, 3, "HX-2350RU", "1.01"),
               (1, 0, "HX-2150RA", "1.02"), (1, 5, "HX-2350RU", "1.03"),
               (2, 2, "HX-2150RA", "1.04")]


@pytest.mark.parametrize("count", [1, 2, 5])
def test_main_dialog_lists_up_to_four_drives_and_grows_by_one_row_each(scenario, count):
    drives = FIVE_DRIVES[:count]
    # A drive of another maker in between is never listed.
    sections = [drive(0, 2, product="OTHER CD-RW", revision="9.99")]
    sections += [drive(a, t, product=p, revision=r) for a, t, p, r in drives]
    program = start_with_drive(scenario, *sections)
    main = accept_agreement(scenario)
    shown = controls(main)
    listed = min(count, 4)

    assert_dialog_frame(main)
    units = assert_template(main, "MainDialogUS", grown=True)
    for k, (radio, label, revision) in enumerate(SLOTS):
        if k < listed:
            assert shown[radio]["visible"] and shown[radio]["text"] == "ATAPI"
            assert shown[label]["visible"] and shown[label]["text"] == LABEL_TEXT
            assert shown[revision]["visible"] and shown[revision]["text"] == drives[k][3]
        else:
            assert not shown[radio]["visible"] and not shown[label]["visible"]
            assert not shown[revision]["visible"] and shown[revision]["text"] == ""
        assert shown[radio]["checked"] == (1 if k == 0 else 0)

    # Each drive after the first adds the distance between two slots to the
    # height; the four lower controls move by the dialog's frame each time.
    pitch = shown[1004]["rect"]["top"] - shown[1003]["rect"]["top"]
    (cx, cy), _ = TEMPLATES["MainDialogUS"]
    assert main["client_rect"]["bottom"] == mul_div(cy, units[1], 8) + (listed - 1) * pitch
    frame_x = main["client_origin"]["x"] - main["window_rect"]["left"]
    frame_y = main["client_origin"]["y"] - main["window_rect"]["top"]
    for cid in MOVED_BY_GROWTH:
        x, y, w, h = pixel_rect(TEMPLATES["MainDialogUS"][1][cid], units)
        grown = listed - 1
        assert rect_of(shown[cid]) == (x + grown * frame_x, y + grown * frame_y, w, h), cid
    if count == 5:
        scenario.screenshot("main-dialog-four-drives")

    click(scenario, main["hwnd"], 1002)
    assert program.wait(timeout=15) == 0


def test_main_dialog_labels_vendor_drives_usb_with_their_firmware_code(scenario):
    # With a loader named in the launch list the drives that answer the
    # vendor status command are the ones listed.
    scenario.image("fw.bin", model="HX-2170RA")
    scenario.loader("ldr.bin")
    scenario.launch_list(b"fw.bin\r\nldr.bin\r\n")
    use_drives(scenario,
               drive(0, 0, product="HX-2170RA USB", revision="1.00", usb=1, firmware_code=5),
               drive(0, 1, product="HX-2170RA USB", revision="1.10", usb=1,
                     firmware_code="0x12"),
               drive(0, 2, product="HX-2170RA USB", revision="1.20", usb=1,
                     firmware_code="0xAB"))
    program = scenario.start()
    main = accept_agreement(scenario)
    shown = controls(main)
    assert [shown[radio]["text"] for radio, _, _ in SLOTS[:3]] == ["USB"] * 3
    assert [shown[rev]["text"] for _, _, rev in SLOTS[:3]] == \
        ["1.00 ( 5)", "1.10 (12)", "1.20 (ab)"]
    click(scenario, main["hwnd"], 1002)
    assert program.wait(timeout=15) == 0
