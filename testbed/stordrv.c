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
//   Drives\*   one string value per drive, whatever its name, each field but
//              FILE followed by exactly one space:
//              LETTER CYLINDERS TRACKS SECTORS BYTES MEDIA REMOVABLE START FAULT FILE
//     LETTER     the drive letter, A to Z in either case; no letter twice
//     CYLINDERS, TRACKS (per cylinder), SECTORS (per track), BYTES (per
//                sector): the geometry; at most 2^32 - 1, 255 and 63 (as a
//                BIOS counts them), and BYTES a power of two from 128 to 4096
//     MEDIA      the MEDIA_TYPE number the geometry reports, at most F8_256_128
//     REMOVABLE  1 for a removable drive, else 0
//     START      where the volume starts in FILE, in bytes; the volume must
//                end before byte 2^63
//     FAULT      0 none, 1 no medium, 2 write-protected, 3 short write
//     FILE       the backing file as an NT path, to the end of the string
//              Numbers are decimal digits and nothing else.
//   Log        the file the requests are recorded in (an NT path such as
//              \??\Z:\tmp\driver.log), made afresh once every drive is
//              served: it exists only if the driver started. Without it,
//              nothing is recorded.
// A string is at most TEXT_ROOM - 1 characters. A table that breaks these
// rules, or a Log value that is no such string, fails the start with
// STATUS_INVALID_PARAMETER; the table is checked whole before any device is
// made.
//
// The driver writes one value there itself, for whoever started it:
//   Refused    why it refused its drive table, or could not serve a drive of
//              it, naming the drive and what is wrong with it, such as
//              "drive E: SECTORS 'x' is not decimal digits" or "drive E:
//              comes twice". Deleted first thing at every start, so a start
//              that succeeds leaves none; a failure to make the record (Log)
//              is no fault of the table and leaves none either.
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

#define FAULT_NONE 0
#define FAULT_NO_MEDIUM 1
#define FAULT_WRITE_PROTECTED 2
#define FAULT_SHORT_WRITE 3

// Longest registry string taken, in characters, with its terminator.
#define TEXT_ROOM 512

// Room for the text of the Refused value, in characters, with its
// terminator: a longer text is cut short.
#define WHY_ROOM 200

// A value as the registry hands it over: its header, then room for TEXT_ROOM
// characters, counted in ULONGs so that the header is aligned.
#define VALUE_ROOM ((sizeof(KEY_VALUE_PARTIAL_INFORMATION) + TEXT_ROOM * sizeof(WCHAR)) / sizeof(ULONG) + 1)

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

// Takes the string of a registry value read into `info`, whose read returned
// `status`, into `text` (TEXT_ROOM characters), terminated. Returns the
// read's failure; STATUS_INVALID_PARAMETER for a value that is not a REG_SZ
// string or is too long for `text`; else STATUS_SUCCESS.
static NTSTATUS takeString(NTSTATUS status, const KEY_VALUE_PARTIAL_INFORMATION *info, WCHAR *text)
{
    const WCHAR *data = (const WCHAR *)info->Data;
    ULONG count, i;

    if (status == STATUS_BUFFER_OVERFLOW)
        return STATUS_INVALID_PARAMETER;
    if (status != STATUS_SUCCESS)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    if (info->Type != REG_SZ)
        return STATUS_INVALID_PARAMETER;
    count = info->DataLength / sizeof(WCHAR);
    for (i = 0; i < count && data[i] != 0; ++i) {
        if (i + 1 == TEXT_ROOM)
            return STATUS_INVALID_PARAMETER;
        text[i] = data[i];
    }
    text[i] = 0;
    return STATUS_SUCCESS;
}

// Opens the registry key `name`, relative to `parent` when that is not NULL,
// with `access`. Returns the key, or NULL when it cannot be opened.
static HANDLE openKey(HANDLE parent, PUNICODE_STRING name, ACCESS_MASK access)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;

    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               parent, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, access, &attributes)))
        return NULL;
    return key;
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

