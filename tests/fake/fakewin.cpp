// The scripted machine: the Win32 calls and _getch that the program makes,
// driven by fake::machine and logged one line a call; and the harness that
// runs main in a child process against it.
#include "fakewin.h"

#include <conio.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

int fwdisk_main(void);

// Sanitizer reports must not pass for the program's own exit code 1.
extern "C" const char *__asan_default_options() { return "exitcode=86:detect_leaks=0"; }
extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:exitcode=87"; }

namespace fake {

Machine machine;

namespace {

FILE *logFile;                         // "screen length TAB call" lines
FILE *writesFile;                      // the bytes written to volumes
DWORD lastError;
std::map<std::string, int> callCount;  // calls made so far, by name
std::map<std::string, int> openCount;  // handles open, by name
const char *view;                      // the mapped program file
const char kStdout[] = "stdout";       // the console's handle
size_t viewSize;

void record(const char *format, ...)
{
    char line[1024];
    struct stat screen;
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (logFile && fstat(STDOUT_FILENO, &screen) == 0)
        fprintf(logFile, "%ld\t%s\n", (long)screen.st_size, line);
}

// Counts the call; returns the fault that applies to it, or null.
const Fault *fault(const char *call)
{
    int n = ++callCount[call];
    for (const Fault &f : machine.faults)
        if (f.call == call && (f.nth == 0 || f.nth == n))
            return &f;
    return nullptr;
}

// A handle is its name, so that the log can show it.
HANDLE open(const std::string &name)
{
    ++openCount[name];
    return strdup(name.c_str());
}

const char *name(HANDLE h)
{
    return h == INVALID_HANDLE_VALUE ? "INVALID" : h ? (const char *)h : "NULL";
}

bool isOpen(HANDLE h, const char *prefix)
{
    return h && h != INVALID_HANDLE_VALUE && openCount[name(h)] > 0
           && strncmp(name(h), prefix, strlen(prefix)) == 0;
}

const char *nul(const void *p, const char *what) { return p ? what : "NULL"; }

// Sets the last error when there is one; returns it for the log.
std::string failed(DWORD error)
{
    if (error)
        lastError = error;
    return error ? " err=" + std::to_string(error) : "";
}

std::string slurp(FILE *f)
{
    fseek(f, 0, SEEK_END);
    std::string s(ftell(f), '\0');
    rewind(f);
    if (fread(&s[0], 1, s.size(), f) != s.size())
        abort();
    return s;
}

void logOpenHandles()
{
    std::string open;
    for (const auto &h : openCount)
        for (int i = 0; i < h.second; ++i)
            open += (open.empty() ? "" : " ") + h.first;
    record("open=[%s]", open.c_str());
}

} // namespace

int Run::find(const std::string &prefix, size_t from) const
{
    for (size_t i = from; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0)
            return (int)i;
    return -1;
}

int Run::count(const std::string &prefix) const
{
    int n = 0;
    for (const std::string &c : calls)
        n += c.rfind(prefix, 0) == 0;
    return n;
}

Run run()
{
    FILE *screen = tmpfile(), *log = tmpfile(), *writes = tmpfile();
    fflush(stdout);
    if (fork() == 0) {
        dup2(fileno(screen), STDOUT_FILENO);
        logFile = log;
        writesFile = writes;
        setvbuf(log, nullptr, _IONBF, 0);
        setvbuf(writes, nullptr, _IONBF, 0);
        callCount.clear();
        openCount.clear();
        atexit(logOpenHandles);
        exit(fwdisk_main());
    }
    int status = 0;
    wait(&status);
    Run r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    r.screen = slurp(screen);
    r.written = slurp(writes);
    std::string lines = slurp(log);
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
        size_t tab = lines.find('\t', at);
        r.screenAt.push_back(strtoul(&lines[at], nullptr, 10));
        r.calls.push_back(lines.substr(tab + 1, end - tab - 1));
    }
    if (!r.calls.empty() && r.calls.back().rfind("open=", 0) == 0) {
        r.openAtExit = r.calls.back().substr(5);
        r.calls.pop_back();
        r.screenAt.pop_back();
    }
    for (FILE *f : {screen, log, writes})
        fclose(f);
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
    const char x = path[4];
    if (f) {
        error = f->error;
    } else if (strlen(path) == 6 && !strncmp(path, "\\\\.\\", 4) && x >= 'A' && x <= 'Z' && path[5] == ':') {
        error = machine.drive(x).opens ? 0 : machine.drive(x).openError;
        if (!error)
            h = open(std::string("vol:") + x);
    } else if (machine.programPath == path) {
        error = 0;
        h = open("file");
    }
    record("CreateFileA(\"%s\", 0x%x, 0x%x, %s, %u, 0x%x, %s) = %s%s", path, access, share,
           nul(sa, "sa"), disposition, flags, nul(templateFile, "tmpl"), name(h), failed(error).c_str());
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    const Fault *f = fault("DeviceIoControl");
    const bool geometry = code == IOCTL_DISK_GET_DRIVE_GEOMETRY;
    DWORD error = f ? f->error : !isOpen(device, "vol:") ? ERROR_INVALID_HANDLE : 0, count = 0;
    if (!error) {
        const Drive &d = machine.drive(name(device)[4]);
        if (geometry && !d.hasGeometry)
            error = ERROR_NOT_READY;
        else if (geometry && outSize >= sizeof(DISK_GEOMETRY))
            memcpy(out, &d.geometry, count = d.geometryBytes);
        else if (geometry || (code == FSCTL_LOCK_VOLUME && !d.locks))
            error = geometry ? ERROR_INSUFFICIENT_BUFFER : ERROR_ACCESS_DENIED;
    }
    if (returned)
        *returned = count;
    record("DeviceIoControl(%s, 0x%x, %s, %u, %s, %u, %s, %s) = %d n=%u%s", name(device), code,
           nul(in, "in"), inSize, nul(out, "out"), outSize, nul(returned, "&n"),
           nul(overlapped, "ovl"), !error, count, failed(error).c_str());
    return !error;
}

