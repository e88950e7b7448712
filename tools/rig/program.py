"""The program's own names and texts, read from its sources so that the
tests never keep copies: the control ids of resources/resource.h and the
message texts of text/messages.cpp (English) and text/messages_ja.cpp
(Japanese, written there in UTF-8).

    ids.IDC_UPDATE, texts("en")["MsgNoDevice"], texts("ja")["TxtLoadSucceeded"]
"""

import re
from pathlib import Path
from types import SimpleNamespace

REPO = Path(__file__).resolve().parents[2]
ESCAPES = {"r": "\r", "n": "\n", "t": "\t", '"': '"', "\\": "\\", "'": "'"}


def literals_of(text):
    """The string literals in a piece of C++, escapes decoded."""
    return [re.sub(r"\\(.)", lambda m: ESCAPES[m.group(1)], s)
            for s in re.findall(r'"((?:[^"\\\n]|\\.)*)"', text)]


def literals(path):
    """The string literals of a C++ or resource file, adjacent ones joined."""
    code = Path(path).read_text(encoding="utf-8")
    code = re.sub(r"//[^\n]*|/\*.*?\*/", " ", code, flags=re.S)
    code = re.sub(r"'(?:[^'\\\n]|\\.)'", "0", code)
    return ["".join(literals_of(run.group(0)))
            for run in re.finditer(r'(?:"(?:[^"\\\n]|\\.)*"\s*)+', code)]


def message_texts(path):
    """The message entries, warning lines and procedure texts of one
    language's table, by name without the language suffix."""
    code = Path(path).read_text(encoding="utf-8")
    return {m.group(1): "".join(literals_of(m.group(2))) for m in re.finditer(
        r'static const char ((?:Msg|Txt|Warn|Label)\w+)(?:En|Ja)\[\] =((?:\s*"(?:[^"\\\n]|\\.)*")+);', code)}


def texts(language):
    """"en" or "ja": the texts as the user reads them, with WarningText
    composed as the program composes it."""
    table = message_texts(REPO / "text" / ("messages_ja.cpp" if language == "ja" else "messages.cpp"))
    table["WarningText"] = (table["WarnNoAbort"] + table["WarnCloseApps"] + table["WarnRemoveDisc"]
                            + table["WarnPowerOff"])
    return table


ids = SimpleNamespace(**{m.group(1): int(m.group(2)) for m in re.finditer(
    r"^#define (IDC_\w+) (\d+)", (REPO / "resources" / "resource.h").read_text(), flags=re.M)})
# The four rows of the drive list: radio button, label, revision.
SLOTS = [(getattr(ids, f"IDC_SLOT{n}_RADIO"), getattr(ids, f"IDC_SLOT{n}_LABEL"),
          getattr(ids, f"IDC_SLOT{n}_REVISION")) for n in range(1, 5)]
