// Raw volume access: the few requests the program makes on a drive's volume.
// Each wrapper makes exactly one system call and hands back the system's own
// result; none of them prints anything. After a failure the thread's last
// error code says why.
#ifndef FWDISK_VOLUME_H
#define FWDISK_VOLUME_H

#include <windows.h>


// Opens the raw volume of drive `letter` ('A' to 'Z') for reading and
// writing, shared with other readers and writers.
// Returns the volume handle, or INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE openDisk(int letter);

// Reads the geometry of the medium in the drive behind `handle`.
// Returns its capacity in bytes, or 0 when the geometry cannot be read, is
// shorter than a full answer, or describes no removable medium.
unsigned long long removableMediaCapacity(HANDLE handle);

// Takes exclusive hold of the volume. Returns nonzero on success, 0 on failure.
BOOL lockVolume(HANDLE handle);

// Dismounts the volume's file system. Returns nonzero on success, 0 on failure.
BOOL dismountVolume(HANDLE handle);

// Releases the hold taken by lockVolume. Returns nonzero on success, 0 on failure.
BOOL unlockVolume(HANDLE handle);

// Writes `count` bytes from `buffer` at the handle's current position in one
// synchronous write. Returns nonzero only when the system reports success and
// wrote every byte; a short write returns 0 with the last error set to
// ERROR_WRITE_FAULT.
BOOL copyImage(HANDLE handle, const void *buffer, DWORD count);

#endif
