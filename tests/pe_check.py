#!/usr/bin/env python3
# Checks the built program file: 64-bit GUI exe, load-time imports only from system DLLs that
# every Windows 10 has, and exactly the manifest and icon resources the program is meant to carry.
# Usage: pe_check.py velbro-vpn.exe
import struct
import sys
import xml.etree.ElementTree as ET

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll", "comctl32.dll"}
ICONS = [(1, 16), (2, 24), (3, 32), (4, 48), (5, 64), (6, 256)]  # (RT_ICON id, size) per entry
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
EXPECTED_IDS = {RT_ICON: [i for i, _ in ICONS], RT_GROUP_ICON: [1], RT_MANIFEST: [1]}  # RT_VERSION (16): none
PNG_START = b"\x89PNG\r\n\x1a\nIHDR"
DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'

V1 = "{urn:schemas-microsoft-com:asm.v1}"
V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"


def el(tag, attrs=None, *children, text=""):
    return (tag, attrs or {}, text, list(children))


EXPECTED_MANIFEST = el(
    V1 + "assembly", {"manifestVersion": "1.0"},
    el(V1 + "assemblyIdentity", {"type": "win32", "name": "Vellumbrok.VPN", "version": "1.0.0.0"}),
    el(V3 + "trustInfo", {}, el(V3 + "security", {}, el(V3 + "requestedPrivileges", {}, el(
        V3 + "requestedExecutionLevel", {"level": "requireAdministrator", "uiAccess": "false"})))),
    el(V1 + "dependency", {}, el(V1 + "dependentAssembly", {}, el(V1 + "assemblyIdentity", {
        "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
        "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}))),
    el(V3 + "application", {}, el(
        V3 + "windowsSettings", {},
        el(WS2005 + "dpiAware", text="true/pm"),
        el(WS2016 + "dpiAwareness", text="PerMonitorV2"))),
    el(COMPAT + "compatibility", {}, el(COMPAT + "application", {}, el(
        COMPAT + "supportedOS", {"Id": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}))),
)

problems = []


def expect(what, expected, found):
    if expected != found:
        problems.append(f"{what}: expected {expected}, found {found}")
    return expected == found


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        opt_size = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs_at, count_at = (opt + 112, opt + 108) if self.magic == 0x20B else (opt + 96, opt + 92)
        ndirs = struct.unpack_from("<I", data, count_at)[0]
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) for i in range(min(ndirs, 16))]
        self.dirs += [(0, 0)] * (16 - len(self.dirs))
        sections = opt + opt_size
        self.sections = [struct.unpack_from("<IIII", data, sections + 40 * i + 8) for i in range(nsections)]

    def offset(self, rva):
        for vsize, vaddr, rawsize, rawptr in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        raise ValueError(f"RVA {rva:#x} is in no section")

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def imports(self):
        rva = self.dirs[1][0]
        names = []
        while rva:
            desc = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not any(desc):
                break
            names.append(self.cstring(desc[3]))
            rva += 20
        return names

    def resources(self):
        # (type, name, language, data) for every leaf; named ids are returned as strings.
        base = self.dirs[2][0]
        if not base:
            return []
        root, leaves = self.offset(base), []

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if name & 0x80000000:
                    n = root + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, n)[0]
                    name = self.data[n + 2:n + 2 + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    walk(root + (target & 0x7FFFFFFF), path + [name])
                else:
                    rva, size = struct.unpack_from("<II", self.data, root + target)
                    leaves.append((*path, name, self.data[self.offset(rva):self.offset(rva) + size]))

        walk(root, [])
        return leaves


def tree(e):
    return (e.tag, dict(e.attrib), (e.text or "").strip(), [tree(c) for c in e])


def check_manifest(data):
    if not data.startswith(DECLARATION):
        problems.append(f"manifest declaration: expected {DECLARATION.decode()}, found {data[:60]!r}")
    try:
        found = tree(ET.fromstring(data))
    except ET.ParseError as e:
        problems.append(f"manifest: expected well-formed XML, found {e}")
        return
    compare("manifest", EXPECTED_MANIFEST, found)


def compare(path, expected, found):
    tag, attrs, text, children = expected
    if not expect(f"{path} element", tag, found[0]):
        return
    path += "/" + tag.rsplit("}", 1)[-1]
    expect(f"{path} attributes", attrs, found[1])
    expect(f"{path} text", repr(text), repr(found[2]))
    if expect(f"{path} children", [c[0] for c in children], [c[0] for c in found[3]]):
        for e, f in zip(children, found[3]):
            compare(path, e, f)


def check_icons(by_key):
    group = by_key.get((RT_GROUP_ICON, 1))
    if not group or not expect("icon group 1 (type 14) count", 1, len(group)):
        return
    lang, data = group[0]
    expect("icon group 1 language", 0, lang)
    reserved, kind, count = struct.unpack_from("<HHH", data)
    expect("icon group header (reserved, type, count)", (0, 1, len(ICONS)), (reserved, kind, count))
    for i, (icon_id, size) in enumerate(ICONS[:count]):
        w, h, colours, _, planes, bpp, nbytes, entry_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        icon = by_key.get((RT_ICON, icon_id))
        expect(f"icon group entry {i + 1} (width, height, colours, planes, bpp, id)",
               (size % 256, size % 256, 0, 1, 32, icon_id), (w, h, colours, planes, bpp, entry_id))
        if not icon or not expect(f"icon {icon_id} (type 3) count", 1, len(icon)):
            continue
        lang, png = icon[0]
        expect(f"icon {icon_id} language", 0, lang)
        expect(f"icon group entry {i + 1} byte size", len(png), nbytes)
        if expect(f"icon {icon_id} start (PNG signature, IHDR)", repr(PNG_START), repr(png[:8] + png[12:16])):
            width, height, depth, colour_type = struct.unpack_from(">IIBB", png, 16)
            expect(f"icon {icon_id} PNG (width, height, bit depth, colour type)",
                   (size, size, 8, 6), (width, height, depth, colour_type))


def main(path):
    with open(path, "rb") as f:
        pe = Pe(f.read())
    expect("machine", "0x8664", hex(pe.machine))
    expect("optional header magic (PE32+)", "0x20b", hex(pe.magic))
    expect("subsystem (GUI)", 2, pe.subsystem)
    dlls = {d.lower() for d in pe.imports()}
    expect("imports outside the allowed system DLLs", [], sorted(dlls - ALLOWED_DLLS))
    expect("comctl32.dll imported at load time", True, "comctl32.dll" in dlls)
    expect("delay-load import directory (RVA, size)", (0, 0), pe.dirs[13])

    by_key = {}
    for kind, name, lang, data in pe.resources():
        by_key.setdefault((kind, name), []).append((lang, data))
    for kind, ids in EXPECTED_IDS.items():
        expect(f"ids of resource type {kind}", ids, sorted((n for k, n in by_key if k == kind), key=str))
    expect("resource types besides 3, 14, 24", [], sorted({k for k, _ in by_key} - set(EXPECTED_IDS), key=str))
    manifest = by_key.get((RT_MANIFEST, 1))
    if manifest and expect("manifest 1 (type 24) count", 1, len(manifest)):
        expect("manifest 1 language", 0, manifest[0][0])
        check_manifest(manifest[0][1])
    check_icons(by_key)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pe_check.py path/to/velbro-vpn.exe")
    try:
        main(sys.argv[1])
    except (OSError, ValueError, struct.error) as e:
        problems.append(f"{sys.argv[1]}: expected a readable PE file, found {e}")
    for p in problems:
        print(f"pe_check: {p}")
    if problems:
        sys.exit(1)
    print("pe_check: ok")
