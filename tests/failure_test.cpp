// Each way the run can fail after the confirmation: what it closes, what it
// says, and that nothing reports success without the whole image written.
#include "machines.h"

#include "../src/volume.h"

#include <string>
#include <vector>

using fake::machine;

namespace {

// The calls from the run's own open of the confirmed volume to the end.
std::vector<std::string> afterDialogue(const RunResult &run)
{
    int confirm = run.find("_getch", run.find("_getch") + 1);
    return std::vector<std::string>(run.calls.begin() + confirm + 1, run.calls.end());
}

const char *const kOpenE = R"(CreateFileA("\\.\E:", 0xc0000000, 0x3, NULL, 3, 0x0, NULL) = vol:E)";
const char *const kLockE = "DeviceIoControl(vol:E, FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &n, NULL) = 1 n=0";
const char *const kModule = "GetModuleFileNameA(NULL, buf, 260) = 19";
const char *const kOpenFile =
    R"(CreateFileA("C:\Tools\fwdisk.exe", 0x80000000, 0x1, NULL, 3, 0x1, NULL) = file)";
const char *const kSize = "GetFileSize(file, NULL) = 1478659";
const char *const kMapping = "CreateFileMappingA(file, NULL, 0x2, 0, 0, NULL) = map";
const char *const kView = "MapViewOfFile(map, 0x4, 0, 0, 0) = view";
const char *const kTextFlags = "FormatMessageA(0x1300, NULL, ";

} // namespace

TEST_F(ProgramTest, AVolumeThatCannotBeOpenedIsReportedAsSuch)
{
    typeKeys("zy ");   // no drive Z
    RunResult run = runProgram();
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(dialogue('Z')
                  + fatal("error opening drive Z: The system cannot find the file specified\n")
                  + kPause,
              run.screen);
    std::vector<std::string> expected = {
        R"(CreateFileA("\\.\Z:", 0xc0000000, 0x3, NULL, 3, 0x0, NULL) = INVALID err=2)",
        "GetLastError() = 2",
        "FormatMessageA(0x1300, NULL, 2, 0x400, &text, 0, NULL) = 44",
        "_getch() = 32",
    };
    EXPECT_EQ(expected, afterDialogue(run));
}

TEST_F(ProgramTest, AVolumeThatCannotBeLockedIsNotTouchedFurther)
{
    machine.drive('E').locks = false;
    typeKeys("ey ");
    RunResult run = runProgram();
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(dialogue('E') + fatal("Error locking drive E: Access is denied") + kPause, run.screen);
    std::vector<std::string> expected = {
        kOpenE,
        "DeviceIoControl(vol:E, FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &n, NULL) = 0 err=5",
        "GetLastError() = 5",
        "FormatMessageA(0x1300, NULL, 5, 0x400, &text, 0, NULL) = 19",
        "_getch() = 32",
    };
    EXPECT_EQ(expected, afterDialogue(run));
    EXPECT_EQ("[vol:E]", run.openAtExit);
}

TEST_F(ProgramTest, ProgramFileStepsThatFailCloseWhatTheyMust)
{
    struct Case {
        const char *call;
        std::string message;
        std::vector<std::string> tail;   // calls after the failing one
        const char *openAtExit;
    };
    const std::string lastError = "GetLastError() = 8";
    const Case cases[] = {
        {"CreateFileA", "CreateFile (\"C:\\Tools\\fwdisk.exe\") error \"Not enough memory resources "
                        "are available to process this command\"",
         {lastError}, "[vol:E]"},
        {"CreateFileMappingA", "CreateFileMapping error \"Not enough memory resources are "
                               "available to process this command\"",
         {"CloseHandle(file) = 1", lastError}, "[vol:E]"},
        {"MapViewOfFile", "MapViewOfFile error \"Not enough memory resources are available "
                          "to process this command\"",
         {"CloseHandle(vol:E) = 1", "CloseHandle(map) = 1", "CloseHandle(file) = 1", lastError},
         "[]"},
    };
    for (const Case &c : cases) {
        setUpPc();
        // The program file open is the 28th CreateFileA: 26 in the scan, one
        // for the volume.
        fail(c.call, std::string(c.call) == "CreateFileA" ? 28 : 1, ERROR_NOT_ENOUGH_MEMORY);
        typeKeys("ey ");
        RunResult run = runProgram();
        EXPECT_EQ(1, run.exitCode) << c.call;
        EXPECT_EQ(dialogue('E') + fatal(c.message) + kPause, run.screen) << c.call;
        int failed = run.find(c.call, run.find("GetModuleFileNameA"));
        ASSERT_GT(failed, 0) << c.call;
        std::vector<std::string> tail(run.calls.begin() + failed + 1,
                                      run.calls.begin() + failed + 1 + c.tail.size());
        EXPECT_EQ(c.tail, tail) << c.call;
        EXPECT_TRUE(run.written.empty()) << c.call;
        EXPECT_TRUE(run.callsTo("DeviceIoControl(vol:E, FSCTL_DISMOUNT").empty()) << c.call;
        EXPECT_TRUE(run.callsTo("DeviceIoControl(vol:E, FSCTL_UNLOCK").empty()) << c.call;
        EXPECT_EQ(c.openAtExit, run.openAtExit) << c.call;
    }
}

