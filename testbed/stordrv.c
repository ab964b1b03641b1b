// stordrv: a stand-in storage driver. Loaded under Wine as the service
// "stordrv", it serves the raw volumes of the drives of a made-up PC from
// files, so that the real fwdisk.exe can list them and write one, and it
// records every request it receives. testbed/pc.sh builds the PC and starts
// the driver.
//
// What to serve comes from the service's registry key:
//   Log        the file the requests are recorded in (an NT path such as
//              \??\Z:\tmp\driver.log), made afresh when the driver starts.
//   Drives\*   one string value per drive, its fields separated by spaces:
//              LETTER CYLINDERS TRACKS SECTORS BYTES MEDIA REMOVABLE START FAULT FILE
//              the drive letter; the geometry (cylinders, tracks per
//              cylinder, sectors per track, bytes per sector); the
//              MEDIA_TYPE number the geometry reports; 1 for a removable
//              drive; where its volume starts in FILE, in bytes; its fault
//              (0 none, 1 no medium, 2 write-protected, 3 short write); and
//              the backing file as an NT path, to the end of the string.
//
// Each request is recorded as one line:
//   E: write code=0x00000000 offset=0 length=1474560 status=0x00000000 information=1474560
// with the drive, the request, its control code, offset and length (0 where
// the request has none), the status it was completed with and the byte count
// handed back. Requests are served one at a time, as the program makes them.
#include <ntifs.h>
#include <ntdddisk.h>

// ntoskrnl's own formatter; no header of the cross compiler's DDK declares it.
int __cdecl _snprintf(char *buffer, SIZE_T count, const char *format, ...)
    __attribute__((format(ms_printf, 3, 4)));

#define FAULT_NONE 0
#define FAULT_NO_MEDIUM 1
#define FAULT_WRITE_PROTECTED 2
#define FAULT_SHORT_WRITE 3

// Longest backing-file path and registry string taken, in characters.
#define TEXT_ROOM 512

// One drive: the extension of its device object.
struct drive {
    WCHAR letter;
    DISK_GEOMETRY geometry;
    LONGLONG start;
    ULONG fault;
    WCHAR file[TEXT_ROOM];
};

// The open request record, and where its next line goes.
static HANDLE logFile;
static LARGE_INTEGER logEnd;

// Copies the REG_SZ data of `info` into `text` (room for `room` characters),
// terminated. Returns FALSE, with `text` empty, for any other type of data.
static BOOLEAN copyString(const KEY_VALUE_PARTIAL_INFORMATION *info, WCHAR *text, ULONG room)
{
    ULONG count = info->DataLength / sizeof(WCHAR);
    const WCHAR *data = (const WCHAR *)info->Data;
    ULONG i;

    text[0] = 0;
    if (info->Type != REG_SZ)
        return FALSE;
    for (i = 0; i < count && i + 1 < room && data[i] != 0; ++i)
        text[i] = data[i];
    text[i] = 0;
    return TRUE;
}

// Opens the registry key `name`, relative to `parent` when that is not NULL,
// for reading. Returns the key, or NULL when it cannot be opened.
static HANDLE openKey(HANDLE parent, PUNICODE_STRING name)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;

    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return NULL;
    return key;
}

// Reads the number written in decimal after any spaces at *at, and moves *at
// past it. No digits give 0.
static ULONGLONG number(const WCHAR **at)
{
    ULONGLONG value = 0;

    while (**at == L' ')
        ++*at;
    while (**at >= L'0' && **at <= L'9') {
        value = value * 10 + (ULONGLONG)(**at - L'0');
        ++*at;
    }
    return value;
}

// Fills `drive` from one Drives string (see the top of this file). Returns
// TRUE when the string starts with a drive letter A to Z (either case) and
// names a backing file; `removable` is set from its REMOVABLE field.
static BOOLEAN parseDrive(const WCHAR *text, struct drive *drive, BOOLEAN *removable)
{
    const WCHAR *at = text;
    ULONG i;

    while (*at == L' ')
        ++at;
    if (*at >= L'a' && *at <= L'z')
        drive->letter = (WCHAR)(*at - L'a' + L'A');
    else if (*at >= L'A' && *at <= L'Z')
        drive->letter = *at;
    else
        return FALSE;
    ++at;
    drive->geometry.Cylinders.QuadPart = (LONGLONG)number(&at);
    drive->geometry.TracksPerCylinder = (ULONG)number(&at);
    drive->geometry.SectorsPerTrack = (ULONG)number(&at);
    drive->geometry.BytesPerSector = (ULONG)number(&at);
    drive->geometry.MediaType = (MEDIA_TYPE)number(&at);
    *removable = number(&at) != 0;
    drive->start = (LONGLONG)number(&at);
    drive->fault = (ULONG)number(&at);
    while (*at == L' ')
        ++at;
    for (i = 0; at[i] != 0 && i + 1 < TEXT_ROOM; ++i)
        drive->file[i] = at[i];
    drive->file[i] = 0;
    return i > 0;
}

