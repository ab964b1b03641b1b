#!/usr/bin/python3
"""Checks the packaged fwdisk.exe: the linked program followed directly by
the diskette image, the program a 32-bit console PE that needs nothing but
KERNEL32.dll and msvcrt.dll, its header checksum right for the program part.

usage: check_exe.py FWDISK_EXE IMAGE
"""
import sys

import pefile

IMAGE_SIZE = 1474560
MAX_PROGRAM = 48 * 1024

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
    check(not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"), "has no resources (so no manifest)")
    check(not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"), "exports nothing")

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
