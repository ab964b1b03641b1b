// stordrv: a stand-in storage driver, for Wine only. Loaded under Wine as the
// service "stordrv", it serves the raw volumes of the drives of a made-up PC
// from files, so that the real fwdisk.exe can list them and write one, and it
// records every request it receives. testbed/pc.sh builds the PC and starts
// the driver.
//
// One device serves each drive as both its disk and its volume: the geometry
// it reports is the volume's, and offset 0 is the volume's first byte.
//
// What reaches it is what Wine 8 passes on. Wine answers a volume's lock and
// unlock itself, so those two never reach the driver and the record cannot
// show them (the program's native tests alone check that it locks). The
// dismount arrives as a device control.
//
// What to serve comes from the service's registry key:
//   Drives\*   one key per drive, whatever its name of at most 16
//              characters (the name stands for the drive in what the driver
//              says), holding these values, each read with
//              RtlQueryRegistryValues:
//     Letter             REG_SZ, the drive letter, A to Z in either case; no
//                        letter twice
//     Cylinders, TracksPerCylinder, SectorsPerTrack, BytesPerSector
//                        REG_DWORD each, the geometry: TracksPerCylinder at
//                        most 255 and SectorsPerTrack at most 63 (as a BIOS
//                        counts them), BytesPerSector a power of two from 128
//                        to 4096
//     MediaType          REG_DWORD, the MEDIA_TYPE the geometry reports, at
//                        most F8_256_128
//     Removable          REG_DWORD, 1 for a removable drive, else 0
//     Start, StartHigh   REG_DWORD each, the low and the high 32 bits of where
//                        the volume starts in File, in bytes; the volume must
//                        end before byte 2^63
//     Fault              REG_DWORD, 0 none, 1 no medium, 2 write-protected,
//                        3 short write
//     File               REG_SZ, the backing file as an NT path, at most
//                        TEXT_ROOM - 1 characters
//              Every value is required, with its type; others are ignored.
//   Log        the file the requests are recorded in (an NT path such as
//              \??\Z:\tmp\driver.log), made afresh once every drive is
//              served: it exists only if the driver started. Without it,
//              nothing is recorded.
// A table that breaks these rules, or a Log value that is no REG_SZ of at
// most TEXT_ROOM - 1 characters, fails the start with
// STATUS_INVALID_PARAMETER; the table is checked whole before any device is
// made.
//
// The driver writes one value there itself, for whoever started it:
//   Refused    why it refused its drive table, or could not serve a drive of
//              it, naming the drive by its key (and its letter once read) and
//              what is wrong with it, such as "drive 2 (E:): SectorsPerTrack
//              64 is more than 63" or "drive 3: there is no Fault". Deleted
//              first thing at every start, so a start that succeeds leaves
//              none; a failure to make the record (Log) is no fault of the
//              table and leaves none either.
//
// Each request is recorded as one line:
//   E: write code=0x00000000 offset=0 length=1474560 status=0x00000000 information=1474560
// with the drive, the request, its control code, offset and length (0 where
// the request has none), the status it was completed with and the byte count
// handed back. Requests are served one at a time, as the program makes them.
#include <stdarg.h>
#include <ntifs.h>
#include <ntdddisk.h>

// ntoskrnl's own formatters; no header of the cross compiler's DDK declares
// them.
int __cdecl _snprintf(char *buffer, SIZE_T count, const char *format, ...)
    __attribute__((format(ms_printf, 3, 4)));
int __cdecl _vsnprintf(char *buffer, SIZE_T count, const char *format, va_list args)
    __attribute__((format(ms_printf, 3, 0)));

// Missing from the cross compiler's DDK headers.
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

#define FAULT_NONE 0
#define FAULT_NO_MEDIUM 1
#define FAULT_WRITE_PROTECTED 2
#define FAULT_SHORT_WRITE 3

// Longest registry string taken, in characters, with its terminator.
#define TEXT_ROOM 512

// Room for the text of the Refused value, in characters, with its
// terminator: a longer text is cut short.
#define WHY_ROOM 200

