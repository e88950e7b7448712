"""Checks the application manifest that Discmend.exe carries: resource type
24, id 1, asks Windows Vista and later to start the program elevated, in the
form that Windows XP takes safely (trustInfo in the asm.v2 namespace, no
element declaring two namespaces), for the version the program states.

    python3 tests/check_manifest.py EXE RESOURCE_SCRIPT
"""

import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path
import xml.etree.ElementTree as ET

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"


def resource(exe, type_id, name_id):
    """The bytes of one resource of an exe, as windres lists them in a .res
    file: entries of data size, header size, type and name (0xFFFF and an id
    here), then the data, each entry 4-byte aligned."""
    with tempfile.TemporaryDirectory() as folder:
        res = Path(folder) / "all.res"
        subprocess.run(["i686-w64-mingw32-windres", "-J", "coff", "-i", exe, "-O", "res", "-o", res],
                       check=True)
        data = res.read_bytes()
    at = 0
    while at + 8 <= len(data):
        size, header = struct.unpack_from("<II", data, at)
        if struct.unpack_from("<HHHH", data, at + 8) == (0xFFFF, type_id, 0xFFFF, name_id):
            return data[at + header:at + header + size]
        at = (at + header + size + 3) & ~3
    raise SystemExit(f"FAIL: no resource {type_id}/{name_id} in {exe}")


def main():
    exe, script = sys.argv[1], sys.argv[2]
    text = resource(exe, 24, 1).decode("utf-8")
    fails = []
    for tag in re.findall(r"<[A-Za-z][^>]*>", text):
        if len(re.findall(r"\sxmlns(?::\w+)?=", tag)) > 1:
            fails.append(f"a tag declares two namespaces: {tag}")
    root = ET.fromstring(text.encode("utf-8"))
    if root.tag != f"{{{ASM_V1}}}assembly" or root.get("manifestVersion") != "1.0":
        fails.append(f"root is {root.tag} version {root.get('manifestVersion')}")
    if root.find(f"{{{ASM_V1}}}trustInfo") is not None:
        fails.append("trustInfo in the asm.v1 namespace")
    levels = root.findall(f"{{{ASM_V2}}}trustInfo/{{{ASM_V2}}}security/"
                          f"{{{ASM_V2}}}requestedPrivileges/{{{ASM_V2}}}requestedExecutionLevel")
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [("requireAdministrator", "false")]:
        fails.append(f"execution levels {[e.attrib for e in levels]}")
    identity = root.find(f"{{{ASM_V1}}}assemblyIdentity")
    version = re.search(r"FILEVERSION\s+(\d+),(\d+),(\d+),(\d+)", open(script).read())
    stated = ".".join(version.groups()) if version else None
    if identity is None or identity.get("version") != stated or identity.get("type") != "win32":
        fails.append(f"assembly identity {identity.attrib if identity is not None else None}, "
                     f"file version {stated}")
    for fail in fails:
        print("FAIL:", fail)
    if not fails:
        print(f"ok: {exe} asks to run as administrator, version {stated}")
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
