/* Test helper: prints one line, so the console cursor is no longer at the
 * top left, then runs the command line given to it in this same console,
 * waits for it and returns its exit code.
 *
 *   launcher.exe PROGRAM [ARGUMENTS...]
 *
 * Exit code 125 when it cannot start the program. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    /* Everything after our own name, exactly as the caller quoted it. */
    char *command = GetCommandLineA();
    int quoted = 0;

    while (*command && (quoted || (*command != ' ' && *command != '\t'))) {
        if (*command == '"')
            quoted = !quoted;
        ++command;
    }
    while (*command == ' ' || *command == '\t')
        ++command;
    if (*command == '\0') {
        fprintf(stderr, "usage: launcher.exe PROGRAM [ARGUMENTS...]\n");
        return 125;
    }

    printf("launcher: starting %s\n", command);
    fflush(stdout);

    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "launcher: cannot start %s (error %lu)\n", command, GetLastError());
        return 125;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}
