// fwdisk: writes the diskette image carried after the program in its own file
// over the start of a removable drive, so that the server boots from it.
//
// One straight pass: list the removable drives that can take the image, ask
// for a letter and a confirmation, lock the volume, write the image in one
// raw write, dismount, unlock, report. Exit code 0 after a written image,
// 1 in every other case.
#include <windows.h>
#include <conio.h>

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "imagewrite.h"
#include "programfile.h"
#include "volume.h"

// Leaves the last text on the screen until the user presses any key; the key
// itself is discarded.
static void waitForKey(void)
{
    printf("\n(press a key to exit)");
    _getch();
}

// Returns 1 when the cursor of the console behind standard output stands at
// column 0 of row 0, as it does in a console window opened for this program
// alone; 0 when it stands anywhere else or cannot be read (no console, output
// redirected), so that such a run never waits for a key.
int isCursorHomed(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;

    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.dwCursorPosition.X == 0 && info.dwCursorPosition.Y == 0;
}

// Ends the UTF-16 `text` at its first `unit`, if it has one.
static void cutAt(WCHAR *text, WCHAR unit)
{
    for (; *text != 0; ++text)
        if (*text == unit) {
            *text = 0;
            return;
        }
}

// Cuts the UTF-16 `text` after its first `count` characters, if it has more;
// never between the two units of one character.
static void cutWide(WCHAR *text, int count)
{
    for (; *text != 0; ++text)
        if ((*text & 0xFC00) != 0xDC00 && count-- == 0) {
            *text = 0;
            return;
        }
}

// Returns the first line of the system's text for error `code` (0: the
// thread's last error), without its line end and without one final full stop,
// in UTF-8 and in whatever language the system's texts are: it is fetched
// in UTF-16, so no letter is lost to the ANSI code page. Cut to the 255
// characters a report can show. A code the system has no text for gives
// "Unknown error N"; the result is never null, and the next call overwrites
// it.
char *winErrorText(DWORD code)
{
    // The system's text for the latest code asked, never freed.
    static WCHAR *position;
    // The latest result: up to 255 characters in UTF-8, four bytes at most
    // each, or the stand-in text.
    static char text[4 * 255 + 1];

    if (code == 0)
        code = GetLastError();
    position = NULL;
    if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
                            | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                        (LPWSTR)&position, 0, NULL)
        || position == NULL) {
        sprintf(text, "Unknown error %u", (unsigned)code);
        return text;
    }
    cutAt(position, '\n');
    cutAt(position, '\r');
    size_t length = 0;
    while (position[length] != 0)
        ++length;
    if (length > 0 && position[length - 1] == '.')
        position[length - 1] = 0;

    cutWide(position, 255);
    if (WideCharToMultiByte(CP_UTF8, 0, position, -1, text, sizeof text, NULL, NULL) == 0)
        text[0] = '\0';
    return text;
}

// Returns the program's path as UTF-8, for a report. The next call
// overwrites it.
static const char *pathText(const WCHAR *path)
{
    // The latest result: three bytes at most for each of the path's
    // MAX_PATH characters.
    static char text[3 * MAX_PATH + 1];

    WideCharToMultiByte(CP_UTF8, 0, path, -1, text, sizeof text, NULL, NULL);
    return text;
}

// The longest fatal message in UTF-8, with its end: 255 characters of four
// bytes, the longest.
static const int messageRoom = 1024;
// The longest framed report line in UTF-8, with its end: the message,
// "\n*** " before it and " ***\n" after it.
static const int lineRoom = messageRoom + 16;

