// Each way a run can fail: what it says, what it closes, and that no run
// reports an image that is not wholly on the drive.
#include "pc.h"

#include <functional>
#include <map>
#include <set>
#include <vector>

using Calls = std::vector<std::string>;
const std::string kNoMemory = "Not enough memory resources are available to process this command";

TEST(Failure, EachFailureSaysWhyAndClosesWhatItMust)
{
    struct Case {
        std::function<void()> setUp;
        std::string failing;   // the call that fails, after the dialogue
        std::string shown;     // the screen after the dialogue
        Calls after;           // the calls after the failing one
        const char *openAtExit;
        size_t written;
    };
    const std::string text5 = "FormatMessageA(0x1300, NULL, 5, 0x400, &text, 0, NULL) = 19";
    const std::string text8 = "FormatMessageA(0x1300, NULL, 8, 0x400, &text, 0, NULL) = 68";
    const std::string text29 = "FormatMessageA(0x1300, NULL, 29, 0x400, &text, 0, NULL) = 50";
    const std::string badFile = "No FWDISK image in program file \"C:\\Tools\\fwdisk.exe\"";
    const std::string end = "_getch() = 32";
    const Case cases[] = {
        {[] { fail("CreateFileA", 27, ERROR_ACCESS_DENIED); }, "CreateFileA(\"\\\\.\\E:",
         fatal("error opening drive E: Access is denied\n"),
         {"GetLastError() = 5", text5, end}, "[]", 0},
        {[] { fail("DeviceIoControl", 8, ERROR_ACCESS_DENIED); }, "DeviceIoControl(vol:E, 0x90018",
         fatal("Error locking drive E: Access is denied"),
         {"GetLastError() = 5", text5, end}, "[vol:E]", 0},
        {[] { fail("CreateFileA", 28, ERROR_NOT_ENOUGH_MEMORY); }, "CreateFileA(\"C:",
         fatal("CreateFile (\"C:\\Tools\\fwdisk.exe\") error \"" + kNoMemory + "\""),
         {"GetLastError() = 8", text8, end}, "[vol:E]", 0},
        {[] { fail("CreateFileMappingA", 1, ERROR_NOT_ENOUGH_MEMORY); }, "CreateFileMappingA",
         fatal("CreateFileMapping error \"" + kNoMemory + "\""),
         {"CloseHandle(file) = 1", "GetLastError() = 8", text8, end}, "[vol:E]", 0},
        {[] { fail("MapViewOfFile", 1, ERROR_NOT_ENOUGH_MEMORY); }, "MapViewOfFile",
         fatal("MapViewOfFile error \"" + kNoMemory + "\""),
         {"CloseHandle(vol:E) = 1", "CloseHandle(map) = 1", "CloseHandle(file) = 1",
          "GetLastError() = 8", text8, end}, "[]", 0},
        {[] { fail("WriteFile", 1, ERROR_WRITE_PROTECT); }, "WriteFile",
         fatal("WriteFile error \"The media is write protected\""),
         {"GetLastError() = 19", "FormatMessageA(0x1300, NULL, 19, 0x400, &text, 0, NULL) = 31", end},
         "[file map vol:E]", 0},
        // A write the system calls successful but that stopped short.
        {[] { fail("WriteFile", 1, 0, 512); }, "WriteFile",
         fatal("WriteFile error \"The system cannot write to the specified device\""),
         {"SetLastError(29)", "GetLastError() = 29", text29, end}, "[file map vol:E]",
         IMAGE_SIZE - 512},
        {[] { machine.programFile.resize(IMAGE_SIZE - 1); }, "GetFileSize", fatal(badFile),
         {end}, "[file vol:E]", 0},
    };
    for (const Case &c : cases) {
        setUpPc();
        c.setUp();
        type("ey ");
        fake::Run run = fake::run();
        int failed = run.find(c.failing, run.find("_getch") + 2);
        ASSERT_GE(failed, 0) << c.failing;
        EXPECT_EQ(dialogue('E') + c.shown + kPause, run.screen) << c.failing;
        EXPECT_EQ(c.written == IMAGE_SIZE ? 0 : 1, run.exitCode) << c.failing;
        EXPECT_EQ(c.after, from(run, failed + 1)) << c.failing;
        EXPECT_EQ(c.openAtExit, run.openAtExit) << c.failing;
        EXPECT_TRUE(run.written == (c.written ? machine.programFile.substr(4099, c.written) : ""))
            << c.failing;
    }
}

