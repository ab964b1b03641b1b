// The scripted machine: implementations of the Win32 calls and _getch that
// the program makes, driven by fake::machine and logged call by call.
#include "fakewin.h"

#include <conio.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace fake {

Machine machine;

namespace {

int logFd = -1;     // call log, one "screen-length TAB call" line a call
int writesFd = -1;  // every byte written to a volume, in order
DWORD lastError = 0;
std::map<std::string, int> callCount;   // calls made so far, by name

// Open handles by name; a name opened twice counts twice.
std::map<std::string, int> openHandles;
// Names of the handle values given out, so the log can show them.
std::map<HANDLE, std::string> handleNames;
uintptr_t nextHandle = 0x1000;

// The mapped view of the program file, for checking what is written from it.
const unsigned char *viewStart = nullptr;
size_t viewSize = 0;

// Bytes the program has written to stdout so far: what is on its screen.
long screenLength()
{
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0)
        return -1;
    return (long)st.st_size;
}

void record(const std::string &line)
{
    if (logFd < 0)
        return;
    std::string entry = std::to_string(screenLength()) + "\t" + line + "\n";
    if (write(logFd, entry.data(), entry.size()) < 0)
        _exit(98);
}

// Counts the call and returns the fault that applies to it, if any.
const Fault *fault(const char *call)
{
    int n = ++callCount[call];
    for (const Fault &f : machine.faults)
        if (f.call == call && (f.nth == 0 || f.nth == n))
            return &f;
    return nullptr;
}

std::string str(const char *s)
{
    if (!s)
        return "NULL";
    return "\"" + std::string(s) + "\"";
}

std::string ptr(const void *p, const char *name)
{
    return p ? name : "NULL";
}

std::string hex(DWORD v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

std::string name(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE)
        return "INVALID";
    if (!h)
        return "NULL";
    auto it = handleNames.find(h);
    return it == handleNames.end() ? "?" + hex((DWORD)(uintptr_t)h) : it->second;
}

HANDLE open(const std::string &label)
{
    HANDLE h = (HANDLE)nextHandle;
    nextHandle += 4;
    handleNames[h] = label;
    ++openHandles[label];
    return h;
}

bool isOpen(HANDLE h, const char *prefix)
{
    auto it = handleNames.find(h);
    return it != handleNames.end() && openHandles[it->second] > 0
           && it->second.compare(0, strlen(prefix), prefix) == 0;
}

// The drive letter behind an open volume handle, or 0.
char volumeLetter(HANDLE h)
{
    return isOpen(h, "vol:") ? handleNames[h][4] : 0;
}

std::string ioctlName(DWORD code)
{
    switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: return "IOCTL_DISK_GET_DRIVE_GEOMETRY";
    case FSCTL_LOCK_VOLUME: return "FSCTL_LOCK_VOLUME";
    case FSCTL_DISMOUNT_VOLUME: return "FSCTL_DISMOUNT_VOLUME";
    case FSCTL_UNLOCK_VOLUME: return "FSCTL_UNLOCK_VOLUME";
    default: return hex(code);
    }
}

// Sets the last error and returns the value to log after " = ".
std::string failWith(DWORD error, const std::string &value)
{
    lastError = error;
    return " = " + value + " err=" + std::to_string(error);
}

} // namespace

DISK_GEOMETRY geometry(LONGLONG cylinders, MEDIA_TYPE media, DWORD tracks,
                       DWORD sectors, DWORD bytesPerSector)
{
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = cylinders;
    g.MediaType = media;
    g.TracksPerCylinder = tracks;
    g.SectorsPerTrack = sectors;
    g.BytesPerSector = bytesPerSector;
    return g;
}

void attach(int log, int writes)
{
    logFd = log;
    writesFd = writes;
}

void logOpenHandlesAtExit()
{
    std::string open;
    for (const auto &h : openHandles)
        for (int i = 0; i < h.second; ++i)
            open += (open.empty() ? "" : " ") + h.first;
    record("exit open=[" + open + "]");
}

} // namespace fake

