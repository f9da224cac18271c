// The settings file: the lenient reader, the restore at start-up, and saves
// that never leave a broken file behind. Loads and saves run in children so
// the program's PictureSettings in this process stay at their defaults.
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <iterator>
#include <unistd.h>

#include "app/menu.h"
#include "app/settings.h"
#include "i2c/ri2c.h"
#include "support.h"

namespace {

bool input_closed = false;  // the session child closes descriptor 0 first

int lowest_free()
{
    const int fd = dup(2);
    close(fd);
    return fd;
}

// Status 3: a descriptor was left open.
int load_entry(int, char**)
{
    static OsdScreen screen;
    const int fd = ri2c_open();
    if (input_closed)
        close(0);  // the file is then read through descriptor 0
    const int free_before = lowest_free();
    osd_init(&screen, fd);
    settings_load(&screen);
    const bool leaked = lowest_free() != free_before;
    ri2c_close(fd);
    return leaked ? 3 : 0;
}

// Status 1 when the save returns -1, 3 when it leaves a descriptor open.
int save_entry(int, char**)
{
    if (input_closed)
        close(0);  // the new file, then the folder, through descriptor 0
    umask(022);
    picture_settings.value[0] = 55;  // the others stay at 50
    const int free_before = lowest_free();
    const int rc = settings_save();
    return lowest_free() != free_before ? 3 : -rc;
}

const char* const NONE = "<none>";

class Settings : public Goggles {
protected:
    static VgRun load() { return vg_run(load_entry, nullptr, 0); }
    static std::string slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : NONE;
    }
    // New goggles on the same card, with the given settings file or none.
    void fresh(const std::string& old)
    {
        vg_reset();
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        ASSERT_EQ(std::system(("rm -rf '" + settings_file() + "'*").c_str()), 0);
        if (old != NONE)
            write_settings(old);
    }
};

TEST_F(Settings, ParseTakesFourNumbersAsTheScanFormatWouldAndClamps)
{
    const struct { std::string text; std::vector<int> values; /* empty: not taken */ unsigned length = 0; } cases[] = {
        {"50 50 50 50\n", {50, 50, 50, 50}},
        {"10 20 x 40", {}},
        {"-7 150 30 100", {0, 100, 30, 100}},
        {"-7\n150\n30\n100\n", {0, 100, 30, 100}},
        {"\t+5\r\n\v+10\f -0 +100 and some trailing text", {5, 10, 0, 100}},
        {"10-20 30 40", {10, 0, 30, 40}},  // a sign ends the number before it
        {"", {}},
        {"-2147483649 4294967296 -99999999999 99999999999999999999999999", {0, 100, 0, 100}},
        {std::string("1 2\0 3 4", 8), {}},
        {"1 - 2 3 4", {}},
        // The characters beside the digits and the blanks are neither.
        {"1 2/ 3 4", {}}, {"1 2 3: 4", {}}, {"1\b2 3 4", {}}, {"1 2\x0e 3 4", {}},
        // Only length bytes are read: here the last digit is left out.
        {std::string("1 2 3 45"), {1, 2, 3, 4}, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        std::vector<int> out(5, -1);  // one more than the four, which must stay untouched
        const unsigned length = c.length ? c.length : static_cast<unsigned>(c.text.size());
        const int taken = settings_parse(c.text.data(), length, out.data());
        EXPECT_EQ(taken, c.values.empty() ? 0 : 1);
        std::vector<int> want = c.values.empty() ? std::vector<int>(4, -1) : c.values;
        want.push_back(-1);
        EXPECT_EQ(out, want);
    }
}

TEST_F(Settings, LoadRestoresTheFileOrTheDefaultsToAllFourRegistersInOrder)
{
    // The bytes of registers 0x0890..0x0893, written once each and in order.
    const struct { std::string file; const char* line; std::vector<int> bytes; } cases[] = {
        {NONE, "settings: restore 50/50/50/50\n", {0x00, 0x80, 0x80, 0x00}},
        {"-7 150 30 100\n", "settings: restore 0/100/30/100\n", {0x80, 0xFD, 0x4C, 0x7D}},
        // A megabyte of digits is one huge number: clamped, and the rest read.
        {std::string(1 << 20, '9') + " 1 2 3\n", "settings: restore 100/1/2/3\n", {0x7D, 0x02, 0x05, 0x87}},
        {std::string(1 << 20, '7'), "settings: restore 50/50/50/50\n", {0x00, 0x80, 0x80, 0x00}},
        // The last number's last digit alone in a read of its own.
        {std::string(121, ' ') + "1 2 3 45", "settings: restore 1/2/3/45\n", {0x82, 0x05, 0x07, 0xF3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 20) + " (" + std::to_string(c.file.size()) + " bytes)");
        fresh(c.file);
        const VgRun r = load();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.line);
        std::vector<std::pair<int, int>> expected;
        for (int i = 0; i < 4; ++i)
            expected.emplace_back(0x0890 + i, c.bytes[static_cast<size_t>(i)]);
        EXPECT_EQ(vproc_writes_since(0), expected);
        EXPECT_EQ(slurp(settings_file()), c.file) << "loading leaves the file alone and creates none";
    }
    input_closed = true;
    fresh("-7 150 30 100\n");
    EXPECT_EQ(load().err, "settings: restore 0/100/30/100\n");
    input_closed = false;
}

