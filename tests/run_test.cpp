// The imaging run as the user sees it: screen, exit code, calls, bytes.
#include "machines.h"

#include "../src/volume.h"

#include <string>
#include <vector>

using fake::machine;

namespace {

// The calls made after the dialogue, from the run's own open of the volume.
std::vector<std::string> runCalls(const RunResult &run)
{
    int confirm = run.find("_getch", run.find("_getch") + 1);
    return std::vector<std::string>(run.calls.begin() + confirm + 1, run.calls.end());
}

} // namespace

TEST_F(ProgramTest, WritesTheImageAndWaitsForAKeyInItsOwnWindow)
{
    typeKeys("ey ");
    RunResult run = runProgram();

    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(dialogue('E') + kSuccessE + kPause, run.screen);
    EXPECT_EQ(imageOf(machine.programFile), run.written);
    EXPECT_EQ(3u, run.callsTo("_getch").size());

    std::vector<std::string> expected = {
        R"(CreateFileA("\\.\E:", 0xc0000000, 0x3, NULL, 3, 0x0, NULL) = vol:E)",
        "DeviceIoControl(vol:E, FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &n, NULL) = 1 n=0",
        "GetModuleFileNameA(NULL, buf, 260) = 19",
        R"(CreateFileA("C:\Tools\fwdisk.exe", 0x80000000, 0x1, NULL, 3, 0x1, NULL) = file)",
        "GetFileSize(file, NULL) = 1478659",
        "CreateFileMappingA(file, NULL, 0x2, 0, 0, NULL) = map",
        "MapViewOfFile(map, 0x4, 0, 0, 0) = view",
        "WriteFile(vol:E, view+4099, 1474560, &n, NULL) = 1 n=1474560",
        "DeviceIoControl(vol:E, FSCTL_DISMOUNT_VOLUME, NULL, 0, NULL, 0, &n, NULL) = 1 n=0",
        "DeviceIoControl(vol:E, FSCTL_UNLOCK_VOLUME, NULL, 0, NULL, 0, &n, NULL) = 1 n=0",
        "CloseHandle(vol:E) = 1",
        "CloseHandle(file) = 1",
        "_getch() = 32",
    };
    EXPECT_EQ(expected, runCalls(run));
    // The view and the mapping live until the process ends.
    EXPECT_EQ("[map]", run.openAtExit);
}

TEST_F(ProgramTest, DecidesThePauseBeforePrintingAndScansEveryLetterInOrder)
{
    typeKeys("n ");
    RunResult run = runProgram();

    ASSERT_GE(run.calls.size(), 4u);
    EXPECT_EQ("GetStdHandle(-11) = stdout", run.calls[0]);
    EXPECT_EQ("GetConsoleScreenBufferInfo(stdout, &info) = 1 cursor=0,0", run.calls[1]);
    EXPECT_EQ("", run.screenBefore(1));
    EXPECT_EQ("SetErrorMode(1) = 0", run.calls[2]);

    std::vector<std::string> opens = run.callsTo("CreateFileA");
    ASSERT_EQ(26u, opens.size());
    for (int i = 0; i < 26; ++i)
        EXPECT_EQ(0u, opens[i].find(std::string("CreateFileA(\"\\\\.\\") + (char)('A' + i)
                                    + ":\", 0xc0000000, 0x3, NULL, 3, 0x0, NULL)"))
            << opens[i];
    // Everything printed so far is on the screen when the drives are touched.
    EXPECT_EQ(kBanner, run.screenBefore(run.find("CreateFileA")));
}

