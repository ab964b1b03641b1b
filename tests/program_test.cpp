// The program as the user sees it, run against the scripted machine: the
// screen at every key read, each call with its arguments and in order, the
// exit code and the bytes written to the volume.
#include "fake/fakewin.h"

#include "../src/imagewrite.h"
#include "../src/programfile.h"
#include "../src/volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

using fake::machine;
using Calls = std::vector<std::string>;

const std::string kBanner = "\n\n   QV ZK240R5 FWDISK Creation Utility 1.00   \n\nSearching for removable drives...";
const std::string kAsk = kBanner + "\n E: 3,997 MB\n F: 1.44 MB\nEnter drive letter to be overwritten with FWDISK files : \n";
const std::string kPause = "\n(press a key to exit)";
const std::string kNoLetter = "\nNo valid drive letter entered, exiting...\n";
const std::string kSuccess = "\n  Congratulations! You have successfully created a bootable FWDISK in drive E:\n";

static std::string success(char x) { return std::string(kSuccess).replace(kSuccess.size() - 3, 1, 1, x); }
static std::string fatal(const std::string &message) { return "\n" + std::string(30, ' ') + "\n*** " + message + " ***\n"; }
// The screen through the answer to the confirmation for drive `x`.
static std::string dialogue(char x) { return kAsk + "Overwrite drive " + x + ": (Y/N)?: \n"; }
static void fail(const char *call, int nth, DWORD error, DWORD shortBy = 0) { machine.faults.push_back({call, nth, error, shortBy}); }

// `code` bytes of stand-in program, then an image whose bytes differ from
// their neighbours', so that a shifted or partial copy shows.
static std::string programFile(size_t code) {
    std::string file(code + IMAGE_SIZE, '\xE0');
    for (size_t i = 0; i < IMAGE_SIZE; ++i)
        file[code + i] = (char)(i * 7 + i / 251);
    return file;
}

// A call that takes a report to the screen.
static bool reportCall(const std::string &call) {
    for (const char *name : {"MultiByteToWideChar(", "WideCharToMultiByte(", "GetStdHandle(", "GetConsoleMode(", "WriteConsoleW("})
        if (call.rfind(name, 0) == 0)
            return true;
    return false;
}

static void addDrive(char x, UINT type, DISK_GEOMETRY geometry, DWORD bytes = 24) { machine.drive(x) = {true, type, geometry, bytes}; }

