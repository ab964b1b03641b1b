// Machines the tests start from.
#ifndef TESTS_MACHINES_H
#define TESTS_MACHINES_H

#include "harness.h"

#include <gtest/gtest.h>

#include <string>

// The title and the search line as every run starts.
extern const char *const kBanner;
extern const char *const kLetterPrompt;

extern const std::string kList;     // the drive list of setUpPc's machine
extern const std::string kPause;    // the exit pause's prompt
extern const std::string kSuccessE; // the success message for drive E

// The screen up to and including the answer to the confirmation prompt.
std::string dialogue(char letter);
// The fatal report framing `message`.
std::string fatal(const std::string &message);
// Makes the nth call to `call` fail with `error` (or, for WriteFile with
// `shortBy` set, come back that many bytes short).
void fail(const char *call, int nth, DWORD error, DWORD shortBy = 0);

// Puts a drive that opens at `letter`, with its type and geometry.
fake::Drive &addDrive(char letter, UINT type, const DISK_GEOMETRY &geometry);

// A technician's PC: A: an empty diskette drive, C: a fixed disk, D: an
// optical drive, E: a 3,997 MB memory stick, F: a drive of exactly the image
// size, G: one byte short of it. The program file has 4,099 bytes of code
// before the image; system texts exist for the usual error codes. The cursor
// stands at the top left, so every way out waits for a key.
void setUpPc();

// Base for tests that run the program against a fresh machine.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { setUpPc(); }
};

#endif