// Prints the UTF-8 report line `text` (at most lineRoom bytes) to standard
// output so that every character reads right. On a console it goes through
// WriteConsoleW, line by line, each line feed through the runtime as any
// other; whatever the console's code page, it is left as it was. Elsewhere
// (a file, a pipe) its bytes are in the ANSI code page, a character the code
// page lacks written as '?', never as a lookalike that would name another
// file.
static void show(const char *text)
{
    // `text` in UTF-16: no more units than it has bytes.
    WCHAR wide[lineRoom];
    DWORD mode;

    // Its bytes as they are, should a conversion ever fail, rather than no
    // report at all.
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, sizeof wide / sizeof *wide) == 0) {
        fputs(text, stdout);
        return;
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(out, &mode)) {
        // `text` in the ANSI code page: two bytes at most for each unit.
        char bytes[2 * lineRoom];
        if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, bytes, sizeof bytes, NULL, NULL) == 0)
            fputs(text, stdout);
        else
            fputs(bytes, stdout);
        return;
    }
    for (const WCHAR *line = wide; *line != 0;) {
        DWORD length = 0;
        while (line[length] != 0 && line[length] != '\n')
            ++length;
        DWORD written;
        if (length > 0)
            WriteConsoleW(out, line, length, &written, NULL);
        line += length;
        if (*line == '\n') {
            putchar('\n');
            ++line;
        }
    }
}

// Cuts the UTF-8 `text` after its first `count` characters, if it has more;
// never inside a character.
static void cutCharacters(char *text, int count)
{
    for (char *at = text; *at != '\0'; ++at)
        if ((*at & 0xC0) != 0x80 && count-- == 0) {
            *at = '\0';
            return;
        }
}

// Prints the fatal report framed by asterisks, waits for a key when `pause`
// is set, and ends the process with exit code 1. Never returns. The format
// and its texts are UTF-8; the message is cut to 255 characters.
void logError(int pause, const char *format, ...)
{
    char message[messageRoom];
    char line[lineRoom];
    va_list args;

    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    message[sizeof message - 1] = '\0';
    cutCharacters(message, 255);

    printf("\n                              ");
    sprintf(line, "\n*** %s ***\n", message);
    show(line);
    if (pause)
        waitForKey();
    exit(1);
}

// Returns the decimal digits of `value` with a comma between groups of three
// ("0" for 0). The text lives in a ring of four slots: it stays valid through
// the next three calls and is overwritten by the fourth.
char *commanumber(unsigned long long value)
{
    // Four result slots; the last character of each is never written, so it
    // stays the zero that ends every result.
    static char outbuf[4][28];
    // The slot the next call fills.
    static int cycle;
    char scratch[28];
    char *slot = outbuf[cycle];
    int from = 26;
    int to = 26;
    int copied = 0;

    // The number right-aligned in 27 characters, the last digit at 26.
    memset(scratch, ' ', 27);
    scratch[27] = '\0';
    do {
        scratch[from--] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);

    for (from = 26; from >= 0 && scratch[from] != ' '; --from) {
        if (copied == 3) {
            slot[to--] = ',';
            copied = 0;
        }
        slot[to--] = scratch[from];
        ++copied;
    }
    cycle = (cycle + 1) % 4;
    return slot + to + 1;
}

// Returns the capacity as the drive list shows it: whole decimal megabytes
// with separators from 32 MB up, megabytes of 1,024,000 bytes with two
// decimals from 1,474,560 bytes up, otherwise kilobytes of 1,024 bytes with
// two decimals. The text is overwritten by the next call.
char *capacityText(unsigned long long bytes)
{
    // The latest result.
    static char text[40];
    // Rounded half up; split so that the largest capacities cannot wrap.
    unsigned long long mb = bytes / 1000000 + (bytes % 1000000 >= 500000 ? 1 : 0);

    if (mb > 31)
        sprintf(text, "%s MB", commanumber(mb));
    else if (bytes >= 1474560)
        sprintf(text, "%.2f MB", (double)bytes / 1024 / 1000);
    else
        sprintf(text, "%.2f KB", (double)bytes / 1024);
    return text;
}