// Opens (or, with `create`, makes afresh) the file at NT path `path` for
// synchronous reading and writing. Returns the handle, or NULL on failure.
static HANDLE openFile(const WCHAR *path, BOOLEAN create)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file = NULL;

    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (!NT_SUCCESS(ZwCreateFile(&file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes,
                                 &io, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 create ? FILE_OVERWRITE_IF : FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                 NULL, 0)))
        return NULL;
    return file;
}

// Appends one line for a request of `drive` to the record (see the top of
// this file); does nothing when there is no record.
static void record(const struct drive *drive, const char *request, ULONG code, LONGLONG offset,
                   ULONG length, NTSTATUS status, ULONG_PTR information)
{
    char line[200];
    IO_STATUS_BLOCK io;
    int size;

    if (logFile == NULL)
        return;
    size = _snprintf(line, sizeof line,
                     "%c: %s code=0x%08lx offset=%I64d length=%lu status=0x%08lx information=%lu\n",
                     (char)drive->letter, request, code, offset, length, (ULONG)status,
                     (ULONG)information);
    if (size <= 0 || size >= (int)sizeof line)
        return;
    if (NT_SUCCESS(ZwWriteFile(logFile, NULL, NULL, NULL, &io, line, (ULONG)size, &logEnd, NULL)))
        logEnd.QuadPart += size;
}

// The bytes of `drive`'s medium: cylinders x tracks x sectors x sector size.
static ULONGLONG capacity(const struct drive *drive)
{
    return (ULONGLONG)drive->geometry.Cylinders.QuadPart * drive->geometry.TracksPerCylinder
           * drive->geometry.SectorsPerTrack * drive->geometry.BytesPerSector;
}

// Answers a device control request `code` with an output buffer of `room`
// bytes at `buffer`. Only the drive geometry and a dismount are known; a
// drive without a medium has no geometry. Sets *information to the bytes
// returned.
static NTSTATUS deviceControl(const struct drive *drive, ULONG code, void *buffer, ULONG room,
                              ULONG_PTR *information)
{
    // Wine hands a volume's dismount to its device: a volume served raw has
    // no file system to dismount.
    if (code == FSCTL_DISMOUNT_VOLUME)
        return STATUS_SUCCESS;
    if (code != IOCTL_DISK_GET_DRIVE_GEOMETRY)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (drive->fault == FAULT_NO_MEDIUM)
        return STATUS_NO_MEDIA_IN_DEVICE;
    if (room < sizeof(DISK_GEOMETRY))
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(buffer, &drive->geometry, sizeof(DISK_GEOMETRY));
    *information = sizeof(DISK_GEOMETRY);
    return STATUS_SUCCESS;
}

// Reads or writes (`write`) `length` bytes at `offset` of `drive`'s volume,
// from or to the locked pages `mdl`, in its backing file. The drive's fault
// decides: no medium fails everything, a write-protected medium fails a
// write, and a short write stops one sector short of a write of more than a
// sector yet reports success. A transfer past the medium's end fails. Sets
// *information to the bytes transferred.
static NTSTATUS transfer(const struct drive *drive, PMDL mdl, LONGLONG offset, ULONG length,
                         BOOLEAN write, ULONG_PTR *information)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    NTSTATUS status;
    HANDLE file;
    void *buffer;

    if (drive->fault == FAULT_NO_MEDIUM)
        return STATUS_NO_MEDIA_IN_DEVICE;
    if (write && drive->fault == FAULT_WRITE_PROTECTED)
        return STATUS_MEDIA_WRITE_PROTECTED;
    if (offset < 0 || (ULONGLONG)offset + length > capacity(drive))
        return STATUS_INVALID_PARAMETER;
    if (length == 0)
        return STATUS_SUCCESS;
    if (write && drive->fault == FAULT_SHORT_WRITE && length > drive->geometry.BytesPerSector)
        length -= drive->geometry.BytesPerSector;
    buffer = mdl == NULL ? NULL : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    file = openFile(drive->file, FALSE);
    if (file == NULL)
        return STATUS_DEVICE_NOT_READY;
    at.QuadPart = drive->start + offset;
    if (write)
        status = ZwWriteFile(file, NULL, NULL, NULL, &io, buffer, length, &at, NULL);
    else
        status = ZwReadFile(file, NULL, NULL, NULL, &io, buffer, length, &at, NULL);
    ZwClose(file);
    if (NT_SUCCESS(status))
        *information = io.Information;
    return status;
}