// A drive's device is DEVICE_PREFIX and its letter; its link, LINK_PREFIX,
// its letter and a colon. The _LETTER indices say where the letter goes.
#define DEVICE_PREFIX L"\\Device\\Stordrv"
#define LINK_PREFIX L"\\DosDevices\\"
#define DEVICE_LETTER (sizeof DEVICE_PREFIX / sizeof(WCHAR) - 1)
#define LINK_LETTER (sizeof LINK_PREFIX / sizeof(WCHAR) - 1)

// One drive: the extension of its device object.
struct drive {
    WCHAR letter;
    BOOLEAN removable;
    DISK_GEOMETRY geometry;
    ULONGLONG size; // the medium's bytes, from the geometry
    LONGLONG start;
    ULONG fault;
    WCHAR file[TEXT_ROOM];
};

// The request record, open for appending; NULL while there is none. The
// dispatch routine writes to it, DriverEntry opens it last and unload closes
// it.
static HANDLE logFile;

// Opens the registry key `name`, relative to `parent` when that is not NULL,
// with `access`, into *key. Returns ZwOpenKey's status.
static NTSTATUS openKey(HANDLE parent, PUNICODE_STRING name, ACCESS_MASK access, HANDLE *key)
{
    OBJECT_ATTRIBUTES attributes;

    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, NULL);
    return ZwOpenKey(key, access, &attributes);
}

// Writes what `format` and the rest make into `why` (WHY_ROOM characters),
// cut short when it is longer, and terminated. Cannot fail.
static void explain(char *why, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    _vsnprintf(why, WHY_ROOM - 1, format, args);
    va_end(args);
    why[WHY_ROOM - 1] = 0;
}

// A registry value the driver reads: its name, its type and, for a
// REG_DWORD, the largest it may be or, for a REG_SZ, the most characters it
// may have.
struct value {
    const WCHAR *name;
    ULONG type;
    ULONG largest;
};

// The values of a drive's key (see the top of this file), in this order.
enum {
    LETTER, CYLINDERS, TRACKS, SECTORS, BYTES, MEDIA, REMOVABLE, START, START_HIGH, FAULT, FILE,
    VALUES
};
static const struct value driveValue[VALUES] = {
    { L"Letter", REG_SZ, 1 },
    { L"Cylinders", REG_DWORD, MAXULONG },
    { L"TracksPerCylinder", REG_DWORD, 255 },
    { L"SectorsPerTrack", REG_DWORD, 63 },
    { L"BytesPerSector", REG_DWORD, 4096 },
    { L"MediaType", REG_DWORD, F8_256_128 },
    { L"Removable", REG_DWORD, 1 },
    { L"Start", REG_DWORD, MAXULONG },
    { L"StartHigh", REG_DWORD, MAXLONG },
    { L"Fault", REG_DWORD, FAULT_SHORT_WRITE },
    { L"File", REG_SZ, TEXT_ROOM - 1 },
};