using namespace fake;

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile)
{
    std::string call = "CreateFileA(" + str(path) + ", " + hex(access) + ", "
                       + hex(share) + ", " + ptr(security, "sa") + ", "
                       + std::to_string(disposition) + ", " + hex(flags) + ", "
                       + ptr(templateFile, "tmpl") + ")";
    const Fault *f = fault("CreateFileA");
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = 0;

    if (f) {
        error = f->error;
    } else if (path && strlen(path) == 6 && strncmp(path, "\\\\.\\", 4) == 0
               && path[4] >= 'A' && path[4] <= 'Z' && path[5] == ':') {
        const Drive &d = machine.drives[path[4] - 'A'];
        if (d.opens)
            h = open(std::string("vol:") + path[4]);
        else
            error = d.openError;
    } else if (path && machine.programPath == path) {
        h = open("file");
    } else {
        error = ERROR_FILE_NOT_FOUND;
    }
    if (error)
        lastError = error;
    record(call + " = " + name(h) + (error ? " err=" + std::to_string(error) : ""));
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                            LPVOID out, DWORD outSize, LPDWORD returned,
                            LPOVERLAPPED overlapped)
{
    std::string call = "DeviceIoControl(" + name(device) + ", " + ioctlName(code)
                       + ", " + ptr(in, "in") + ", " + std::to_string(inSize) + ", "
                       + ptr(out, "out") + ", " + std::to_string(outSize) + ", "
                       + ptr(returned, "&n") + ", " + ptr(overlapped, "ovl") + ")";
    const Fault *f = fault("DeviceIoControl");
    char letter = volumeLetter(device);
    DWORD error = 0;
    DWORD count = 0;

    if (f) {
        error = f->error;
    } else if (!letter) {
        error = ERROR_INVALID_HANDLE;
    } else {
        const Drive &d = machine.drives[letter - 'A'];
        switch (code) {
        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
            if (!d.hasGeometry)
                error = d.geometryError;
            else if (!out || outSize < sizeof(DISK_GEOMETRY))
                error = ERROR_INSUFFICIENT_BUFFER;
            else {
                count = d.geometryBytes < outSize ? d.geometryBytes : outSize;
                memcpy(out, &d.geometry, count);
            }
            break;
        case FSCTL_LOCK_VOLUME:
            if (!d.locks)
                error = d.lockError;
            break;
        case FSCTL_DISMOUNT_VOLUME:
        case FSCTL_UNLOCK_VOLUME:
            break;
        default:
            error = ERROR_INVALID_PARAMETER;
        }
    }
    if (returned)
        *returned = count;
    if (error) {
        record(call + failWith(error, "0"));
        return FALSE;
    }
    record(call + " = 1 n=" + std::to_string(count));
    return TRUE;
}