TEST_F(ProgramTest, ListsOnlyRemovableMediaThatHoldTheImage)
{
    // A removable drive with a medium of unknown type, one that reports a
    // fixed disk, a network share, and a medium of zero cylinders.
    addDrive('H', DRIVE_REMOVABLE, fake::geometry(1000, Unknown, 255, 63, 512));
    addDrive('I', DRIVE_REMOVABLE, fake::geometry(1000, FixedMedia, 255, 63, 512));
    addDrive('N', DRIVE_REMOTE, fake::geometry(100000, RemovableMedia, 255, 63, 512));
    addDrive('Z', DRIVE_REMOVABLE, fake::geometry(0, RemovableMedia, 255, 63, 512));
    fake::Drive &r = machine.drive('R');   // removable, but it cannot be opened
    r.type = DRIVE_REMOVABLE;
    r.openError = ERROR_ACCESS_DENIED;
    typeKeys("q");  // not confirmed
    typeKeys("n ");
    RunResult run = runProgram();

    EXPECT_EQ(std::string(kBanner) + kList + kLetterPrompt + "\nOverwrite drive Q: (Y/N)?: \n"
                  "\nNo valid drive letter entered, exiting...\n" + kPause,
              run.screen);
    // Every volume that opened is asked for its geometry, then its type,
    // then closed before the next letter is tried.
    for (char x = 'A'; x <= 'Z'; ++x) {
        std::string open = std::string("CreateFileA(\"\\\\.\\") + x + ":\"";
        int at = run.find(open);
        ASSERT_GE(at, 0);
        if (!machine.drive(x).opens) {
            EXPECT_EQ(0u, run.calls[at + 1].find("CreateFileA")) << run.calls[at + 1];
            continue;
        }
        std::string vol = std::string("vol:") + x;
        EXPECT_EQ(0u, run.calls[at + 1].find("DeviceIoControl(" + vol
                                             + ", IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0, out, 24, &n, NULL)"));
        EXPECT_EQ(std::string("GetDriveTypeA(\"") + x + ":\\\")", run.calls[at + 2].substr(0, 20));
        EXPECT_EQ("CloseHandle(" + vol + ") = 1", run.calls[at + 3]);
    }
    EXPECT_EQ(-1, run.find("GetDriveTypeA(\"R"));
    EXPECT_EQ(1, run.exitCode);
}

TEST_F(ProgramTest, AnEmptyListStillAsksAndAnyLetterCanBeChosen)
{
    for (fake::Drive &d : machine.drives)
        d = fake::Drive();
    machine.drive('K').opens = true;   // a drive that hides its type
    machine.drive('K').type = DRIVE_UNKNOWN;
    typeKeys("kY");
    RunResult run = runProgram();

    EXPECT_EQ(std::string(kBanner) + kLetterPrompt + "\nOverwrite drive K: (Y/N)?: \n"
                  "\n  Congratulations! You have successfully created a bootable FWDISK in drive K:\n"
                  + kPause,
              run.screen);
    EXPECT_EQ(90, run.exitCode);   // it waited for the exit key, none was typed
    EXPECT_EQ(imageOf(machine.programFile), run.written);
}

TEST_F(ProgramTest, WithTheCursorElsewhereNoWayOutWaits)
{
    struct Case { const char *name; std::string keys; int code; };
    const Case cases[] = {
        {"success", "Ey", 0},
        {"declined", "eN", 1},
        {"not a letter", "7", 1},
    };
    for (const Case &c : cases) {
        setUpPc();
        machine.cursorY = 3;
        typeKeys(c.keys);
        RunResult run = runProgram();
        EXPECT_EQ(c.code, run.exitCode) << c.name;
        EXPECT_EQ(std::string::npos, run.screen.find("press a key")) << c.name;
        EXPECT_EQ(c.keys.size(), run.callsTo("_getch").size()) << c.name;
    }
    // Fatal reports do not wait either.
    setUpPc();
    machine.cursorX = 1;
    machine.drive('E').locks = false;
    typeKeys("ey");
    RunResult run = runProgram();
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(dialogue('E') + fatal("Error locking drive E: Access is denied"), run.screen);
}

TEST_F(ProgramTest, WithoutAConsoleCursorTheRunNeverWaits)
{
    machine.console = false;
    typeKeys("ey");
    RunResult run = runProgram();
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(dialogue('E') + kSuccessE, run.screen);

    setUpPc();
    fail("GetStdHandle", 1, ERROR_INVALID_HANDLE);
    typeKeys("5");
    run = runProgram();
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(std::string(kBanner) + kList + kLetterPrompt + "\n"
                  "\nNo valid drive letter entered, exiting...\n",
              run.screen);
}