UINT WINAPI GetDriveTypeA(LPCSTR root)
{
    // A failed query answers DRIVE_UNKNOWN.
    UINT type = fault("GetDriveTypeA") ? DRIVE_UNKNOWN : DRIVE_NO_ROOT_DIR;
    if (type && root[0] >= 'A' && root[0] <= 'Z' && !strcmp(root + 1, ":\\"))
        type = machine.drive(root[0]).type;
    record("GetDriveTypeA(\"%s\") = %u", root, type);
    return type;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    const Fault *f = fault("WriteFile");
    const size_t at = (const char *)buffer - view;
    if (!view || at > viewSize || count > viewSize - at) {
        record("WriteFile(%s) = from outside the mapped program file", name(file));
        _exit(EXIT_OUTSIDE_VIEW);
    }
    DWORD error = f && !f->shortBy ? f->error : isOpen(file, "vol:") ? 0 : ERROR_INVALID_HANDLE;
    DWORD done = error ? 0 : f ? count - (f->shortBy < count ? f->shortBy : count) : count;
    fwrite(buffer, 1, done, writesFile);
    if (written)
        *written = done;
    record("WriteFile(%s, view+%zu, %u, %s, %s) = %d n=%u%s", name(file), at, count,
           nul(written, "&n"), nul(overlapped, "ovl"), !error, done, failed(error).c_str());
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
    DWORD error = f ? f->error : 0;
    DWORD size = error ? INVALID_FILE_SIZE : (DWORD)machine.programFile.size();
    if (high)
        *high = 0;
    record("GetFileSize(%s, %s) = %u%s", name(file), nul(high, "&high"), size, failed(error).c_str());
    return size;
}

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD maxHigh,
                                 DWORD maxLow, LPCSTR mappingName)
{
    const Fault *f = fault("CreateFileMappingA");
    // An empty file cannot be mapped.
    DWORD error = f ? f->error : machine.programFile.empty() ? ERROR_FILE_INVALID : 0;
    HANDLE h = error ? nullptr : open("map");
    record("CreateFileMappingA(%s, %s, 0x%x, %u, %u, %s) = %s%s", name(file), nul(sa, "sa"), protect,
           maxHigh, maxLow, nul(mappingName, "name"), name(h), failed(error).c_str());
    return h;
}

// The view ends right before an unreadable page, so that a read past the
// end of the program file faults at once.
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t length)
{
    const Fault *f = fault("MapViewOfFile");
    DWORD error = f ? f->error : 0;
    if (!error) {
        const size_t page = sysconf(_SC_PAGESIZE), size = machine.programFile.size();
        const size_t body = (size + page - 1) / page * page;
        char *base = (char *)mmap(nullptr, body + page, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        memcpy(base + body - size, machine.programFile.data(), size);
        mprotect(base + body, page, PROT_NONE);
        view = base + body - size;
        viewSize = size;
    }
    record("MapViewOfFile(%s, 0x%x, %u, %u, %zu) = %s%s", name(mapping), access, offsetHigh, offsetLow,
           length, error ? "NULL" : "view", failed(error).c_str());
    return error ? nullptr : (LPVOID)view;
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
           language, nul(buffer, "&text"), size, nul(arguments, "args"), length, failed(error).c_str());
    return length;
}

HANDLE WINAPI GetStdHandle(DWORD which)
{
    const Fault *f = fault("GetStdHandle");
    record("GetStdHandle(%d) = %s%s", (int)which, f ? "INVALID" : "stdout", failed(f ? f->error : 0).c_str());
    return f ? INVALID_HANDLE_VALUE : (HANDLE)kStdout;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info)
{
    const Fault *f = fault("GetConsoleScreenBufferInfo");
    DWORD error = f ? f->error : machine.console && console == kStdout ? 0 : ERROR_INVALID_HANDLE;
    if (!error)
        *info = {{80, 300}, {machine.cursorX, machine.cursorY}, 7};
    record("GetConsoleScreenBufferInfo(%s, %s) = %d cursor=%d,%d%s", name(console), nul(info, "&info"),
           !error, machine.cursorX, machine.cursorY, failed(error).c_str());
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
