"""Checks the application manifest that Discmend.exe carries: resource type
24, id 1, asks Windows Vista and later to start the program elevated, in the
form that Windows XP takes safely (trustInfo in the asm.v2 namespace, no
element declaring two namespaces), for the version the program states.

    python3 tests/check_manifest.py EXE RESOURCE_SCRIPT
"""

import re
import struct
import sys
import xml.etree.ElementTree as ET

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"


def resource(exe, type_id, name_id):
    """The bytes of one resource of a PE32 file, the first language found."""
    data = open(exe, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional = struct.unpack_from("<H12xH", data, pe + 6)
    directory = pe + 24 + 96 + 2 * 8  # the resource entry of the data directories
    rva, _ = struct.unpack_from("<II", data, directory)
    table = pe + 24 + optional
    for i in range(sections):
        size, address, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if address <= rva < address + size:
            base = raw + rva - address
            to_file = raw - address
            break
    else:
        raise SystemExit("FAIL: no resource section")

    def entries(offset):
        named, ids = struct.unpack_from("<12xHH", data, base + offset)
        for k in range(named + ids):
            key, value = struct.unpack_from("<II", data, base + offset + 16 + 8 * k)
            yield key, value

    def find(offset, key):
        for k, value in entries(offset):
            if k == key:
                return value & 0x7FFFFFFF
        raise SystemExit(f"FAIL: no resource {type_id}/{name_id}")

    languages = find(find(0, type_id), name_id)
    leaf = next(entries(languages))[1]
    data_rva, length = struct.unpack_from("<II", data, base + leaf)
    return data[data_rva + to_file:data_rva + to_file + length]


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
