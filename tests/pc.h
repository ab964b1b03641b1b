// The technician's PC the tests start from, and the texts every run shows.
#ifndef TESTS_PC_H
#define TESTS_PC_H

#include "fake/fakewin.h"

#include "../src/imagewrite.h"
#include "../src/volume.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using fake::machine;

const std::string kBanner = "\n\n   QV ZK240R5 FWDISK Creation Utility 1.00   \n\n"
                            "Searching for removable drives...";
const std::string kList = "\n E: 3,997 MB\n F: 1.44 MB";
const std::string kPrompt = "\nEnter drive letter to be overwritten with FWDISK files : ";
const std::string kPause = "\n(press a key to exit)";
const std::string kDeclined = "\nNo valid drive letter entered, exiting...\n";

inline std::string success(char letter)
{
    return std::string("\n  Congratulations! You have successfully created a bootable FWDISK in drive ")
           + letter + ":\n";
}

// The screen through the answer to the confirmation prompt for `letter`.
inline std::string dialogue(char letter)
{
    return kBanner + kList + kPrompt + "\nOverwrite drive " + letter + ": (Y/N)?: \n";
}

inline std::string fatal(const std::string &message)
{
    return "\n                              \n*** " + message + " ***\n";
}

inline void fail(const char *call, int nth, DWORD error, DWORD shortBy = 0)
{
    machine.faults.push_back({call, nth, error, shortBy});
}

// The calls from `index` on.
inline std::vector<std::string> from(const fake::Run &run, int index)
{
    return {run.calls.begin() + index, run.calls.end()};
}

inline void type(const std::string &keys)
{
    machine.keys.assign(keys.begin(), keys.end());
}

// `code` bytes of stand-in program followed by an image whose bytes differ
// from their neighbours', so a shifted or partial copy shows.
inline std::string programFile(size_t code)
{
    std::string file(code + IMAGE_SIZE, '\xE0');
    for (size_t i = 0; i < IMAGE_SIZE; ++i)
        file[code + i] = (char)(i * 7 + i / 251);
    return file;
}

inline fake::Drive &addDrive(char letter, UINT type, const DISK_GEOMETRY &geometry)
{
    fake::Drive &d = machine.drive(letter);
    d.opens = true;
    d.type = type;
    d.geometry = geometry;
    return d;
}

// A: an empty diskette drive, C: a fixed disk, D: an optical drive, E: a
// 3,997 MB memory stick, F: a drive of exactly the image's size, G: one byte
// short of it, Z: a card reader without a card. 4,099 bytes of program come
// before the image. The cursor stands at the top left: every way out pauses.
inline void setUpPc()
{
    machine = fake::Machine();
    addDrive('A', DRIVE_REMOVABLE, {}).geometryBytes = 0;
    addDrive('C', DRIVE_FIXED, DISK_GEOMETRY{{60801}, FixedMedia, 255, 63, 512});
    addDrive('D', DRIVE_CDROM, DISK_GEOMETRY{{1400}, RemovableMedia, 64, 32, 2048});
    addDrive('E', DRIVE_REMOVABLE, DISK_GEOMETRY{{486}, RemovableMedia, 255, 63, 512});
    addDrive('F', DRIVE_REMOVABLE, DISK_GEOMETRY{{80}, F3_1Pt44_512, 2, 18, 512});
    addDrive('G', DRIVE_REMOVABLE, DISK_GEOMETRY{{1474559}, RemovableMedia, 1, 1, 1});
    addDrive('Z', DRIVE_REMOVABLE, {}).geometryBytes = 0;
    machine.programFile = programFile(4099);
    machine.errorTexts = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
        {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"},
    };
}

#endif