TEST(Failure, SystemTextsShowTheirFirstLineAndMessagesAreCutTo255)
{
    const std::pair<const char *, const char *> texts[] = {
        {"Access is denied.\r\n", "Access is denied"},
        {"Access is denied", "Access is denied"},
        {"Wait for it..\r\n", "Wait for it."},
        {"First line.\r\nSecond line.\r\n", "First line"},
        {"Unix line.\nMore.\n", "Unix line"},
        {"Carriage only.\rMore", "Carriage only"},
        {".\r\n", ""},
        {"", "Unknown error 5"}, // an empty text is none
    };
    for (const auto &t : texts) {
        setUpPc();
        fail("DeviceIoControl", 8, ERROR_ACCESS_DENIED); // E:'s lock
        machine.errorTexts[ERROR_ACCESS_DENIED] = t.first;
        type("ey ");
        EXPECT_EQ(dialogue('E') + fatal(std::string("Error locking drive E: ") + t.second) + kPause,
                  fake::run().screen) << t.first;
    }
    // A code without a system text still gets one.
    setUpPc();
    fail("DeviceIoControl", 8, 4294967295u);
    type("ey ");
    EXPECT_EQ(dialogue('E') + fatal("Error locking drive E: Unknown error 4294967295") + kPause,
              fake::run().screen);

    // A path that does not fit the buffer is cut, and names no file.
    for (size_t length : {200, 236, 237, 259, 260, 600}) {
        setUpPc();
        machine.programPath = "C:\\" + std::string(length - 3, 'p');
        if (length < MAX_PATH)
            fail("CreateFileA", 28, ERROR_FILE_NOT_FOUND);
        type("ey ");
        fake::Run run = fake::run();
        std::string path = machine.programPath.substr(0, MAX_PATH - 1);
        std::string message = "CreateFile (\"" + path + "\") error \"The system cannot find the file specified\"";
        EXPECT_EQ(dialogue('E') + fatal(message.substr(0, 255)) + kPause, run.screen) << length;
        EXPECT_GT(run.find("CreateFileA(\"" + path + "\", "), 0) << length;
    }
}

// Every call of a good run fails in turn, alone and with its error text
// missing too. Each run ends with 0 and the whole image, or with 1 and a
// framed report; only the calls that must stop the run do.
TEST(Failure, EveryCallOfAGoodRunFailingInTurn)
{
    setUpPc();
    type("ey ");
    const fake::Run good = fake::run();
    const std::set<std::string> cannotFail = {"GetLastError", "SetLastError", "SetErrorMode", "_getch"};
    const std::set<std::string> mustStop = {
        "CreateFileA 27", "DeviceIoControl 8", "GetModuleFileNameA 1", "CreateFileA 28",
        "GetFileSize 1", "CreateFileMappingA 1", "MapViewOfFile 1", "WriteFile 1"};
    std::map<std::string, int> seen;
    std::set<std::string> stopped;
    for (const std::string &call : good.calls) {
        std::string name = call.substr(0, call.find('('));
        int nth = ++seen[name];
        if (cannotFail.count(name))
            continue;
        for (bool noText : {false, true}) {
            setUpPc();
            fail(name.c_str(), nth, ERROR_WRITE_FAULT);
            if (noText)
                fail("FormatMessageA", 0, ERROR_MR_MID_NOT_FOUND);
            bool pauses = name != "GetStdHandle" && name != "GetConsoleScreenBufferInfo";
            type(pauses ? "ey " : "ey");
            fake::Run run = fake::run();
            std::string what = name + " " + std::to_string(nth);
            std::string tail = pauses ? kPause : "";
            if (run.exitCode == 1) {
                stopped.insert(what);
                size_t frame = run.screen.find(fatal("").substr(0, 36));
                EXPECT_NE(std::string::npos, frame) << what;
                EXPECT_EQ(" ***\n" + tail, run.screen.substr(run.screen.size() - 5 - tail.size()))
                    << what;
                if (noText && name != "GetFileSize") {
                    EXPECT_NE(std::string::npos, run.screen.find("Unknown error ")) << what;
                }
            } else {
                EXPECT_EQ(0, run.exitCode) << what;
                EXPECT_EQ(success('E') + tail, run.screen.substr(run.screen.size() - success('E').size() - tail.size())) << what;
                EXPECT_TRUE(run.written == good.written) << what;
            }
            EXPECT_EQ(pauses ? 3 : 2, run.count("_getch")) << what;
        }
    }
    EXPECT_EQ(mustStop, stopped);
}

