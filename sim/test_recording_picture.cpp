// The recording picture command on the RIGHT tap recording and copies of it
// edited by hand: each mark is looked for where its time puts it on the
// axis, and not elsewhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <png.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "keys/keys.h"
#include "sim/recording_picture.h"

namespace {

// Times in the RIGHT tap recording, seconds since its start: the third
// sample of the RIGHT reading (the debounced press, read on the clock at
// 101.887), the BRIGHTNESS write right after the clock at 102.055, the end.
constexpr double PRESS_T = 1.887;
constexpr double STEP_T = 2.055;
constexpr double END_T = 2.430;
// The transfer after that write; the copy cut by a power loss ends inside it.
constexpr const char* AFTER_STEP = "dev_ioctl 3 c00c4110 2 15 020000005b000000030000001c0a2b -> 0\n";

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string replaced(std::string s, const std::string& from, const std::string& to)
{
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    bool is(int x, int y, RpRgb c) const
    {
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
        return p[0] == c.r && p[1] == c.g && p[2] == c.b;
    }
    int count(RpRgb c) const
    {
        int n = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                n += is(x, y, c);
        return n;
    }
};

// Writes the recording, runs the command on it and decodes its picture.
Image picture_of(const std::string& recording, const char* name)
{
    char dir[] = "/tmp/avrecpic-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    const std::string in = std::string(dir) + "/" + name + ".txt", out = std::string(dir) + "/" + name + ".png";
    std::ofstream(in, std::ios::binary) << recording;
    const std::string cmd = std::string(AVMENU_REC_PICTURE_EXE) + " " + in + " " + out;
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
    Image img;
    png_image p {};
    p.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&p, out.c_str()) != 0) {
        p.format = PNG_FORMAT_RGB;
        img.w = static_cast<int>(p.width), img.h = static_cast<int>(p.height);
        img.rgb.resize(PNG_IMAGE_SIZE(p));
        if (png_image_finish_read(&p, nullptr, img.rgb.data(), 0, nullptr) == 0)
            img.w = img.h = 0;
    }
    png_image_free(&p);
    std::remove(in.c_str()), std::remove(out.c_str()), rmdir(dir);
    EXPECT_EQ(img.w, RP_W) << name;
    EXPECT_EQ(img.h, RP_H) << name;
    return img;
}

std::string right_tap() { return slurp(RECORDING_RIGHT_TAP); }

// The first row of a value lane drawn in the line's colour at column x, -1 none.
int value_row(const Image& img, const RpLane& lane, int x)
{
    for (int y = lane.y0; y < lane.y1; ++y)
        if (img.is(x, y, RP_VALUE_LINE))
            return y;
    return -1;
}

constexpr int KEY_ROW = RP_KEYS.y0 + 5;  // inside a held key's bar, above its name
constexpr RpRgb RIGHT = RP_KEY_COLOURS[KEY_RIGHT];

TEST(RecordingPicture, KeyPressAndFirstValueAtTheirTimes)
{
    ASSERT_FALSE(right_tap().empty()) << RECORDING_RIGHT_TAP;
    const Image img = picture_of(right_tap(), "tap");
    ASSERT_EQ(img.w, RP_W);
    const RpAxis axis = rp_axis(END_T);
    const int press = rp_column(axis, PRESS_T);
    for (int x = RP_X0 + 1; x <= press - 2; ++x)
        ASSERT_FALSE(img.is(x, KEY_ROW, RIGHT)) << "RIGHT held before its press, column " << x;
    EXPECT_TRUE(img.is(press + 1, KEY_ROW, RIGHT)) << "column " << press + 1;

    // No value is written before the step: the lane is empty up to it.
    const int step = rp_column(axis, STEP_T);
    EXPECT_EQ(value_row(img, RP_VALUES[0], step - 2), -1);
    EXPECT_GE(value_row(img, RP_VALUES[0], step + 2), 0) << "column " << step + 2;

    EXPECT_EQ(img.count(RP_CUT), 0) << "a whole file has no cut mark";
    for (const RpRgb& c : RP_EVENT_COLOURS)
        EXPECT_EQ(img.count(c), 0) << "no failed transfer or OSD retry in this recording";
}

TEST(RecordingPicture, ClockReadingsGiveTheTime)
{
    // Sleeps last longer than asked on real goggles: the clock before the
    // BRIGHTNESS write reads 200 ms past the sleeps' count, and the write
    // is drawn there, the sleeps after it counted on from there.
    std::string rec = replaced(right_tap(), "clock -> 0 102.055", "clock -> 0 102.255");
    rec = replaced(rec, "clock -> 0 102.232", "clock -> 0 102.432");
    rec = replaced(rec, "clock -> 0 102.400", "clock -> 0 102.600");
    rec = replaced(rec, "end 0 102.430", "end 0 102.630");
    const Image img = picture_of(rec, "clock");
    ASSERT_EQ(img.w, RP_W);
    const int step = rp_column(rp_axis(END_T + 0.2), STEP_T + 0.2);
    EXPECT_EQ(value_row(img, RP_VALUES[0], step - 2), -1) << "column " << step - 2;
    EXPECT_GE(value_row(img, RP_VALUES[0], step + 2), 0) << "column " << step + 2;
}

