// The scripted machine: the Win32 calls and _getch that the program makes,
// answered from fake::machine and logged; and the harness that forks a run.
#include "fakewin.h"

#include <conio.h>

#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>

int fwdisk_main(void);

// Sanitizer reports must not pass for the program's own exit code 1.
extern "C" const char *__asan_default_options() { return "exitcode=86:detect_leaks=0"; }
extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:exitcode=87"; }

namespace fake {

Machine machine;

namespace {

FILE *logFile, *writesFile;           // the child's call log and volume bytes
FILE *consoleFile;                    // "offset length" of each WriteConsoleW text on the screen
DWORD lastError;
std::map<std::string, int> callCount; // calls so far, by name
std::set<std::string> handles;        // the names of the handles given out
const char *view;                     // the mapped program file
size_t viewSize;
const char kStdout[] = "stdout";

// How the log shows an argument: a text quoted, its line ends as \n and \r
// (the log is a line a call), a number in decimal, a handle by its name,
// another pointer as & or NULL; flags come as hex().
std::string show(const char *s) {
    std::string quoted = "\"";
    for (; s && *s; ++s)
        quoted += *s == '\n' ? "\\n" : *s == '\r' ? "\\r" : std::string(1, *s);
    return s ? quoted + '"' : "NULL";
}
template <class T> std::enable_if_t<std::is_arithmetic_v<T>, std::string> show(T v) { return std::to_string(v); }
std::string show(const std::string &s) { return s; }
std::string show(const void *p) {
    for (const std::string &h : handles)
        if (h.c_str() == p)
            return h;
    return p == INVALID_HANDLE_VALUE ? "INVALID" : p == kStdout ? kStdout : p ? "&" : "NULL";
}
std::string hex(DWORD v) { return (std::ostringstream() << "0x" << std::hex << v).str(); }

// The iconv name of a code page; CP_ACP is the machine's ANSI one.
const char *charset(UINT codePage) {
    switch (codePage == CP_ACP ? machine.ansiCodePage : codePage) {
    case CP_UTF8: return "UTF-8";
    case 437: return "IBM437";
    case 866: return "IBM866";
    case 932: return "CP932";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    }
    abort();
}

// `in` from charset `from` to `to`; false when some of it does not convert.
bool iconvert(const std::string &in, const char *from, const char *to, std::string &out) {
    iconv_t cd = iconv_open(to, from);
    std::string buffer(4 * in.size() + 4, '\0');
    char *source = const_cast<char *>(in.data()), *target = &buffer[0];
    size_t left = in.size(), room = buffer.size();
    const bool ok = cd != (iconv_t)-1 && iconv(cd, &source, &left, &target, &room) != (size_t)-1;
    out.assign(&buffer[0], target);
    if (cd != (iconv_t)-1)
        iconv_close(cd);
    return ok;
}

// `bytes` of a code page in UTF-16; false when they are not all characters of it.
bool widen(UINT codePage, const std::string &bytes, std::u16string &wide) {
    std::string out;
    const bool ok = iconvert(bytes, charset(codePage), "UTF-16LE", out);
    wide.assign((const char16_t *)out.data(), out.size() / 2);
    return ok;
}

// Windows' best fit in the Western code page for a few Greek letters it
// lacks: a lookalike stands in, unless the caller asks for none.
char bestFit(UINT codePage, char16_t c) {
    const bool western = (codePage == CP_ACP ? machine.ansiCodePage : codePage) == 1252;
    return !western ? 0 : c == u'σ' ? 's' : c == u'τ' ? 't' : c == u'ε' ? 'e' : 0;
}

// UTF-16 in a code page, one character at a time: one it lacks becomes its
// best fit (when `fit`), else '?'.
std::string narrow(UINT codePage, const std::u16string &wide, bool fit = false) {
    std::string result, one;
    for (size_t i = 0; i < wide.size(); ++i) {
        const size_t units = (wide[i] & 0xFC00) == 0xD800 && i + 1 < wide.size() ? 2 : 1;
        const char fitted = fit ? bestFit(codePage, wide[i]) : 0;
        result += iconvert(std::string((const char *)&wide[i], 2 * units), "UTF-16LE", charset(codePage), one) ? one
                  : fitted                                                                                 ? std::string(1, fitted)
                                                                                                           : "?";
        i += units - 1;
    }
    return result;
}

// Logs a call as "Name(arguments) = result", with " err=N" when it sets the
// last error to N.
template <class... Args> void record(DWORD error, const std::string &result, const char *call, Args... args) {
    std::string line = call, separator = "(";
    ((line += separator + show(args), separator = ", "), ...);
    line += (sizeof...(args) ? ") = " : "() = ") + result + (error ? " err=" + std::to_string(error) : "");
    if (error)
        lastError = error;
    struct stat screen;
    if (logFile && fstat(STDOUT_FILENO, &screen) == 0)
        fprintf(logFile, "%ld\t%s\n", (long)screen.st_size, line.c_str());
}

// Counts the call; returns its fault, or null.
const Fault *fault(const char *call) {
    int n = ++callCount[call];
    for (const Fault &f : machine.faults)
        if (f.call == call && f.nth == n)
            return &f;
    return nullptr;
}

// A handle is its name, so that the log can show it.
HANDLE open(const std::string &name) { return (HANDLE)handles.insert(name).first->c_str(); }

std::string slurp(FILE *f) {
    std::string s(ftell(f), '\0');
    rewind(f);
    s.resize(fread(&s[0], 1, s.size(), f));
    fclose(f);
    return s;
}

} // namespace

std::string inCodePage(UINT codePage, const std::string &utf8) {
    std::u16string wide;
    widen(CP_UTF8, utf8, wide);
    return narrow(codePage, wide);
}

int Run::find(const std::string &prefix) const {
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0)
            return (int)i;
    return -1;
}