// A: an empty diskette drive, C: a fixed disk, D: an optical drive, E: a
// 3,997 MB stick, F: exactly the image's size, G: one byte short of it, Z: a
// card reader without a card. The cursor starts at the top left: every way
// out pauses for a key.
static void setUpPc(const std::string &keys = "ey ") {
    machine = fake::Machine();
    for (unsigned char key : keys)
        machine.keys.push_back(key);
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
                          {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"}};
}

TEST(Program, WritesTheImageShowingEachStepBeforeItsKey) {
    setUpPc();
    fake::Run run = fake::run();
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(dialogue('E') + success('E') + kPause, run.screen);
    EXPECT_TRUE(run.written == machine.programFile.substr(4099));
    // The pause is decided before anything is printed; no prompt is to show
    // for a drive without a medium. Then each letter: the open, and for a
    // volume that opened its geometry, the type of a listed one (E: and F:;
    // the others are left out whatever their type), and its close.
    EXPECT_EQ(0u, run.screenAt[1]);
    Calls scan, expected = {"GetStdHandle(-11)", "GetConsoleScreenBufferInfo(stdout, &)", "SetErrorMode(1)"};
    int first = run.find("_getch"), second = first + 1;
    for (int i = 0; i < first; ++i)
        if (run.calls[i].rfind("GetDriveTypeA(", 0) != 0 || strchr("EF", run.calls[i][15]))
            scan.push_back(run.calls[i].substr(0, run.calls[i].find(" = ")));
    for (char x = 'A'; x <= 'Z'; ++x) {
        std::string v = std::string("vol:") + x;
        expected.push_back(std::string("CreateFileA(\"\\\\.\\") + x + ":\", 0xc0000000, 3, NULL, 3, 0, NULL)");
        if (machine.drive(x).opens)
            expected.push_back("DeviceIoControl(" + v + ", 0x70000, NULL, 0, &, 24, &, NULL)");
        if (x == 'E' || x == 'F')
            expected.push_back(std::string("GetDriveTypeA(\"") + x + ":\\\")");
        if (machine.drive(x).opens)
            expected.push_back("CloseHandle(" + v + ")");
    }
    EXPECT_EQ(expected, scan);
    EXPECT_EQ(kBanner, run.screen.substr(0, run.screenAt[run.find("CreateFileA")]));
    EXPECT_EQ(kAsk.substr(0, kAsk.size() - 1), run.screen.substr(0, run.screenAt[first]));
    EXPECT_EQ(dialogue('E').substr(0, dialogue('E').size() - 1), run.screen.substr(0, run.screenAt[second]));
    EXPECT_EQ(dialogue('E'), run.screen.substr(0, run.screenAt[second + 1]));
    EXPECT_EQ(run.screen.size(), run.screenAt.back());
    expected = {
        R"(CreateFileA("\\.\E:", 0xc0000000, 3, NULL, 3, 0, NULL) = vol:E)",
        "DeviceIoControl(vol:E, 0x90018, NULL, 0, NULL, 0, &, NULL) = 1 n=0",
        "GetModuleFileNameW(NULL, &, 260) = 19",
        R"(CreateFileW("C:\Tools\fwdisk.exe", 0x80000000, 1, NULL, 3, 1, NULL) = file)",
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
    // The view and its mapping are left open until the process ends.
    EXPECT_EQ(expected, Calls(run.calls.begin() + second + 1, run.calls.end()));
}

// Two keys choose and confirm a drive; every way out pauses for a key only
// when the cursor started at the top left of a console.
TEST(Program, KeysAndThePause) {
    // The keys, the letter the confirmation names (or 0), whether the image
    // was written, the cursor at start.
    struct Case { std::string keys; char asked; bool written; SHORT x = 0, y = 0; };
    const Case cases[] = {
        {"ey ", 'E', true},  {"FY ", 'F', true},  {"ay ", 'A', true},  {"zy ", 'Z', true},  {"gy ", 'G', true},
        {"en ", 'E', false}, {"EN ", 'E', false}, {"e\r ", 'E', false}, {"et ", 'E', false},
        {"@ ", 0, false},    {"[ ", 0, false},    {"5 ", 0, false},     {"\r ", 0, false},
        // An extended key arrives as two codes; the second ends the pause.
        {std::string("\0;", 2), 0, false}, {"\xE0H", 0, false}, {"e\xE0P", 'E', false},
        {"ey", 'E', true, 1, 0}, {"5", 0, false, 0, 1}, {"ey", 'E', true, 0, 2}, {"en", 'E', false, 7, 3},
    };
    for (const Case &c : cases) {
        setUpPc(c.keys);
        machine.cursorX = c.x, machine.cursorY = c.y;
        fake::Run run = fake::run();
        std::string shown = (c.asked ? dialogue(c.asked) : kAsk) + (c.written ? success(c.asked) : kNoLetter);
        EXPECT_EQ(shown + (c.x || c.y ? "" : kPause), run.screen) << c.keys;
        EXPECT_EQ(c.written ? 0 : 1, run.exitCode) << c.keys;
        EXPECT_EQ(c.written ? machine.programFile.substr(4099) : "", run.written);
        EXPECT_EQ((int)c.keys.size(), run.count("_getch")) << c.keys;
        EXPECT_EQ(c.written ? 27 : 26, run.count("CreateFileA")) << c.keys; // no volume opened of its own
    }
}

TEST(Program, ListsRemovableMediaThatHoldTheImageWithTheirCapacity) {
    setUpPc("5 ");
    addDrive('K', DRIVE_REMOVABLE, {{241126541}, RemovableMedia, 1, 1, 512});
    addDrive('L', DRIVE_REMOVABLE, {{4294967297LL}, F3_720_512, 1, 1, 512});
    addDrive('N', DRIVE_REMOTE, {{100000}, RemovableMedia, 255, 63, 512});
    EXPECT_EQ(kBanner + "\n E: 3,997 MB\n F: 1.44 MB\n K: 123,457 MB\n L: 2,199,023 MB" + kAsk.substr(kAsk.find("\nEnter"))
                  + kNoLetter + kPause, fake::run().screen);

    // The capacity where the list cannot tell it from 0: no medium, a short answer, no removable medium.
    for (auto [bytes, media] : {std::pair{24u, F3_1Pt44_512}, {0u, F3_1Pt44_512}, {23u, F3_1Pt44_512}, {24u, FixedMedia}, {24u, Unknown}}) {
        addDrive('E', DRIVE_REMOVABLE, {{80}, media, 2, 18, 512}, bytes);
        EXPECT_EQ(bytes == 24 && media == F3_1Pt44_512 ? IMAGE_SIZE : 0, removableMediaCapacity(openDisk('E'))) << bytes << media;
    }

    const std::pair<unsigned long long, const char *> texts[] = {
        {0, "0.00 KB"},          {737280, "720.00 KB"},     {1474559, "1440.00 KB"},
        {1474560, "1.44 MB"},    {31499999, "30.76 MB"},    {31500000, "32 MB"},
        {999999999, "1,000 MB"}, {4004511744, "4,005 MB"},  {18446744073709551615ull, "18,446,744,073,710 MB"},
    };
    for (const auto &t : texts)
        EXPECT_STREQ(t.second, capacityText(t.first)) << t.first;
    // Four results stay intact; the fifth call takes the first one's slot.
    const char *a = commanumber(0), *b = commanumber(999), *c = commanumber(1000);
    EXPECT_STREQ("18,446,744,073,709,551,615", commanumber(18446744073709551615ull));
    EXPECT_STREQ("0", a);
    EXPECT_STREQ("1,000", c);
    EXPECT_STREQ("123,456", commanumber(123456));
    EXPECT_STREQ("6", a);
    EXPECT_STREQ("999", b);
}

// Every call of a good run fails in turn. A call that must stop the run ends
// it with its report, after closing what it must; any other leaves the run's
// result as it was. (How a report reaches the screen is Reports' part.)
TEST(Program, EveryCallOfAGoodRunFailingInTurn) {
    setUpPc();
    const fake::Run good = fake::run();
    const std::string path = R"("C:\Tools\fwdisk.exe")", text = "The system cannot write to the specified device";
    struct Stop { std::string message; Calls closes; DWORD code; }; // code: the error the report names
    const std::map<std::string, Stop> stops = {
        {"CreateFileA 27", {"error opening drive E: " + text + "\n", {}, 29}},
        {"DeviceIoControl 8", {"Error locking drive E: " + text, {}, 29}},
        {"GetModuleFileNameW 1", {R"(CreateFile ("") error "The system cannot find the file specified")",
                                  {R"(CreateFileW("", 0x80000000, 1, NULL, 3, 1, NULL) = INVALID err=2)"}, 2}},
        {"CreateFileW 1", {"CreateFile (" + path + ") error \"" + text + "\"", {}, 29}},
        {"GetFileSize 1", {"No FWDISK image in program file " + path, {}, 0}},
        {"CreateFileMappingA 1", {"CreateFileMapping error \"" + text + "\"", {"CloseHandle(file) = 1"}, 29}},
        {"MapViewOfFile 1", {"MapViewOfFile error \"" + text + "\"",
                             {"CloseHandle(vol:E) = 1", "CloseHandle(map) = 1", "CloseHandle(file) = 1"}, 29}},
        {"WriteFile 1", {"WriteFile error \"" + text + "\"", {}, 29}},
    };
    std::map<std::string, int> seen;
    for (size_t i = 0; i < good.calls.size(); ++i) {
        std::string name = good.calls[i].substr(0, good.calls[i].find('(')), what = name + " " + std::to_string(++seen[name]);
        if (name == "GetLastError" || name == "SetErrorMode" || name == "_getch")
            continue;
        bool pauses = name != "GetStdHandle" && name != "GetConsoleScreenBufferInfo";
        setUpPc(pauses ? "ey " : "ey");
        fail(name.c_str(), seen[name], ERROR_WRITE_FAULT);
        fake::Run run = fake::run();
        std::string pause = pauses ? kPause : "";
        auto stop = stops.find(what);
        if (stop == stops.end()) {
            EXPECT_EQ(0, run.exitCode) << what;
            EXPECT_EQ(success('E') + pause, run.screen.substr(run.screen.rfind("\n  Congratulations"))) << what;
            EXPECT_TRUE(run.written == good.written) << what;
            continue;
        }
        Calls after = stop->second.closes;
        if (DWORD code = stop->second.code)
            after.insert(after.end(), {"GetLastError() = " + std::to_string(code),
                                       "FormatMessageW(0x1300, NULL, " + std::to_string(code) + ", 0x400, &, 0, NULL) = "
                                           + std::to_string(machine.errorTexts[code].size())});
        after.push_back("_getch() = 32");
        EXPECT_EQ(1, run.exitCode) << what;
        EXPECT_EQ(dialogue('E') + fatal(stop->second.message) + pause, run.screen) << what;
        Calls seen;
        for (auto call = run.calls.begin() + std::min(i + 1, run.calls.size()); call != run.calls.end(); ++call)
            if (!reportCall(*call))
                seen.push_back(*call);
        EXPECT_EQ(after, seen) << what;
        EXPECT_TRUE(run.written.empty()) << what;
    }
}

// The reports: system texts shown as their first line, messages cut to 255
// characters, a short write and a short program file.
TEST(Program, Reports) {
    setUpPc();
    fail("WriteFile", 1, 0, 512); // the system says yes, but stopped short
    fake::Run run = fake::run();
    EXPECT_EQ(dialogue('E') + fatal("WriteFile error \"The system cannot write to the specified device\"") + kPause, run.screen);
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ("SetLastError(29) = ", run.calls.at(run.find("WriteFile") + 1));
    EXPECT_TRUE(run.written == machine.programFile.substr(4099, IMAGE_SIZE - 512));

    setUpPc();
    machine.programFile.resize(IMAGE_SIZE - 1);
    run = fake::run();
    EXPECT_EQ(dialogue('E') + fatal(R"(No FWDISK image in program file "C:\Tools\fwdisk.exe")") + kPause, run.screen);
    EXPECT_EQ(-1, run.find("CreateFileMappingA"));

    const std::tuple<DWORD, const char *, const char *> texts[] = {
        {5, "Access is denied.\r\n", "Access is denied"},   {5, "Access is denied", "Access is denied"},
        {5, "Wait for it..\r\n", "Wait for it."},           {5, "First line.\r\nSecond line.\r\n", "First line"},
        {5, "Unix line.\nMore.\n", "Unix line"},            {5, "Carriage only.\rMore", "Carriage only"},
        {5, ".\r\n", ""},                                   {5, "", "Unknown error 5"}, // an empty text is none
        {4294967295u, nullptr, "Unknown error 4294967295"},
    };
    for (const auto &[code, text, shown] : texts) {
        setUpPc();
        fail("DeviceIoControl", 8, code); // E:'s lock
        if (text)
            machine.errorTexts[code] = text;
        EXPECT_EQ(dialogue('E') + fatal(std::string("Error locking drive E: ") + shown) + kPause, fake::run().screen) << shown;
    }

    // A path too long for the buffer is cut, and names no file.
    for (size_t length : {200, 236, 237, 259, 260, 600}) {
        setUpPc();
        machine.programPath = "C:\\" + std::string(length - 3, 'p');
        fail("CreateFileW", 1, ERROR_FILE_NOT_FOUND);
        run = fake::run();
        std::string path = machine.programPath.substr(0, MAX_PATH - 1);
        std::string message = "CreateFile (\"" + path + "\") error \"The system cannot find the file specified\"";
        EXPECT_EQ(dialogue('E') + fatal(message.substr(0, 255)) + kPause, run.screen) << length;
        EXPECT_GT(run.find("CreateFileW(\"" + path + "\", "), 0) << length;
    }
}

// Windows of any language: the program's file in a folder whose name the
// ANSI code page lacks, and the system's texts and the path in a report as
// they read, on a console (UTF-8 here) and in a file (the ANSI code page).
TEST(Program, EveryLanguage) {
    const std::string folder = "C:\\Users\\Дмитрий\\Загрузки\\ファーム\\fwdisk.exe";
    auto times = [](int n, const std::string &c) { std::string s; while (n--) s += c; return s; };
    // U+1D11E and U+1D11F: two UTF-16 units each, the second even and odd.
    const std::string clef = "\xF0\x9D\x84\x9E", fClef = "\xF0\x9D\x84\x9F", locked = "Error locking drive E: ";
    // The machine's ANSI code page (Russian: OEM 866 on its console), standard
    // output a console or a file, the program's path, the faults (the first
    // one's error has the system text, in UTF-8); the report shown, or none
    // when written.
    struct Case { const char *what; UINT ansi; bool console; std::string path; std::vector<fake::Fault> faults; std::string text, report; };
    const Case cases[] = {
        {"folder, English", 1252, true, folder, {}, "", ""},
        {"folder, Russian", 1251, true, folder, {}, "", ""},
        {"text, console", 1251, true, "", {{"WriteFile", 1, 19, 0}}, "Защищено от записи.\r\n", "WriteFile error \"Защищено от записи\""},
        {"text, file", 1251, false, "", {{"WriteFile", 1, 19, 0}}, "Защищено от записи.\r\n", "WriteFile error \"Защищено от записи\""},
        {"opening, console", 1251, true, "", {{"CreateFileA", 27, 5, 0}}, "Доступ запрещён.\r\n", "error opening drive E: Доступ запрещён\n"},
        {"path, console", 1252, true, folder, {{"GetFileSize", 1, 0, 0}}, "", "No FWDISK image in program file \"" + folder + "\""},
        {"path, file, English", 1252, false, folder, {{"GetFileSize", 1, 0, 0}}, "",
         R"(No FWDISK image in program file "C:\Users\???????\????????\????\fwdisk.exe")"},
        {"path, file, Russian", 1251, false, folder, {{"GetFileSize", 1, 0, 0}}, "",
         "No FWDISK image in program file \"C:\\Users\\Дмитрий\\Загрузки\\????\\fwdisk.exe\""},
        {"255 characters, console", 1251, true, "", {{"DeviceIoControl", 8, 5, 0}}, times(600, "Ж") + ".", locked + times(232, "Ж")},
        {"255 characters, file", 1251, false, "", {{"DeviceIoControl", 8, 5, 0}}, times(600, "Ж") + ".", locked + times(232, "Ж")},
        {"255 characters outside UTF-16's first plane, system text", 1252, true, "", {{"DeviceIoControl", 8, 5, 0}},
         times(300, fClef), locked + times(232, fClef)},
        {"255 characters of a long path", 1252, true, "C:\\" + times(256, "フ"), {{"CreateFileW", 1, 2, 0}}, "",
         "CreateFile (\"C:\\" + times(239, "フ")},
        {"255 characters outside UTF-16's first plane", 1252, true, "C:\\" + std::string(230, 'p') + times(13, clef),
         {{"CreateFileW", 1, 2, 0}}, "", "CreateFile (\"C:\\" + std::string(230, 'p') + times(9, clef)},
        {"English, file", 1252, false, "", {{"DeviceIoControl", 8, 5, 0}}, "Access is denied.\r\n", "Error locking drive E: Access is denied"},
        // A Russian display language on an English Windows; a Greek folder
        // with letters that have lookalikes in the ANSI code page.
        {"Russian text, English Windows", 1252, true, "", {{"WriteFile", 1, 19, 0}}, "Защищено от записи.\r\n",
         "WriteFile error \"Защищено от записи\""},
        {"Greek path, file", 1252, false, "C:\\Χρήστες\\Λήψεις\\fwdisk.exe", {{"GetFileSize", 1, 0, 0}}, "",
         R"(No FWDISK image in program file "C:\???????\??????\fwdisk.exe")"},
        {"Japanese, file", 932, false, folder, {{"WriteFile", 1, 19, 0}}, "メディアは書き込み禁止になっています。\r\n",
         "WriteFile error \"メディアは書き込み禁止になっています。\""},
    };
    for (const Case &c : cases) {
        setUpPc();
        machine.ansiCodePage = c.ansi;
        machine.oemCodePage = c.ansi == 1251 ? 866 : c.ansi == 932 ? 932 : 437;
        machine.console = c.console;
        if (!c.path.empty())
            machine.programPath = c.path;
        machine.faults = c.faults;
        if (!c.text.empty())
            machine.errorTexts[c.faults[0].error] = c.text;
        fake::Run run = fake::run();
        const std::string shown = c.report.empty() ? success('E') : fatal(c.report);
        if (c.console)
            EXPECT_EQ(dialogue('E') + shown + kPause, run.screen) << c.what;
        else
            EXPECT_EQ(dialogue('E') + fake::inCodePage(c.ansi, shown), run.screen) << c.what;
        EXPECT_EQ(c.report.empty() ? 0 : 1, run.exitCode) << c.what;
        EXPECT_EQ(c.report.empty(), run.written == machine.programFile.substr(4099)) << c.what;
    }

    // The report's way to the console: the system's text fetched in UTF-16,
    // each line written whole, the line feeds through the runtime; no code
    // page changed.
    setUpPc();
    machine.errorTexts[5] = "Доступ запрещён.\r\n";
    fail("CreateFileA", 27, 5);
    fake::Run run = fake::run();
    const Calls report = {
        "GetLastError() = 5",
        "FormatMessageW(0x1300, NULL, 5, 0x400, &, 0, NULL) = 18",
        "GetStdHandle(-11) = stdout",
        "GetConsoleMode(stdout, &) = 1",
        "WriteConsoleW(stdout, \"*** error opening drive E: Доступ запрещён\", 42, &, NULL) = 1",
        "WriteConsoleW(stdout, \" ***\", 4, &, NULL) = 1",
        "_getch() = 32",
    };
    Calls seen;
    for (auto call = run.calls.begin() + run.find("CreateFileA(\"\\\\.\\E:\", 0xc0000000, 3, NULL, 3, 0, NULL) = INVALID") + 1;
         call != run.calls.end(); ++call)
        if (call->rfind("MultiByteToWideChar(", 0) != 0 && call->rfind("WideCharToMultiByte(", 0) != 0)
            seen.push_back(*call);
    EXPECT_EQ(report, seen);
}

// A program file laid out as the cases below ask: `code` bytes of program
// (its sections ending `gap` bytes before the image), the image, `table`
// bytes of certificate table; `cut` bytes cut off the end; the PE header at
// `header` (< 0: from the end), PE32+ as a 64-bit program has it when `plus`;
// then `bytes` bytes `at` from its start set to `value`; `last` the one of
// three sections that ends last.
struct Layout {
    const char *what;
    bool plus = false;
    size_t code = 4099, table = 0;
    long long header = 128, at = 0;
    unsigned long long value = 'P';
    int bytes = 1;
    size_t gap = 0, cut = 0;
    int last = 1;
    long long start = 0; // where the image starts; -1: refused; 0 here: before the table, or the end
};

static std::string layOut(const Layout &c) {
    auto put = [](std::string &f, size_t at, unsigned long long v, int bytes) {
        for (int i = 0; i < bytes && at + i < f.size(); ++i)
            f[at + i] = (char)(v >> 8 * i);
    };
    std::string f = programFile(c.code) + std::string(c.table, '\x5A');
    f.resize(f.size() - c.cut);
    size_t h = c.header < 0 ? f.size() + c.header : c.header;
    f.replace(0, 2, "MZ");
    put(f, 60, h, 4);
    if (h < f.size()) {
        // PE32+ has its directories 16 bytes further on, and so its sections.
        const size_t more = c.plus ? 16 : 0, certificates = h + 152 + more, sections = h + 248 + more;
        for (size_t i = certificates + 8; i < std::min(sections + 120, f.size()); ++i)
            f[i] = 0; // the directories past the certificates', and the sections
        f.replace(h, 4, "PE\0\0", 4);
        put(f, h + 6, 3, 2); // sections
        put(f, h + 20, 224 + more, 2);
        put(f, h + 24, c.plus ? 0x20B : 0x10B, 2);
        put(f, h + 116 + more, 16, 4);
        put(f, certificates, (f.size() - c.table) | (unsigned long long)c.table << 32, 8); // offset, size
        for (int i = 0; i < 3; ++i) { // each ends half way to the sections' end but the last
            size_t end = i == c.last ? c.code - c.gap : (c.code - c.gap) / 2;
            put(f, sections + 40 * i + 16, (end - end / 2) | (unsigned long long)(end / 2) << 32, 8); // size, offset
        }
        put(f, h + c.at, c.value, c.bytes);
    }
    return f;
}

// A signed program file ends with its certificate table: the image ends
// where the table begins, when the PE header says so plainly; otherwise it
// ends the file. An image that would begin inside the program's sections is
// a file cut short, and so is a file shorter than the image.
TEST(ProgramFile, TheImageFoundInSignedAndDamagedFiles) {
    const long long refused = -1, signedAt = 4099, unsignedAt = 4099 + 3000;
    const Layout cases[] = {
        {.what = "signed, the image right after the sections", .table = 3000, .start = signedAt},
        {.what = "nothing before the image", .code = 0, .table = 3000},
        {.what = "unsigned, nothing before the image", .code = 0, .at = 152, .value = 0, .bytes = 8},
        {.what = "header last in the file", .table = 3000, .header = -160, .start = signedAt},
        {.what = "header a byte too near the end", .table = 3000, .header = -159, .start = unsignedAt},
        {.what = "header outside the file", .table = 3000, .header = 0xFFFFFFF0, .bytes = 0, .start = unsignedAt},
        {.what = "header where its magic would run past the end", .table = 3000, .header = -25, .start = unsignedAt},
        {.what = "header offset past 16 MB, its low bytes the header's", .table = 3000, .at = -68, .value = 0x1000080,
         .bytes = 4, .start = unsignedAt},
        {.what = "table stops short of the end", .table = 3000, .at = 156, .value = 2999, .bytes = 4, .start = unsignedAt},
        {.what = "table runs past the end", .table = 3000, .at = 156, .value = 3001, .bytes = 4, .start = unsignedAt},
        {.what = "no table", .table = 3000, .at = 152, .value = 0, .bytes = 8, .start = unsignedAt},
        {.what = "too little before the table", .code = 0, .table = 3000, .at = 152,
         .value = 3001ull << 32 | (IMAGE_SIZE - 1), .bytes = 8, .start = 3000},
        {.what = "no MZ", .table = 3000, .at = -127, .value = 'X', .start = unsignedAt},
        {.what = "no MZ either", .table = 3000, .at = -128, .value = 'X', .start = unsignedAt},
        {.what = "no MZ, nothing before the image", .code = 0, .at = -128, .value = 'X'},
        {.what = "bad signature", .table = 3000, .at = 3, .value = 1, .start = unsignedAt},
        {.what = "bad signature start", .table = 3000, .value = 'Q', .start = unsignedAt},
        {.what = "PE32+ magic, laid out as PE32", .table = 3000, .at = 24, .value = 0x20B, .bytes = 2, .start = unsignedAt},
        {.what = "neither PE32 nor PE32+", .table = 3000, .at = 24, .value = 0x10C, .bytes = 2, .start = unsignedAt},
        {.what = "optional header too short", .table = 3000, .at = 20, .value = 135, .bytes = 2, .start = unsignedAt},
        {.what = "optional header just long enough", .table = 3000, .at = 20, .value = 136, .bytes = 2, .start = signedAt},
        {.what = "4 data directories", .table = 3000, .at = 116, .value = 4, .bytes = 4, .start = unsignedAt},
        {.what = "5 data directories", .table = 3000, .at = 116, .value = 5, .bytes = 4, .start = signedAt},
        {.what = "cut short by a byte", .cut = 1, .last = 0, .start = refused},
        {.what = "cut short by 4,096 bytes", .cut = 4096, .last = 2, .start = refused},
        {.what = "padding before the image", .gap = 99, .start = 4099},
        {.what = "signed, padding before the image", .table = 3000, .gap = 1, .start = signedAt},
        {.what = "cut short, section table last in the file", .header = -368, .cut = 1, .start = refused},
        {.what = "cut short, section table a byte past the end", .header = -367, .cut = 1, .start = 4098},
        {.what = "cut short, section table far past the end", .at = 6, .value = 0xFFFF, .bytes = 2, .cut = 1, .start = 4098},
        {.what = "section table far past the end, nothing before the image", .code = 0, .at = 6, .value = 0xFFFF, .bytes = 2},
        {.what = "a section starting past the end, at 16 MB", .at = 268, .value = 0x1000000, .bytes = 4, .start = refused},
        {.what = "a section of 16 MB", .at = 264, .value = 0x1000000, .bytes = 4, .start = refused},
        // A 64-bit program's PE32+ header: its directories 16 bytes further on.
        {.what = "PE32+, signed", .plus = true, .table = 3000, .start = signedAt},
        {.what = "PE32+, no table", .plus = true, .table = 3000, .at = 168, .value = 0, .bytes = 8, .start = unsignedAt},
        {.what = "PE32+, header last in the file", .plus = true, .table = 3000, .header = -176, .start = signedAt},
        {.what = "PE32+, header a byte too near the end", .plus = true, .table = 3000, .header = -175, .start = unsignedAt},
        {.what = "PE32+, optional header too short", .plus = true, .table = 3000, .at = 20, .value = 151, .bytes = 2, .start = unsignedAt},
        {.what = "PE32+, optional header just long enough", .plus = true, .table = 3000, .at = 20, .value = 152, .bytes = 2, .start = signedAt},
        {.what = "PE32+, 4 data directories", .plus = true, .table = 3000, .at = 132, .value = 4, .bytes = 4, .start = unsignedAt},
        {.what = "PE32+, 5 data directories", .plus = true, .table = 3000, .at = 132, .value = 5, .bytes = 4, .start = signedAt},
        {.what = "PE32+, cut short by 4,096 bytes", .plus = true, .cut = 4096, .last = 2, .start = refused},
        {.what = "PE32+, a section of 16 MB", .plus = true, .at = 280, .value = 0x1000000, .bytes = 4, .start = refused},
    };
    for (const Layout &c : cases) {
        const std::string f = layOut(c);
        // Exactly the file's bytes, so that a read past its end shows.
        std::unique_ptr<unsigned char[]> view(new unsigned char[f.size()]);
        memcpy(view.get(), f.data(), f.size());
        EXPECT_EQ(c.start ? c.start : c.code, imageStart(view.get(), (uint32_t)f.size())) << c.what;
    }
    for (size_t size : {0, 1, 63, 64, IMAGE_SIZE - 1}) {
        std::unique_ptr<unsigned char[]> view(new unsigned char[size + 1]);
        memcpy(view.get(), layOut({.what = "short", .code = 0}).data(), size);
        EXPECT_EQ(-1, imageStart(view.get(), (uint32_t)size)) << size;
    }
}

// The run writes the image the file carries, from its first byte on when
// nothing comes before it, and refuses a copy cut short: it says so, and
// nothing is written.
TEST(Program, WritesTheImageOfASignedFileAndRefusesOneCutShort) {
    setUpPc();
    machine.programFile = layOut({.what = "signed", .table = 3000});
    fake::Run run = fake::run();
    EXPECT_EQ(0, run.exitCode);
    EXPECT_GE(run.find("WriteFile(vol:E, view+4099, 1474560,"), 0);
    EXPECT_TRUE(run.written == machine.programFile.substr(4099, IMAGE_SIZE));

    // Nothing before the image: the whole file is written.
    setUpPc();
    machine.programFile = programFile(0);
    EXPECT_TRUE(fake::run().written == machine.programFile);

    setUpPc();
    machine.programFile = layOut({.what = "cut short", .cut = 4096, .last = 2});
    run = fake::run();
    EXPECT_EQ(dialogue('E') + fatal(R"(No FWDISK image in program file "C:\Tools\fwdisk.exe")") + kPause, run.screen);
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(-1, run.find("WriteFile"));
}
