#!/usr/bin/python3
"""Checks the packaged fwdisk.exe: the linked program followed directly by
the diskette image, the program a 32-bit console PE that needs nothing but
KERNEL32.dll and msvcrt.dll, its header checksum right for the program part,
no build time in it, and its manifest and version information.

usage: check_exe.py FWDISK_EXE IMAGE
"""
import sys
import xml.etree.ElementTree as ET

import pefile

IMAGE_SIZE = 1474560
MAX_PROGRAM = 48 * 1024
V1, V3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
# Vista, 7, 8, 8.1, 10 and 11.
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
MANIFEST_ELEMENTS = [V1 + "assembly", V3 + "trustInfo", V3 + "security", V3 + "requestedPrivileges",
                     V3 + "requestedExecutionLevel", COMPAT + "compatibility",
                     COMPAT + "application"] + [COMPAT + "supportedOS"] * 5
VERSION_STRINGS = {"FileDescription": "QV ZK240R5 FWDISK Creation Utility",
                   "FileVersion": "1.00", "InternalName": "fwdisk",
                   "OriginalFilename": "fwdisk.exe", "ProductName": "QV ZK240R5 FWDISK",
                   "ProductVersion": "1.00"}

passed = failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
        print("ok:", what)
    else:
        failed += 1
        print("FAILED:", what)


def main():
    exe_path, image_path = sys.argv[1], sys.argv[2]
    data = open(exe_path, "rb").read()
    image = open(image_path, "rb").read()
    program = data[:-IMAGE_SIZE]

    check(len(image) == IMAGE_SIZE, "the image is %d bytes" % len(image))
    check(data[-IMAGE_SIZE:] == image, "the file ends with the image, byte for byte")
    check(0 < len(program) < MAX_PROGRAM,
          "the program part is %d bytes, under %d" % (len(program), MAX_PROGRAM))

    pe = pefile.PE(data=program)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    check(fh.Machine == 0x14C, "machine is i386 (0x%x)" % fh.Machine)
    check(oh.Magic == 0x10B, "optional header is PE32 (0x%x)" % oh.Magic)
    check(oh.Subsystem == 3, "subsystem is the Windows console (%d)" % oh.Subsystem)
    # The program part is exactly what the linker wrote: its last section
    # ends where the image begins.
    end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    check(end == len(program), "the last section ends at %d, where the image starts" % end)
    check(oh.CheckSum != 0 and oh.CheckSum == pe.generate_checksum(),
          "header checksum 0x%x matches the program part (0x%x)"
          % (oh.CheckSum, pe.generate_checksum()))

    dlls = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dlls[entry.dll.decode().lower()] = {i.name.decode() for i in entry.imports if i.name}
    check(sorted(dlls) == ["kernel32.dll", "msvcrt.dll"],
          "imports only KERNEL32.dll and msvcrt.dll: %s" % sorted(dlls))
    check("_getch" in dlls.get("msvcrt.dll", set()), "reads keys with msvcrt's _getch")
    check(not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"), "exports nothing")
    check(fh.TimeDateStamp == 0, "no build time in the header (%d)" % fh.TimeDateStamp)
    check((oh.MajorSubsystemVersion, oh.MinorSubsystemVersion) == (4, 0),
          "subsystem version 4.0 (%d.%d)" % (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion))
    check_resources(pe)

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def check_resources(pe):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    types = {t.id: t for t in (resources.entries if resources else [])}
    check(sorted(types) == [16, 24], "resources: version information and manifest only %s" % sorted(types))
    if 24 not in types:
        return
    names = types[24].directory.entries
    langs = [lang for name in names for lang in name.directory.entries]
    check([n.id for n in names] == [1] and len(langs) == 1, "one manifest, id 1")
    text = pe.get_data(langs[0].data.struct.OffsetToData, langs[0].data.struct.Size).decode()
    check(text.count("asm.v3") == 1, "asm.v3 declared once (%d)" % text.count("asm.v3"))
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        return check(False, "the manifest is XML: %s" % error)
    check([e.tag for e in root.iter()] == MANIFEST_ELEMENTS, "manifest elements: %s" %
          [e.tag.split("}")[1] for e in root.iter()])
    level = root.find(".//%srequestedExecutionLevel" % V3)
    check(level is not None and level.attrib == {"level": "requireAdministrator", "uiAccess": "false"},
          "requires an administrator: %s" % (level.attrib if level is not None else None))
    check([e.get("Id") for e in root.iter(COMPAT + "supportedOS")] == SUPPORTED_OS,
          "supported: Vista, 7, 8, 8.1, 10/11")

    info = {e.Key: e for fi in getattr(pe, "FileInfo", []) for e in fi}
    tables = info[b"StringFileInfo"].StringTable if b"StringFileInfo" in info else []
    strings = {t.LangID.decode(): {k.decode(): v.decode() for k, v in t.entries.items()} for t in tables}
    check(strings == {"040904B0": VERSION_STRINGS}, "version strings: %s" % strings)
    var = info[b"VarFileInfo"].Var[0].entry if b"VarFileInfo" in info else None
    check(var == {b"Translation": "0x0409 0x04b0"}, "translation US English, Unicode: %s" % var)
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    versions = fixed and (fixed.FileVersionMS, fixed.FileVersionLS,
                          fixed.ProductVersionMS, fixed.ProductVersionLS)
    check(versions == (0x10000, 0, 0x10000, 0), "file and product version 1.0.0.0")


if __name__ == "__main__":
    sys.exit(main())
