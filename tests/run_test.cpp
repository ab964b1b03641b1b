// The run as the user sees it: the screen at every key read, the calls with
// their arguments and order, the exit code, the bytes on the volume.
#include "pc.h"

#include <vector>

using Calls = std::vector<std::string>;

// Each letter's scan: the open, then for a volume that opened its geometry,
// its type and its close. Results are left off (what follows " = ").
static Calls scanOf(const Calls &calls)
{
    Calls out;
    for (const std::string &c : calls)
        if (c.rfind("_getch", 0) == 0)
            break;
        else if (c.rfind("CreateFileA", 0) == 0 || c.rfind("DeviceIoControl", 0) == 0
                 || c.rfind("GetDriveTypeA", 0) == 0 || c.rfind("CloseHandle", 0) == 0)
            out.push_back(c.substr(0, c.find(" = ")));
    return out;
}

TEST(Run, WritesTheImageAndShowsEachStepBeforeItsKey)
{
    setUpPc();
    type("ey ");
    fake::Run run = fake::run();

    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(dialogue('E') + success('E') + kPause, run.screen);
    EXPECT_EQ(IMAGE_SIZE, run.written.size());
    EXPECT_TRUE(run.written == machine.programFile.substr(4099));
    // The pause is decided before anything is printed.
    EXPECT_EQ("GetStdHandle(-11) = stdout", run.calls.at(0));
    EXPECT_EQ("GetConsoleScreenBufferInfo(stdout, &info) = 1 cursor=0,0", run.calls.at(1));
    EXPECT_EQ(0u, run.screenAt[1]);

    Calls scan;
    for (char x = 'A'; x <= 'Z'; ++x) {
        scan.push_back(std::string("CreateFileA(\"\\\\.\\") + x + ":\", 0xc0000000, 0x3, NULL, 3, 0x0, NULL)");
        if (!machine.drive(x).opens)
            continue;
        std::string volume = std::string("vol:") + x;
        scan.push_back("DeviceIoControl(" + volume + ", 0x70000, NULL, 0, out, 24, &n, NULL)");
        scan.push_back(std::string("GetDriveTypeA(\"") + x + ":\\\")");
        scan.push_back("CloseHandle(" + volume + ")");
    }
    EXPECT_EQ(scan, scanOf(run.calls));
    EXPECT_EQ(kBanner, run.screen.substr(0, run.screenAt[run.find("CreateFileA")]));

    // Every prompt is on the screen when its key is read.
    int first = run.find("_getch"), second = run.find("_getch", first + 1);
    EXPECT_EQ(kBanner + kList + kPrompt, run.screen.substr(0, run.screenAt[first]));
    EXPECT_EQ(dialogue('E').substr(0, dialogue('E').size() - 1), run.screen.substr(0, run.screenAt[second]));
    EXPECT_EQ(run.screen.size(), run.screenAt.back());
    Calls write = {
        R"(CreateFileA("\\.\E:", 0xc0000000, 0x3, NULL, 3, 0x0, NULL) = vol:E)",
        "DeviceIoControl(vol:E, 0x90018, NULL, 0, NULL, 0, &n, NULL) = 1 n=0",
        "GetModuleFileNameA(NULL, buf, 260) = 19",
        R"(CreateFileA("C:\Tools\fwdisk.exe", 0x80000000, 0x1, NULL, 3, 0x1, NULL) = file)",
        "GetFileSize(file, NULL) = 1478659",
        "CreateFileMappingA(file, NULL, 0x2, 0, 0, NULL) = map",
        "MapViewOfFile(map, 0x4, 0, 0, 0) = view",
        "WriteFile(vol:E, view+4099, 1474560, &n, NULL) = 1 n=1474560",
        "DeviceIoControl(vol:E, 0x90020, NULL, 0, NULL, 0, &n, NULL) = 1 n=0",
        "DeviceIoControl(vol:E, 0x9001c, NULL, 0, NULL, 0, &n, NULL) = 1 n=0",
        "CloseHandle(vol:E) = 1",
        "CloseHandle(file) = 1",
        "_getch() = 32",
    };
    EXPECT_EQ(write, from(run, second + 1));
    EXPECT_EQ(dialogue('E'), run.screen.substr(0, run.screenAt[second + 1]));
    // The view and its mapping live until the process ends.
    EXPECT_EQ("[map]", run.openAtExit);
}

TEST(Run, KeysChooseAndConfirmOneLetter)
{
    struct Case {
        std::vector<int> keys; // the last one ends the pause
        char asked;            // the letter the confirmation names, or 0
        bool written;
    };
    const Case cases[] = {
        {{'e', 'y', ' '}, 'E', true},   {{'F', 'Y', ' '}, 'F', true},
        {{'a', 'y', ' '}, 'A', true},   {{'g', 'y', ' '}, 'G', true},
        {{'e', 'n', ' '}, 'E', false},  {{'E', 'N', ' '}, 'E', false},
        {{'e', '\r', ' '}, 'E', false}, {{'e', 't', ' '}, 'E', false},
        {{'@', ' '}, 0, false},         {{'[', ' '}, 0, false},
        {{'5', ' '}, 0, false},         {{'\r', ' '}, 0, false},
        // An extended key arrives as two codes; the second ends the pause.
        {{0, 59}, 0, false},            {{224, 72}, 0, false},
        {{'e', 224, 80}, 'E', false},
    };
    for (const Case &c : cases) {
        setUpPc();
        machine.keys.assign(c.keys.begin(), c.keys.end());
        fake::Run run = fake::run();
        std::string asked = c.asked ? dialogue(c.asked) : kBanner + kList + kPrompt + "\n";
        std::string shown = asked + (c.written ? success(c.asked) : kDeclined) + kPause;
        EXPECT_EQ(shown, run.screen) << c.keys[0];
        EXPECT_EQ(c.written ? 0 : 1, run.exitCode) << c.keys[0];
        EXPECT_EQ(c.written ? machine.programFile.substr(4099) : "", run.written);
        EXPECT_EQ((int)c.keys.size(), run.count("_getch")) << c.keys[0];
        EXPECT_EQ(c.written ? 28 : 26, run.count("CreateFileA")) << c.keys[0];
    }
}

