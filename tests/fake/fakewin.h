// The scripted machine behind the stand-in Win32 headers, and the harness
// that runs the program's main against it.
//
// A test describes a machine (drives, keys, console, the program's own file,
// system error texts, faults), then runs main in a child process. Every call
// the program makes is logged with its arguments and result, in order, with
// how much of the screen was printed when it was made.
#ifndef FAKE_FAKEWIN_H
#define FAKE_FAKEWIN_H

#include <windows.h>
#include <winioctl.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace fake {

// One drive letter as the system sees it.
struct Drive {
    bool opens = false;                    // "\\.\X:" can be opened
    DWORD openError = ERROR_FILE_NOT_FOUND;
    UINT type = DRIVE_NO_ROOT_DIR;         // GetDriveTypeA of "X:\"
    bool hasGeometry = true;               // the geometry query succeeds
    DWORD geometryBytes = sizeof(DISK_GEOMETRY); // bytes it returns
    DISK_GEOMETRY geometry{};
    bool locks = true;
};

// Makes the nth call (1-based; 0: every call) of `call` fail with `error`;
// for WriteFile, `shortBy` > 0 instead writes that many bytes fewer.
struct Fault {
    std::string call;
    int nth;
    DWORD error;
    DWORD shortBy;
};

struct Machine {
    Drive drives[26];
    std::deque<int> keys;                  // what _getch returns, in order
    bool console = true;                   // standard output is a console
    SHORT cursorX = 0, cursorY = 0;        // its cursor at start
    std::string programPath = "C:\\Tools\\fwdisk.exe";
    std::string programFile;               // that file's bytes
    std::map<DWORD, std::string> errorTexts; // absent: no system text
    std::vector<Fault> faults;

    Drive &drive(char letter) { return drives[letter - 'A']; }
};

// The machine the next run uses; the child gets its own copy.
extern Machine machine;

DISK_GEOMETRY geometry(LONGLONG cylinders, MEDIA_TYPE media, DWORD tracks,
                       DWORD sectors, DWORD bytesPerSector);

// Exit codes by which the fake stops a run that went where no run may.
enum { EXIT_NO_KEY = 90, EXIT_OUTSIDE_VIEW = 91 };

struct Run {
    int exitCode = -1;              // or -signal
    std::string screen;             // everything printed to standard output
    std::vector<std::string> calls; // one entry a call
    std::vector<size_t> screenAt;   // screen length when each call was made
    std::string written;            // bytes written to volumes, in order
    std::string openAtExit;         // handles left open at process end

    // Index of the first call starting with `prefix` at or after `from`, or -1.
    int find(const std::string &prefix, size_t from = 0) const;
    // How many calls start with `prefix`.
    int count(const std::string &prefix) const;
    // The calls from index `from` on.
    std::vector<std::string> from(int index) const;
};

// Runs main once against `machine`, in a child process.
Run run();

} // namespace fake

#endif