UINT WINAPI GetDriveTypeA(LPCSTR root)
{
    std::string call = "GetDriveTypeA(" + str(root) + ")";
    const Fault *f = fault("GetDriveTypeA");
    UINT type = DRIVE_NO_ROOT_DIR;

    if (f)
        type = DRIVE_UNKNOWN; // the one way this query fails
    else if (root && strlen(root) == 3 && root[0] >= 'A' && root[0] <= 'Z'
             && root[1] == ':' && root[2] == '\\')
        type = machine.drives[root[0] - 'A'].type;
    record(call + " = " + std::to_string(type));
    return type;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped)
{
    const unsigned char *from = (const unsigned char *)buffer;
    std::string where = "buf";
    bool inView = viewStart && from >= viewStart && from <= viewStart + viewSize
                  && count <= (size_t)(viewStart + viewSize - from);
    if (inView)
        where = "view+" + std::to_string(from - viewStart);
    std::string call = "WriteFile(" + name(file) + ", " + where + ", "
                       + std::to_string(count) + ", " + ptr(written, "&n") + ", "
                       + ptr(overlapped, "ovl") + ")";
    const Fault *f = fault("WriteFile");

    if (!inView) {
        record(call + " = outside the mapped program file");
        _exit(EXIT_OUTSIDE_VIEW);
    }
    if (f && f->shortBy == 0) {
        if (written)
            *written = 0;
        record(call + failWith(f->error, "0"));
        return FALSE;
    }
    if (!volumeLetter(file)) {
        record(call + failWith(ERROR_INVALID_HANDLE, "0"));
        return FALSE;
    }
    DWORD done = f ? (f->shortBy < count ? count - f->shortBy : 0) : count;
    if (write(writesFd, from, done) != (ssize_t)done)
        _exit(98);
    if (written)
        *written = done;
    record(call + " = 1 n=" + std::to_string(done));
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    std::string call = "CloseHandle(" + name(handle) + ")";
    const Fault *f = fault("CloseHandle");
    auto it = handleNames.find(handle);

    if (it == handleNames.end() || openHandles[it->second] == 0) {
        record(call + failWith(ERROR_INVALID_HANDLE, "0"));
        return FALSE;
    }
    if (f) {
        record(call + failWith(f->error, "0"));
        return FALSE;
    }
    --openHandles[it->second];
    record(call + " = 1");
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    std::string call = "GetModuleFileNameA(" + ptr(module, "module") + ", buf, "
                       + std::to_string(size) + ")";
    const Fault *f = fault("GetModuleFileNameA");
    const std::string &path = machine.programPath;

    if (f) {
        record(call + failWith(f->error, "0"));
        return 0;
    }
    if (path.size() >= size) {
        // A path that does not fit fills the buffer with no terminator.
        memcpy(buffer, path.data(), size);
        record(call + failWith(ERROR_INSUFFICIENT_BUFFER, std::to_string(size)));
        return size;
    }
    memcpy(buffer, path.c_str(), path.size() + 1);
    record(call + " = " + std::to_string(path.size()));
    return (DWORD)path.size();
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high)
{
    std::string call = "GetFileSize(" + name(file) + ", " + ptr(high, "&high") + ")";
    const Fault *f = fault("GetFileSize");

    if (f || !isOpen(file, "file")) {
        record(call + failWith(f ? f->error : ERROR_INVALID_HANDLE,
                               std::to_string(INVALID_FILE_SIZE)));
        return INVALID_FILE_SIZE;
    }
    unsigned long long size = machine.programFile.size();
    if (high)
        *high = (DWORD)(size >> 32);
    record(call + " = " + std::to_string((DWORD)size));
    return (DWORD)size;
}

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security,
                                 DWORD protect, DWORD maxHigh, DWORD maxLow,
                                 LPCSTR mappingName)
{
    std::string call = "CreateFileMappingA(" + name(file) + ", " + ptr(security, "sa")
                       + ", " + hex(protect) + ", " + std::to_string(maxHigh) + ", "
                       + std::to_string(maxLow) + ", " + str(mappingName) + ")";
    const Fault *f = fault("CreateFileMappingA");
    DWORD error = 0;

    if (f)
        error = f->error;
    else if (!isOpen(file, "file"))
        error = ERROR_INVALID_HANDLE;
    else if (machine.programFile.empty())
        error = ERROR_FILE_INVALID; // an empty file cannot be mapped
    if (error) {
        record(call + failWith(error, "NULL"));
        return nullptr;
    }
    HANDLE h = open("map");
    record(call + " = " + name(h));
    return h;
}