TEST_F(ProgramTest, KeysThatAreNotALetterOrNotYesEndTheRunUntouched)
{
    struct Case { std::vector<int> keys; bool confirmAsked; };
    const Case cases[] = {
        {{'3'}, false}, {{'?'}, false}, {{'\r'}, false}, {{27}, false},
        {{'e', 'n'}, true}, {{'E', 'N'}, true}, {{'e', '\r'}, true},
        {{'e', 27}, true}, {{'e', 'j'}, true},
    };
    for (const Case &c : cases) {
        setUpPc();
        machine.keys.assign(c.keys.begin(), c.keys.end());
        machine.keys.push_back(' ');
        RunResult run = runProgram();
        std::string expected = std::string(kBanner) + kList + kLetterPrompt + "\n"
                               + (c.confirmAsked ? "Overwrite drive E: (Y/N)?: \n" : "")
                               + "\nNo valid drive letter entered, exiting...\n" + kPause;
        EXPECT_EQ(expected, run.screen) << c.keys[0];
        EXPECT_EQ(1, run.exitCode);
        EXPECT_EQ(c.keys.size() + 1, run.callsTo("_getch").size());
        EXPECT_EQ(26u, run.callsTo("CreateFileA").size());   // the scan's opens only
        EXPECT_TRUE(run.written.empty());
        EXPECT_EQ("[]", run.openAtExit);
    }
}

TEST_F(ProgramTest, AnExtendedKeyAnswersNoAndItsSecondCodeEndsThePause)
{
    for (int prefix : {0, 224}) {
        setUpPc();
        machine.keys = {prefix, 72};   // Up, or F1 for 0 then 59
        RunResult run = runProgram();
        EXPECT_EQ(std::string(kBanner) + kList + kLetterPrompt + "\n"
                      "\nNo valid drive letter entered, exiting...\n" + kPause,
                  run.screen);
        EXPECT_EQ(1, run.exitCode);

        setUpPc();
        machine.keys = {'e', prefix, 59};
        run = runProgram();
        EXPECT_EQ(1, run.exitCode);
        EXPECT_EQ(3u, run.callsTo("_getch").size());
        EXPECT_TRUE(run.written.empty());
    }
}

TEST_F(ProgramTest, PromptsAreOnTheScreenBeforeEachKeyIsRead)
{
    typeKeys("fy ");
    RunResult run = runProgram();
    int first = run.find("_getch");
    int second = run.find("_getch", first + 1);
    int third = run.find("_getch", second + 1);
    ASSERT_GT(third, 0);
    EXPECT_EQ(std::string(kBanner) + "\n E: 3,997 MB\n F: 1.44 MB" + kLetterPrompt,
              run.screenBefore(first));
    EXPECT_EQ(std::string(kBanner) + kList + kLetterPrompt + "\nOverwrite drive F: (Y/N)?: ",
              run.screenBefore(second));
    EXPECT_EQ(run.screen, run.screenBefore(third));
    // The confirmed volume is opened only after the answer's line feed shows.
    int open = run.find("CreateFileA(\"\\\\.\\F:\"", second);
    EXPECT_EQ(dialogue('F'), run.screenBefore(open));
}

TEST_F(ProgramTest, WritesExactlyTheLastImageSizeBytesWhereverTheyStart)
{
    for (size_t code : {size_t(0), size_t(1), size_t(12345), size_t(65536 + 3)}) {
        setUpPc();
        machine.programFile = programFile(code);
        machine.programFile[code] = 0xEB;   // the image's first byte
        typeKeys("ey ");
        RunResult run = runProgram();
        EXPECT_EQ(0, run.exitCode) << code;
        ASSERT_EQ(IMAGE_SIZE, run.written.size()) << code;
        EXPECT_EQ(imageOf(machine.programFile), run.written) << code;
        EXPECT_EQ("WriteFile(vol:E, view+" + std::to_string(code) + ", 1474560, &n, NULL) = 1 n=1474560",
                  run.callsTo("WriteFile").at(0));
    }
}
