#!/usr/bin/python3
"""Checks a packaged program, fwdisk.exe or fwdisk64.exe: the linked program
followed directly by the diskette image; the program a console PE for the
architecture given (x86: PE32 for i386; amd64: PE32+ for x64) that needs
nothing but KERNEL32.dll and msvcrt.dll, with its header checksum right for
the program part, no build time, and its manifest (naming that architecture)
and version information (naming the file). Also checks that the stand-in
storage driver built beside it, stordrv.sys, is for the same machine and
imports from ntoskrnl.exe alone: anything else would not load in the kernel.

usage: check_exe.py FWDISK_EXE IMAGE IMAGE_SIZE x86|amd64
(IMAGE_SIZE as src/programfile.h defines it; CMake reads it from there)
"""
import os
import sys
import xml.etree.ElementTree as ET

import pefile

V1, V3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
MANIFEST = [V1 + "assembly", V1 + "assemblyIdentity", V3 + "trustInfo", V3 + "security", V3 + "requestedPrivileges",
            V3 + "requestedExecutionLevel", COMPAT + "compatibility", COMPAT + "application"] + [COMPAT + "supportedOS"] * 5
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Vista, 7
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8, 8.1
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]                                            # 10 and 11
VERSION = {"FileDescription": "QV ZK240R5 FWDISK Creation Utility", "FileVersion": "1.00",
           "ProductName": "QV ZK240R5 FWDISK", "ProductVersion": "1.00"}
# Each architecture's header: machine, optional header magic, console
# subsystem, the least Windows version (4.0 for i386, 5.2 for x64), no build
# time.
HEADERS = {"x86": (0x14C, 0x10B, 3, 4, 0, 0), "amd64": (0x8664, 0x20B, 3, 5, 2, 0)}
failed = []


def check(ok, what):
    print("ok:" if ok else "FAILED:", what)
    failed.extend([] if ok else [what])


def main():
    data, image = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
    image_size, arch, name = int(sys.argv[3]), sys.argv[4], os.path.basename(sys.argv[1])
    program = data[:-image_size]
    check(len(image) == image_size and data[-image_size:] == image, "the file ends with the %d-byte image" % len(image))
    pe = pefile.PE(data=program)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    header = (fh.Machine, oh.Magic, oh.Subsystem, oh.MajorSubsystemVersion, oh.MinorSubsystemVersion, fh.TimeDateStamp)
    check(header == HEADERS[arch], "an %s console program, no build time: %s" % (arch, header))
    # The program part is exactly what the linker wrote: its last section
    # ends where the image begins, and its checksum covers it alone.
    end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    check(end == len(program), "the last section ends at %d, where the image starts" % end)
    check(oh.CheckSum != 0 and oh.CheckSum == pe.generate_checksum(), "header checksum 0x%x" % oh.CheckSum)
    dlls = {e.dll.decode().lower(): {i.name for i in e.imports} for e in pe.DIRECTORY_ENTRY_IMPORT}
    check(sorted(dlls) == ["kernel32.dll", "msvcrt.dll"] and b"_getch" in dlls["msvcrt.dll"],
          "imports only KERNEL32.dll and msvcrt.dll, _getch among them: %s" % sorted(dlls))
    driver = pefile.PE(os.path.join(os.path.dirname(sys.argv[1]), "stordrv.sys"))
    imported = sorted(e.dll.decode().lower() for e in getattr(driver, "DIRECTORY_ENTRY_IMPORT", []))
    check(imported == ["ntoskrnl.exe"], "stordrv.sys imports only ntoskrnl.exe: %s" % imported)
    check(driver.FILE_HEADER.Machine == fh.Machine, "stordrv.sys is for the same machine: 0x%x" % driver.FILE_HEADER.Machine)

    types = {t.id: t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries} if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else {}
    check(sorted(types) == [16, 24], "resources: version information and manifest only %s" % sorted(types))
    manifests = [(n.id, lang.data.struct) for n in types[24].directory.entries for lang in n.directory.entries] if 24 in types else []
    check([m[0] for m in manifests] == [1], "one manifest, id 1")
    text = pe.get_data(manifests[0][1].OffsetToData, manifests[0][1].Size).decode() if manifests else ""
    # A second declaration of asm.v3 stops the program from starting on XP.
    check(text.count("asm.v3") == 1, "asm.v3 declared once (%d)" % text.count("asm.v3"))
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        return check(False, "the manifest is XML: %s" % error) or 1
    check([e.tag for e in root.iter()] == MANIFEST, "manifest elements: %s" % [e.tag.split("}")[1] for e in root.iter()])
    identity = root.find(V1 + "assemblyIdentity")
    check(identity is not None and identity.get("processorArchitecture") == arch,
          "the manifest names the architecture %s" % (identity.attrib if identity is not None else None))
    level = root.find(".//%srequestedExecutionLevel" % V3)
    check(level is not None and level.attrib == {"level": "requireAdministrator", "uiAccess": "false"},
          "requires an administrator")
    check([e.get("Id") for e in root.iter(COMPAT + "supportedOS")] == SUPPORTED_OS, "supported: Vista to 11")

    info = {e.Key: e for fi in getattr(pe, "FileInfo", []) for e in fi}
    strings = {t.LangID.decode(): {k.decode(): v.decode() for k, v in t.entries.items()}
               for t in (info[b"StringFileInfo"].StringTable if b"StringFileInfo" in info else [])}
    check(strings == {"040904B0": dict(VERSION, InternalName=name[:-4], OriginalFilename=name)} and info[b"VarFileInfo"].Var[0].entry == {b"Translation": "0x0409 0x04b0"},
          "version strings in US English, Unicode: %s" % strings)
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    check(fixed is not None and (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                                 fixed.ProductVersionLS) == (0x10000, 0, 0x10000, 0), "file and product version 1.0.0.0")
    print("%d failed" % len(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