int Run::count(const std::string &prefix) const {
    return std::count_if(calls.begin(), calls.end(), [&](const std::string &c) { return c.rfind(prefix, 0) == 0; });
}

Run run() {
    FILE *screen = tmpfile(), *log = tmpfile(), *writes = tmpfile(), *console = tmpfile();
    fflush(stdout);
    if (fork() == 0) {
        dup2(fileno(screen), STDOUT_FILENO);
        setvbuf(logFile = log, nullptr, _IONBF, 0);
        setvbuf(writesFile = writes, nullptr, _IONBF, 0);
        setvbuf(consoleFile = console, nullptr, _IONBF, 0);
        callCount.clear(); // calls the tests made themselves leave nothing behind
        lastError = 0;
        exit(fwdisk_main());
    }
    Run r;
    wait(&r.exitCode);
    r.exitCode = WIFEXITED(r.exitCode) ? WEXITSTATUS(r.exitCode) : -WTERMSIG(r.exitCode);
    r.screen = slurp(screen);
    r.written = slurp(writes);
    // A console shows the bytes printed in its OEM code page; the text
    // WriteConsoleW gave, as it was given.
    if (machine.console) {
        auto printed = [&](size_t from, size_t to) {
            std::string text;
            iconvert(r.screen.substr(from, to - from), charset(machine.oemCodePage), "UTF-8", text);
            return text;
        };
        std::istringstream ranges(slurp(console));
        std::string shown;
        size_t done = 0, at, length;
        for (; ranges >> at >> length; done = at + length)
            shown += printed(done, at) + r.screen.substr(at, length);
        r.screen = shown + printed(done, r.screen.size());
    }
    std::string lines = slurp(log);
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
        size_t tab = lines.find('\t', at);
        r.screenAt.push_back(strtoul(&lines[at], nullptr, 10));
        r.calls.push_back(lines.substr(tab + 1, end - tab - 1));
    }
    return r;
}

} // namespace fake

using namespace fake;

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    const Fault *f = fault("CreateFileA");
    const char x = path[4];
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!f && strlen(path) == 6 && !strncmp(path, "\\\\.\\", 4) && path[5] == ':' && x >= 'A' && x <= 'Z'
        && machine.drive(x).opens)
        h = open(std::string("vol:") + x);
    record(h != INVALID_HANDLE_VALUE ? 0 : f ? f->error : ERROR_FILE_NOT_FOUND, show(h), "CreateFileA", path,
           hex(access), share, sa, disposition, flags, templateFile);
    return h;
}

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    const Fault *f = fault("CreateFileW");
    const std::string name = narrow(CP_UTF8, path);
    HANDLE h = !f && machine.programPath == name ? open("file") : INVALID_HANDLE_VALUE;
    record(h != INVALID_HANDLE_VALUE ? 0 : f ? f->error : ERROR_FILE_NOT_FOUND, show(h), "CreateFileW", show(name.c_str()),
           hex(access), share, sa, disposition, flags, templateFile);
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    const Fault *f = fault("DeviceIoControl");
    const Drive &d = machine.drive(show(device)[4]);
    DWORD error = f ? f->error : 0, count = 0;
    if (!error && code == IOCTL_DISK_GET_DRIVE_GEOMETRY)
        error = !d.geometryBytes ? ERROR_NOT_READY : outSize < sizeof d.geometry ? ERROR_INSUFFICIENT_BUFFER : 0;
    if (!error && code == IOCTL_DISK_GET_DRIVE_GEOMETRY)
        memcpy(out, &d.geometry, count = d.geometryBytes);
    if (returned)
        *returned = count;
    record(error, std::to_string(!error) + " n=" + std::to_string(count), "DeviceIoControl", device, hex(code), in,
           inSize, out, outSize, returned, overlapped);
    return !error;
}

