"""Checks the user's guides (docs/guide/README.txt and README-ja.txt)
against the texts the program shows: every quoted message block ("  > "
lines, joined with CR LF) is one whole text of the program in the guide's
language, every inline quote ("..." in English, 「...」 in Japanese) is part of
one, and every message the program can show is quoted.

    python3 tests/check_guide.py [CHECKOUT]
"""

import re
import sys
from pathlib import Path

REPO = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1])
sys.path.insert(0, str(REPO / "tools" / "rig"))
from program import literals, message_texts  # noqa: E402


def check(guide, table, other_table, inline, joiner):
    sources = [p for d in ("app", "ui", "update", "drive", "text") for p in (REPO / d).glob("*.cpp")
               if p != other_table] + [REPO / "resources" / "dialogs.rc"]
    pool = {s.rstrip("\r\n") for p in sources for s in literals(p)}
    table_texts = message_texts(table)
    # The two confirmations the program composes of warning lines: before a
    # transfer, and before the update of a USB drive on Windows 98.
    t = table_texts
    pool.add(t["WarnNoAbort"] + t["WarnCloseApps"] + t["WarnRemoveDisc"] + t["WarnPowerOff"])
    pool.add((t["WarnNoAbort"] + t["TxtUsbPowerLine"] + t["WarnCloseApps"]
              + t["WarnRemoveDisc"]).rstrip("\r\n"))
    text = (REPO / "docs" / "guide" / guide).read_text(encoding="utf-8")
    problems = []
    blocks, prose = [], []
    for chunk in re.split(r"((?:^  > .*\n)+)", text, flags=re.M):
        if chunk.startswith("  > "):
            blocks.append("\r\n".join(line[4:] for line in chunk.splitlines()))
        else:
            prose.append(chunk)
    # A text the program composes with printf is quoted with example values
    # in place of %c and %s.
    patterns = [re.compile(re.escape(s).replace("%c", ".").replace("%s", ".+?"))
                for s in pool if re.search(r"%[cs]", s)]
    for block in blocks:
        if block not in pool and not any(p.fullmatch(block) for p in patterns):
            problems.append(f"{guide}: quoted block is no text of the program: {block!r}")
    flowing = re.sub(r"\n[ \t]*", joiner, "".join(prose))
    for quote in re.findall(inline, flowing):
        if not any(quote in s for s in pool):
            problems.append(f"{guide}: inline quote is no text of the program: {quote!r}")
    for name, message in table_texts.items():
        if name.startswith(("Warn", "Label")):
            continue
        shown = re.compile(re.escape(message.rstrip("\r\n")).replace("%c", ".").replace("%s", ".+?"))
        if not any(shown.search(block) for block in blocks):
            problems.append(f"{guide}: {name} is not quoted")
    return problems, len(blocks)


problems_en, blocks_en = check("README.txt", REPO / "text" / "messages.cpp",
                               REPO / "text" / "messages_ja.cpp", r'"([^"]+)"', " ")
problems_ja, blocks_ja = check("README-ja.txt", REPO / "text" / "messages_ja.cpp",
                               REPO / "text" / "messages.cpp", r"「([^」]+)」", "")
for problem in problems_en + problems_ja:
    print("FAIL: " + problem)
if problems_en or problems_ja:
    sys.exit(1)
print(f"guides: {blocks_en} English and {blocks_ja} Japanese quoted texts are the program's own")
