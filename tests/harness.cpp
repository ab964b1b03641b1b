#include "harness.h"

#include "../src/volume.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

// Sanitizer reports must not pass for the program's own exit code 1.
extern "C" const char *__asan_default_options() { return "exitcode=86:detect_leaks=0"; }
extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:exitcode=87:print_stacktrace=1"; }

namespace {

std::string slurp(FILE *f)
{
    std::string s;
    char buf[65536];
    size_t n;
    rewind(f);
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

} // namespace

std::string RunResult::screenBefore(size_t index) const
{
    long n = screenAt.at(index);
    return n < 0 ? std::string() : screen.substr(0, (size_t)n);
}

int RunResult::find(const std::string &prefix, size_t from) const
{
    for (size_t i = from; i < calls.size(); ++i)
        if (calls[i].compare(0, prefix.size(), prefix) == 0)
            return (int)i;
    return -1;
}

std::vector<std::string> RunResult::callsTo(const std::string &prefix) const
{
    std::vector<std::string> out;
    for (const std::string &c : calls)
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c);
    return out;
}

RunResult runProgram()
{
    FILE *screen = tmpfile();
    FILE *log = tmpfile();
    FILE *writes = tmpfile();
    if (!screen || !log || !writes)
        abort();
    fflush(stdout);
    fflush(stderr);

    pid_t child = fork();
    if (child < 0)
        abort();
    if (child == 0) {
        dup2(fileno(screen), STDOUT_FILENO);
        fake::attach(fileno(log), fileno(writes));
        atexit(fake::logOpenHandlesAtExit);
        exit(fwdisk_main());
    }

    int status = 0;
    waitpid(child, &status, 0);
    RunResult run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    run.screen = slurp(screen);
    run.written = slurp(writes);

    std::istringstream lines(slurp(log));
    std::string line;
    while (std::getline(lines, line)) {
        size_t tab = line.find('\t');
        std::string call = line.substr(tab + 1);
        if (call.compare(0, 10, "exit open=") == 0) {
            run.openAtExit = call.substr(10);
            continue;
        }
        run.screenAt.push_back(atol(line.substr(0, tab).c_str()));
        run.calls.push_back(call);
    }
    return run;
}

std::vector<unsigned char> programFile(size_t programBytes)
{
    std::vector<unsigned char> file(programBytes + IMAGE_SIZE);
    for (size_t i = 0; i < programBytes; ++i)
        file[i] = (unsigned char)(0xE0 + i % 7);
    // Offsets into the image spelled out, so that a shifted or partial copy
    // shows as a mismatch.
    for (size_t i = 0; i < IMAGE_SIZE; ++i)
        file[programBytes + i] = (unsigned char)((i * 7 + i / 251) & 0xFF);
    return file;
}

std::string imageOf(const std::vector<unsigned char> &file)
{
    return std::string(file.end() - IMAGE_SIZE, file.end());
}

void typeKeys(const std::string &keys)
{
    for (unsigned char k : keys)
        fake::machine.keys.push_back(k);
}
