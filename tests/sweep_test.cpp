// Every call of the successful run made to fail in turn, one at a time: each
// either ends the run with its fatal report or, where the program rightly
// ignores the answer, leaves the run as it was; none may claim an image that
// was not wholly written.
#include "machines.h"

#include "../src/volume.h"

#include <stdio.h>

#include <map>
#include <set>
#include <string>
#include <vector>

using fake::machine;

namespace {

// Calls the scripted machine cannot make fail.
const std::set<std::string> kCannotFail = {"GetLastError", "SetLastError", "SetErrorMode",
                                           "_getch"};

std::string callName(const std::string &line)
{
    return line.substr(0, line.find('('));
}

// One call of a run: its name, which call of that name it is (1-based), and
// where it stands in the log.
struct Step {
    std::string name;
    int nth;
    size_t index;
};

std::vector<Step> steps(const RunResult &run)
{
    std::vector<Step> out;
    std::map<std::string, int> seen;
    for (size_t i = 0; i < run.calls.size(); ++i) {
        std::string name = callName(run.calls[i]);
        int nth = ++seen[name];
        if (!kCannotFail.count(name))
            out.push_back({name, nth, i});
    }
    return out;
}

// Log index of the nth (1-based) key read, or the log's length.
size_t keyRead(const RunResult &run, int nth)
{
    int at = -1;
    for (int i = 0; i < nth; ++i) {
        at = run.find("_getch", at + 1);
        if (at < 0)
            return run.calls.size();
    }
    return (size_t)at;
}

// The line of the log that is the nth call to `name`, or "".
std::string nthCall(const RunResult &run, const std::string &name, int nth)
{
    for (const std::string &c : run.calls)
        if (callName(c) == name && --nth == 0)
            return c;
    return "";
}

// What holds for any run of the "ey " dialogue, whatever failed in it.
void expectSound(const RunResult &run, const std::string &image)
{
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 1) << "exit " << run.exitCode;

    const bool success = run.screen.find("Congratulations") != std::string::npos;
    EXPECT_EQ(success, run.exitCode == 0);
    if (success) {
        EXPECT_EQ(image, run.written);
        EXPECT_EQ(1u, run.callsTo("WriteFile(vol:E, view+4099, 1474560, &n, NULL) = 1 n=1474560")
                          .size());
    }

    // Nothing goes to a volume before the answer to the confirmation is in.
    const size_t confirm = keyRead(run, 2);
    int write = run.find("WriteFile");
    EXPECT_TRUE(write < 0 || (size_t)write > confirm);

    // The pause waits for exactly one key, and only when the console said the
    // cursor was at the top left.
    const bool pause = run.find("GetConsoleScreenBufferInfo(stdout, &info) = 1 cursor=0,0") >= 0;
    EXPECT_EQ(2u + pause, run.callsTo("_getch").size());
    const bool shown = run.screen.size() >= kPause.size()
                       && run.screen.compare(run.screen.size() - kPause.size(), kPause.size(),
                                             kPause) == 0;
    EXPECT_EQ(pause, shown);

    // Each volume the scan opened is closed before the next letter is tried.
    const size_t scanEnd = keyRead(run, 1);
    for (size_t i = 0; i < scanEnd; ++i) {
        const std::string &c = run.calls[i];
        size_t vol = c.rfind("= vol:");
        if (callName(c) != "CreateFileA" || vol == std::string::npos)
            continue;
        int next = run.find("CreateFileA", i + 1);
        size_t end = next < 0 || (size_t)next > scanEnd ? scanEnd : (size_t)next;
        int close = run.find("CloseHandle(" + c.substr(vol + 2) + ")", i + 1);
        EXPECT_TRUE(close > 0 && (size_t)close < end) << c;
    }
}

// The drive list line of `letter` taken out of a screen, if it is there.
std::string withoutDrive(std::string screen, char letter)
{
    size_t at = screen.find(std::string("\n ") + letter + ": ");
    if (at != std::string::npos)
        screen.erase(at, screen.find('\n', at + 1) - at);
    return screen;
}

// The screen a run ending with the fatal report `message` shows.
std::string failed(const std::string &message)
{
    return dialogue('E') + fatal(message) + kPause;
}

