// Runs on random machines with random keys, checked against a model of the
// dialogue: which drives are listed, how many keys are read, and that only a
// confirmed letter with a volume that opens and locks gets the image.
//
// FWDISK_SOAK=N adds N cases on a seed taken from the clock (FWDISK_SEED=S
// replays one); a failure names the seed and the case.
#include "machines.h"

#include "../src/volume.h"

#include <stdlib.h>
#include <time.h>

#include <random>
#include <set>
#include <string>
#include <vector>

using fake::machine;

namespace {

using Rng = std::mt19937_64;

int pick(Rng &rng, int n)
{
    return (int)std::uniform_int_distribution<int>(0, n - 1)(rng);
}

bool chance(Rng &rng, int percent)
{
    return pick(rng, 100) < percent;
}

fake::Drive randomDrive(Rng &rng)
{
    static const UINT types[] = {DRIVE_REMOVABLE, DRIVE_REMOVABLE, DRIVE_REMOVABLE, DRIVE_FIXED,
                                 DRIVE_CDROM, DRIVE_REMOTE, DRIVE_UNKNOWN, DRIVE_NO_ROOT_DIR,
                                 DRIVE_RAMDISK};
    static const MEDIA_TYPE media[] = {RemovableMedia, RemovableMedia, F3_1Pt44_512,
                                       F3_120M_512, F5_360_512, Unknown, FixedMedia};
    static const DWORD sectorBytes[] = {1, 512, 512, 2048, 4096};
    fake::Drive d;
    if (chance(rng, 25))
        return d;   // no such drive
    d.type = types[pick(rng, 9)];
    d.opens = !chance(rng, 10);
    d.openError = chance(rng, 50) ? ERROR_ACCESS_DENIED : ERROR_NOT_READY;
    d.hasGeometry = !chance(rng, 10);
    d.geometryBytes = chance(rng, 5) ? (DWORD)pick(rng, 24) : 24;
    d.locks = !chance(rng, 15);
    MEDIA_TYPE m = media[pick(rng, 7)];
    switch (pick(rng, 9)) {
    case 0: d.geometry = fake::geometry(0, m, 255, 63, 512); break;
    case 1: d.geometry = fake::geometry(80, m, 2, 18, 512); break;           // the image's size
    case 2: d.geometry = fake::geometry(IMAGE_SIZE, m, 1, 1, 1); break;
    case 3: d.geometry = fake::geometry(IMAGE_SIZE - 1, m, 1, 1, 1); break; // a byte short
    case 4: d.geometry = fake::geometry(2879, m, 1, 1, 512); break;         // a sector short
    case 5:   // anything up to about 2^58 bytes
        d.geometry = fake::geometry(1 + (LONGLONG)(rng() % (1ull << (1 + pick(rng, 32)))), m,
                                    1 + pick(rng, 255), 1 + pick(rng, 63),
                                    sectorBytes[pick(rng, 5)]);
        break;
    case 6:   // whole megabytes from here, or hundredths just below
        d.geometry = fake::geometry(31500000 - pick(rng, 2), m, 1, 1, 1);
        break;
    case 7:   // half a megabyte over whole ones
        d.geometry = fake::geometry(32500000 + 1000000 * (LONGLONG)pick(rng, 5000) - pick(rng, 2),
                                    m, 1, 1, 1);
        break;
    default:  // small media, near the unit boundaries
        d.geometry = fake::geometry(1 + pick(rng, 2000), m, 1 + pick(rng, 16), 1 + pick(rng, 63),
                                    512);
    }
    return d;
}

// One key press: one code, or two for an extended key.
std::vector<int> randomKey(Rng &rng, bool answer)
{
    static const char punctuation[] = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~ ";
    switch (pick(rng, answer ? 11 : 10)) {
    case 0: return {'0' + pick(rng, 10)};
    case 1: return {punctuation[pick(rng, sizeof punctuation - 1)]};
    case 2: return {"@[`{"[pick(rng, 4)]};   // next to the letters
    case 3: return {chance(rng, 50) ? 13 : 27};
    case 4: return {chance(rng, 50) ? 0 : 224, 59 + pick(rng, 80)};
    case 5: case 6: return {'a' + pick(rng, 26)};
    case 7: case 8: case 9: return {'A' + pick(rng, 26)};
    default: return {"yYnN"[pick(rng, 4)]};
    }
}

// Capacity as listed: whole megabytes of 10^6 bytes, rounded half up, with
// thousands separators from 32 up; below that hundredths of megabytes of
// 1,024,000 bytes. An exact half hundredth may show either way, so both
// neighbours are returned then.
std::set<std::string> listedCapacity(unsigned long long bytes)
{
    unsigned long long mb = bytes / 1000000 + (bytes % 1000000 >= 500000);
    if (mb >= 32) {
        std::string digits = std::to_string(mb);
        for (int at = (int)digits.size() - 3; at > 0; at -= 3)
            digits.insert((size_t)at, ",");
        return {digits + " MB"};
    }
    std::set<std::string> texts;
    unsigned long long down = bytes / 10240;   // hundredths of 1,024,000
    unsigned long long rest = bytes % 10240;
    for (unsigned long long h : {rest > 5120 ? down + 1 : down, rest >= 5120 ? down + 1 : down}) {
        char text[40];
        snprintf(text, sizeof text, "%llu.%02llu MB", h / 100, h % 100);
        texts.insert(text);
    }
    return texts;
}

unsigned __int128 capacityOf(const DISK_GEOMETRY &g)
{
    return (unsigned __int128)g.Cylinders.QuadPart * g.TracksPerCylinder * g.SectorsPerTrack
           * g.BytesPerSector;
}

bool listable(const fake::Drive &d)
{
    return d.opens && d.type == DRIVE_REMOVABLE && d.hasGeometry && d.geometryBytes >= 24
           && d.geometry.MediaType != Unknown && d.geometry.MediaType != FixedMedia
           && capacityOf(d.geometry) >= IMAGE_SIZE;
}

std::string describe(const fake::Machine &m)
{
    std::string s = "console=" + std::to_string(m.console) + " cursor="
                    + std::to_string(m.cursorX) + "," + std::to_string(m.cursorY) + " keys=";
    for (int k : m.keys)
        s += std::to_string(k) + " ";
    for (int i = 0; i < 26; ++i) {
        const fake::Drive &d = m.drives[i];
        if (!d.opens && d.type == DRIVE_NO_ROOT_DIR)
            continue;
        const DISK_GEOMETRY &g = d.geometry;
        s += "\n  " + std::string(1, (char)('A' + i)) + ": type=" + std::to_string(d.type)
             + " opens=" + std::to_string(d.opens) + " locks=" + std::to_string(d.locks)
             + " geometry=" + (d.hasGeometry ? std::to_string(d.geometryBytes) : "none") + " "
             + std::to_string(g.Cylinders.QuadPart) + "x" + std::to_string(g.TracksPerCylinder)
             + "x" + std::to_string(g.SectorsPerTrack) + "x" + std::to_string(g.BytesPerSector)
             + " media=" + std::to_string(g.MediaType);
    }
    return s;
}

// Builds one random machine from `rng`, runs it and checks the run.
void randomCase(Rng &rng)
{
    // Program files are large; a few serve every case.
    static const std::vector<unsigned char> files[] = {
        programFile(0), programFile(4099), programFile(70001),
        std::vector<unsigned char>(IMAGE_SIZE - 1, 0x4D)};   // no whole image
    setUpPc();
    fake::Machine &m = machine;
    for (fake::Drive &d : m.drives)
        d = randomDrive(rng);
    m.programFile = files[chance(rng, 10) ? 3 : pick(rng, 3)];
    m.console = !chance(rng, 20);
    m.cursorX = chance(rng, 70) ? 0 : (SHORT)pick(rng, 80);
    m.cursorY = chance(rng, 70) ? 0 : (SHORT)pick(rng, 300);
    // The first press is mostly a letter, the second mostly an answer; there
    // are always more codes typed than any run needs.
    std::vector<std::vector<int>> presses;
    presses.push_back(chance(rng, 75) ? std::vector<int>{"abcdefgEFGXYZ"[pick(rng, 13)]}
                                      : randomKey(rng, false));
    presses.push_back(chance(rng, 50) ? std::vector<int>{"yY"[pick(rng, 2)]}
                                      : randomKey(rng, true));
    for (int n = 1 + pick(rng, 3); n > 0; --n)
        presses.push_back(randomKey(rng, true));
    for (const auto &p : presses)
        m.keys.insert(m.keys.end(), p.begin(), p.end());
    const std::vector<int> keys(m.keys.begin(), m.keys.end());
    SCOPED_TRACE(describe(m));

    RunResult run = runProgram();

    // The model.
    const int first = keys[0];
    const bool isLetter = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z');
    const char letter = isLetter ? (char)(first & ~0x20) : 0;
    const bool confirmed = isLetter && (keys[1] == 'y' || keys[1] == 'Y');
    const fake::Drive &target = isLetter ? m.drive(letter) : m.drives[0];
    const bool writes = confirmed && target.opens && target.locks
                        && m.programFile.size() >= IMAGE_SIZE;
    const bool pause = m.console && m.cursorX == 0 && m.cursorY == 0;

    ASSERT_EQ(writes ? 0 : 1, run.exitCode);
    EXPECT_EQ(1u + isLetter + pause, run.callsTo("_getch").size());
    EXPECT_EQ(writes, run.screen.find("Congratulations") != std::string::npos);
    EXPECT_EQ(pause, run.screen.find("(press a key to exit)") != std::string::npos);
    EXPECT_EQ(writes ? imageOf(m.programFile) : "", run.written);
    std::vector<std::string> writeCalls = run.callsTo("WriteFile");
    if (writes) {
        ASSERT_EQ(1u, writeCalls.size());
        EXPECT_EQ(0u, writeCalls[0].find(std::string("WriteFile(vol:") + letter + ", "));
        int confirm = run.find("_getch", run.find("_getch") + 1);
        EXPECT_GT(run.find("WriteFile"), confirm);
    } else {
        EXPECT_TRUE(writeCalls.empty());
    }

    // The list: exactly the removable media that hold the image, in order.
    const size_t begin = std::string(kBanner).size();
    const size_t end = run.screen.find(kLetterPrompt);
    ASSERT_EQ(kBanner, run.screen.substr(0, begin));
    ASSERT_NE(std::string::npos, end);
    std::string listed = run.screen.substr(begin, end - begin);
    for (int i = 0; i < 26; ++i) {
        const fake::Drive &d = m.drives[i];
        if (!listable(d))
            continue;
        const std::string head = std::string("\n ") + (char)('A' + i) + ": ";
        ASSERT_EQ(0u, listed.find(head)) << "expected next: " << head << " in " << listed;
        size_t next = listed.find('\n', 1);
        std::string text = listed.substr(head.size(), next == std::string::npos
                                                          ? std::string::npos
                                                          : next - head.size());
        std::set<std::string> texts = listedCapacity((unsigned long long)capacityOf(d.geometry));
        EXPECT_TRUE(texts.count(text)) << "listed " << text << " for " << head << *texts.begin();
        listed.erase(0, next == std::string::npos ? listed.size() : next);
    }
    EXPECT_EQ("", listed) << "listed beyond the removable media that hold the image";
}

void runCases(unsigned long long seed, int count)
{
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " case " + std::to_string(i));
        std::seed_seq seq{(unsigned)seed, (unsigned)(seed >> 32), (unsigned)i};
        Rng rng(seq);
        randomCase(rng);
        if (::testing::Test::HasFailure())
            return;
    }
}

class RandomRuns : public ::testing::TestWithParam<unsigned> {};

} // namespace

TEST_P(RandomRuns, KeepTheDialogueListAndWriteRules)
{
    runCases(GetParam(), 75);
}

INSTANTIATE_TEST_SUITE_P(FixedSeeds, RandomRuns, ::testing::Values(1u, 2u, 3u, 4u));

TEST(RandomSoak, KeepsTheRulesOnAClockSeed)
{
    const char *soak = getenv("FWDISK_SOAK");
    if (!soak || atoi(soak) <= 0)
        GTEST_SKIP() << "set FWDISK_SOAK=N to run N more random cases";
    const char *replay = getenv("FWDISK_SEED");
    unsigned long long seed = replay ? strtoull(replay, nullptr, 10)
                                     : (unsigned long long)time(nullptr) * 1000003u
                                           + (unsigned long long)clock();
    printf("soak: %d cases, FWDISK_SEED=%llu\n", atoi(soak), seed);
    runCases(seed, atoi(soak));
}
