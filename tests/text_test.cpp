// Capacity texts and the volume geometry rule, called directly.
#include "machines.h"

#include "../src/imagewrite.h"
#include "../src/volume.h"

#include <string>

TEST(CapacityText, ChoosesUnitAndPrecisionByRange)
{
    const struct { unsigned long long bytes; const char *text; } cases[] = {
        {737280, "720.00 KB"},
        {1474559, "1440.00 KB"},
        {1474560, "1.44 MB"},
        {31499999, "30.76 MB"},
        {31500000, "32 MB"},
        {999999999, "1,000 MB"},
        {4004511744ull, "4,005 MB"},
        {123456789012ull, "123,457 MB"},
        {0, "0.00 KB"},
        {1000000000000000000ull, "1,000,000,000,000 MB"},
        // Near the top of the range the rounding must not wrap to zero.
        {18446744073709551615ull, "18,446,744,073,710 MB"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.text, capacityText(c.bytes)) << c.bytes;
}

TEST(Commanumber, GroupsThousandsAndKeepsFourResults)
{
    char *a = commanumber(0);
    char *b = commanumber(999);
    char *c = commanumber(1000);
    char *d = commanumber(18446744073709551615ull);
    EXPECT_STREQ("0", a);
    EXPECT_STREQ("999", b);
    EXPECT_STREQ("1,000", c);
    EXPECT_STREQ("18,446,744,073,709,551,615", d);
    char *e = commanumber(1234567);
    EXPECT_STREQ("1,234,567", e);
    EXPECT_STREQ("999", b);   // the next three are untouched
    EXPECT_STREQ("1,000", c);
    EXPECT_STREQ("18,446,744,073,709,551,615", d);
    EXPECT_EQ(a, e + 8);  // the fifth result took the first slot
}

TEST(RemovableMediaCapacity, MultipliesTheGeometryOfRemovableMediaOnly)
{
    setUpPc();
    fake::Drive &x = fake::machine.drive('X');
    x.opens = true;
    x.type = DRIVE_REMOVABLE;
    const struct {
        DISK_GEOMETRY g;
        DWORD answered;
        bool ok;
        unsigned long long capacity;
    } cases[] = {
        {fake::geometry(80, F3_1Pt44_512, 2, 18, 512), 24, true, 1474560},
        {fake::geometry(0, RemovableMedia, 255, 63, 512), 24, true, 0},
        {fake::geometry(80, Unknown, 2, 18, 512), 24, true, 0},
        {fake::geometry(60801, FixedMedia, 255, 63, 512), 24, true, 0},
        {fake::geometry(80, F3_1Pt44_512, 2, 18, 512), 24, false, 0},
        {fake::geometry(80, F3_1Pt44_512, 2, 18, 512), 16, true, 0},
        // All 64 bits of the cylinder count take part.
        {fake::geometry(0x100000000ll, RemovableMedia, 1, 1, 512), 24, true, 0x20000000000ull},
    };
    for (const auto &c : cases) {
        x.geometry = c.g;
        x.geometryBytes = c.answered;
        x.hasGeometry = c.ok;
        HANDLE h = openDisk('X');
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(c.capacity, removableMediaCapacity(h));
        CloseHandle(h);
    }
    static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY is 24 bytes on Windows");
    static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
}