// Serves one request to a drive's device, records it and completes it.
static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    const struct drive *drive = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    const char *request;
    LONGLONG offset = 0;
    ULONG length = 0;
    ULONG code = 0;

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        request = "create";
        break;
    case IRP_MJ_CLEANUP:
        request = "cleanup";
        break;
    case IRP_MJ_CLOSE:
        request = "close";
        break;
    case IRP_MJ_DEVICE_CONTROL:
        request = "device-control";
        code = stack->Parameters.DeviceIoControl.IoControlCode;
        length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        status = deviceControl(drive, code, irp->AssociatedIrp.SystemBuffer, length, &information);
        break;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        // A file system request (on Windows, a dismount comes this way):
        // there is no file system here, so nothing to do.
        request = "fs-control";
        code = stack->Parameters.FileSystemControl.FsControlCode;
        break;
    case IRP_MJ_READ:
        request = "read";
        offset = stack->Parameters.Read.ByteOffset.QuadPart;
        length = stack->Parameters.Read.Length;
        status = transfer(drive, irp->MdlAddress, offset, length, FALSE, &information);
        break;
    case IRP_MJ_WRITE:
        request = "write";
        offset = stack->Parameters.Write.ByteOffset.QuadPart;
        length = stack->Parameters.Write.Length;
        status = transfer(drive, irp->MdlAddress, offset, length, TRUE, &information);
        break;
    default:
        request = "other";
        code = stack->MajorFunction;
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    record(drive, request, code, offset, length, status, information);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Makes the device of the drive described by `text` and gives it its letter,
// in place of the link Wine's mount manager made for that letter. A string
// that names no drive is skipped. Returns the status of the first step that
// failed, or STATUS_SUCCESS.
static NTSTATUS addDrive(PDRIVER_OBJECT driver, const WCHAR *text)
{
    WCHAR deviceText[] = L"\\Device\\StordrvX";
    WCHAR linkText[] = L"\\DosDevices\\X:";
    UNICODE_STRING deviceName, linkName;
    struct drive parsed;
    BOOLEAN removable = FALSE;
    PDEVICE_OBJECT device;
    NTSTATUS status;

    RtlZeroMemory(&parsed, sizeof parsed);
    if (!parseDrive(text, &parsed, &removable))
        return STATUS_SUCCESS;
    deviceText[15] = parsed.letter;
    linkText[12] = parsed.letter;
    RtlInitUnicodeString(&deviceName, deviceText);
    RtlInitUnicodeString(&linkName, linkText);
    status = IoCreateDevice(driver, sizeof(struct drive), &deviceName, FILE_DEVICE_DISK,
                            removable ? FILE_REMOVABLE_MEDIA : 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    RtlCopyMemory(device->DeviceExtension, &parsed, sizeof parsed);
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    IoDeleteSymbolicLink(&linkName);
    return IoCreateSymbolicLink(&linkName, &deviceName);
}

// Opens the record named by the service key's Log value, then adds every
// drive of its Drives key. Fails when the key cannot be read or a drive's
// device cannot be made.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING logName = RTL_CONSTANT_STRING(L"Log");
    UNICODE_STRING drivesName = RTL_CONSTANT_STRING(L"Drives");
    // Room for a value's header and TEXT_ROOM characters, aligned for it.
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + TEXT_ROOM * sizeof(WCHAR)) / sizeof(ULONG) + 1];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    WCHAR text[TEXT_ROOM];
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE service, drives;
    ULONG index, size;
    unsigned major;

    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = dispatch;

    service = openKey(NULL, registryPath);
    if (service == NULL)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (NT_SUCCESS(ZwQueryValueKey(service, &logName, KeyValuePartialInformation, info,
                                   sizeof buffer, &size))
        && copyString(info, text, TEXT_ROOM))
        logFile = openFile(text, TRUE);
    drives = openKey(service, &drivesName);
    ZwClose(service);
    if (drives == NULL)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    for (index = 0; NT_SUCCESS(status); ++index) {
        if (ZwEnumerateValueKey(drives, index, KeyValuePartialInformation, info, sizeof buffer,
                                &size) != STATUS_SUCCESS)
            break;
        if (copyString(info, text, TEXT_ROOM))
            status = addDrive(driver, text);
    }
    ZwClose(drives);
    return status;
}
