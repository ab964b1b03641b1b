// The scripted machine: the Win32 calls and _getch the program makes, driven
// by fake::machine and logged call by call; and the harness that forks a run.
#include "fakewin.h"

#include <conio.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

int fwdisk_main(void);

// Sanitizer reports must not pass for the program's own exit code 1.
extern "C" const char *__asan_default_options() { return "exitcode=86:detect_leaks=0"; }
extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:exitcode=87"; }

namespace fake {

Machine machine;

namespace {

FILE *logFile;                         // "screen-length TAB call" lines
FILE *writesFile;                      // the bytes written to volumes
DWORD lastError;
std::map<std::string, int> callCount;  // calls made so far, by name
std::map<std::string, int> openCount;  // open handles, by name
const char *viewStart;                 // the mapped program file
size_t viewSize;

// Logs one call, printf-style.
void record(const char *format, ...)
{
    char line[1024];
    va_list args;
    struct stat st;
    if (!logFile)
        return;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fstat(STDOUT_FILENO, &st);
    fprintf(logFile, "%ld\t%s\n", (long)st.st_size, line);
    fflush(logFile);
}

// Counts the call; returns the error its fault injects, or 0.
const Fault *fault(const char *call)
{
    int n = ++callCount[call];
    for (const Fault &f : machine.faults)
        if (f.call == call && (f.nth == 0 || f.nth == n))
            return &f;
    return nullptr;
}

// Handles are their names, so that the log shows them.
HANDLE open(const std::string &label)
{
    ++openCount[label];
    return (HANDLE)strdup(label.c_str());
}

const char *name(HANDLE h)
{
    return h == INVALID_HANDLE_VALUE ? "INVALID" : h ? (const char *)h : "NULL";
}

bool isOpen(HANDLE h, const char *prefix)
{
    return h && h != INVALID_HANDLE_VALUE && strncmp(name(h), prefix, strlen(prefix)) == 0
           && openCount[name(h)] > 0;
}

const char *nul(const void *p, const char *what) { return p ? what : "NULL"; }

// Sets the last error when `error` is nonzero; returns the " err=N" to log.
std::string failed(DWORD error)
{
    if (error)
        lastError = error;
    return error ? " err=" + std::to_string(error) : "";
}

std::string slurp(FILE *f)
{
    std::string s;
    char buf[65536];
    size_t n;
    rewind(f);
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

void logOpenHandles()
{
    std::string open;
    for (const auto &h : openCount)
        for (int i = 0; i < h.second; ++i)
            open += (open.empty() ? "" : " ") + h.first;
    record("exit open=[%s]", open.c_str());
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

int Run::find(const std::string &prefix, size_t start) const
{
    for (size_t i = start; i < calls.size(); ++i)
        if (calls[i].compare(0, prefix.size(), prefix) == 0)
            return (int)i;
    return -1;
}

int Run::count(const std::string &prefix) const
{
    int n = 0;
    for (const std::string &c : calls)
        n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
}

std::vector<std::string> Run::from(int index) const
{
    return std::vector<std::string>(calls.begin() + (index < 0 ? calls.size() : index), calls.end());
}

Run run()
{
    FILE *screen = tmpfile(), *log = tmpfile(), *writes = tmpfile();
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        dup2(fileno(screen), STDOUT_FILENO);
        callCount.clear();
        openCount.clear();
        lastError = 0;
        logFile = log;
        writesFile = writes;
        atexit(logOpenHandles);
        exit(fwdisk_main());
    }
    int status = 0;
    waitpid(child, &status, 0);
    Run r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    r.screen = slurp(screen);
    r.written = slurp(writes);
    std::istringstream lines(slurp(log));
    std::string line;
    while (std::getline(lines, line)) {
        std::string call = line.substr(line.find('\t') + 1);
        if (call.compare(0, 10, "exit open=") == 0) {
            r.openAtExit = call.substr(10);
        } else {
            r.screenAt.push_back(strtoul(line.c_str(), nullptr, 10));
            r.calls.push_back(call);
        }
    }
    return r;
}

} // namespace fake

using namespace fake;

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const Fault *f = fault("CreateFileA");
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (f) {
        error = f->error;
    } else if (strlen(path) == 6 && strncmp(path, "\\\\.\\", 4) == 0 && path[4] >= 'A'
               && path[4] <= 'Z' && path[5] == ':') {
        const Drive &d = machine.drive(path[4]);
        error = d.opens ? 0 : d.openError;
        if (d.opens)
            h = open(std::string("vol:") + path[4]);
    } else if (machine.programPath == path) {
        error = 0;
        h = open("file");
    }
    record("CreateFileA(\"%s\", 0x%x, 0x%x, %s, %u, 0x%x, %s) = %s%s", path, access, share,
           nul(sa, "sa"), disposition, flags, nul(templateFile, "tmpl"), name(h),
           failed(error).c_str());
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    const Fault *f = fault("DeviceIoControl");
    const char *what = code == IOCTL_DISK_GET_DRIVE_GEOMETRY ? "GEOMETRY"
                       : code == FSCTL_LOCK_VOLUME           ? "LOCK"
                       : code == FSCTL_DISMOUNT_VOLUME       ? "DISMOUNT"
                       : code == FSCTL_UNLOCK_VOLUME         ? "UNLOCK"
                                                             : "?";
    DWORD error = 0, count = 0;
    if (f) {
        error = f->error;
    } else if (!isOpen(device, "vol:") || !returned) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        const Drive &d = machine.drive(name(device)[4]);
        if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY && !d.hasGeometry)
            error = ERROR_NOT_READY;
        else if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY && (!out || outSize < sizeof(DISK_GEOMETRY)))
            error = ERROR_INSUFFICIENT_BUFFER;
        else if (code == IOCTL_DISK_GET_DRIVE_GEOMETRY)
            memcpy(out, &d.geometry, count = d.geometryBytes);
        else if (code == FSCTL_LOCK_VOLUME && !d.locks)
            error = ERROR_ACCESS_DENIED;
        else if (*what == '?')
            error = ERROR_INVALID_PARAMETER;
    }
    if (returned)
        *returned = count;
    record("DeviceIoControl(%s, %s, %s, %u, %s, %u, %s, %s) = %d n=%u%s", name(device), what,
           nul(in, "in"), inSize, nul(out, "out"), outSize, nul(returned, "&n"),
           nul(overlapped, "ovl"), !error, count, failed(error).c_str());
    return !error;
}

