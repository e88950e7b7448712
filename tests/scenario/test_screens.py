"""The screens as the user sees and presses them: the agreement, the list of
drives, the Japanese screens."""

from harness import drive
from program import SLOTS, ids, texts

CAPTION = "Discmend" + " " * 8 + "Ver. 1.1"
ACCEPT, DECLINE, SCROLL = ids.IDC_AGREEMENT_ACCEPT, ids.IDC_AGREEMENT_DECLINE, ids.IDC_AGREEMENT_SCROLL
NEXT = ids.IDC_AGREEMENT_NEXT


def test_agreement_must_be_read_to_its_end_and_declining_ends_the_run(scenario):
    scn = scenario()
    scn.fixture("image", "fw.bin")
    scn.drives(drive(0, 1))
    program = scn.start("fw.bin")
    agreement = scn.dialog("Discmend")
    shown = agreement["controls"]
    assert agreement["caption"] == CAPTION
    assert (shown[ACCEPT]["text"], shown[DECLINE]["text"]) == (texts("en")["LabelAccept"], texts("en")["LabelDecline"])
    assert not any(shown[i]["enabled"] for i in (ACCEPT, DECLINE, NEXT))
    assert shown[SCROLL]["scroll"][:2] == [0, 95] and shown[SCROLL]["scroll"][3] == 0
    page = shown[SCROLL]["scroll"][2]
    # Page Down up to the last page: the choice stays closed until the last
    # line comes into view.
    for _ in range(-(-(96 - page) // page) - 1):
        assert scn.robot(f"key {agreement['hwnd']} 34")["ok"]
    assert not scn.refresh(agreement)["controls"][DECLINE]["enabled"]
    assert scn.robot(f"key {agreement['hwnd']} 34")["ok"]
    scn.click(agreement, DECLINE)
    scn.click(agreement, 1)
    assert scn.exit_code(program) == 0
    assert scn.log() == []  # no drive was asked anything


def test_drive_list_shows_four_drives_without_overlapping_the_buttons(scenario):
    scn = scenario()
    scn.fixture("image", "fw.bin")
    revisions = ["1.01", "1.02", "1.03", "1.04", "1.05"]
    scn.drives("".join(drive(a, t, product=p, revision=r) for (a, t, p), r in zip(
        [(0, 2, "HX-2150RA"), (0, 5, "HX-2350RU"), (1, 0, "HX-2150RA"), (1, 3, "HX-2350RU"),
         (1, 7, "HX-2150RA")], revisions)) + drive(0, 3, product="SIM DISK", kind="disk"))
    scn.start("fw.bin")
    scn.accept_agreement()
    dialog = scn.main_dialog()
    shown = dialog["controls"]
    listed = [(shown[radio]["text"], shown[revision]["text"], shown[label]["visible"])
              for radio, label, revision in SLOTS]
    assert listed == [("ATAPI", r, True) for r in revisions[:4]]
    assert [shown[radio].get("checked") for radio, _, _ in SLOTS] == [1, 0, 0, 0]

    # The window grew so that the buttons, the bar and the note lie below
    # the fourth row, all of them inside the dialog.
    last_row_bottom = max(shown[c]["rect"][3] for c in SLOTS[3])
    for below in (ids.IDC_UPDATE, ids.IDC_EXIT, ids.IDC_PROGRESS, ids.IDC_NOTE):
        assert last_row_bottom <= shown[below]["rect"][1], (below, shown[below]["rect"])
        assert shown[below]["rect"][3] <= dialog["rect"][3], (below, dialog["rect"])


def test_japanese_user_gets_the_japanese_screens(scenario):
    scn = scenario(family="9x", language="ja")
    scn.fixture("image", "fw.bin")
    scn.drives(drive(0, 1, disc=1))
    scn.start("fw.bin")
    agreement = scn.dialog("Discmend")
    shown = agreement["controls"]
    assert (shown[ACCEPT]["text"], shown[DECLINE]["text"]) == (texts("ja")["LabelAccept"], texts("ja")["LabelDecline"])
    assert shown[SCROLL]["scroll"][:2] == [0, 90]
    scn.accept_agreement()
    dialog = scn.main_dialog()
    assert dialog["controls"][ids.IDC_SLOT1_RADIO]["text"] == "ATAPI"
    scn.click(dialog, ids.IDC_UPDATE)
    assert scn.answer(1)["text"] == texts("ja")["MsgTakeDiscOut"]
