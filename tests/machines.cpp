#include "machines.h"

const char *const kBanner =
    "\n\n   QV ZK240R5 FWDISK Creation Utility 1.00   \n\n"
    "Searching for removable drives...";
const char *const kLetterPrompt = "\nEnter drive letter to be overwritten with FWDISK files : ";

fake::Drive &addDrive(char letter, UINT type, const DISK_GEOMETRY &geometry)
{
    fake::Drive &d = fake::machine.drive(letter);
    d.opens = true;
    d.type = type;
    d.geometry = geometry;
    return d;
}

void setUpPc()
{
    using fake::geometry;
    fake::machine = fake::Machine();
    fake::Machine &m = fake::machine;

    addDrive('A', DRIVE_REMOVABLE, DISK_GEOMETRY{}).hasGeometry = false;
    addDrive('C', DRIVE_FIXED, geometry(60801, FixedMedia, 255, 63, 512));
    addDrive('D', DRIVE_CDROM, geometry(1400, RemovableMedia, 64, 32, 2048));
    addDrive('E', DRIVE_REMOVABLE, geometry(486, RemovableMedia, 255, 63, 512));
    addDrive('F', DRIVE_REMOVABLE, geometry(80, F3_1Pt44_512, 2, 18, 512));
    addDrive('G', DRIVE_REMOVABLE, geometry(1474559, RemovableMedia, 1, 1, 1));

    m.programFile = programFile(4099);
    m.errorTexts[ERROR_FILE_NOT_FOUND] = "The system cannot find the file specified.\r\n";
    m.errorTexts[ERROR_ACCESS_DENIED] = "Access is denied.\r\n";
    m.errorTexts[ERROR_NOT_ENOUGH_MEMORY] =
        "Not enough memory resources are available to process this command.\r\n";
    m.errorTexts[ERROR_NOT_READY] = "The device is not ready.\r\n";
    m.errorTexts[ERROR_WRITE_FAULT] = "The system cannot write to the specified device.\r\n";
}

const std::string kList = "\n E: 3,997 MB\n F: 1.44 MB";
const std::string kPause = "\n(press a key to exit)";
const std::string kSuccessE =
    "\n  Congratulations! You have successfully created a bootable FWDISK in drive E:\n";

std::string dialogue(char letter)
{
    return std::string(kBanner) + kList + kLetterPrompt + "\n" + "Overwrite drive "
           + letter + ": (Y/N)?: \n";
}

std::string fatal(const std::string &message)
{
    return "\n                              \n*** " + message + " ***\n";
}

void fail(const char *call, int nth, DWORD error, DWORD shortBy)
{
    fake::Fault f;
    f.call = call;
    f.nth = nth;
    f.error = error;
    f.shortBy = shortBy;
    fake::machine.faults.push_back(f);
}