TEST_F(ProgramTest, AFailedOrShortWriteIsNeverReportedAsSuccess)
{
    for (DWORD shortBy : {0u, 1u, 512u, (DWORD)IMAGE_SIZE}) {
        setUpPc();
        fail("WriteFile", 1, ERROR_WRITE_PROTECT, shortBy);
        machine.errorTexts[ERROR_WRITE_PROTECT] = "The media is write protected.\r\n";
        typeKeys("ey ");
        RunResult run = runProgram();
        std::string text = shortBy ? "The system cannot write to the specified device"
                                   : "The media is write protected";
        EXPECT_EQ(1, run.exitCode) << shortBy;
        EXPECT_EQ(dialogue('E') + fatal("WriteFile error \"" + text + "\"") + kPause, run.screen)
            << shortBy;
        EXPECT_EQ(IMAGE_SIZE - (shortBy ? shortBy : IMAGE_SIZE), run.written.size());
        EXPECT_TRUE(run.callsTo("DeviceIoControl(vol:E, FSCTL_DISMOUNT").empty());
        EXPECT_EQ("[file map vol:E]", run.openAtExit);
    }
}

TEST_F(ProgramTest, ARefusedDismountOrUnlockAfterTheWriteStillSucceeds)
{
    // The scan's geometry queries come first: one per opened volume (A, C,
    // D, E, F, G), then the lock, the dismount, the unlock.
    for (int nth : {8, 9}) {
        setUpPc();
        fail("DeviceIoControl", nth, ERROR_ACCESS_DENIED);
        typeKeys("ey ");
        RunResult run = runProgram();
        EXPECT_EQ(0, run.exitCode) << nth;
        EXPECT_EQ(dialogue('E') + kSuccessE + kPause, run.screen) << nth;
        EXPECT_EQ(imageOf(machine.programFile), run.written);
        EXPECT_EQ("[map]", run.openAtExit);
    }
}

TEST_F(ProgramTest, AProgramFileWithoutAWholeImageIsRefusedBeforeAnyMapping)
{
    struct Case { size_t bytes; bool sizeFails; };
    for (const Case &c : {Case{IMAGE_SIZE - 1, false}, Case{0, false}, Case{100, false},
                          Case{IMAGE_SIZE + 10, true}}) {
        setUpPc();
        machine.programFile.assign(c.bytes, 0x4D);
        if (c.sizeFails)
            fail("GetFileSize", 1, ERROR_ACCESS_DENIED);
        typeKeys("ey ");
        RunResult run = runProgram();
        EXPECT_EQ(1, run.exitCode) << c.bytes;
        EXPECT_EQ(dialogue('E') + fatal("No FWDISK image in program file \"C:\\Tools\\fwdisk.exe\"")
                      + kPause,
                  run.screen)
            << c.bytes;
        EXPECT_TRUE(run.callsTo("CreateFileMappingA").empty());
        EXPECT_TRUE(run.callsTo("WriteFile").empty());
        EXPECT_EQ("[file vol:E]", run.openAtExit);
    }
}

TEST_F(ProgramTest, SystemTextsAreShownAsTheirFirstLineWithoutTheFinalFullStop)
{
    struct Case { std::string text; std::string shown; };
    const Case cases[] = {
        {"Access is denied.\r\n", "Access is denied"},
        {"Access is denied.", "Access is denied"},
        {"Access is denied", "Access is denied"},
        {"Wait for it..\r\n", "Wait for it."},
        {"First line.\r\nSecond line.\r\n", "First line"},
        {"Unix line.\nMore.\n", "Unix line"},
        {"Carriage only.\rMore", "Carriage only"},
        {".\r\n", ""},
        {"", "Unknown error 5"},   // an empty answer is no text
        {"\r\n", ""},
    };
    for (const Case &c : cases) {
        setUpPc();
        machine.drive('E').locks = false;
        machine.errorTexts[ERROR_ACCESS_DENIED] = c.text;
        typeKeys("ey ");
        RunResult run = runProgram();
        EXPECT_EQ(dialogue('E') + fatal("Error locking drive E: " + c.shown) + kPause, run.screen)
            << c.text;
    }
    // A code with no system text still gets a text.
    setUpPc();
    machine.drive('E').locks = false;
    machine.drive('E').lockError = 1234;
    typeKeys("ey ");
    RunResult run = runProgram();
    EXPECT_EQ(dialogue('E') + fatal("Error locking drive E: Unknown error 1234") + kPause, run.screen);
}

TEST_F(ProgramTest, LongMessagesAreCutTo255CharactersAndStillFramed)
{
    for (size_t length : {size_t(200), size_t(259), size_t(260), size_t(600)}) {
        setUpPc();
        std::string path = "C:\\" + std::string(length - 3, 'p');
        machine.programPath = path;
        typeKeys("ey ");
        // The open of the path that fits fails; one that does not fit is cut
        // and so names no file.
        if (length < MAX_PATH)
            fail("CreateFileA", 28, ERROR_FILE_NOT_FOUND);
        RunResult run = runProgram();
        std::string shown = path.substr(0, MAX_PATH - 1);
        std::string message = "CreateFile (\"" + shown
                              + "\") error \"The system cannot find the file specified\"";
        EXPECT_EQ(dialogue('E') + fatal(message.substr(0, 255)) + kPause, run.screen) << length;
        EXPECT_EQ(1, run.exitCode);
        std::vector<std::string> opens = run.callsTo("CreateFileA(\"C:");
        ASSERT_EQ(1u, opens.size());
        EXPECT_EQ("CreateFileA(\"" + shown + "\"", opens[0].substr(0, shown.size() + 14));
    }
}