// The view ends right before an unreadable page, so reading past the end of
// the program file faults at once.
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T length)
{
    std::string call = "MapViewOfFile(" + name(mapping) + ", " + hex(access) + ", "
                       + std::to_string(offsetHigh) + ", " + std::to_string(offsetLow)
                       + ", " + std::to_string(length) + ")";
    const Fault *f = fault("MapViewOfFile");

    if (f || !isOpen(mapping, "map")) {
        record(call + failWith(f ? f->error : ERROR_INVALID_HANDLE, "NULL"));
        return nullptr;
    }
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t size = machine.programFile.size();
    const size_t body = (size + page - 1) / page * page;
    unsigned char *base = (unsigned char *)mmap(nullptr, body + 2 * page,
                                                PROT_READ | PROT_WRITE,
                                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        _exit(98);
    unsigned char *start = base + page + (body - size);
    memset(base + page, 0xCC, body - size);
    memcpy(start, machine.programFile.data(), size);
    mprotect(base, page, PROT_NONE);
    mprotect(base + page, body, PROT_READ);
    mprotect(base + page + body, page, PROT_NONE);
    viewStart = start;
    viewSize = size;
    record(call + " = view");
    return start;
}

DWORD WINAPI GetLastError(void)
{
    record("GetLastError() = " + std::to_string(lastError));
    return lastError;
}

void WINAPI SetLastError(DWORD code)
{
    record("SetLastError(" + std::to_string(code) + ")");
    lastError = code;
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language,
                            LPSTR buffer, DWORD size, va_list *arguments)
{
    std::string call = "FormatMessageA(" + hex(flags) + ", " + ptr(source, "src") + ", "
                       + std::to_string(id) + ", " + hex(language) + ", "
                       + ptr(buffer, "&text") + ", " + std::to_string(size) + ", "
                       + ptr(arguments, "args") + ")";
    const Fault *f = fault("FormatMessageA");
    auto text = machine.errorTexts.find(id);

    if (f || text == machine.errorTexts.end()) {
        record(call + failWith(f ? f->error : ERROR_MR_MID_NOT_FOUND, "0"));
        return 0;
    }
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the system allocates the text and
    // stores its address where `buffer` points.
    char *copy = (char *)malloc(text->second.size() + 1);
    memcpy(copy, text->second.c_str(), text->second.size() + 1);
    *(char **)buffer = copy;
    record(call + " = " + std::to_string(text->second.size()));
    return (DWORD)text->second.size();
}

HANDLE WINAPI GetStdHandle(DWORD which)
{
    std::string call = "GetStdHandle(" + std::to_string((int)which) + ")";
    const Fault *f = fault("GetStdHandle");
    static HANDLE stdoutHandle = nullptr;

    if (f) {
        record(call + failWith(f->error, "INVALID"));
        return INVALID_HANDLE_VALUE;
    }
    if (!stdoutHandle) {
        stdoutHandle = (HANDLE)(uintptr_t)0x10;
        handleNames[stdoutHandle] = "stdout";
    }
    record(call + " = stdout");
    return stdoutHandle;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    std::string call = "GetConsoleScreenBufferInfo(" + name(console) + ", "
                       + ptr(info, "&info") + ")";
    const Fault *f = fault("GetConsoleScreenBufferInfo");

    if (f || !machine.console || name(console) != "stdout") {
        record(call + failWith(f ? f->error : ERROR_INVALID_HANDLE, "0"));
        return FALSE;
    }
    memset(info, 0, sizeof *info);
    info->dwSize.X = 80;
    info->dwSize.Y = 300;
    info->dwCursorPosition.X = machine.cursorX;
    info->dwCursorPosition.Y = machine.cursorY;
    record(call + " = 1 cursor=" + std::to_string(machine.cursorX) + ","
           + std::to_string(machine.cursorY));
    return TRUE;
}

UINT WINAPI SetErrorMode(UINT mode)
{
    record("SetErrorMode(" + std::to_string(mode) + ") = 0");
    return 0;
}

int _getch(void)
{
    if (machine.keys.empty()) {
        record("_getch() = no key left");
        _exit(EXIT_NO_KEY);
    }
    int key = machine.keys.front();
    machine.keys.pop_front();
    record("_getch() = " + std::to_string(key));
    return key;
}
