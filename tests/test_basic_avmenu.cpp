// The reduced program end to end: the same menu and ways out, but no
// settings file, no restore at start and no sound.
#include "support.h"

namespace {

class BasicProgram : public Goggles {};

TEST_F(BasicProgram, ChangesOnlyTheRegisterTouchesNoFileNorBuzzerAndLeavesSilently)
{
    write_settings("10 20 30 40\n");  // the full program's file: ignored here
    std::string error;
    ASSERT_GE(vg_keys_script("RIGHT PLAY:3100", 1000, &error), 0) << error;
    const VgRun r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 4u) << "no settings line: " << r.err;
    EXPECT_EQ(lines[1].rfind("avmenu 1.1.0: wejscie (writes=", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "exit: PLAY held 3 s");
    EXPECT_EQ(lines[3].rfind("avmenu: wyjscie (writes=", 0), 0u) << lines[3];

    // Nothing at start; brightness from 50, not from the file's 10, to 55.
    std::vector<std::pair<int, int>> picture;
    for (const auto& w : vproc_writes_since(0)) {
        if (w.first >= 0x0890 && w.first <= 0x0893)
            picture.push_back(w);
    }
    EXPECT_EQ(picture, (std::vector<std::pair<int, int>> {{0x0890, 0x0C}}));
    EXPECT_EQ(vg()->card.opens, 0);
    EXPECT_EQ(read_settings(), "10 20 30 40\n");
    EXPECT_EQ(vg()->pwm.log_count, 0) << "nothing under the PWM tree, not even the export";

    for (const std::string& row : split_lines(vg_screen()))
        EXPECT_EQ(row, std::string(32, ' ')) << "rows left blank";
    EXPECT_TRUE(vg_osd_enabled()) << "the OSD stays on, blank";
}

}  // namespace
