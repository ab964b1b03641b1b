// Test stand-in for <windows.h> and <winioctl.h>: the types, constants and
// calls the program uses, with the sizes they have on 32-bit Windows where the
// program can tell (the geometry answer is 24 bytes). The calls are the
// scripted machine's (fakewin.cpp).
#ifndef FAKE_WINDOWS_H
#define FAKE_WINDOWS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#define WINAPI
typedef int BOOL;
typedef uint16_t WORD;
typedef uint32_t DWORD, *LPDWORD;
typedef int16_t SHORT;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef void *HANDLE, *HMODULE, *LPVOID, *LPOVERLAPPED, *LPSECURITY_ATTRIBUTES;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
// UTF-16, as on Windows: the program uses no wide literals or wide string
// functions of the C library, whose wchar_t is 32 bits here.
typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef union { LONGLONG QuadPart; } LARGE_INTEGER;
typedef struct { SHORT X, Y; } COORD;
typedef struct { COORD dwSize, dwCursorPosition; WORD wAttributes; } CONSOLE_SCREEN_BUFFER_INFO;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
constexpr DWORD FALSE = 0, TRUE = 1, MAX_PATH = 260, INVALID_FILE_SIZE = 0xFFFFFFFF, STD_OUTPUT_HANDLE = (DWORD)-11;
constexpr DWORD GENERIC_READ = 0x80000000, GENERIC_WRITE = 0x40000000, OPEN_EXISTING = 3;
constexpr DWORD FILE_SHARE_READ = 1, FILE_SHARE_WRITE = 2, FILE_ATTRIBUTE_READONLY = 1;
constexpr DWORD PAGE_READONLY = 2, FILE_MAP_READ = 4, SEM_FAILCRITICALERRORS = 1, LANG_NEUTRAL = 0, SUBLANG_DEFAULT = 1;
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100, FORMAT_MESSAGE_IGNORE_INSERTS = 0x200, FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr UINT DRIVE_UNKNOWN = 0, DRIVE_NO_ROOT_DIR = 1, DRIVE_REMOVABLE = 2, DRIVE_FIXED = 3, DRIVE_REMOTE = 4, DRIVE_CDROM = 5;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2, ERROR_ACCESS_DENIED = 5, ERROR_INVALID_HANDLE = 6, ERROR_NOT_READY = 21,
                ERROR_WRITE_FAULT = 29, ERROR_INSUFFICIENT_BUFFER = 122,
                ERROR_MR_MID_NOT_FOUND = 317, ERROR_INVALID_FLAGS = 1004, ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr UINT CP_ACP = 0, CP_UTF8 = 65001;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;

typedef enum { Unknown = 0, F3_1Pt44_512 = 2, F3_720_512 = 5, RemovableMedia = 11, FixedMedia = 12 } MEDIA_TYPE;

typedef struct {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    DWORD TracksPerCylinder, SectorsPerTrack, BytesPerSector;
} DISK_GEOMETRY;

constexpr DWORD IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000, FSCTL_LOCK_VOLUME = 0x90018,
               FSCTL_UNLOCK_VOLUME = 0x9001C, FSCTL_DISMOUNT_VOLUME = 0x90020;

HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL WINAPI DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
UINT WINAPI GetDriveTypeA(LPCSTR);
BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI CloseHandle(HANDLE);
HANDLE WINAPI CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR, DWORD);
DWORD WINAPI GetFileSize(HANDLE, LPDWORD);
HANDLE WINAPI CreateFileMappingA(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR);
LPVOID WINAPI MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, size_t);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD);
DWORD WINAPI FormatMessageW(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list *);
HANDLE WINAPI GetStdHandle(DWORD);
BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE, CONSOLE_SCREEN_BUFFER_INFO *);
BOOL WINAPI GetConsoleMode(HANDLE, LPDWORD);
BOOL WINAPI WriteConsoleW(HANDLE, const void *, DWORD, LPDWORD, LPVOID);
int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int);
int WINAPI WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, BOOL *);
UINT WINAPI SetErrorMode(UINT);

#endif
