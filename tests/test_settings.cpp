// The settings file: the lenient reader, the restore at start-up, and saves
// that never leave a broken file behind. Loads and saves run in children so
// the program's PictureSettings in this process stay at their defaults.
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <iterator>

#include "app/menu.h"
#include "app/settings.h"
#include "i2c/ri2c.h"
#include "support.h"

namespace {

int load_entry(int, char**)
{
    static OsdScreen screen;
    const int fd = ri2c_open();
    osd_init(&screen, fd);
    settings_load(&screen);
    ri2c_close(fd);
    return 0;
}

int save_entry(int, char**)
{
    picture_settings.value[0] = 55;  // the others stay at 50
    return settings_save() == 0 ? 0 : 1;
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
    const struct { std::string text; std::vector<int> values; /* empty: not taken */ } cases[] = {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        std::vector<int> out(4, -1);
        const int taken = settings_parse(c.text.data(), static_cast<unsigned>(c.text.size()), out.data());
        EXPECT_EQ(taken, c.values.empty() ? 0 : 1);
        EXPECT_EQ(out, c.values.empty() ? std::vector<int>(4, -1) : c.values);
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 20) + " (" + std::to_string(c.file.size()) + " bytes)");
        fresh(c.file);
        EXPECT_EQ(load().err, c.line);
        std::vector<std::pair<int, int>> expected;
        for (int i = 0; i < 4; ++i)
            expected.emplace_back(0x0890 + i, c.bytes[static_cast<size_t>(i)]);
        EXPECT_EQ(vproc_writes_since(0), expected);
        EXPECT_EQ(slurp(settings_file()), c.file) << "loading leaves the file alone and creates none";
    }
}

TEST_F(Settings, SaveReplacesTheFileDurablyOrSaysWhyAndKeepsTheOldOne)
{
    const std::string file = settings_file();
    // status -1: the program dies. kept: where the old content must still be,
    // nullptr when replaced. fsyncs: the new file before the rename, the folder after it.
    const struct { const char* name; std::function<void()> fault; int status; const char* err;
                   const char* kept; int fsyncs; } cases[] = {
        {"no card", [] { vg()->card.root[0] = '\0'; }, 1, "settings: save fail (brak SD?)\n", "", 0},
        {"card full", [] { vg()->card.full = true; }, 1, "settings: write fail\n", "", 0},
        {"power cut at the rename", [] { vg()->card.crash_before_rename = true; }, -1, "", "", 1},
        // A folder where the file should be: the rename cannot replace it.
        {"rename refused",
         [&] { ::remove(file.c_str()), ::mkdir(file.c_str(), 0755), std::ofstream(file + "/old") << "20 30 40 50\n"; },
         1, "settings: rename fail\n", "/old", 1},
        {"no fault", [] {}, 0, "", nullptr, 2},
        // A power cut after an earlier save left a longer temporary file.
        {"stale temporary file", [&] { std::ofstream(file + ".tmp") << "100 100 100 100\n" << std::string(40, '9'); },
         0, "", nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh("20 30 40 50\n");
        c.fault();
        const VgRun r = vg_run(save_entry, nullptr, 0);
        EXPECT_EQ(r.signalled ? -1 : r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(vg()->card.fsyncs, c.fsyncs);
        EXPECT_EQ(slurp(file + (c.kept ? c.kept : "")), c.kept ? "20 30 40 50\n" : "55 50 50 50\n");
        // A temporary file is left only complete, for the next try.
        EXPECT_EQ(slurp(file + ".tmp"), c.fsyncs == 1 ? "55 50 50 50\n" : NONE);
    }
    EXPECT_EQ(load().err, "settings: restore 55/50/50/50\n");
}

}  // namespace
