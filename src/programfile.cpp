// Where the diskette image lies in the program file: after the program's own
// sections, and before the certificate table of a signed copy.
#include "programfile.h"

#include <stddef.h>

// Reads the little-endian number of `bytes` bytes (at most 4) at `at`.
static uint32_t littleEndian(const unsigned char *at, int bytes)
{
    uint32_t value = 0;

    while (bytes-- > 0)
        value = value << 8 | at[bytes];
    return value;
}

// Offsets in a PE header: the optional header follows the signature and the
// 20-byte file header, and each section header is 40 bytes. The optional
// header is PE32 (magic 0x10B, a 32-bit program) or PE32+ (magic 0x20B, a
// 64-bit one); the two differ in where the data directories begin, 8 bytes
// each, whose count comes just before them. The certificate table is
// directory 4, 32 bytes into them, so the optional header must reach to the
// end of that entry.
static const unsigned long long optionalHeader = 24;
static const unsigned long long sectionHeader = 40;
static const unsigned long long certificateDirectory = 32;

// Returns where the data directories begin in an optional header whose magic
// is `magic`: 96 bytes in for PE32, 112 for PE32+, whose image base and
// stack and heap sizes are 8 bytes wide. 0 for any other magic.
static unsigned long long directories(uint32_t magic)
{
    if (magic == 0x10B)
        return 96;
    if (magic == 0x20B)
        return 112;
    return 0;
}

// Returns the certificate table's entry in the PE header `pe` (peHeader's
// answer, not null): 8 bytes, its file offset and its length.
static const unsigned char *certificateEntry(const unsigned char *pe)
{
    return pe + optionalHeader + directories(littleEndian(pe + optionalHeader, 2))
           + certificateDirectory;
}

// Returns the PE header of the program file of `size` bytes (at least 64)
// mapped at `view` when it is plainly one: "MZ", a header offset that keeps
// the header through its certificate-table entry inside the file, "PE\0\0",
// a PE32 or PE32+ optional header long enough to hold that entry (136 and
// 152 bytes), and at least 5 data directories. Otherwise null. Never reads
// outside the view.
static const unsigned char *peHeader(const unsigned char *view, uint32_t size)
{
    if (view[0] != 'M' || view[1] != 'Z')
        return NULL;
    const unsigned long long header = littleEndian(view + 60, 4);
    if (header + optionalHeader + 2 > size)
        return NULL;
    const unsigned char *pe = view + header;
    const unsigned long long start = directories(littleEndian(pe + optionalHeader, 2));
    const unsigned long long length = start + certificateDirectory + 8;
    if (start == 0 || header + optionalHeader + length > size)
        return NULL;
    if (littleEndian(pe, 4) != 0x00004550                           // "PE\0\0"
        || littleEndian(pe + 20, 2) < length                        // optional header size
        || littleEndian(pe + optionalHeader + start - 4, 4) < 5)    // data directories
        return NULL;
    return pe;
}

// Returns the offset at which the diskette image ends in the program file of
// `size` bytes (at least IMAGE_SIZE) whose PE header is `pe` (peHeader's
// answer, null when it is not plainly one): where a certificate table begins
// when signing appended one, otherwise the end of the file. The table counts
// only when the header names it and the table ends exactly at the end of the
// file with at least IMAGE_SIZE bytes before it. Never reads outside the
// file.
static uint32_t imageEnd(const unsigned char *pe, uint32_t size)
{
    if (pe == NULL)
        return size;
    const unsigned char *entry = certificateEntry(pe);
    const unsigned long long table = littleEndian(entry, 4);
    const unsigned long long length = littleEndian(entry + 4, 4);
    if (length == 0 || table + length != size || table < IMAGE_SIZE)
        return size;
    return (uint32_t)table;
}

// Returns the offset at which the program's own sections end in the program
// file of `size` bytes (at least IMAGE_SIZE) mapped at `view`, whose PE
// header is `pe` (as for imageEnd): the largest PointerToRawData +
// SizeOfRawData over its section table. 0 when there is no plain PE header
// or its section table does not lie wholly inside the file: nothing is then
// known about where the program ends. Never reads outside the view.
static unsigned long long sectionsEnd(const unsigned char *view, const unsigned char *pe,
                                      uint32_t size)
{
    if (pe == NULL)
        return 0;
    const unsigned long long count = littleEndian(pe + 6, 2);
    const unsigned long long first = (unsigned long long)(pe - view) + optionalHeader
                                     + littleEndian(pe + 20, 2);
    if (first + count * sectionHeader > size)
        return 0;
    unsigned long long end = 0;
    for (unsigned long long i = 0; i < count; ++i) {
        const unsigned char *section = view + first + i * sectionHeader;
        const unsigned long long last = (unsigned long long)littleEndian(section + 20, 4)
                                        + littleEndian(section + 16, 4);
        if (last > end)
            end = last;
    }
    return end;
}

// The image's offset, or -1 for a file that holds no whole image (see
// programfile.h).
int64_t imageStart(const unsigned char *view, uint32_t size)
{
    if (size < IMAGE_SIZE)
        return -1;
    const unsigned char *pe = peHeader(view, size);
    const int64_t start = (int64_t)imageEnd(pe, size) - IMAGE_SIZE;
    if ((unsigned long long)start < sectionsEnd(view, pe, size))
        return -1;
    return start;
}