// The numbers of a Drives string, in their order, the largest each may be
// (see the top of this file), and their names, for saying which is wrong.
enum { CYLINDERS, TRACKS, SECTORS, BYTES, MEDIA, REMOVABLE, START, FAULT, NUMBERS };
static const ULONGLONG largest[NUMBERS] = {
    MAXULONG, 255, 63, 4096, F8_256_128, 1, MAXLONGLONG, FAULT_SHORT_WRITE,
};
static const char *const numberName[NUMBERS] = {
    "CYLINDERS", "TRACKS", "SECTORS", "BYTES", "MEDIA", "REMOVABLE", "START", "FAULT",
};

// Reads the number `which` of the Drives string of drive `letter` at *at:
// decimal digits, a number of at most largest[which], then one space; sets
// *value and moves *at past the space. Returns FALSE, *at unmoved and what
// is wrong in `why`, when the field (up to the next space) is empty or has
// a character that is no digit, when its number is too large, or when the
// string ends after it.
static BOOLEAN field(const WCHAR **at, WCHAR letter, ULONG which, ULONGLONG *value, char *why)
{
    const WCHAR *p, *end;
    BOOLEAN digits = TRUE;

    for (end = *at; *end != 0 && *end != L' '; ++end)
        if (*end < L'0' || *end > L'9')
            digits = FALSE;
    if (end == *at || !digits) {
        explain(why, "drive %c: %s '%.*S' is not decimal digits", (char)letter,
                numberName[which], (int)(end - *at), *at);
        return FALSE;
    }
    *value = 0;
    for (p = *at; p < end; ++p) {
        // Past this bound, one more digit passes MAXLONGLONG (the largest
        // bound); below it, the sum cannot wrap.
        if (*value > MAXLONGLONG / 10)
            break;
        *value = *value * 10 + (ULONGLONG)(*p - L'0');
        if (*value > largest[which])
            break;
    }
    if (p < end) {
        explain(why, "drive %c: %s %.*S is more than %I64u", (char)letter, numberName[which],
                (int)(end - *at), *at, largest[which]);
        return FALSE;
    }
    if (*end != L' ') {
        explain(why, "drive %c: the string ends after %s", (char)letter, numberName[which]);
        return FALSE;
    }
    *at = end + 1;
    return TRUE;
}

