// Runs the program's main against the scripted machine in a child process
// and collects what a user and the system would see of that run.
#ifndef TESTS_HARNESS_H
#define TESTS_HARNESS_H

#include "fake/fakewin.h"

#include <string>
#include <vector>

int fwdisk_main(void);

struct RunResult {
    int exitCode = -1;              // exit code, or -signal when killed
    std::string screen;             // everything printed to standard output
    std::vector<std::string> calls; // the call log, one entry a call
    std::vector<long> screenAt;     // screen length when each call was made
    std::string written;            // bytes written to volumes, in order
    std::string openAtExit;         // handles left open when the process ended

    // The screen as it stood when the call at `index` was made.
    std::string screenBefore(size_t index) const;
    // Index of the first call that starts with `prefix` at or after `from`,
    // or -1.
    int find(const std::string &prefix, size_t from = 0) const;
    // The calls that start with `prefix`, in order.
    std::vector<std::string> callsTo(const std::string &prefix) const;
};

// Runs main once against fake::machine.
RunResult runProgram();

// A program file: `programBytes` bytes of stand-in code followed by an image
// of IMAGE_SIZE bytes whose every byte differs from its neighbours'.
std::vector<unsigned char> programFile(size_t programBytes);
std::string imageOf(const std::vector<unsigned char> &file);

// Keys as the user types them.
void typeKeys(const std::string &keys);

#endif