// The screen expected when `step` of the successful run fails, or "" when
// the sweep knows nothing of that call.
std::string expectedScreen(const RunResult &good, const Step &step, bool shortWrite)
{
    const std::string &line = good.calls[step.index];
    const std::string path = machine.programPath;
    const std::string denied = "Access is denied";

    if (step.index < keyRead(good, 1)) {
        if (step.name == "GetStdHandle" || step.name == "GetConsoleScreenBufferInfo")
            return good.screen.substr(0, good.screen.size() - kPause.size());
        int open = -1;
        for (int i = 0; i <= (int)step.index; ++i)
            if (callName(good.calls[i]) == "CreateFileA")
                open = i;
        if (open < 0)
            return "";
        char letter = good.calls[open][17];   // CreateFileA("\\.\X:"
        // A volume that cannot be closed has still been measured.
        return step.name == "CloseHandle" ? good.screen : withoutDrive(good.screen, letter);
    }
    if (step.index < keyRead(good, 2))
        return "";
    if (step.name == "CreateFileA" && line.find("\"\\\\.\\E:\"") != std::string::npos)
        return failed("error opening drive E: " + denied + "\n");
    if (step.name == "CreateFileA" && line.find("\"" + path + "\"") != std::string::npos)
        return failed("CreateFile (\"" + path + "\") error \"" + denied + "\"");
    // Without its own path the program can only try to open "", and that
    // open fails on its own: the report names the empty path.
    if (step.name == "GetModuleFileNameA")
        return failed("CreateFile (\"\") error \"The system cannot find the file specified\"");
    if (step.name == "DeviceIoControl" && line.find("FSCTL_LOCK_VOLUME") != std::string::npos)
        return failed("Error locking drive E: " + denied);
    // The image is on the drive by then: these answers change nothing.
    if ((step.name == "DeviceIoControl"
         && (line.find("FSCTL_DISMOUNT_VOLUME") != std::string::npos
             || line.find("FSCTL_UNLOCK_VOLUME") != std::string::npos))
        || step.name == "CloseHandle")
        return good.screen;
    if (step.name == "GetFileSize")
        return failed("No FWDISK image in program file \"" + path + "\"");
    if (step.name == "CreateFileMappingA")
        return failed("CreateFileMapping error \"" + denied + "\"");
    if (step.name == "MapViewOfFile")
        return failed("MapViewOfFile error \"" + denied + "\"");
    if (step.name == "WriteFile")
        return failed("WriteFile error \""
                      + std::string(shortWrite ? "The system cannot write to the specified device"
                                               : denied)
                      + "\"");
    return "";
}

// The system text for `code` as a report shows it.
std::string shownText(DWORD code)
{
    std::string text = machine.errorTexts.at(code);
    text = text.substr(0, text.find_first_of("\r\n"));
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

// Reruns a failing run once for each of its error text lookups with that
// lookup failing too: the report then gives the code instead of the text.
void sweepErrorTexts(const Step &step, DWORD shortBy, const RunResult &failing,
                     std::map<std::string, int> &swept)
{
    const std::string image = imageOf(machine.programFile);
    const size_t texts = failing.callsTo("FormatMessageA").size();
    for (int nth = 1; nth <= (int)texts; ++nth) {
        SCOPED_TRACE("and FormatMessageA #" + std::to_string(nth));
        std::string lookup = nthCall(failing, "FormatMessageA", nth);
        DWORD code = (DWORD)std::stoul(lookup.substr(lookup.find("NULL, ") + 6));
        setUpPc();
        fail(step.name.c_str(), step.nth, ERROR_ACCESS_DENIED, shortBy);
        fail("FormatMessageA", nth, ERROR_NOT_ENOUGH_MEMORY);
        typeKeys("ey ");
        RunResult run = runProgram();
        ++swept["FormatMessageA"];

        expectSound(run, image);
        std::string expected = failing.screen;
        size_t at = expected.find(shownText(code));
        ASSERT_NE(std::string::npos, at);
        expected.replace(at, shownText(code).size(), "Unknown error " + std::to_string(code));
        EXPECT_EQ(expected, run.screen);
        EXPECT_EQ(failing.written, run.written);
    }
}

} // namespace

TEST(FaultSweep, EachCallOfTheImagingRunFailingAloneEndsItSafely)
{
    setUpPc();
    typeKeys("ey ");
    const RunResult good = runProgram();
    ASSERT_EQ(0, good.exitCode);
    const std::string image = imageOf(machine.programFile);
    ASSERT_EQ(image, good.written);

    std::map<std::string, int> swept;
    for (const Step &step : steps(good)) {
        // A write can also come back successful but short.
        for (DWORD shortBy : {0u, 1u}) {
            if (shortBy && step.name != "WriteFile")
                continue;
            SCOPED_TRACE(step.name + " #" + std::to_string(step.nth)
                         + (shortBy ? " short" : " failing") + ": " + good.calls[step.index]);
            const std::string expected = expectedScreen(good, step, shortBy);
            ASSERT_NE("", expected) << "a call the sweep has no outcome for";

            setUpPc();
            fail(step.name.c_str(), step.nth, ERROR_ACCESS_DENIED, shortBy);
            typeKeys("ey ");
            RunResult run = runProgram();
            ++swept[step.name];

            expectSound(run, image);
            // The fault took: that call's answer differs from the good run's.
            EXPECT_NE(good.calls[step.index], nthCall(run, step.name, step.nth));
            EXPECT_EQ(expected, run.screen);
            if (run.exitCode == 0)
                continue;
            EXPECT_EQ(shortBy ? image.substr(0, image.size() - shortBy) : "", run.written);
            sweepErrorTexts(step, shortBy, run, swept);
        }
        if (::testing::Test::HasFatalFailure())
            return;
    }

    std::string summary;
    int total = 0;
    for (const auto &s : swept) {
        summary += " " + s.first + " x" + std::to_string(s.second);
        total += s.second;
    }
    printf("swept %d failing runs:%s\n", total, summary.c_str());
    // Every kind of call the program makes was made to fail somewhere.
    for (const char *name : {"CreateFileA", "DeviceIoControl", "GetDriveTypeA", "CloseHandle",
                             "GetModuleFileNameA", "GetFileSize", "CreateFileMappingA",
                             "MapViewOfFile", "WriteFile", "FormatMessageA", "GetStdHandle",
                             "GetConsoleScreenBufferInfo"})
        EXPECT_GT(swept[name], 0) << name;
}
