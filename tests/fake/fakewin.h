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
#include <set>
#include <string>
#include <vector>

namespace fake {

struct Drive {
    bool opens = false;                         // "\\.\X:" can be opened
    UINT type = DRIVE_NO_ROOT_DIR;              // GetDriveTypeA of "X:\"
    DISK_GEOMETRY geometry{};
    DWORD geometryBytes = sizeof(DISK_GEOMETRY); // 0: no medium, the query fails
};

// Fails the nth call (1-based; 0: every call) of `call` with `error`; for
// WriteFile, `shortBy` > 0 instead writes that many bytes fewer.
struct Fault {
    std::string call;
    int nth;
    DWORD error;
    DWORD shortBy;
};

struct Machine {
    Drive drives[26];
    std::deque<int> keys;                       // what _getch returns, in order
    bool console = true;                        // standard output is a console
    SHORT cursorX = 0, cursorY = 0;             // its cursor at start
    std::string programPath = "C:\\Tools\\fwdisk.exe";
    std::string programFile;                    // that file's bytes
    std::map<DWORD, std::string> errorTexts;    // absent: no system text
    std::vector<Fault> faults;

    Drive &drive(char letter) { return drives[letter - 'A']; }
};

extern Machine machine; // the next run's; the child gets its own copy

// Exit codes by which the fake stops a run that went where no run may.
enum { EXIT_NO_KEY = 90, EXIT_OUTSIDE_VIEW = 91 };

struct Run {
    int exitCode;                   // or -signal
    std::string screen;             // everything printed to standard output
    std::vector<std::string> calls; // "Name(arguments) = result"
    std::vector<size_t> screenAt;   // the screen's length at each call
    std::string written;            // the bytes written to volumes

    // The first call that starts with `prefix`, or -1.
    int find(const std::string &prefix) const;
    int count(const std::string &prefix) const;
};

Run run();

} // namespace fake

#endif