// Reads the `count` (at most VALUES) values `values` of the key `key` into
// `into` (for each, a ULONG for a REG_DWORD, a UNICODE_STRING of length 0
// with its buffer for a REG_SZ), with one RtlQueryRegistryValues table.
// First checks that each is there, of its type, a REG_DWORD of 4 bytes and a
// REG_SZ of at most its characters: the check RTL_QUERY_REGISTRY_TYPECHECK
// asks for, which Wine's RtlQueryRegistryValues ignores (it would write a
// string's UNICODE_STRING over a ULONG). The query names the key by `path`,
// its absolute path, as Wine's closes a key handle it is given; the path's
// buffer has room past MaximumLength for the terminator written here.
// Returns STATUS_OBJECT_NAME_NOT_FOUND for a missing value,
// STATUS_INVALID_PARAMETER for one of another type or size, or the failure
// of a read, with what is wrong in `why`, for the key `label`.
static NTSTATUS readValues(HANDLE key, UNICODE_STRING path, const struct value *values,
                           ULONG count, void *const *into, const char *label, char *why)
{
    // The fixed part and a REG_DWORD: a longer value still gets its type and
    // size, with STATUS_BUFFER_OVERFLOW.
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)) / sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    RTL_QUERY_REGISTRY_TABLE table[VALUES + 1];
    UNICODE_STRING name;
    NTSTATUS status;
    ULONG i, size;

    RtlZeroMemory(table, sizeof table);
    for (i = 0; i < count; ++i) {
        RtlInitUnicodeString(&name, values[i].name);
        status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer,
                                 &size);
        if (status == STATUS_BUFFER_OVERFLOW)
            status = STATUS_SUCCESS;
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            explain(why, "%s: there is no %S", label, values[i].name);
        } else if (!NT_SUCCESS(status)) {
            explain(why, "%s: %S cannot be read: status 0x%08lx", label, values[i].name,
                    (ULONG)status);
        } else if (values[i].type == REG_DWORD
                   && (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))) {
            explain(why, "%s: %S is not a REG_DWORD", label, values[i].name);
            status = STATUS_INVALID_PARAMETER;
        } else if (values[i].type == REG_SZ
                   && (info->Type != REG_SZ
                       || info->DataLength > (values[i].largest + 1) * sizeof(WCHAR))) {
            explain(why, "%s: %S is not a REG_SZ of at most %lu characters", label,
                    values[i].name, values[i].largest);
            status = STATUS_INVALID_PARAMETER;
        }
        if (!NT_SUCCESS(status))
            return status;
        table[i].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED
                         | RTL_QUERY_REGISTRY_TYPECHECK;
        table[i].Name = values[i].name;
        table[i].EntryContext = into[i];
        table[i].DefaultType = values[i].type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    }
    path.Buffer[path.Length / sizeof(WCHAR)] = 0;
    status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.Buffer, table, NULL, NULL);
    if (!NT_SUCCESS(status))
        explain(why, "%s: its values cannot be read: status 0x%08lx", label, (ULONG)status);
    return status;
}

// Reads the drive key `name` of the Drives key `drives`, whose absolute path
// and a backslash are `path` (see readValues), into `drive` and checks its
// ranges (see the top of this file). Returns, with what is wrong in `why`,
// STATUS_INVALID_PARAMETER for a drive that breaks the rules, or the
// failure of opening the key or of a read.
static NTSTATUS readDrive(HANDLE drives, UNICODE_STRING path, PUNICODE_STRING name,
                          struct drive *drive, char *why)
{
    WCHAR letter[2] = { 0 };
    UNICODE_STRING letterText = { 0, sizeof letter, letter };
    UNICODE_STRING fileText = { 0, sizeof drive->file, drive->file };
    ULONG number[VALUES] = { 0 }, i;
    void *into[VALUES];
    ULONGLONG size, start;
    char label[WHY_ROOM];
    NTSTATUS status;
    HANDLE key;

    explain(label, "drive %.*S", (int)(name->Length / sizeof(WCHAR)), name->Buffer);
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(&path, name))) {
        explain(why, "%s: its key's path is longer than %d characters", label, TEXT_ROOM - 1);
        return STATUS_INVALID_PARAMETER;
    }
    status = openKey(drives, name, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        explain(why, "%s: its key cannot be opened: status 0x%08lx", label, (ULONG)status);
        return status;
    }
    for (i = 0; i < VALUES; ++i)
        into[i] = &number[i];
    into[LETTER] = &letterText;
    into[FILE] = &fileText;
    status = readValues(key, path, driveValue, VALUES, into, label, why);
    ZwClose(key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status))
        return status;
    if (letterText.Length != sizeof(WCHAR) || (letter[0] | 0x20) < L'a'
        || (letter[0] | 0x20) > L'z') {
        explain(why, "%s: Letter '%.*S' is not a letter A to Z", label,
                (int)(letterText.Length / sizeof(WCHAR)), letter);
        return STATUS_INVALID_PARAMETER;
    }
    drive->letter = (WCHAR)(letter[0] & ~0x20);
    explain(label, "drive %.*S (%c:)", (int)(name->Length / sizeof(WCHAR)), name->Buffer,
            (char)drive->letter);
    for (i = CYLINDERS; i < FILE; ++i)
        if (number[i] > driveValue[i].largest) {
            explain(why, "%s: %S %lu is more than %lu", label, driveValue[i].name, number[i],
                    driveValue[i].largest);
            return STATUS_INVALID_PARAMETER;
        }
    if (number[BYTES] < 128 || (number[BYTES] & (number[BYTES] - 1)) != 0) {
        explain(why, "%s: BytesPerSector %lu is not a power of two from 128 to 4096", label,
                number[BYTES]);
        return STATUS_INVALID_PARAMETER;
    }
    if (fileText.Length == 0) {
        explain(why, "%s: File is empty", label);
        return STATUS_INVALID_PARAMETER;
    }
    // Below 2^32 x 2^8 x 2^6 x 2^13: no product wraps.
    size = (ULONGLONG)number[CYLINDERS] * (number[TRACKS] * number[SECTORS] * number[BYTES]);
    start = (ULONGLONG)number[START_HIGH] << 32 | number[START];
    if (size > MAXLONGLONG - start) {
        explain(why, "%s: Start %I64u plus the geometry's %I64u bytes passes 2^63 - 1", label,
                start, size);
        return STATUS_INVALID_PARAMETER;
    }
    drive->removable = number[REMOVABLE] != 0;
    drive->geometry.Cylinders.QuadPart = number[CYLINDERS];
    drive->geometry.TracksPerCylinder = number[TRACKS];
    drive->geometry.SectorsPerTrack = number[SECTORS];
    drive->geometry.BytesPerSector = number[BYTES];
    drive->geometry.MediaType = (MEDIA_TYPE)number[MEDIA];
    drive->size = size;
    drive->start = (LONGLONG)start;
    drive->fault = number[FAULT];
    return STATUS_SUCCESS;
}

