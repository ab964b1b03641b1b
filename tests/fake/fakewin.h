// The scripted machine behind the test stand-ins for the Win32 calls.
//
// A test describes a machine (drives, keys, console, the program's own file,
// system error texts, faults), then runs the program against it in a child
// process (see harness.h). Every call the program makes is written to the
// call log with its arguments and result, one line each, in the order made.
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
    bool opens = false;                   // "\\.\X:" can be opened
    DWORD openError = ERROR_FILE_NOT_FOUND; // last error when it cannot
    UINT type = DRIVE_NO_ROOT_DIR;        // GetDriveTypeA of "X:\"
    bool hasGeometry = true;              // the geometry query succeeds
    DWORD geometryError = ERROR_NOT_READY; // last error when it does not
    DWORD geometryBytes = sizeof(DISK_GEOMETRY); // bytes the query returns
    DISK_GEOMETRY geometry{};
    bool locks = true;
    DWORD lockError = ERROR_ACCESS_DENIED;
};

// Makes the nth call (1-based; 0: every call) of a function fail with
// `error`. For WriteFile, `shortBy` > 0 instead makes the call succeed with
// that many bytes fewer written than asked.
struct Fault {
    std::string call;
    int nth = 1;
    DWORD error = ERROR_ACCESS_DENIED;
    DWORD shortBy = 0;
};

struct Machine {
    Drive drives[26];
    std::deque<int> keys;                 // what _getch returns, in order
    bool console = true;                  // standard output is a console
    SHORT cursorX = 0, cursorY = 0;       // its cursor at start
    std::string programPath = "C:\\Tools\\fwdisk.exe";
    std::vector<unsigned char> programFile; // the bytes of that file
    std::map<DWORD, std::string> errorTexts; // absent: no system text
    std::vector<Fault> faults;

    Drive &drive(char letter) { return drives[letter - 'A']; }
};

// The machine that the next run uses; the child process gets its own copy.
extern Machine machine;

// Geometry of a medium of cylinders x tracks x sectors x bytes.
DISK_GEOMETRY geometry(LONGLONG cylinders, MEDIA_TYPE media, DWORD tracks,
                       DWORD sectors, DWORD bytesPerSector);

// Sets up the fake in the child: where the log and written bytes go.
void attach(int logFd, int writesFd);
// Logs the handles still open at process end (registered with atexit).
void logOpenHandlesAtExit();

// Exit codes by which the fake stops a run that went where no run may.
enum {
    EXIT_NO_KEY = 90,         // a key was read that the user never typed
    EXIT_OUTSIDE_VIEW = 91,   // a write from outside the mapped program file
};

} // namespace fake

#endif