TEST(RecordingPicture, ValueStepAtItsTime)
{
    // BRIGHTNESS 50 (register byte 00) written at start-up, 55 at the step.
    const std::string startup = "dev_ioctl 3 c00c4110 2 15 020000005b00000003000000900800 -> 0\n";
    const Image img = picture_of(replaced(right_tap(), "reg_store 18 6\n", startup + "reg_store 18 6\n"), "step");
    ASSERT_EQ(img.w, RP_W);
    const int step = rp_column(rp_axis(END_T), STEP_T);
    const int before = value_row(img, RP_VALUES[0], step - 2), after = value_row(img, RP_VALUES[0], step + 2);
    ASSERT_GE(before, 0);
    EXPECT_EQ(value_row(img, RP_VALUES[0], RP_X0 + 2), before) << "BRIGHTNESS moved before its step";
    EXPECT_LT(after, before) << "BRIGHTNESS 50 to 55 is a step up at column " << step;
    EXPECT_EQ(value_row(img, RP_VALUES[0], rp_column(rp_axis(END_T), END_T) - 2), after) << "and stays there";
}

TEST(RecordingPicture, PowerCutMarkedAtTheLastTimeKnown)
{
    // The file ends inside the transfer after the BRIGHTNESS write, as a
    // power cut leaves it: no newline, no end line.
    const std::string whole = right_tap();
    const size_t at = whole.find(AFTER_STEP);
    ASSERT_NE(at, std::string::npos);
    const Image img = picture_of(whole.substr(0, at + 30), "cut");
    ASSERT_EQ(img.w, RP_W);
    const int cut = rp_column(rp_axis(STEP_T), STEP_T);
    const int y = (RP_ADC.y0 + RP_ADC.y1) / 2;
    EXPECT_TRUE(img.is(cut, y, RP_CUT)) << "column " << cut;
    EXPECT_TRUE(img.is(cut, RP_KEYS.y0 + 2, RP_CUT)) << "the cut runs through the lanes";
    EXPECT_FALSE(img.is(cut - 10, y, RP_CUT));
    EXPECT_FALSE(img.is(cut + 10, y, RP_CUT));
}

TEST(RecordingPicture, FaultsAsTicksInTheirRows)
{
    // The transfer after the BRIGHTNESS write fails and a status read then
    // says busy and is polled again; the first read-back after the clock
    // at 102.400 differs and its cell is tried again.
    std::string rec = replaced(right_tap(), AFTER_STEP,
                               "dev_ioctl 3 c00c4110 2 15 020000005b000000030000001c0a2b -> -1 errno=121\n");
    rec = replaced(rec, "020000005b0000000200000001000000220a -> 0 00\n",
                   "020000005b0000000200000001000000220a -> 0 01\nusleep 2000 -> 0\n");
    rec = replaced(rec, "020000005b00000002000000010000001e0a -> 0 80\n",
                   "020000005b00000002000000010000001e0a -> 0 80\nusleep 20000 -> 0\n");
    const Image img = picture_of(rec, "faults");
    ASSERT_EQ(img.w, RP_W);
    // The two sleeps move the end on by 22 ms; the axis still ends at 2.5 s.
    const RpAxis axis = rp_axis(END_T + 0.022);
    // The retry comes after the loop's sleep that follows the clock at
    // 102.400, 2 ms later for the busy poll's sleep.
    const double at[RP_EVENT_ROWS] = {STEP_T, 2.400 + 0.030 + 0.002, STEP_T};
    for (int r = 0; r < RP_EVENT_ROWS; ++r) {
        const int y = RP_EVENTS.y0 + r * RP_EVENT_ROW_H + RP_EVENT_ROW_H / 2;
        const int x = rp_column(axis, at[r]);
        EXPECT_TRUE(img.is(x, y, RP_EVENT_COLOURS[static_cast<size_t>(r)])) << "row " << r << " column " << x;
        EXPECT_EQ(img.count(RP_EVENT_COLOURS[static_cast<size_t>(r)]), RP_EVENT_ROW_H - 5) << "one tick in row " << r;
    }
}

TEST(RecordingPicture, ShortPressInAnHourStillShows)
{
    // 59940 more idle turns before the RIGHT tap and 60000 after its save:
    // an hour, the tap in its middle, every clock reading and the end moved
    // on by 1798.2 s and 3598.2 s. The press and its release then fall in
    // one column of about 4 s.
    std::string rec = replaced(right_tap(), "repeat 0000000058 04", "repeat 0000059998 04");
    rec = replaced(rec, "repeat 0000000001 04", "repeat 0000060001 04");
    const char* const SHIFTS[][2] = {
        {"clock -> 0 101.887", "clock -> 0 1900.087"}, {"clock -> 0 102.055", "clock -> 0 1900.255"},
        {"clock -> 0 102.232", "clock -> 0 3700.432"}, {"clock -> 0 102.400", "clock -> 0 3700.600"},
        {"end 0 102.430", "end 0 3700.630"},
    };
    for (const auto& s : SHIFTS)
        rec = replaced(rec, s[0], s[1]);
    const Image img = picture_of(rec, "hour");
    ASSERT_EQ(img.w, RP_W);
    const RpAxis axis = rp_axis(3598.2 + END_T);
    const int press = rp_column(axis, 1798.2 + PRESS_T);
    ASSERT_EQ(press, rp_column(axis, 1798.2 + STEP_T));
    EXPECT_TRUE(img.is(press, KEY_ROW, RIGHT)) << "a 0.2 s press is a column wide, column " << press;
    EXPECT_FALSE(img.is(press - 3, KEY_ROW, RIGHT));
    // Hundreds of samples a column: the trace reaches the RIGHT reading
    // (680, 1200 mV) in the press's column, and stays at rest elsewhere.
    const int right_row = rp_adc_row(keys_raw_to_mv(0x2a8));
    EXPECT_TRUE(img.is(press, right_row, RP_ADC_TRACE)) << "column " << press;
    EXPECT_FALSE(img.is(press - 20, right_row, RP_ADC_TRACE));
}

}  // namespace
