// The settings file: the lenient reader, the restore at start-up, and saves
// that never leave a broken file behind. Loads and saves run in children so
// the program's PictureSettings in this process stay at their defaults.
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/menu.h"
#include "app/settings.h"
#include "i2c/ri2c.h"
#include "support.h"

namespace {

int load_entry(int, char**)
{
    const int fd = ri2c_open();
    if (fd < 0)
        return 3;
    static OsdScreen screen;
    osd_init(&screen, fd);
    settings_load(&screen);
    ri2c_close(fd);
    return 0;
}

// argv[1..4]: the four values to save.
int save_entry(int argc, char** argv)
{
    for (int i = 0; i < 4 && i + 1 < argc; ++i)
        picture_settings.value[i] = std::atoi(argv[i + 1]);
    return settings_save() == 0 ? 0 : 1;
}

class Settings : public Goggles {
protected:
    std::string tmp_file() const { return settings_file() + ".tmp"; }
    static bool exists(const std::string& path)
    {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }
    static VgRun load() { return vg_run(load_entry, nullptr, 0); }
    static VgRun save(int b, int c, int s, int h)
    {
        const std::string v[4] = {std::to_string(b), std::to_string(c), std::to_string(s), std::to_string(h)};
        const char* args[4] = {v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str()};
        return vg_run(save_entry, args, 4);
    }
    // The picture registers written, in order, as (register, byte).
    static std::vector<std::pair<int, int>> picture_writes()
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& w : vproc_writes_since(0)) {
            if (w.first >= 0x0890 && w.first <= 0x0893)
                out.push_back(w);
        }
        return out;
    }
};

TEST_F(Settings, ParseTakesFourNumbersAsTheScanFormatWouldAndClamps)
{
    struct Case {
        std::string text;
        bool taken;
        int values[4];
    };
    const Case cases[] = {
        {"50 50 50 50\n", true, {50, 50, 50, 50}},
        {"10 20 x 40", false, {}},
        {"-7 150 30 100", true, {0, 100, 30, 100}},
        {"-7\n150\n30\n100\n", true, {0, 100, 30, 100}},
        {"\t 1\t2\r\n\v3\f 4", true, {1, 2, 3, 4}},
        {"+5 +10 -0 +100", true, {5, 10, 0, 100}},
        {"1 2 3 4 and some trailing text", true, {1, 2, 3, 4}},
        {"1 2 3 4x", true, {1, 2, 3, 4}},
        {"10-20 30 40", true, {10, 0, 30, 40}},  // a sign ends the number before it
        {"", false, {}},
        {"   \n\t", false, {}},
        {"1 2 3", false, {}},
        {"1 2 3\n", false, {}},
        {"99999999999 1 2 3", true, {100, 1, 2, 3}},
        {"-99999999999 1 2 99999999999999999999999999", true, {0, 1, 2, 100}},
        {"2147483648 -2147483649 4294967296 1", true, {100, 0, 100, 1}},
        {std::string("1 2\0 3 4", 8), false, {}},
        {std::string("1 2 3 4\0 5", 10), true, {1, 2, 3, 4}},
        {"1 - 2 3 4", false, {}},
        {"1 2 3 +", false, {}},
        {"1 2 3 -x", false, {}},
        {"0x10 1 2 3", false, {}},
        {"007 08 1e2 9", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        int out[4] = {-1, -1, -1, -1};
        EXPECT_EQ(settings_parse(c.text.data(), static_cast<unsigned>(c.text.size()), out), c.taken ? 1 : 0);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(out[i], c.taken ? c.values[i] : -1) << "value " << i;
    }

    // Only the given length is read: a number cut short by it still counts.
    int out[4] = {};
    EXPECT_EQ(settings_parse("1 2 3 45 6", 7, out), 1);
    EXPECT_EQ(out[3], 4);
    EXPECT_EQ(settings_parse("1 2 3 4", 6, out), 0);
}

TEST_F(Settings, LoadWithoutFileWritesDefaultsToAllFourRegistersInOrder)
{
    const VgRun r = load();
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "settings: restore 50/50/50/50\n");
    const std::vector<std::pair<int, int>> expected = {{0x0890, 0x00}, {0x0891, 0x80}, {0x0892, 0x80}, {0x0893, 0x00}};
    EXPECT_EQ(picture_writes(), expected);
    EXPECT_EQ(vg()->card.opens, 1);
    EXPECT_FALSE(exists(settings_file())) << "loading must not create the file";
}