UINT WINAPI GetDriveTypeA(LPCSTR root) {
    // A failed query answers DRIVE_UNKNOWN.
    UINT type = fault("GetDriveTypeA") ? DRIVE_UNKNOWN : DRIVE_NO_ROOT_DIR;
    if (type && root[0] >= 'A' && root[0] <= 'Z' && !strcmp(root + 1, ":\\"))
        type = machine.drive(root[0]).type;
    record(0, std::to_string(type), "GetDriveTypeA", root);
    return type;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    const Fault *f = fault("WriteFile");
    const size_t at = (const char *)buffer - view;
    if (!view || at > viewSize || count > viewSize - at) {
        record(0, "from outside the mapped program file", "WriteFile", file);
        _exit(91);
    }
    DWORD error = f && !f->shortBy ? f->error : 0;
    DWORD done = error ? 0 : f ? count - (f->shortBy < count ? f->shortBy : count) : count;
    fwrite(buffer, 1, done, writesFile);
    if (written)
        *written = done;
    record(error, std::to_string(!error) + " n=" + std::to_string(done), "WriteFile", file,
           "view+" + std::to_string(at), count, written, overlapped);
    return !error;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    const Fault *f = fault("CloseHandle");
    record(f ? f->error : 0, f ? "0" : "1", "CloseHandle", handle);
    return !f;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    const Fault *f = fault("GetModuleFileNameW");
    std::u16string path;
    widen(CP_UTF8, machine.programPath, path);
    // A path that does not fit fills the buffer with no terminator.
    DWORD copied = f ? 0 : path.size() < size ? (DWORD)path.size() : size;
    if (!f)
        memcpy(buffer, path.c_str(), 2 * (copied + (copied < size)));
    record(f ? f->error : copied == size ? ERROR_INSUFFICIENT_BUFFER : 0, std::to_string(copied),
           "GetModuleFileNameW", module, (void *)buffer, size);
    return copied;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high) {
    const Fault *f = fault("GetFileSize");
    DWORD size = f ? INVALID_FILE_SIZE : (DWORD)machine.programFile.size();
    record(f ? f->error : 0, std::to_string(size), "GetFileSize", file, high);
    return size;
}

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD maxHigh,
                                 DWORD maxLow, LPCSTR mappingName) {
    const Fault *f = fault("CreateFileMappingA");
    HANDLE h = f ? nullptr : open("map");
    record(f ? f->error : 0, show(h), "CreateFileMappingA", file, sa, protect, maxHigh, maxLow, mappingName);
    return h;
}

// The view ends right before an unreadable page: a read past the end of the
// program file faults at once.
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t length) {
    const Fault *f = fault("MapViewOfFile");
    if (!f) {
        const size_t page = sysconf(_SC_PAGESIZE), size = viewSize = machine.programFile.size();
        const size_t body = (size + page - 1) / page * page;
        char *base = (char *)mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        view = (char *)memcpy(base + body - size, machine.programFile.data(), size);
        mprotect(base + body, page, PROT_NONE);
    }
    record(f ? f->error : 0, f ? "NULL" : "view", "MapViewOfFile", mapping, access, offsetHigh, offsetLow, length);
    return f ? nullptr : (LPVOID)view;
}

DWORD WINAPI GetLastError(void) {
    record(0, std::to_string(lastError), "GetLastError");
    return lastError;
}

void WINAPI SetLastError(DWORD code) { record(0, "", "SetLastError", code), lastError = code; }

// The text in the display language, which need not be the ANSI code
// page's: UTF-16 keeps every letter.
DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR buffer,
                            DWORD size, va_list *arguments) {
    const Fault *f = fault("FormatMessageW");
    auto found = machine.errorTexts.find(id);
    DWORD error = f ? f->error : found == machine.errorTexts.end() ? ERROR_MR_MID_NOT_FOUND : 0;
    std::u16string text;
    if (!error)
        widen(CP_UTF8, found->second, text);
    // The system allocates the text and stores its address where `buffer` points.
    if (!error)
        *(char16_t **)buffer = (char16_t *)memcpy(calloc(text.size() + 1, 2), text.c_str(), 2 * text.size());
    record(error, std::to_string(text.size()), "FormatMessageW", hex(flags), source, id, hex(language), (void *)buffer,
           size, arguments);
    return text.size();
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    const Fault *f = fault("GetStdHandle");
    record(f ? f->error : 0, f ? "INVALID" : kStdout, "GetStdHandle", (int)which);
    return f ? INVALID_HANDLE_VALUE : (HANDLE)kStdout;
}

