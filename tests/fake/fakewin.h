// The scripted machine behind the stand-in Win32 headers, and the harness
// that runs the program's main against it in a child process. Every call the
// program makes is logged with its arguments and result, in order, with the
// length of the screen when it was made.
#ifndef FAKE_FAKEWIN_H
#define FAKE_FAKEWIN_H

#include <windows.h>
#include <winioctl.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct Drive {
    bool opens;                 // "\\.\X:" can be opened
    UINT type;                  // GetDriveTypeA of "X:\"
    DISK_GEOMETRY geometry;
    DWORD geometryBytes;        // what the geometry query returns; 0: it fails (no medium)
};

// Fails the nth call (from 1) of `call` with `error`; for
// WriteFile, `shortBy` > 0 instead writes that many bytes fewer.
struct Fault {
    std::string call;
    int nth;
    DWORD error, shortBy;
};

struct Machine {
    Drive drives[26];                        // at first none opens
    std::deque<int> keys;                    // what _getch returns, in order
    bool console = true;                     // false: standard output is a file
    SHORT cursorX = 0, cursorY = 0;          // the console's cursor at start
    UINT ansiCodePage = 1252, oemCodePage = 437; // the console shows bytes in the OEM one
    std::string programPath = "C:\\Tools\\fwdisk.exe"; // UTF-8, any character
    std::string programFile;                 // that file's bytes
    std::map<DWORD, std::string> errorTexts; // UTF-8, in the display language of any script; absent: no text
    std::vector<Fault> faults;

    Drive &drive(char letter) { return drives[letter - 'A']; }
};

extern Machine machine; // the next run's; the child gets its own copy

struct Run {
    int exitCode;                   // or -signal; 90: a key read that was never typed,
                                    // 91: a write from outside the mapped program file
    std::string screen;             // everything printed to standard output, in UTF-8 as a
                                    // console shows it; bytes as they are in a file
    std::vector<std::string> calls; // "Name(arguments) = result"
    std::vector<size_t> screenAt;   // the screen's length at each call
    std::string written;            // the bytes written to volumes

    int find(const std::string &prefix) const; // the first call so starting, or -1
    int count(const std::string &prefix) const;
};

Run run();

// `utf8` in code page `codePage`, a character it lacks as '?'.
std::string inCodePage(UINT codePage, const std::string &utf8);

} // namespace fake

#endif