UINT WINAPI GetDriveTypeA(LPCSTR root)
{
    // A failed query answers DRIVE_UNKNOWN.
    UINT type = fault("GetDriveTypeA") ? DRIVE_UNKNOWN : DRIVE_NO_ROOT_DIR;
    if (type && strlen(root) == 3 && root[0] >= 'A' && root[0] <= 'Z' && !strcmp(root + 1, ":\\"))
        type = machine.drive(root[0]).type;
    record("GetDriveTypeA(\"%s\") = %u", root, type);
    return type;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped)
{
    const Fault *f = fault("WriteFile");
    const char *from = (const char *)buffer;
    if (!viewStart || from < viewStart || count > viewSize
        || (size_t)(from - viewStart) > viewSize - count) {
        record("WriteFile(%s) = outside the mapped program file", name(file));
        _exit(EXIT_OUTSIDE_VIEW);
    }
    DWORD error = f && !f->shortBy ? f->error : isOpen(file, "vol:") ? 0 : ERROR_INVALID_HANDLE;
    DWORD done = error ? 0 : f ? count - (f->shortBy < count ? f->shortBy : count) : count;
    fwrite(from, 1, done, writesFile);
    fflush(writesFile);
    if (written)
        *written = done;
    record("WriteFile(%s, view+%ld, %u, %s, %s) = %d n=%u%s", name(file), (long)(from - viewStart),
           count, nul(written, "&n"), nul(overlapped, "ovl"), !error, done, failed(error).c_str());
    return !error;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    const Fault *f = fault("CloseHandle");
    DWORD error = !isOpen(handle, "") ? ERROR_INVALID_HANDLE : f ? f->error : 0;
    if (!error)
        --openCount[name(handle)];
    record("CloseHandle(%s) = %d%s", name(handle), !error, failed(error).c_str());
    return !error;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    const Fault *f = fault("GetModuleFileNameA");
    const std::string &path = machine.programPath;
    // A path that does not fit fills the buffer with no terminator.
    DWORD copied = f ? 0 : path.size() < size ? (DWORD)path.size() : size;
    if (!f)
        memcpy(buffer, path.c_str(), copied + (copied < size));
    DWORD error = f ? f->error : copied == size ? ERROR_INSUFFICIENT_BUFFER : 0;
    record("GetModuleFileNameA(%s, buf, %u) = %u%s", nul(module, "module"), size, copied,
           failed(error).c_str());
    return copied;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high)
{
    const Fault *f = fault("GetFileSize");
    DWORD error = f ? f->error : isOpen(file, "file") ? 0 : ERROR_INVALID_HANDLE;
    DWORD size = error ? INVALID_FILE_SIZE : (DWORD)machine.programFile.size();
    if (high)
        *high = 0;
    record("GetFileSize(%s, %s) = %u%s", name(file), nul(high, "&high"), size,
           failed(error).c_str());
    return size;
}

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect,
                                 DWORD maxHigh, DWORD maxLow, LPCSTR mappingName)
{
    const Fault *f = fault("CreateFileMappingA");
    DWORD error = f                                ? f->error
                  : !isOpen(file, "file")          ? ERROR_INVALID_HANDLE
                  : machine.programFile.empty()    ? ERROR_FILE_INVALID
                                                   : 0;
    HANDLE h = error ? nullptr : open("map");
    record("CreateFileMappingA(%s, %s, 0x%x, %u, %u, %s) = %s%s", name(file), nul(sa, "sa"),
           protect, maxHigh, maxLow, mappingName ? mappingName : "NULL", name(h),
           failed(error).c_str());
    return h;
}