// Opens (`disposition` as ZwCreateFile takes it) the file at NT path `path`
// for synchronous use with `access`, into *file. Returns ZwCreateFile's
// status.
static NTSTATUS openFile(const WCHAR *path, ACCESS_MASK access, ULONG disposition, HANDLE *file)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;

    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    return ZwCreateFile(file, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
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
    if (size > 0 && size < (int)sizeof line)
        ZwWriteFile(logFile, NULL, NULL, NULL, &io, line, (ULONG)size, NULL, NULL);
}

// Answers a device control request `code` with an output buffer of `room`
// bytes at `buffer`. Only the drive geometry and a dismount are known; a
// drive without a medium has no geometry. Sets *information to the bytes
// returned.
static NTSTATUS deviceControl(const struct drive *drive, ULONG code, void *buffer, ULONG room,
                              ULONG_PTR *information)
{
    // Wine hands a volume's dismount to its device: a volume served raw has
    // no file system to dismount. (On Windows the file system mounted on the
    // volume takes it, and a disk driver never sees it.)
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
// sector yet reports success. As from the disk class driver, a transfer that
// is not a whole number of sectors, or passes the medium's end, fails with
// STATUS_INVALID_PARAMETER. Sets *information to the bytes transferred.
static NTSTATUS transfer(const struct drive *drive, PMDL mdl, LONGLONG offset, ULONG length,
                         BOOLEAN write, ULONG_PTR *information)
{
    ULONG sector = drive->geometry.BytesPerSector;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    NTSTATUS status;
    HANDLE file;
    void *buffer;

    if (drive->fault == FAULT_NO_MEDIUM)
        return STATUS_NO_MEDIA_IN_DEVICE;
    if (write && drive->fault == FAULT_WRITE_PROTECTED)
        return STATUS_MEDIA_WRITE_PROTECTED;
    // The sector size is a power of two: a whole number of sectors has no
    // bit below it.
    if (offset < 0 || (((ULONGLONG)offset | length) & (sector - 1)) != 0
        || (ULONGLONG)offset + length > drive->size)
        return STATUS_INVALID_PARAMETER;
    if (length == 0)
        return STATUS_SUCCESS;
    if (write && drive->fault == FAULT_SHORT_WRITE && length > sector)
        length -= sector;
    buffer = mdl == NULL ? NULL : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(openFile(drive->file, GENERIC_READ | GENERIC_WRITE, FILE_OPEN, &file)))
        return STATUS_DEVICE_NOT_READY;
    // Within the file's first MAXLONGLONG bytes: parseDrive saw to that.
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
    case IRP_MJ_FLUSH_BUFFERS:
        // Every write has reached the backing file when it completes.
        request = "flush";
        break;
    case IRP_MJ_DEVICE_CONTROL:
        request = "device-control";
        code = stack->Parameters.DeviceIoControl.IoControlCode;
        length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        status = deviceControl(drive, code, irp->AssociatedIrp.SystemBuffer, length, &information);
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

// Makes the device of `drive` and gives it the drive's letter, in place of
// the link Wine's mount manager made for that letter (which is not given
// back: each prefix of the tests is thrown away with its server). A device
// whose link cannot be made is deleted again, so every device of the driver
// has its link. Returns the status of the step that failed, with what
// failed in `why`, or STATUS_SUCCESS.
static NTSTATUS addDrive(PDRIVER_OBJECT driver, const struct drive *drive, char *why)
{
    WCHAR deviceText[] = DEVICE_PREFIX L"X";
    WCHAR linkText[] = LINK_PREFIX L"X:";
    UNICODE_STRING deviceName, linkName;
    PDEVICE_OBJECT device;
    NTSTATUS status;

    deviceText[DEVICE_LETTER] = drive->letter;
    linkText[LINK_LETTER] = drive->letter;
    RtlInitUnicodeString(&deviceName, deviceText);
    RtlInitUnicodeString(&linkName, linkText);
    status = IoCreateDevice(driver, sizeof(struct drive), &deviceName, FILE_DEVICE_DISK,
                            drive->removable ? FILE_REMOVABLE_MEDIA : 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        explain(why, "drive %c: its device cannot be made: status 0x%08lx", (char)drive->letter,
                (ULONG)status);
        return status;
    }
    RtlCopyMemory(device->DeviceExtension, drive, sizeof *drive);
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    IoDeleteSymbolicLink(&linkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        explain(why, "drive %c: its letter cannot be given to its device: status 0x%08lx",
                (char)drive->letter, (ULONG)status);
        IoDeleteDevice(device);
    }
    return status;
}

// Reads every subkey of the Drives key `key` as a drive (readDrive); `path`
// is the service key's absolute path (see readValues). With `driver` NULL,
// only checks the table; else makes each drive's device (addDrive). Returns,
// with what is wrong in `why`, STATUS_INVALID_PARAMETER for a key that is no
// drive or a letter that comes twice, or the failure of a registry read or
// of addDrive; once the key has no more subkeys, STATUS_SUCCESS.
static NTSTATUS readDrives(HANDLE key, UNICODE_STRING path, PDRIVER_OBJECT driver, char *why)
{
    // A subkey's name, of at most 16 characters.
    ULONG buffer[(sizeof(KEY_BASIC_INFORMATION) + 16 * sizeof(WCHAR)) / sizeof(ULONG)];
    KEY_BASIC_INFORMATION *info = (KEY_BASIC_INFORMATION *)buffer;
    UNICODE_STRING name;
    struct drive drive;
    ULONG index, size, letters = 0, letter;
    NTSTATUS status;

    if (!NT_SUCCESS(RtlAppendUnicodeToString(&path, L"\\Drives\\"))) {
        explain(why, "the Drives key's path is longer than %d characters", TEXT_ROOM - 1);
        return STATUS_INVALID_PARAMETER;
    }
    for (index = 0;; ++index) {
        status = ZwEnumerateKey(key, index, KeyBasicInformation, info, sizeof buffer, &size);
        if (status == STATUS_NO_MORE_ENTRIES)
            return STATUS_SUCCESS;
        if (status != STATUS_SUCCESS) {
            explain(why, "subkey %lu of the Drives key cannot be read: status 0x%08lx",
                    index + 1, (ULONG)status);
            return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
        }
        name.Buffer = info->Name;
        name.Length = name.MaximumLength = (USHORT)info->NameLength;
        RtlZeroMemory(&drive, sizeof drive);
        status = readDrive(key, path, &name, &drive, why);
        if (!NT_SUCCESS(status))
            return status;
        letter = 1UL << (drive.letter - L'A');
        if (letters & letter) {
            explain(why, "drive %.*S: its letter %c: comes twice",
                    (int)(name.Length / sizeof(WCHAR)), name.Buffer, (char)drive.letter);
            return STATUS_INVALID_PARAMETER;
        }
        letters |= letter;
        if (driver != NULL) {
            status = addDrive(driver, &drive, why);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
}

// Opens the record named by the Log value of the service key `service`,
// whose absolute path is `path` (see readValues), made afresh, for
// appending. Returns STATUS_SUCCESS, with no record, when there is no Log
// value; STATUS_INVALID_PARAMETER when it is no REG_SZ or too long; else the
// status of reading it or of making the file. Says nothing in Refused: the
// record is no part of the drive table.
static NTSTATUS openLog(HANDLE service, UNICODE_STRING path)
{
    static const struct value logValue = { L"Log", REG_SZ, TEXT_ROOM - 1 };
    WCHAR file[TEXT_ROOM] = { 0 };
    UNICODE_STRING fileText = { 0, sizeof file, file };
    void *into = &fileText;
    char why[WHY_ROOM];
    NTSTATUS status;

    status = readValues(service, path, &logValue, 1, &into, "the service key", why);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    return openFile(file, FILE_APPEND_DATA, FILE_OVERWRITE_IF, &logFile);
}

// Undoes DriverEntry: deletes each drive's link and device, then closes the
// record. Run when the driver is stopped, and by DriverEntry itself when it
// fails: a driver whose DriverEntry fails is unloaded without this.
static VOID NTAPI unload(PDRIVER_OBJECT driver)
{
    WCHAR linkText[] = LINK_PREFIX L"X:";
    UNICODE_STRING linkName;
    PDEVICE_OBJECT device, next;

    for (device = driver->DeviceObject; device != NULL; device = next) {
        next = device->NextDevice;
        linkText[LINK_LETTER] = ((const struct drive *)device->DeviceExtension)->letter;
        RtlInitUnicodeString(&linkName, linkText);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(device);
    }
    if (logFile != NULL) {
        ZwClose(logFile);
        logFile = NULL;
    }
}

// Sets the Refused value of the service key `service` to `why`, or deletes
// it when `why` is empty. A failure is ignored: the value only explains a
// start that fails anyway.
static void setRefused(HANDLE service, const char *why)
{
    UNICODE_STRING refusedName = RTL_CONSTANT_STRING(L"Refused");
    WCHAR text[WHY_ROOM];
    ULONG i;

    if (why[0] == 0) {
        ZwDeleteValueKey(service, &refusedName);
        return;
    }
    for (i = 0; why[i] != 0; ++i)
        text[i] = (UCHAR)why[i];
    text[i] = 0;
    ZwSetValueKey(service, &refusedName, 0, REG_SZ, text, (i + 1) * sizeof(WCHAR));
}

// Checks the whole drive table of the service key, then makes every drive's
// device, then opens the record. Fails, with everything undone (unload),
// when a key cannot be read, the table or the Log value is bad
// (STATUS_INVALID_PARAMETER), or a device, a link or the record cannot be
// made; says why in the Refused value when it is the Drives key or a drive.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING drivesName = RTL_CONSTANT_STRING(L"Drives");
    WCHAR pathText[TEXT_ROOM];
    UNICODE_STRING path = { 0, sizeof pathText - sizeof(WCHAR), pathText };
    HANDLE service, drives;
    char why[WHY_ROOM] = "";
    NTSTATUS status;
    unsigned major;

    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = dispatch;
    driver->DriverUnload = unload;

    status = openKey(NULL, registryPath, KEY_READ | KEY_SET_VALUE, &service);
    if (!NT_SUCCESS(status))
        return status;
    setRefused(service, why);
    status = RtlAppendUnicodeStringToString(&path, registryPath);
    if (NT_SUCCESS(status))
        status = openKey(service, &drivesName, KEY_READ, &drives);
    if (!NT_SUCCESS(status)) {
        explain(why, "the Drives key cannot be opened: status 0x%08lx", (ULONG)status);
    } else {
        status = readDrives(drives, path, NULL, why);
        if (NT_SUCCESS(status))
            status = readDrives(drives, path, driver, why);
        ZwClose(drives);
    }
    if (NT_SUCCESS(status))
        status = openLog(service, path);
    setRefused(service, why);
    ZwClose(service);
    if (!NT_SUCCESS(status))
        unload(driver);
    return status;
}
