// The program as the user sees it, run against the scripted machine: the
// screen at every key read, each call with its arguments and in order, the
// exit code and the bytes written to the volume.
#include "fake/fakewin.h"

#include "../src/imagewrite.h"
#include "../src/volume.h"

#include <gtest/gtest.h>

#include <set>

using fake::machine;
using Calls = std::vector<std::string>;

const std::string kBanner = "\n\n   QV ZK240R5 FWDISK Creation Utility 1.00   \n\nSearching for removable drives...";
const std::string kList = "\n E: 3,997 MB\n F: 1.44 MB";
const std::string kPrompt = "\nEnter drive letter to be overwritten with FWDISK files : ";
const std::string kPause = "\n(press a key to exit)";
const std::string kNoLetter = "\nNo valid drive letter entered, exiting...\n";
const std::string kNoMemory = "Not enough memory resources are available to process this command";

static std::string success(char x)
{
    return std::string("\n  Congratulations! You have successfully created a bootable FWDISK in drive ") + x + ":\n";
}

// The screen through the answer to the confirmation for drive `x`.
static std::string dialogue(char x)
{
    return kBanner + kList + kPrompt + "\nOverwrite drive " + x + ": (Y/N)?: \n";
}

static std::string fatal(const std::string &message)
{
    return "\n                              \n*** " + message + " ***\n";
}

static void fail(const char *call, int nth, DWORD error, DWORD shortBy = 0)
{
    machine.faults.push_back({call, nth, error, shortBy});
}

// `code` bytes of stand-in program, then an image whose bytes differ from
// their neighbours', so that a shifted or partial copy shows.
static std::string programFile(size_t code)
{
    std::string file(code + IMAGE_SIZE, '\xE0');
    for (size_t i = 0; i < IMAGE_SIZE; ++i)
        file[code + i] = (char)(i * 7 + i / 251);
    return file;
}

static fake::Drive &addDrive(char x, UINT type, DISK_GEOMETRY geometry, DWORD geometryBytes = 24)
{
    return machine.drive(x) = fake::Drive{true, type, geometry, geometryBytes};
}