TEST_F(Settings, LoadRestoresClampedValuesOrKeepsDefaults)
{
    struct Case {
        std::string content;
        const char* line;
        std::vector<std::pair<int, int>> regs;
    };
    const Case cases[] = {
        {"-7 150 30 100\n", "settings: restore 0/100/30/100\n", {{0x0890, 0x80}, {0x0891, 0xFD}, {0x0892, 0x4C}, {0x0893, 0x7D}}},
        {"-7\n150\n30\n100\n", "settings: restore 0/100/30/100\n", {{0x0890, 0x80}, {0x0891, 0xFD}, {0x0892, 0x4C}, {0x0893, 0x7D}}},
        {"10 20 x 40\n", "settings: restore 50/50/50/50\n", {{0x0890, 0x00}, {0x0891, 0x80}, {0x0892, 0x80}, {0x0893, 0x00}}},
        {"52 47 5 95 trailing\n", "settings: restore 52/47/5/95\n", {{0x0890, 0x05}, {0x0891, 0x78}, {0x0892, 0x0C}, {0x0893, 0x73}}},
        // A number across the reader's chunk boundary is still one number.
        {std::string(127, ' ') + "42 1 2 3", "settings: restore 42/1/2/3\n", {{0x0890, 0xEB}, {0x0891, 0x02}, {0x0892, 0x05}, {0x0893, 0x87}}},
        // A megabyte of digits is one huge number: clamped, and the rest read.
        {std::string(1 << 20, '9') + " 1 2 3\n", "settings: restore 100/1/2/3\n", {{0x0890, 0x7D}, {0x0891, 0x02}, {0x0892, 0x05}, {0x0893, 0x87}}},
        {std::string(1 << 20, '7'), "settings: restore 50/50/50/50\n", {{0x0890, 0x00}, {0x0891, 0x80}, {0x0892, 0x80}, {0x0893, 0x00}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("file \"" + c.content.substr(0, 40) + "\" (" + std::to_string(c.content.size()) + " bytes)");
        vg_reset();
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        write_settings(c.content);
        const VgRun r = load();
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.line);
        EXPECT_EQ(picture_writes(), c.regs);
        EXPECT_EQ(read_settings(), c.content) << "loading must leave the file alone";
    }
}

TEST_F(Settings, SaveWritesOneLineDurablyAndLoadReadsItBack)
{
    write_settings("20 30 40 50\n");
    const VgRun r = save(55, 50, 50, 50);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_settings(), "55 50 50 50\n");
    EXPECT_FALSE(exists(tmp_file()));
    EXPECT_EQ(vg()->card.renames, 1);
    EXPECT_EQ(vg()->card.fsyncs, 2) << "the new file before the rename, the folder after it";

    EXPECT_EQ(load().err, "settings: restore 55/50/50/50\n");
    ASSERT_EQ(save(0, 100, 7, 93).status, 0);
    EXPECT_EQ(read_settings(), "0 100 7 93\n");
}

TEST_F(Settings, PowerCutBeforeTheRenameLeavesTheOldFileWhole)
{
    write_settings("20 30 40 50\n");
    vg()->card.crash_before_rename = true;
    const VgRun r = save(55, 50, 50, 50);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(read_settings(), "20 30 40 50\n");
    EXPECT_EQ(vg()->card.fsyncs, 1) << "the new content must reach the card before the rename";
    std::ifstream tmp(tmp_file());
    std::string line;
    std::getline(tmp, line);
    EXPECT_EQ(line, "55 50 50 50") << "the temporary file is complete";
}

TEST_F(Settings, FullCardKeepsTheGoodFileAndRemovesTheTemporaryOne)
{
    write_settings("20 30 40 50\n");
    vg()->card.full = true;
    const VgRun r = save(55, 50, 50, 50);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "settings: write fail\n");
    EXPECT_EQ(read_settings(), "20 30 40 50\n");
    EXPECT_FALSE(exists(tmp_file()));
    EXPECT_EQ(vg()->card.renames, 0);

    vg()->card.full = false;  // space freed: the next change is saved
    EXPECT_EQ(save(60, 50, 50, 50).status, 0);
    EXPECT_EQ(read_settings(), "60 50 50 50\n");
}

TEST_F(Settings, NoCardOrNoFolderLogsSaveFail)
{
    const std::string dir = card_root + "/record/velmo-x/apps/VelmoX-AVMenu";
    const std::string root = vg()->card.root;

    vg()->card.root[0] = '\0';
    VgRun r = save(55, 50, 50, 50);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "settings: save fail (brak SD?)\n");

    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", root.c_str());
    ASSERT_EQ(::rmdir(dir.c_str()), 0);
    r = save(55, 50, 50, 50);
    EXPECT_EQ(r.err, "settings: save fail (brak SD?)\n");
    EXPECT_FALSE(exists(dir)) << "the program must not create the folder";
    EXPECT_EQ(vg()->card.renames, 0);
}

TEST_F(Settings, ReadOnlyFolderLogsSaveFailAndKeepsTheFile)
{
    const std::string dir = card_root + "/record/velmo-x/apps/VelmoX-AVMenu";
    write_settings("20 30 40 50\n");
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    const std::string probe = dir + "/probe";
    std::string expected_file = "20 30 40 50\n";
    if (FILE* f = std::fopen(probe.c_str(), "w")) {
        // Running as root, where modes do not stop writes: a file standing
        // where the folder should be refuses the new file just the same.
        std::fclose(f);
        ASSERT_EQ(std::system(("chmod 755 '" + dir + "' && rm -rf '" + dir + "'").c_str()), 0);
        std::ofstream(dir) << "not a folder\n";
        expected_file = "";
    }
    const VgRun r = save(55, 50, 50, 50);
    ::chmod(dir.c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "settings: save fail (brak SD?)\n");
    EXPECT_EQ(read_settings(), expected_file);
    EXPECT_EQ(vg()->card.renames, 0);
}

TEST_F(Settings, FailedRenameKeepsTheOldFileAndTheNextSaveRetries)
{
    // A folder where the file should be: the rename cannot replace it.
    const std::string settings = settings_file();
    ASSERT_EQ(::mkdir(settings.c_str(), 0755), 0);
    { std::ofstream(settings + "/old") << "20 30 40 50\n"; }
    VgRun r = save(55, 50, 50, 50);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "settings: rename fail\n");
    std::ifstream old(settings + "/old");
    std::string line;
    std::getline(old, line);
    EXPECT_EQ(line, "20 30 40 50");
    EXPECT_TRUE(exists(tmp_file())) << "the temporary file stays for the next try";

    ASSERT_EQ(std::system(("rm -rf '" + settings + "'").c_str()), 0);
    r = save(60, 50, 50, 50);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_settings(), "60 50 50 50\n");
    EXPECT_FALSE(exists(tmp_file()));
}

}  // namespace