// Fills `drive` from one Drives string `text` (see the top of this file).
// Returns FALSE, with what is wrong in `why`, for a string that breaks the
// form or has a number out of its range, or whose volume would reach past
// byte MAXLONGLONG of its file.
static BOOLEAN parseDrive(const WCHAR *text, struct drive *drive, char *why)
{
    ULONGLONG number[NUMBERS], size;
    const WCHAR *at = text + 2;
    ULONG i;

    if (text[0] >= L'a' && text[0] <= L'z')
        drive->letter = (WCHAR)(text[0] - L'a' + L'A');
    else if (text[0] >= L'A' && text[0] <= L'Z')
        drive->letter = text[0];
    else {
        explain(why, "the drive string '%.40S' does not start with a letter A to Z", text);
        return FALSE;
    }
    if (text[1] != L' ') {
        explain(why, "drive %c: its letter is not followed by a space", (char)drive->letter);
        return FALSE;
    }
    for (i = 0; i < NUMBERS; ++i)
        if (!field(&at, drive->letter, i, &number[i], why))
            return FALSE;
    if (number[BYTES] < 128 || (number[BYTES] & (number[BYTES] - 1)) != 0) {
        explain(why, "drive %c: BYTES %I64u is not a power of two from 128 to 4096",
                (char)drive->letter, number[BYTES]);
        return FALSE;
    }
    if (*at == 0) {
        explain(why, "drive %c: there is no FILE", (char)drive->letter);
        return FALSE;
    }
    // Below 2^32 x 2^8 x 2^6 x 2^13: no product wraps.
    size = number[CYLINDERS] * (ULONG)(number[TRACKS] * number[SECTORS] * number[BYTES]);
    if (size > MAXLONGLONG - number[START]) {
        explain(why, "drive %c: START %I64u plus the geometry's %I64u bytes passes 2^63 - 1",
                (char)drive->letter, number[START], size);
        return FALSE;
    }
    drive->removable = number[REMOVABLE] != 0;
    drive->geometry.Cylinders.QuadPart = (LONGLONG)number[CYLINDERS];
    drive->geometry.TracksPerCylinder = (ULONG)number[TRACKS];
    drive->geometry.SectorsPerTrack = (ULONG)number[SECTORS];
    drive->geometry.BytesPerSector = (ULONG)number[BYTES];
    drive->geometry.MediaType = (MEDIA_TYPE)number[MEDIA];
    drive->size = size;
    drive->start = (LONGLONG)number[START];
    drive->fault = (ULONG)number[FAULT];
    // `text` holds fewer than TEXT_ROOM characters, so `file` takes the rest.
    for (i = 0; at[i] != 0; ++i)
        drive->file[i] = at[i];
    drive->file[i] = 0;
    return TRUE;
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

// Reads every value of the Drives key `key` as a drive. With `driver` NULL,
// only checks the table; else makes each drive's device (addDrive). Returns,
// with what is wrong in `why`, STATUS_INVALID_PARAMETER for a value that is
// no drive or a letter that comes twice, or the failure of a registry read
// or of addDrive; once the key has no more values, STATUS_SUCCESS.
static NTSTATUS readDrives(HANDLE key, PDRIVER_OBJECT driver, char *why)
{
    ULONG buffer[VALUE_ROOM];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    WCHAR text[TEXT_ROOM];
    struct drive drive;
    ULONG index, size, letters = 0, letter;
    NTSTATUS status;

    for (index = 0;; ++index) {
        status = ZwEnumerateValueKey(key, index, KeyValuePartialInformation, info, sizeof buffer,
                                     &size);
        if (status == STATUS_NO_MORE_ENTRIES)
            return STATUS_SUCCESS;
        status = takeString(status, info, text);
        if (status == STATUS_INVALID_PARAMETER)
            explain(why, "value %lu of the Drives key is not a string of at most %d characters",
                    index + 1, TEXT_ROOM - 1);
        else if (!NT_SUCCESS(status))
            explain(why, "value %lu of the Drives key cannot be read: status 0x%08lx", index + 1,
                    (ULONG)status);
        if (!NT_SUCCESS(status))
            return status;
        RtlZeroMemory(&drive, sizeof drive);
        if (!parseDrive(text, &drive, why))
            return STATUS_INVALID_PARAMETER;
        letter = 1UL << (drive.letter - L'A');
        if (letters & letter) {
            explain(why, "drive %c: comes twice", (char)drive.letter);
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
// made afresh, for appending. Returns STATUS_SUCCESS, with no record, when
// there is no Log value; STATUS_INVALID_PARAMETER when it is no string or
// too long; else the status of reading it or of making the file.
static NTSTATUS openLog(HANDLE service)
{
    UNICODE_STRING logName = RTL_CONSTANT_STRING(L"Log");
    ULONG buffer[VALUE_ROOM];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    WCHAR path[TEXT_ROOM];
    NTSTATUS status;
    ULONG size;

    status = ZwQueryValueKey(service, &logName, KeyValuePartialInformation, info, sizeof buffer,
                             &size);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    status = takeString(status, info, path);
    if (!NT_SUCCESS(status))
        return status;
    return openFile(path, FILE_APPEND_DATA, FILE_OVERWRITE_IF, &logFile);
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
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    HANDLE service, drives;
    char why[WHY_ROOM] = "";
    unsigned major;

    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = dispatch;
    driver->DriverUnload = unload;

    service = openKey(NULL, registryPath, KEY_READ | KEY_SET_VALUE);
    if (service == NULL)
        return status;
    setRefused(service, why);
    drives = openKey(service, &drivesName, KEY_READ);
    if (drives == NULL) {
        explain(why, "the Drives key cannot be opened");
    } else {
        status = readDrives(drives, NULL, why);
        if (NT_SUCCESS(status))
            status = readDrives(drives, driver, why);
        ZwClose(drives);
    }
    if (NT_SUCCESS(status))
        status = openLog(service);
    setRefused(service, why);
    ZwClose(service);
    if (!NT_SUCCESS(status))
        unload(driver);
    return status;
}