// A signed program file ends with its certificate table: the image ends
// where the table begins, when the PE header says so plainly.
TEST(Failure, ASignedProgramWritesTheImageBeforeItsCertificates)
{
    auto put = [](std::string &f, size_t at, unsigned long long v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            f[at + i] = (char)(v >> 8 * i);
    };
    using Edit = std::function<void(std::string &, size_t)>;
    auto set = [&](size_t offset, unsigned long long v, int bytes) -> Edit {
        return [=](std::string &f, size_t h) { put(f, h + offset, v, bytes); };
    };
    const Edit keep = [](std::string &, size_t) {};
    const size_t table = 3000;
    struct Case {
        const char *what;
        size_t code;      // program bytes before the image
        long long header; // where the PE header starts; < 0: from the end
        Edit edit;
        bool counts;      // the table counts
    };
    const Case cases[] = {
        {"signed", 4099, 128, keep, true},
        {"nothing before the image", 0, 128, keep, true},
        {"header last in the file", 4099, -160, keep, true},
        {"header a byte too near the end", 4099, -159, keep, false},
        {"header outside the file", 4099, 0xFFFFFFF0, keep, false},
        {"table stops short of the end", 4099, 128, set(156, table - 1, 4), false},
        {"table runs past the end", 4099, 128, set(156, table + 1, 4), false},
        {"no table", 4099, 128, set(152, 0, 8), false},
        {"no MZ", 4099, 128, [](std::string &f, size_t) { f[1] = 'X'; }, false},
        {"no MZ either", 4099, 128, [](std::string &f, size_t) { f[0] = 'X'; }, false},
        {"bad signature", 4099, 128, set(3, 1, 1), false},
        {"bad signature start", 4099, 128, set(0, 'Q', 1), false},
        {"PE32+", 4099, 128, set(24, 0x20B, 2), false},
        {"optional header too short", 4099, 128, set(20, 135, 2), false},
        {"optional header just long enough", 4099, 128, set(20, 136, 2), true},
        {"4 data directories", 4099, 128, set(116, 4, 4), false},
        {"5 data directories", 4099, 128, set(116, 5, 4), true},
    };
    for (const Case &c : cases) {
        setUpPc();
        std::string &f = machine.programFile = programFile(c.code) + std::string(table, '\x5A');
        size_t h = c.header < 0 ? f.size() + c.header : (size_t)c.header;
        f.replace(0, 2, "MZ");
        put(f, 60, h, 4);
        if (h + 160 <= f.size()) {
            f.replace(h, 4, "PE\0\0", 4);
            put(f, h + 20, 224, 2);
            put(f, h + 24, 0x10B, 2);
            put(f, h + 116, 16, 4);
            put(f, h + 152, c.code + IMAGE_SIZE, 4);
            put(f, h + 156, table, 4);
            c.edit(f, h);
        }
        type("ey ");
        fake::Run run = fake::run();
        size_t start = c.counts ? c.code : f.size() - IMAGE_SIZE;
        EXPECT_EQ(0, run.exitCode) << c.what;
        EXPECT_GE(run.find("WriteFile(vol:E, view+" + std::to_string(start) + ", 1474560"), 0) << c.what;
        EXPECT_TRUE(run.written == f.substr(start, IMAGE_SIZE)) << c.what;
    }
}