TEST_F(Settings, SaveReplacesTheFileDurablyOrSaysWhyAndKeepsTheOldOne)
{
    const std::string file = settings_file();
    // status -1: the program dies. kept: where the old content must still be,
    // nullptr when replaced. fsyncs: the new file before the rename, the folder
    // after it. A temporary file is left only complete, for the next try.
    const struct { const char* name; std::function<void()> fault; int status; const char* err;
                   const char* kept; int fsyncs; bool tmp_left; } cases[] = {
        {"no card", [] { vg()->card.root[0] = '\0'; }, 1, "settings: save fail (brak SD?)\n", "", 0, false},
        {"card full", [] { vg()->card.full = true; }, 1, "settings: write fail\n", "", 0, false},
        // A close that reports a deferred write error: the line may not be on the card.
        {"close fails", [] { vg()->card.close_fails = true; }, 1, "settings: write fail\n", "", 1, false},
        {"power cut at the rename", [] { vg()->card.crash_before_rename = true; }, -1, "", "", 1, true},
        // A folder where the file should be: the rename cannot replace it.
        {"rename refused",
         [&] { ::remove(file.c_str()), ::mkdir(file.c_str(), 0755), std::ofstream(file + "/old") << "20 30 40 50\n"; },
         1, "settings: rename fail\n", "/old", 1, true},
        {"no fault", [] {}, 0, "", nullptr, 2, false},
        {"input closed", [] { input_closed = true; }, 0, "", nullptr, 2, false},
        // A power cut after an earlier save left a longer temporary file.
        {"stale temporary file", [&] { std::ofstream(file + ".tmp") << "100 100 100 100\n" << std::string(40, '9'); },
         0, "", nullptr, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh("20 30 40 50\n");
        input_closed = false;
        c.fault();
        const VgRun r = vg_run(save_entry, nullptr, 0);
        EXPECT_EQ(r.signalled ? -1 : r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(vg()->card.fsyncs, c.fsyncs);
        EXPECT_EQ(slurp(file + (c.kept ? c.kept : "")), c.kept ? "20 30 40 50\n" : "55 50 50 50\n");
        EXPECT_EQ(slurp(file + ".tmp"), c.tmp_left ? "55 50 50 50\n" : NONE);
        // Created for reading and writing by all, less the umask.
        struct stat st {};
        EXPECT_EQ(c.kept || stat(file.c_str(), &st) != 0 ? 0644u : st.st_mode & 0777, 0644u);
    }
    input_closed = false;
    EXPECT_EQ(load().err, "settings: restore 55/50/50/50\n");
}

}  // namespace