TEST(Run, PausesOnEveryWayOutOnlyWhenTheCursorStartsAtTheTopLeft)
{
    struct Way { const char *keys; int exitCode; std::string end; };
    const Way ways[] = {
        {"5", 1, kBanner + kList + kPrompt + "\n" + kDeclined},
        {"qy", 1, dialogue('Q') + fatal("error opening drive Q: The system cannot find the file specified\n")},
        {"ey", 0, dialogue('E') + success('E')},
    };
    struct Cursor { SHORT x, y; bool console; };
    for (Cursor at : {Cursor{0, 0, true}, Cursor{1, 0, true}, Cursor{0, 1, true},
                      Cursor{0, 0, false}}) {
        for (const Way &way : ways) {
            setUpPc();
            machine.cursorX = at.x;
            machine.cursorY = at.y;
            machine.console = at.console;
            bool pauses = at.console && at.x == 0 && at.y == 0;
            type(std::string(way.keys) + (pauses ? " " : ""));
            fake::Run run = fake::run();
            EXPECT_EQ(way.exitCode, run.exitCode) << way.keys << at.x << at.y;
            EXPECT_EQ(way.end + (pauses ? kPause : ""), run.screen) << way.keys << at.x << at.y;
            EXPECT_EQ((int)machine.keys.size(), run.count("_getch")) << way.keys << at.x << at.y;
        }
    }
}

TEST(Run, ListsOnlyRemovableMediaThatHoldTheImage)
{
    setUpPc();
    addDrive('H', DRIVE_REMOVABLE, DISK_GEOMETRY{{1000}, Unknown, 255, 63, 512});
    addDrive('I', DRIVE_REMOVABLE, DISK_GEOMETRY{{1000}, FixedMedia, 255, 63, 512});
    addDrive('J', DRIVE_REMOVABLE, DISK_GEOMETRY{{1000}, RemovableMedia, 255, 63, 512}).geometryBytes = 23;
    addDrive('K', DRIVE_REMOVABLE, DISK_GEOMETRY{{241126541}, RemovableMedia, 1, 1, 512});
    addDrive('L', DRIVE_REMOVABLE, DISK_GEOMETRY{{4294967297LL}, F3_720_512, 1, 1, 512});
    addDrive('N', DRIVE_REMOTE, DISK_GEOMETRY{{100000}, RemovableMedia, 255, 63, 512});
    addDrive('R', DRIVE_RAMDISK, DISK_GEOMETRY{{100000}, RemovableMedia, 255, 63, 512});
    addDrive('Y', DRIVE_REMOVABLE, DISK_GEOMETRY{{0}, RemovableMedia, 255, 63, 512});
    machine.drive('S').type = DRIVE_REMOVABLE; // it cannot be opened
    type("5 ");
    fake::Run run = fake::run();
    EXPECT_EQ(kBanner + kList + "\n K: 123,457 MB\n L: 2,199,023 MB" + kPrompt + "\n" + kDeclined + kPause,
              run.screen);
    EXPECT_EQ(-1, run.find("GetDriveTypeA(\"S"));

    // The capacity itself: what the drive list cannot tell apart from 0.
    DISK_GEOMETRY floppy{{80}, F3_1Pt44_512, 2, 18, 512};
    struct Case { DWORD bytes; MEDIA_TYPE media; unsigned long long capacity; };
    for (Case c : {Case{24, F3_1Pt44_512, IMAGE_SIZE}, Case{0, F3_1Pt44_512, 0},
                   Case{23, F3_1Pt44_512, 0}, Case{24, FixedMedia, 0}, Case{24, Unknown, 0}}) {
        fake::Drive &d = addDrive('E', DRIVE_REMOVABLE, floppy);
        d.geometryBytes = c.bytes;
        d.geometry.MediaType = c.media;
        EXPECT_EQ(c.capacity, removableMediaCapacity(openDisk('E')));
    }
}

TEST(Run, CapacityTexts)
{
    const std::pair<unsigned long long, const char *> cases[] = {
        {0, "0.00 KB"},
        {737280, "720.00 KB"},
        {1474559, "1440.00 KB"},
        {1474560, "1.44 MB"},
        {31499999, "30.76 MB"},
        {31500000, "32 MB"},
        {999999999, "1,000 MB"},
        {4004511744, "4,005 MB"},
        {123456789012, "123,457 MB"},
        {18446744073709551615ull, "18,446,744,073,710 MB"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.second, capacityText(c.first)) << c.first;

    // Four results stay intact; the fifth call takes the first one's place.
    const char *a = commanumber(0), *b = commanumber(999), *c = commanumber(1000);
    const char *d = commanumber(18446744073709551615ull);
    EXPECT_STREQ("0", a);
    EXPECT_STREQ("999", b);
    EXPECT_STREQ("1,000", c);
    EXPECT_STREQ("18,446,744,073,709,551,615", d);
    EXPECT_STREQ("123,456", commanumber(123456));
    EXPECT_STREQ("6", a); // its slot now ends with the fifth result
    EXPECT_STREQ("999", b);
}