// A: an empty diskette drive, C: a fixed disk, D: an optical drive, E: a
// 3,997 MB stick, F: exactly the image's size, G: one byte short of it, Z: a
// card reader without a card. The cursor starts at the top left: every way
// out pauses for a key.
static void setUpPc(const std::string &keys = "ey ")
{
    machine = fake::Machine();
    machine.keys.assign(keys.begin(), keys.end());
    addDrive('A', DRIVE_REMOVABLE, {}, 0);
    addDrive('C', DRIVE_FIXED, {{60801}, FixedMedia, 255, 63, 512});
    addDrive('D', DRIVE_CDROM, {{1400}, RemovableMedia, 64, 32, 2048});
    addDrive('E', DRIVE_REMOVABLE, {{486}, RemovableMedia, 255, 63, 512});
    addDrive('F', DRIVE_REMOVABLE, {{80}, F3_1Pt44_512, 2, 18, 512});
    addDrive('G', DRIVE_REMOVABLE, {{1474559}, RemovableMedia, 1, 1, 1});
    addDrive('Z', DRIVE_REMOVABLE, {}, 0);
    machine.programFile = programFile(4099);
    machine.errorTexts = {{ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
                          {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
                          {ERROR_NOT_ENOUGH_MEMORY, kNoMemory + ".\r\n"},
                          {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
                          {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"}};
}

TEST(Program, WritesTheImageShowingEachStepBeforeItsKey)
{
    setUpPc();
    fake::Run run = fake::run();
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(dialogue('E') + success('E') + kPause, run.screen);
    EXPECT_TRUE(run.written == machine.programFile.substr(4099));
    // The pause is decided before anything is printed.
    EXPECT_EQ("GetStdHandle(-11) = stdout", run.calls.at(0));
    EXPECT_EQ("GetConsoleScreenBufferInfo(stdout, &) = 1 cursor=0,0", run.calls.at(1));
    EXPECT_EQ(0u, run.screenAt[1]);

    // Each letter: the open, and for a volume that opened its geometry, its
    // type and its close; the banner is on the screen first.
    Calls scan, expected;
    int first = run.find("_getch"), second = first + 1;
    for (int i = run.find("CreateFileA"); i < first; ++i)
        scan.push_back(run.calls[i].substr(0, run.calls[i].find(" = ")));
    for (char x = 'A'; x <= 'Z'; ++x) {
        std::string v = std::string("vol:") + x;
        expected.push_back(std::string("CreateFileA(\"\\\\.\\") + x + ":\", 0xc0000000, 3, NULL, 3, 0, NULL)");
        if (machine.drive(x).opens)
            expected.insert(expected.end(), {"DeviceIoControl(" + v + ", 0x70000, NULL, 0, &, 24, &, NULL)",
                                             std::string("GetDriveTypeA(\"") + x + ":\\\")", "CloseHandle(" + v + ")"});
    }
    EXPECT_EQ(expected, scan);
    EXPECT_EQ(kBanner, run.screen.substr(0, run.screenAt[run.find("CreateFileA")]));

    EXPECT_EQ(kBanner + kList + kPrompt, run.screen.substr(0, run.screenAt[first]));
    EXPECT_EQ(dialogue('E').substr(0, dialogue('E').size() - 1), run.screen.substr(0, run.screenAt[second]));
    EXPECT_EQ(dialogue('E'), run.screen.substr(0, run.screenAt[second + 1]));
    EXPECT_EQ(run.screen.size(), run.screenAt.back());
    expected = {
        R"(CreateFileA("\\.\E:", 0xc0000000, 3, NULL, 3, 0, NULL) = vol:E)",
        "DeviceIoControl(vol:E, 0x90018, NULL, 0, NULL, 0, &, NULL) = 1 n=0",
        "GetModuleFileNameA(NULL, &, 260) = 19",
        R"(CreateFileA("C:\Tools\fwdisk.exe", 0x80000000, 1, NULL, 3, 1, NULL) = file)",
        "GetFileSize(file, NULL) = 1478659",
        "CreateFileMappingA(file, NULL, 2, 0, 0, NULL) = map",
        "MapViewOfFile(map, 4, 0, 0, 0) = view",
        "WriteFile(vol:E, view+4099, 1474560, &, NULL) = 1 n=1474560",
        "DeviceIoControl(vol:E, 0x90020, NULL, 0, NULL, 0, &, NULL) = 1 n=0",
        "DeviceIoControl(vol:E, 0x9001c, NULL, 0, NULL, 0, &, NULL) = 1 n=0",
        "CloseHandle(vol:E) = 1",
        "CloseHandle(file) = 1",
        "_getch() = 32",
    };
    EXPECT_EQ(expected, Calls(run.calls.begin() + second + 1, run.calls.end()));
    EXPECT_EQ("[map]", run.openAtExit); // the view lives until the process ends
}

// Two keys choose and confirm a drive; the pause before every way out comes
// only when the cursor started at the top left of a console.
TEST(Program, KeysAndThePause)
{
    struct Case {
        std::vector<int> keys;
        char asked;     // the letter the confirmation names, or 0
        bool written;
        SHORT x, y;     // the cursor at start
        bool console;
    };
    const Case cases[] = {
        {{'e', 'y', ' '}, 'E', true, 0, 0, true},    {{'F', 'Y', ' '}, 'F', true, 0, 0, true},
        {{'a', 'y', ' '}, 'A', true, 0, 0, true},    {{'g', 'y', ' '}, 'G', true, 0, 0, true},
        {{'e', 'n', ' '}, 'E', false, 0, 0, true},   {{'E', 'N', ' '}, 'E', false, 0, 0, true},
        {{'e', '\r', ' '}, 'E', false, 0, 0, true},  {{'e', 't', ' '}, 'E', false, 0, 0, true},
        {{'@', ' '}, 0, false, 0, 0, true},          {{'[', ' '}, 0, false, 0, 0, true},
        {{'5', ' '}, 0, false, 0, 0, true},          {{'\r', ' '}, 0, false, 0, 0, true},
        // An extended key arrives as two codes; the second ends the pause.
        {{0, 59}, 0, false, 0, 0, true},             {{224, 72}, 0, false, 0, 0, true},
        {{'e', 224, 80}, 'E', false, 0, 0, true},
        {{'e', 'y'}, 'E', true, 1, 0, true},         {{'5'}, 0, false, 0, 1, true},
        {{'e', 'y'}, 'E', true, 0, 0, false},        {{'e', 'n'}, 'E', false, 7, 3, true},
    };
    for (const Case &c : cases) {
        setUpPc();
        machine.keys.assign(c.keys.begin(), c.keys.end());
        machine.cursorX = c.x;
        machine.cursorY = c.y;
        machine.console = c.console;
        fake::Run run = fake::run();
        std::string pause = c.x || c.y || !c.console ? "" : kPause;
        std::string shown = (c.asked ? dialogue(c.asked) : kBanner + kList + kPrompt + "\n")
                            + (c.written ? success(c.asked) : kNoLetter);
        EXPECT_EQ(shown + pause, run.screen) << c.keys[0] << c.keys.size();
        EXPECT_EQ(c.written ? 0 : 1, run.exitCode) << c.keys[0];
        EXPECT_EQ(c.written ? machine.programFile.substr(4099) : "", run.written);
        EXPECT_EQ((int)c.keys.size(), run.count("_getch")) << c.keys[0];
        EXPECT_EQ(c.written ? 28 : 26, run.count("CreateFileA")) << c.keys[0];
    }
    // A fatal report pauses as well.
    setUpPc("qy ");
    EXPECT_EQ(dialogue('Q') + fatal("error opening drive Q: The system cannot find the file specified\n") + kPause,
              fake::run().screen);
}

TEST(Program, ListsOnlyRemovableMediaThatHoldTheImage)
{
    setUpPc("5 ");
    addDrive('H', DRIVE_REMOVABLE, {{1000}, Unknown, 255, 63, 512});
    addDrive('I', DRIVE_REMOVABLE, {{1000}, FixedMedia, 255, 63, 512});
    addDrive('J', DRIVE_REMOVABLE, {{1000}, RemovableMedia, 255, 63, 512}, 23);
    addDrive('K', DRIVE_REMOVABLE, {{241126541}, RemovableMedia, 1, 1, 512});
    addDrive('L', DRIVE_REMOVABLE, {{4294967297LL}, F3_720_512, 1, 1, 512});
    addDrive('N', DRIVE_REMOTE, {{100000}, RemovableMedia, 255, 63, 512});
    addDrive('R', DRIVE_RAMDISK, {{100000}, RemovableMedia, 255, 63, 512});
    addDrive('Y', DRIVE_REMOVABLE, {{0}, RemovableMedia, 255, 63, 512});
    machine.drive('S').type = DRIVE_REMOVABLE; // it cannot be opened
    fake::Run run = fake::run();
    EXPECT_EQ(kBanner + kList + "\n K: 123,457 MB\n L: 2,199,023 MB" + kPrompt + "\n" + kNoLetter + kPause,
              run.screen);
    EXPECT_EQ(-1, run.find("GetDriveTypeA(\"S"));

    // The capacity itself, where the list cannot tell it from 0.
    struct Case { DWORD bytes; MEDIA_TYPE media; unsigned long long capacity; };
    for (Case c : {Case{24, F3_1Pt44_512, IMAGE_SIZE}, Case{0, F3_1Pt44_512, 0},
                   Case{23, F3_1Pt44_512, 0}, Case{24, FixedMedia, 0}, Case{24, Unknown, 0}}) {
        addDrive('E', DRIVE_REMOVABLE, {{80}, c.media, 2, 18, 512}, c.bytes);
        EXPECT_EQ(c.capacity, removableMediaCapacity(openDisk('E')));
    }
}

TEST(Program, CapacityTexts)
{
    const std::pair<unsigned long long, const char *> cases[] = {
        {0, "0.00 KB"},          {737280, "720.00 KB"},     {1474559, "1440.00 KB"},
        {1474560, "1.44 MB"},    {31499999, "30.76 MB"},    {31500000, "32 MB"},
        {999999999, "1,000 MB"}, {4004511744, "4,005 MB"},  {123456789012, "123,457 MB"},
        {18446744073709551615ull, "18,446,744,073,710 MB"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.second, capacityText(c.first)) << c.first;
    // Four results stay intact; the fifth call takes the first one's slot.
    const char *a = commanumber(0), *b = commanumber(999), *c = commanumber(1000);
    EXPECT_STREQ("18,446,744,073,709,551,615", commanumber(18446744073709551615ull));
    EXPECT_STREQ("0", a);
    EXPECT_STREQ("1,000", c);
    EXPECT_STREQ("123,456", commanumber(123456));
    EXPECT_STREQ("6", a);
    EXPECT_STREQ("999", b);
}

// Each failure after the confirmation: what it says, the calls after it (the
// handles it closes, the error text it reads), what stays open, what was
// written.
TEST(Program, EachFailureSaysWhyAndClosesWhatItMust)
{
    struct Case {
        const char *call; // the call that fails, as the log begins it
        int nth;
        DWORD error, shortBy;
        std::string shown;
        Calls after;
        const char *openAtExit;
    };
    const std::string text5 = "FormatMessageA(0x1300, NULL, 5, 0x400, &, 0, NULL) = 19";
    const std::string text8 = "FormatMessageA(0x1300, NULL, 8, 0x400, &, 0, NULL) = 68";
    const std::string text29 = "FormatMessageA(0x1300, NULL, 29, 0x400, &, 0, NULL) = 50";
    const std::string key = "_getch() = 32";
    const Case cases[] = {
        {"CreateFileA", 27, ERROR_ACCESS_DENIED, 0, "error opening drive E: Access is denied\n",
         {"GetLastError() = 5", text5, key}, "[]"},
        {"DeviceIoControl", 8, ERROR_ACCESS_DENIED, 0, "Error locking drive E: Access is denied",
         {"GetLastError() = 5", text5, key}, "[vol:E]"},
        {"CreateFileA(\"C:", 28, ERROR_NOT_ENOUGH_MEMORY, 0, R"(CreateFile ("C:\Tools\fwdisk.exe") error ")" + kNoMemory + "\"",
         {"GetLastError() = 8", text8, key}, "[vol:E]"},
        {"CreateFileMappingA", 1, ERROR_NOT_ENOUGH_MEMORY, 0, "CreateFileMapping error \"" + kNoMemory + "\"",
         {"CloseHandle(file) = 1", "GetLastError() = 8", text8, key}, "[vol:E]"},
        {"MapViewOfFile", 1, ERROR_NOT_ENOUGH_MEMORY, 0, "MapViewOfFile error \"" + kNoMemory + "\"",
         {"CloseHandle(vol:E) = 1", "CloseHandle(map) = 1", "CloseHandle(file) = 1", "GetLastError() = 8", text8, key},
         "[]"},
        {"WriteFile", 1, ERROR_WRITE_PROTECT, 0, "WriteFile error \"The media is write protected\"",
         {"GetLastError() = 19", "FormatMessageA(0x1300, NULL, 19, 0x400, &, 0, NULL) = 31", key},
         "[file map vol:E]"},
        // A write the system calls successful that stopped short.
        {"WriteFile", 1, 0, 512, "WriteFile error \"The system cannot write to the specified device\"",
         {"SetLastError(29) = ", "GetLastError() = 29", text29, key}, "[file map vol:E]"},
        // A program file too short to hold an image.
        {"GetFileSize", 0, 0, 0, R"(No FWDISK image in program file "C:\Tools\fwdisk.exe")", {key}, "[file vol:E]"},
    };
    for (const Case &c : cases) {
        setUpPc();
        if (c.nth)
            fail(std::string(c.call).substr(0, strcspn(c.call, "(")).c_str(), c.nth, c.error, c.shortBy);
        else
            machine.programFile.resize(IMAGE_SIZE - 1);
        fake::Run run = fake::run();
        int failed = run.find(c.call, run.find("_getch") + 2);
        ASSERT_GE(failed, 0) << c.call;
        EXPECT_EQ(dialogue('E') + fatal(c.shown) + kPause, run.screen) << c.call;
        EXPECT_EQ(1, run.exitCode) << c.call;
        EXPECT_EQ(c.after, Calls(run.calls.begin() + failed + 1, run.calls.end())) << c.call;
        EXPECT_EQ(c.openAtExit, run.openAtExit) << c.call;
        EXPECT_TRUE(run.written == (c.shortBy ? machine.programFile.substr(4099, IMAGE_SIZE - c.shortBy) : ""));
    }
}

TEST(Program, SystemTextsShowTheirFirstLineAndMessagesAreCutTo255)
{
    const std::pair<const char *, const char *> texts[] = {
        {"Access is denied.\r\n", "Access is denied"},   {"Access is denied", "Access is denied"},
        {"Wait for it..\r\n", "Wait for it."},           {"First line.\r\nSecond line.\r\n", "First line"},
        {"Unix line.\nMore.\n", "Unix line"},            {"Carriage only.\rMore", "Carriage only"},
        {".\r\n", ""},                                   {"", "Unknown error 5"}, // an empty text is none
    };
    for (const auto &t : texts) {
        setUpPc();
        fail("DeviceIoControl", 8, ERROR_ACCESS_DENIED); // E:'s lock
        machine.errorTexts[ERROR_ACCESS_DENIED] = t.first;
        EXPECT_EQ(dialogue('E') + fatal(std::string("Error locking drive E: ") + t.second) + kPause,
                  fake::run().screen) << t.first;
    }
    setUpPc();
    fail("DeviceIoControl", 8, 4294967295u);
    EXPECT_EQ(dialogue('E') + fatal("Error locking drive E: Unknown error 4294967295") + kPause, fake::run().screen);

    // A path too long for the buffer is cut, and names no file.
    for (size_t length : {200, 236, 237, 259, 260, 600}) {
        setUpPc();
        machine.programPath = "C:\\" + std::string(length - 3, 'p');
        fail("CreateFileA", 28, ERROR_FILE_NOT_FOUND);
        fake::Run run = fake::run();
        std::string path = machine.programPath.substr(0, MAX_PATH - 1);
        std::string message = "CreateFile (\"" + path + "\") error \"The system cannot find the file specified\"";
        EXPECT_EQ(dialogue('E') + fatal(message.substr(0, 255)) + kPause, run.screen) << length;
        EXPECT_GT(run.find("CreateFileA(\"" + path + "\", "), 0) << length;
    }
}

// Every call of a good run fails in turn, alone and with no error text to be
// had. Each run ends with 0 and the whole image, or with 1 and a framed
// report; the calls that stop the run are exactly those that must.
TEST(Program, EveryCallOfAGoodRunFailingInTurn)
{
    setUpPc();
    const fake::Run good = fake::run();
    const std::set<std::string> cannotFail = {"GetLastError", "SetLastError", "SetErrorMode", "_getch"};
    const std::set<std::string> mustStop = {"CreateFileA 27", "DeviceIoControl 8", "GetModuleFileNameA 1",
                                            "CreateFileA 28", "GetFileSize 1", "CreateFileMappingA 1",
                                            "MapViewOfFile 1", "WriteFile 1"};
    std::map<std::string, int> seen;
    std::set<std::string> stopped;
    for (const std::string &call : good.calls) {
        std::string name = call.substr(0, call.find('('));
        std::string what = name + " " + std::to_string(++seen[name]);
        for (int noText = 0; noText < 2 && !cannotFail.count(name); ++noText) {
            bool pauses = name != "GetStdHandle" && name != "GetConsoleScreenBufferInfo";
            setUpPc(pauses ? "ey " : "ey");
            fail(name.c_str(), seen[name], ERROR_WRITE_FAULT);
            if (noText)
                fail("FormatMessageA", 0, ERROR_MR_MID_NOT_FOUND);
            fake::Run run = fake::run();
            std::string end = (run.exitCode ? " ***\n" : success('E')) + (pauses ? kPause : "");
            EXPECT_EQ(end, run.screen.substr(run.screen.size() - std::min(end.size(), run.screen.size()))) << what;
            EXPECT_EQ(pauses ? 3 : 2, run.count("_getch")) << what;
            EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << what << run.exitCode;
            if (run.exitCode) {
                stopped.insert(what);
                EXPECT_TRUE(!noText || name == "GetFileSize" || run.screen.find("Unknown error ") != std::string::npos) << what;
            } else {
                EXPECT_TRUE(run.written == good.written) << what;
            }
        }
    }
    EXPECT_EQ(mustStop, stopped);
}

// A signed program file ends with its certificate table: the image ends
// where the table begins, when the PE header says so plainly.
TEST(Program, ASignedProgramWritesTheImageBeforeItsCertificates)
{
    auto put = [](std::string &f, size_t at, unsigned long long v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            f[at + i] = (char)(v >> 8 * i);
    };
    const size_t table = 3000;
    struct Case {
        const char *what;
        size_t code;            // program bytes before the image
        long long header;       // where the PE header starts; < 0: from the end
        long long at;           // then this many bytes from the header's start
        unsigned long long value; // are set to this value
        int bytes;
        bool counts;            // the table counts
    };
    const Case cases[] = {
        {"signed", 4099, 128, 0, 'P', 1, true},
        {"nothing before the image", 0, 128, 0, 'P', 1, true},
        {"header last in the file", 4099, -160, 0, 'P', 1, true},
        {"header a byte too near the end", 4099, -159, 0, 'P', 1, false},
        {"header outside the file", 4099, 0xFFFFFFF0, 0, 0, 0, false},
        {"table stops short of the end", 4099, 128, 156, table - 1, 4, false},
        {"table runs past the end", 4099, 128, 156, table + 1, 4, false},
        {"no table", 4099, 128, 152, 0, 8, false},
        {"no MZ", 4099, 128, -127, 'X', 1, false},
        {"no MZ either", 4099, 128, -128, 'X', 1, false},
        {"bad signature", 4099, 128, 3, 1, 1, false},
        {"bad signature start", 4099, 128, 0, 'Q', 1, false},
        {"PE32+", 4099, 128, 24, 0x20B, 2, false},
        {"optional header too short", 4099, 128, 20, 135, 2, false},
        {"optional header just long enough", 4099, 128, 20, 136, 2, true},
        {"4 data directories", 4099, 128, 116, 4, 4, false},
        {"5 data directories", 4099, 128, 116, 5, 4, true},
    };
    for (const Case &c : cases) {
        setUpPc();
        std::string &f = machine.programFile = programFile(c.code) + std::string(table, '\x5A');
        size_t h = c.header < 0 ? f.size() + c.header : c.header;
        f.replace(0, 2, "MZ");
        put(f, 60, h, 4);
        if (h + 160 <= f.size()) {
            f.replace(h, 4, "PE\0\0", 4);
            put(f, h + 20, 224, 2);
            put(f, h + 24, 0x10B, 2);
            put(f, h + 116, 16, 4);
            put(f, h + 152, c.code + IMAGE_SIZE, 4);
            put(f, h + 156, table, 4);
            put(f, h + c.at, c.value, c.bytes);
        }
        fake::Run run = fake::run();
        size_t start = c.counts ? c.code : f.size() - IMAGE_SIZE;
        EXPECT_EQ(0, run.exitCode) << c.what;
        EXPECT_GE(run.find("WriteFile(vol:E, view+" + std::to_string(start) + ", 1474560,"), 0) << c.what;
        EXPECT_TRUE(run.written == f.substr(start, IMAGE_SIZE)) << c.what;
    }
}