// Lists the removable drives whose medium holds at least `minimum` bytes,
// then asks for a drive letter and a Y/N confirmation, one key each.
// Returns the confirmed upper-case letter, or 0 when the key is not a letter
// or the answer is not y or Y. The letter need not be one of those listed.
int findAvailableDrive(int minimum)
{
    const unsigned long long least = (unsigned long long)(long long)minimum;
    char root[10];

    for (int letter = 'A'; letter <= 'Z'; ++letter) {
        sprintf(root, "%c:\\", letter);
        int excluded = 0;

        HANDLE volume = openDisk(letter);
        if (volume == INVALID_HANDLE_VALUE)
            continue;
        unsigned long long capacity = removableMediaCapacity(volume);
        if (capacity == 0)
            excluded = 1;
        if (capacity < least)
            excluded = 1;
        if (GetDriveTypeA(root) == DRIVE_REMOVABLE && !excluded)
            printf("\n %c: %s", letter, capacityText(capacity));
        CloseHandle(volume);
    }

    printf("\nEnter drive letter to be overwritten with FWDISK files : ");
    int letter = toupper(_getch());
    putchar('\n');
    if (letter < 'A' || letter > 'Z')
        return 0;

    printf("Overwrite drive %c: (Y/N)?: ", letter);
    int answer = tolower(_getch());
    putchar('\n');
    if (answer != 'y')
        return 0;
    return letter;
}

int main(void)
{
    // Set once: a console opened for this program alone (cursor at the top
    // left) would close with it, so every way out then waits for a key.
    const int pauseOnExit = isCursorHomed();

    // Every text must be on the screen before a key wait or a drive access.
    setvbuf(stdout, NULL, _IONBF, 0);

    puts("\n\n   QV ZK240R5 FWDISK Creation Utility 1.00   \n");
    printf("Searching for removable drives...");

    // Drives without media answer the scan with an error, not a prompt.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    const int letter = findAvailableDrive(IMAGE_SIZE);
    if (letter == 0) {
        puts("\nNo valid drive letter entered, exiting...");
        if (pauseOnExit)
            waitForKey();
        return 1;
    }

    HANDLE volume = openDisk(letter);
    if (volume == INVALID_HANDLE_VALUE)
        logError(pauseOnExit, "error opening drive %c: %s\n", letter, winErrorText(0));
    if (!lockVolume(volume))
        logError(pauseOnExit, "Error locking drive %c: %s", letter, winErrorText(0));

    // The image follows the program in this program's own file, named by its
    // UTF-16 path: the ANSI code page may lack a character of a folder's
    // name. A path too long for the buffer is cut, and its open then fails.
    WCHAR path[MAX_PATH] = {0};
    GetModuleFileNameW(NULL, path, MAX_PATH);
    path[MAX_PATH - 1] = 0;

    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        const char *text = winErrorText(0);
        logError(pauseOnExit, "CreateFile (\"%s\") error \"%s\"", pathText(path), text);
    }

    const DWORD size = GetFileSize(file, NULL);
    if (size == INVALID_FILE_SIZE || size < IMAGE_SIZE)
        logError(pauseOnExit, "No FWDISK image in program file \"%s\"", pathText(path));

    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    if (mapping == NULL) {
        CloseHandle(file);
        logError(pauseOnExit, "CreateFileMapping error \"%s\"", winErrorText(0));
    }
    const char *view = (const char *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == NULL) {
        CloseHandle(volume);
        CloseHandle(mapping);
        CloseHandle(file);
        logError(pauseOnExit, "MapViewOfFile error \"%s\"", winErrorText(0));
    }

    // A copy cut short (an interrupted copy or download) holds no whole
    // image: its medium would not boot, so nothing is written.
    const int64_t start = imageStart((const unsigned char *)view, size);
    if (start < 0)
        logError(pauseOnExit, "No FWDISK image in program file \"%s\"", pathText(path));
    if (!copyImage(volume, view + start, IMAGE_SIZE))
        logError(pauseOnExit, "WriteFile error \"%s\"", winErrorText(0));

    // The image is on the drive; a refused dismount or unlock changes nothing.
    dismountVolume(volume);
    unlockVolume(volume);
    CloseHandle(volume);
    CloseHandle(file);

    printf("\n  Congratulations! You have successfully created a bootable FWDISK in drive %c:\n",
           letter);
    if (pauseOnExit)
        waitForKey();
    return 0;
}
