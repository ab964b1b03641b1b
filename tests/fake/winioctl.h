// Test stand-in for <winioctl.h>: the geometry answer (24 bytes, as on
// Windows) and the control codes the program sends to a volume.
#ifndef FAKE_WINIOCTL_H
#define FAKE_WINIOCTL_H

#include <windows.h>

typedef enum { Unknown = 0, F3_1Pt44_512 = 2, F3_720_512 = 5, RemovableMedia = 11, FixedMedia = 12 } MEDIA_TYPE;

typedef struct {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    DWORD TracksPerCylinder, SectorsPerTrack, BytesPerSector;
} DISK_GEOMETRY;

constexpr DWORD IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000, FSCTL_LOCK_VOLUME = 0x90018,
               FSCTL_UNLOCK_VOLUME = 0x9001C, FSCTL_DISMOUNT_VOLUME = 0x90020;

#endif
