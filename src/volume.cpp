// Raw volume access for the imaging run.
#include <windows.h>
#include <winioctl.h>

#include <string.h>

#include "volume.h"

// Opens "\\.\X:" for drive letter X, as a volume rather than a file on it.
HANDLE openDisk(int letter)
{
    static const char device[] = "\\\\.\\A:";
    char path[sizeof device];

    memcpy(path, device, sizeof device);
    path[4] = (char)letter;
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

// The capacity of a removable medium: cylinders x bytes per sector x sectors
// per track x tracks per cylinder, in 64 bits. A failed query, an answer
// shorter than a whole DISK_GEOMETRY, an unknown medium and a fixed disk all
// give 0.
unsigned long long removableMediaCapacity(HANDLE handle)
{
    DISK_GEOMETRY geometry;
    DWORD returned = 0;

    memset(&geometry, 0, sizeof geometry);
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0,
                         &geometry, sizeof geometry, &returned, NULL))
        return 0;
    if (returned < sizeof geometry)
        return 0;
    if (geometry.MediaType == Unknown || geometry.MediaType == FixedMedia)
        return 0;
    return (unsigned long long)geometry.Cylinders.QuadPart
           * geometry.BytesPerSector * geometry.SectorsPerTrack
           * geometry.TracksPerCylinder;
}

// Sends a control code that takes no buffers; returns the system's BOOL.
static BOOL volumeRequest(HANDLE handle, DWORD code)
{
    DWORD returned = 0;

    return DeviceIoControl(handle, code, NULL, 0, NULL, 0, &returned, NULL);
}

BOOL lockVolume(HANDLE handle)
{
    return volumeRequest(handle, FSCTL_LOCK_VOLUME);
}

BOOL dismountVolume(HANDLE handle)
{
    return volumeRequest(handle, FSCTL_DISMOUNT_VOLUME);
}

BOOL unlockVolume(HANDLE handle)
{
    return volumeRequest(handle, FSCTL_UNLOCK_VOLUME);
}

// A write that the system calls successful but that stopped short would leave
// part of the image missing on the drive; it is a failure like any other.
BOOL copyImage(HANDLE handle, const void *buffer, DWORD count)
{
    DWORD written = 0;

    if (!WriteFile(handle, buffer, count, &written, NULL))
        return FALSE;
    if (written != count) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}