// The error of a console call on `handle`: none for standard output when it
// is a console.
DWORD consoleError(HANDLE handle) { return handle == kStdout && machine.console ? 0 : ERROR_INVALID_HANDLE; }

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO *info) {
    const Fault *f = fault("GetConsoleScreenBufferInfo");
    DWORD error = f ? f->error : consoleError(console);
    if (!error)
        *info = {{80, 300}, {machine.cursorX, machine.cursorY}, 7};
    record(error, error ? "0" : "1 cursor=" + std::to_string(machine.cursorX) + "," + std::to_string(machine.cursorY),
           "GetConsoleScreenBufferInfo", console, (void *)info);
    return !error;
}

BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
    const Fault *f = fault("GetConsoleMode");
    DWORD error = f ? f->error : consoleError(console);
    if (!error)
        *mode = 3; // processed output, wrap at the end of a line
    record(error, std::to_string(!error), "GetConsoleMode", console, (void *)mode);
    return !error;
}

// Shows the text on the screen in UTF-8, and notes where it stands there.
BOOL WINAPI WriteConsoleW(HANDLE console, const void *buffer, DWORD count, LPDWORD written, LPVOID reserved) {
    const Fault *f = fault("WriteConsoleW");
    DWORD error = f ? f->error : consoleError(console);
    const std::string text = narrow(CP_UTF8, std::u16string((const char16_t *)buffer, count));
    if (!error) {
        fprintf(consoleFile, "%ld %zu\n", (long)lseek(STDOUT_FILENO, 0, SEEK_END), text.size());
        if (write(STDOUT_FILENO, text.data(), text.size()) < 0)
            abort();
    }
    if (written)
        *written = error ? 0 : count;
    record(error, std::to_string(!error), "WriteConsoleW", console, show(text.c_str()), count, written, reserved);
    return !error;
}

// What a conversion that fails leaves in its output buffer: not to be relied
// on, so not left as it was.
const char kScribble = 'x';

// The error of a conversion's arguments that Windows refuses, or 0: flags
// beyond `allowed` (UTF-8 takes none of the program's), a length of its own
// or -1 for up to the terminator.
DWORD badArguments(DWORD flags, DWORD allowed, int length) {
    return flags & ~allowed ? ERROR_INVALID_FLAGS : length < -1 ? ERROR_INVALID_PARAMETER : 0;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR bytes, int length, LPWSTR wide, int room) {
    const Fault *f = fault("MultiByteToWideChar");
    std::u16string out;
    DWORD error = f ? f->error : badArguments(flags, 0, length);
    if (!error && !widen(codePage, std::string(bytes, length < 0 ? strlen(bytes) + 1 : length), out))
        error = ERROR_NO_UNICODE_TRANSLATION;
    if (!error && room && (int)out.size() > room)
        error = ERROR_INSUFFICIENT_BUFFER;
    if (!error && room)
        memcpy(wide, out.data(), 2 * out.size());
    else if (error)
        std::fill(wide, wide + room, kScribble);
    record(error, std::to_string(error ? 0 : out.size()), "MultiByteToWideChar", codePage, flags, show(bytes), length,
           (void *)wide, room);
    return error ? 0 : out.size();
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int length, LPSTR bytes, int room,
                               LPCSTR defaultChar, BOOL *usedDefault) {
    const Fault *f = fault("WideCharToMultiByte");
    const size_t units = length < 0 ? std::char_traits<char16_t>::length(wide) + 1 : length;
    const std::string out = narrow(codePage, std::u16string(wide, units), !(flags & WC_NO_BEST_FIT_CHARS));
    DWORD error = f ? f->error : badArguments(flags, codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, length);
    if (!error && room && (int)out.size() > room)
        error = ERROR_INSUFFICIENT_BUFFER;
    if (!error && room)
        memcpy(bytes, out.data(), out.size());
    else if (error)
        std::fill(bytes, bytes + room, kScribble);
    record(error, std::to_string(error ? 0 : out.size()), "WideCharToMultiByte", codePage, flags,
           show(narrow(CP_UTF8, std::u16string(wide, units)).c_str()), length, (void *)bytes, room, defaultChar,
           (void *)usedDefault);
    return error ? 0 : out.size();
}

UINT WINAPI SetErrorMode(UINT mode) { return record(0, "0", "SetErrorMode", mode), 0; }

int _getch(void) {
    if (machine.keys.empty()) {
        record(0, "no key left", "_getch");
        _exit(90);
    }
    int key = machine.keys.front();
    machine.keys.pop_front();
    record(0, std::to_string(key), "_getch");
    return key;
}
