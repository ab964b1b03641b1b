#!/usr/bin/python3
"""unsigned.py EXE START SIZE: what a packaged program was before signing.

EXE is a packaged fwdisk.exe or fwdisk64.exe, signed or not, whose program
part is its first START bytes and whose image the SIZE bytes after them (as
scripts/inspect.sh finds them). Signing changes two fields of the program
part's PE header, and nothing else there: the certificate table's entry in
the data directories, and the header checksum. This undoes both: the entry
zeroed, as the linker leaves it, and the checksum computed over the program
part alone, as the linker computes it (the image appended after it does not
change it). Prints two lines:
    program SHA-256   the program part as the linker wrote it
    unsigned SHA-256  that program part followed by the image: the packaged
                      file as the build made it
Exit 0; 1 when the program part is no PE file pefile can read; 2 on a usage
error.
"""
import hashlib
import sys

import pefile

CERTIFICATE_TABLE = pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']


def main():
    if len(sys.argv) != 4 or not sys.argv[2].isdigit() or not sys.argv[3].isdigit():
        sys.exit(print(__doc__.splitlines()[0], file=sys.stderr) or 2)
    path, start, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with open(path, 'rb') as f:
        data = f.read(start + size)
    if len(data) != start + size:
        sys.exit(print(f'unsigned.py: {path} is shorter than {start + size} bytes', file=sys.stderr) or 1)
    try:
        pe = pefile.PE(data=data[:start], fast_load=True)
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[CERTIFICATE_TABLE]
    except (pefile.PEFormatError, IndexError) as e:
        sys.exit(print(f'unsigned.py: {path}: no PE header to read: {e}', file=sys.stderr) or 1)
    entry.VirtualAddress = 0
    entry.Size = 0
    program = bytearray(pe.write())
    pe = pefile.PE(data=bytes(program), fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    program = pe.write()
    print('program', hashlib.sha256(program).hexdigest())
    print('unsigned', hashlib.sha256(program + data[start:]).hexdigest())


if __name__ == '__main__':
    main()
