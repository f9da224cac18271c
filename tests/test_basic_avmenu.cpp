// The reduced program end to end: the same menu and ways out, but no
// settings file, no restore at start and no sound.
#include <sys/stat.h>

#include "support.h"

namespace {

class BasicProgram : public Goggles {
protected:
    void keys(const char* script)
    {
        std::string error;
        ASSERT_GE(vg_keys_script(script, 1000, &error), 0) << error;
    }
    // Runs until the virtual clock passes ms, with the menu still up.
    VgRun run_for(uint64_t ms)
    {
        vg()->limit_us = vg()->now_us + ms * 1000;
        return run();
    }
    static std::string value_of(int item)
    {
        const std::vector<std::string> rows = split_lines(vg_screen());
        return rows.at(static_cast<size_t>(2 + item)).substr(24, 3);
    }
    static std::vector<int> picture_writes()
    {
        const int* w = vg()->vp.picture_writes;
        return {w[0], w[1], w[2], w[3]};
    }
    bool file_exists(const std::string& path) const
    {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }
    static bool blank_screen()
    {
        for (const std::string& row : split_lines(vg_screen())) {
            if (row != std::string(32, ' '))
                return false;
        }
        return true;
    }
};

TEST_F(BasicProgram, StartsWithoutRestoreAndWritesNoPictureRegister)
{
    const VgRun r = run_for(3000);
    ASSERT_EQ(r.status, 125) << "the menu must still be running: " << r.err;
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0].rfind("mode: LT8668 B7=", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("avmenu 1.1.0: wejscie (writes=", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 8), " fail=0)") << lines[1];
    EXPECT_EQ(r.err.find("settings:"), std::string::npos) << r.err;
    EXPECT_EQ(picture_writes(), std::vector<int>({0, 0, 0, 0}));
    for (int item = 0; item < 4; ++item)
        EXPECT_EQ(value_of(item), "050") << "item " << item;
    EXPECT_TRUE(vg_osd_enabled());
    EXPECT_EQ(vg()->card.opens, 0);
    EXPECT_EQ(vg()->pwm.log_count, 0);
}

TEST_F(BasicProgram, ChangeWritesOnlyItsRegisterAndTouchesNoFileNorBuzzer)
{
    write_settings("10 20 30 40\n");  // the full program's file: ignored here
    keys("RIGHT");
    const uint64_t from = vg()->i2c.total;
    VgRun r = run_for(3000);
    ASSERT_EQ(r.status, 125) << r.err;
    EXPECT_EQ(value_of(0), "055") << "from 50, not from the file's 10";
    for (int item = 1; item < 4; ++item)
        EXPECT_EQ(value_of(item), "050") << "item " << item;
    std::vector<std::pair<int, int>> regs;
    for (const auto& w : vproc_writes_since(from)) {
        if (w.first >= 0x0890 && w.first <= 0x0893)
            regs.push_back(w);
    }
    EXPECT_EQ(regs, (std::vector<std::pair<int, int>>{{0x0890, 0x0C}}));
    EXPECT_EQ(picture_writes(), std::vector<int>({1, 0, 0, 0}));
    EXPECT_EQ(vg()->card.opens, 0);
    EXPECT_EQ(vg()->card.renames, 0);
    EXPECT_EQ(read_settings(), "10 20 30 40\n");
    EXPECT_FALSE(file_exists(settings_file() + ".tmp"));
    EXPECT_EQ(vg()->pwm.log_count, 0);
    EXPECT_FALSE(vg()->pwm.exported);
    EXPECT_EQ(r.err.find("settings:"), std::string::npos) << r.err;

    // Nothing outlives the run: the next one starts from 50 again.
    vg_reset();
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
    r = run_for(2000);
    ASSERT_EQ(r.status, 125) << r.err;
    EXPECT_EQ(value_of(0), "050");
    EXPECT_EQ(picture_writes(), std::vector<int>({0, 0, 0, 0}));
}

TEST_F(BasicProgram, PlayHeldThreeSecondsLeavesSilentlyAndBlanksTheRows)
{
    keys("PLAY:3100");
    const VgRun r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 4u) << r.err;
    EXPECT_EQ(lines[1].rfind("avmenu 1.1.0: wejscie (writes=", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "exit: PLAY held 3 s");
    EXPECT_EQ(lines[3].rfind("avmenu: wyjscie (writes=", 0), 0u) << lines[3];
    EXPECT_TRUE(blank_screen()) << vg_screen();
    EXPECT_TRUE(vg_osd_enabled()) << "the OSD stays on, blank";
    EXPECT_EQ(vg()->pwm.log_count, 0);
    EXPECT_EQ(vg()->card.opens, 0);
    EXPECT_EQ(picture_writes(), std::vector<int>({0, 0, 0, 0}));
    EXPECT_EQ(vg()->i2c.opens, vg()->i2c.closes) << "transport closed";
}

TEST_F(BasicProgram, ShortBackLeavesWithoutThePlayLine)
{
    keys("BACK");
    const VgRun r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 3u) << r.err;
    EXPECT_EQ(lines[2].rfind("avmenu: wyjscie (writes=", 0), 0u) << lines[2];
    EXPECT_TRUE(blank_screen()) << vg_screen();
    EXPECT_EQ(vg()->pwm.log_count, 0);
    EXPECT_EQ(vg()->card.opens, 0);
}

}  // namespace