// The view ends right before an unreadable page, so a read past the end of
// the program file faults at once.
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T length)
{
    const Fault *f = fault("MapViewOfFile");
    DWORD error = f ? f->error : isOpen(mapping, "map") ? 0 : ERROR_INVALID_HANDLE;
    if (!error) {
        const size_t page = (size_t)sysconf(_SC_PAGESIZE), size = machine.programFile.size();
        const size_t body = (size + page - 1) / page * page;
        char *base = (char *)mmap(nullptr, body + page, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        viewStart = base + body - size;
        viewSize = size;
        memcpy(base + body - size, machine.programFile.data(), size);
        mprotect(base, body, PROT_READ);
        mprotect(base + body, page, PROT_NONE);
    }
    record("MapViewOfFile(%s, 0x%x, %u, %u, %zu) = %s%s", name(mapping), access, offsetHigh,
           offsetLow, length, error ? "NULL" : "view", failed(error).c_str());
    return error ? nullptr : (LPVOID)viewStart;
}

DWORD WINAPI GetLastError(void)
{
    record("GetLastError() = %u", lastError);
    return lastError;
}

void WINAPI SetLastError(DWORD code)
{
    record("SetLastError(%u)", code);
    lastError = code;
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer,
                            DWORD size, va_list *arguments)
{
    const Fault *f = fault("FormatMessageA");
    auto text = machine.errorTexts.find(id);
    DWORD error = f ? f->error : text == machine.errorTexts.end() ? ERROR_MR_MID_NOT_FOUND : 0;
    // The system allocates the text and stores its address where `buffer` points.
    if (!error)
        *(char **)buffer = strdup(text->second.c_str());
    DWORD length = error ? 0 : (DWORD)text->second.size();
    record("FormatMessageA(0x%x, %s, %u, 0x%x, %s, %u, %s) = %u%s", flags, nul(source, "src"), id,
           language, nul(buffer, "&text"), size, nul(arguments, "args"), length,
           failed(error).c_str());
    return length;
}

HANDLE WINAPI GetStdHandle(DWORD which)
{
    const Fault *f = fault("GetStdHandle");
    record("GetStdHandle(%d) = %s%s", (int)which, f ? "INVALID" : "stdout",
           failed(f ? f->error : 0).c_str());
    return f ? INVALID_HANDLE_VALUE : (HANDLE) "stdout";
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    const Fault *f = fault("GetConsoleScreenBufferInfo");
    DWORD error = f                                             ? f->error
                  : !machine.console || strcmp(name(console), "stdout") ? ERROR_INVALID_HANDLE
                                                                : 0;
    if (!error) {
        memset(info, 0, sizeof *info);
        info->dwCursorPosition.X = machine.cursorX;
        info->dwCursorPosition.Y = machine.cursorY;
    }
    record("GetConsoleScreenBufferInfo(%s, %s) = %d cursor=%d,%d%s", name(console),
           nul(info, "&info"), !error, machine.cursorX, machine.cursorY, failed(error).c_str());
    return !error;
}

UINT WINAPI SetErrorMode(UINT mode)
{
    record("SetErrorMode(%u) = 0", mode);
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
    record("_getch() = %d", key);
    return key;
}
