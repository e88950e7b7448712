"""Checks that sim/README.md lists the scenario keys the parser reads
(sim/scenario.cpp), table by table: none left out, none that is not read.

    python3 tests/check_sim_readme.py [CHECKOUT]
"""

import re
import sys
from pathlib import Path

REPO = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1])
code, readme = (REPO / "sim" / "scenario.cpp").read_text(), (REPO / "sim" / "README.md").read_text()
wrong = []
for table in ("World", "Device", "Stage", "Fault"):
    read = set(re.findall(r'"(\w+)"', re.search(r"Sim%sKeys\[\] = \{(.*?)\};" % table, code, re.S).group(1)))
    rows = re.search(r"<!-- %s keys -->\n((?:\|.*\n)+)" % table.lower(), readme).group(1).splitlines()[2:]
    listed = {key for row in rows for key in re.findall(r"`(\w+)[ =`]", row.split("|")[1])}
    if read != listed:
        wrong.append(f"{table} keys read, not listed: {sorted(read - listed)}; listed, not read: {sorted(listed - read)}")
sys.exit("\n".join(wrong) or None)
