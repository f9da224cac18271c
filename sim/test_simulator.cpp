// The simulator's picture model, options and screen layout, and runs of the
// built simulator: bad command lines, headless by script, in tmux.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "sim/options.h"
#include "sim/picture_model.h"
#include "sim/view.h"
#include "vgoggles/session.h"

namespace {

std::string output_of(const std::string& cmd)  // standard output and error
{
    std::string out(1 << 20, '\0');
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    out.resize(p ? fread(out.data(), 1, out.size(), p) : 0);
    if (p)
        pclose(p);
    return out;
}

std::string trimmed(std::string s) { return s.erase(s.find_last_not_of(' ') + 1); }
std::string temp_dir() { char tmpl[] = "/tmp/avsim-test-XXXXXX"; return mkdtemp(tmpl); }

// A cols by rows terminal taking a frame. Text past the last column (it
// would wrap), any control byte (a newline on the last row scrolls) and a
// cursor moved off the screen are faults. Non-ASCII characters show as '#'.
struct Terminal {
    std::vector<std::string> screen;
    std::string fault, text;  // text: the screen, each row ended by "|\n"
    int last_row = -1;        // the lowest row text went to
};

Terminal terminal_after(const std::string& frame, int cols, int rows)
{
    Terminal t {std::vector<std::string>(static_cast<size_t>(rows), std::string(static_cast<size_t>(cols), ' ')), "", "", -1};
    int y = 0, x = 0;
    for (size_t i = 0; i < frame.size() && t.fault.empty(); ++i) {
        const unsigned char c = static_cast<unsigned char>(frame[i]);
        if (c == 0x1b && frame.compare(i + 1, 1, "[") == 0) {
            const size_t end = frame.find_first_not_of("0123456789;", i + 2);
            const char op = end < frame.size() ? frame[end] : '?';
            int r = 1, col = 1;
            if (op == 'H' && (std::sscanf(frame.c_str() + i + 2, "%d;%d", &r, &col), r < 1 || r > rows || col < 1 || col > cols))
                t.fault = "cursor moved off the screen: " + frame.substr(i + 2, end - i - 1);
            else if (op == 'H')
                y = r - 1, x = col - 1;
            else if (op == 'K' || op == 'J')  // just past the last column the cursor still takes that cell
                for (int row = y; row < (op == 'J' ? rows : y + 1); ++row)
                    std::fill(t.screen[row].begin() + (row == y ? std::min(x, cols - 1) : 0), t.screen[row].end(), ' ');
            else if (op != 'm')
                t.fault = std::string("unexpected sequence ") + op;
            i = end;
        } else if (c < 0x20 || c == 0x7f) {
            t.fault = "control byte " + std::to_string(c) + " on row " + std::to_string(y + 1);
        } else if ((c & 0xC0) != 0x80) {  // not the rest of a UTF-8 character
            if (x >= cols)
                t.fault = "text past the last column on row " + std::to_string(y + 1);
            else
                t.screen[y][x++] = c < 0x80 ? static_cast<char>(c) : '#';
            t.last_row = std::max(t.last_row, y);
        }
    }
    for (const std::string& row : t.screen)
        t.text += row + "|\n";
    return t;
}

// The menu's 8 rows whole, one under the other at one column; blank cells
// are ' ' in plain characters and '#' (the picture's half blocks) in colour.
bool shows_grid(const Terminal& t, const ViewState& v, char blank)
{
    auto cell = [&](char g, char shown) { return shown == (g == ' ' ? blank : g == '%' ? '>' : g); };
    for (size_t y = 0; y + 8 <= t.screen.size(); ++y)
        for (size_t x = 0, r = 0; x + 32 <= t.screen[y].size(); ++x, r = 0) {
            while (r < 8 && std::equal(v.grid[r], v.grid[r] + 32, t.screen[y + r].begin() + static_cast<long>(x), cell))
                ++r;
            if (r == 8)
                return true;
        }
    return false;
}

struct ViewFixture { ViewState v; ScreenText text; };
const ViewFixture fixture = {
    {{0x00, 0x80, 0x80, 0x00},
     {"       VELMO X : AV MENU        ", "                                ", "%BRIGHTNESS                050  ",
      " CONTRAST                  055  ", " SATURATION                050  ", " HUE                       050  ",
      "                                ", "0123456789ABCDEFGHIJKLMNOPQRSTUV"},
     true},
    {"VelmoX-AVMenu 1.3.0 on virtual goggles (the wearer's view)",
     {"input     AV", "menu      OSD on", "service   pid 4194304: STOPPED (SIGSTOP)",
      "registers 0890=00 0891=8c 0892=80 0893=00", "buzzer    silent", "PLAY      up", "button    -",
      "OSD       writes=339 fail=0", "cells     595 written, 1 commits", "I2C       3453 transfers, 0 failed",
      "key port  0 packets, 0 long BACK", "time      12.5 s", "faults    fail 100.00%, busy 1000000, wrong 1000000"},
     "the menu runs: its picture changes are live",
     {"err line 1", "err line 2", "err line 3", "err line 4", "err line 5", "err line 6", "err line 7", "err line 8",
      "err line 9", "\ttabbed\x1b[31mred"}}};

}  // namespace

TEST(PictureModel, NeutralBytesKeepTheCardAndEachControlMovesItTheRightWay)
{
    for (int i = 0; i < 64 * 30; ++i) {
        const Rgb in = test_card(i % 64, i / 64, 64, 30), out = apply_picture({0x00, 0x80, 0x80, 0x00}, in);
        ASSERT_TRUE(in.r == out.r && in.g == out.g && in.b == out.b) << "x " << i % 64 << ", y " << i / 64;
    }
    // The bytes for 55 and 45 on grey, which no channel clips: brightness
    // signed around 0x00, contrast unsigned around 0x80.
    const struct { PictureRegs regs; bool brighter; } steps[] = {
        {{0x0C, 0x80, 0x80, 0x00}, true}, {{0xF3, 0x80, 0x80, 0x00}, false},
        {{0x00, 0x8C, 0x80, 0x00}, true}, {{0x00, 0x73, 0x80, 0x00}, false}};
    for (const auto& s : steps)
        EXPECT_EQ(luma_of(apply_picture(s.regs, {100, 100, 100})) > 100 + (s.brighter ? 5 : -5), s.brighter);
    // Hue 0x80 (180 degrees) keeps the luma and mirrors each channel about it.
    for (const Rgb c : {Rgb {150, 120, 100}, Rgb {100, 130, 150}, Rgb {120, 100, 140}}) {
        const Rgb o = apply_picture({0x00, 0x80, 0x80, 0x80}, c);
        const double y_in = luma_of(c), y_out = luma_of(o);
        EXPECT_NEAR(y_out, y_in, 1.5);
        EXPECT_NEAR(o.r - y_out, y_in - c.r, 5.0);
        EXPECT_NEAR(o.b - y_out, y_in - c.b, 5.0);
    }
}

TEST(Options, ParsesOptionsAndKeyScriptsAndNamesWhatIsWrong)
{
    const char* good[] = {"avmenu-sim", "--mode", "hdmi", "--fail-rate=2.5", "--busy-reads", "010", "--mode=normal",
                          "--keys", "DOWN", "--snapshot", "a.png", "--", "-s", "--mode"};
    SimOptions o;
    std::string err;
    ASSERT_EQ(sim_parse_options(14, good, &o, &err), 0) << err;
    EXPECT_EQ(o.mode, VG_INPUT_NORMAL) << "the last --mode counts";
    EXPECT_EQ(o.busy_reads, 10) << "decimal, not octal";
    EXPECT_TRUE(o.fail_ppm == 25000u && o.headless && o.snapshot == "a.png");
    EXPECT_EQ(o.program_args, (std::vector<std::string> {"-s", "--mode"}));
    const char* help[] = {"avmenu-sim", "-h", "--", "--bogus"};
    ASSERT_EQ(sim_parse_options(4, help, &o, &err), 1);
    for (const char* text : {"--fail-rate PERCENT", "--busy-reads N",
                             "--mode MODE:{av,hdmi,normal,none}", "--snapshot FILE.png", "\"-- -s\""})
        EXPECT_NE(err.find(text), std::string::npos) << text << " in\n" << err;

    const struct { std::vector<const char*> args; const char* message; } bad[] = {
        {{"--mode", "s\nvideo\n"}, "--mode: s video  not in {av,hdmi,normal,none}"},
        {{"--mode"}, "--mode: 1 required MODE:{av,hdmi,normal,none} missing"},
        {{"--fail-rate", "101"}, "--fail-rate: '101' is not a percentage from 0 to 100"},
        {{"--fail-rate", "nan"}, "--fail-rate: 'nan' is not a percentage from 0 to 100"},
        {{"--fail-rate=2%"}, "--fail-rate: '2%' is not a percentage from 0 to 100"},
        {{"--busy-reads", "x"}, "--busy-reads: 'x' is not a whole number"},
        {{"--wrong-readbacks", "-1"}, "--wrong-readbacks: '-1' is not a whole number"},
        {{"--busy-reads", "1000001"}, "--busy-reads: Value 1000001 not in range 0 to 1000000"},
        {{"--card", ""}, "--card: needs a path"}, {{"--card="}, "--card: 1 required DIR missing"},
        {{"--keys", "UP", "--snapshot", ""}, "--snapshot: needs a path"}, {{"--snapshot", "a.png"}, "--snapshot requires --keys"},
        {{"-s"}, "The following argument was not expected: -s (see --help; program arguments go after --)"},
        {{"normal"}, "The following argument was not expected: normal (see --help; program arguments go after --)"},
    };
    for (auto b : bad) {
        b.args.insert(b.args.begin(), "avmenu-sim");
        EXPECT_EQ(sim_parse_options(static_cast<int>(b.args.size()), b.args.data(), &o, &err) == -1 ? err : "accepted", b.message);
    }
    const struct { const char* script; const char* message; } bad_keys[] = {
        {"WAIT", "WAIT needs milliseconds, as WAIT:500"}, {"PLAY:30x", "unexpected text after 'PLAY:30'"}};
    for (const auto& b : bad_keys)
        EXPECT_EQ(vg_keys_script(b.script, 0, &err) == -1 ? err : "accepted", b.message);
    vg_reset();
    EXPECT_EQ(vg_keys_script("DOWN, RIGHT WAIT:500 PLAY:3100", 1000, &err), 5600) << "200 ms between presses";
    EXPECT_EQ(sim_script_presses("DOWN, RIGHT WAIT:500 PLAY:3100"), 3);
}

TEST(View, EveryTerminalSizeGetsAFrameThatFitsAndShowsTheMenuWhenThereIsRoom)
{
    const ViewFixture& f = fixture;
    for (int cols = 1; cols <= 120; ++cols)
        for (int rows = 1; rows <= 32; ++rows) {
            const bool plain = (cols + rows) % 2 != 0;
            const Terminal t = terminal_after(
                view_frame(f.v, f.text, cols, rows, plain ? ColourMode::PLAIN : ColourMode::TRUECOLOR), cols, rows);
            ASSERT_EQ(t.fault, "") << cols << " x " << rows << "\n" << t.text;
            if (cols >= 35 && rows >= 10) {
                ASSERT_TRUE(shows_grid(t, f.v, plain ? ' ' : '#')) << cols << " x " << rows << "\n" << t.text;
                continue;
            }
            const std::string ask = cols >= 68 ? "avmenu-sim: please make the window at least 35 x 10 to show the menu"
                                    : cols >= 29 ? "enlarge the window to 35 x 10"
                                                 : trimmed(std::string("enlarge the window").substr(0, static_cast<size_t>(cols)));
            ASSERT_EQ(t.last_row, 0) << cols << " x " << rows << ": one line only\n" << t.text;
            ASSERT_EQ(trimmed(t.screen[0]), ask) << cols << " x " << rows;
        }
}

TEST(View, LayoutAtTheFullSizeAndAtEightyByTwentyFour)
{
    const ViewFixture& f = fixture;
    const std::string title = " VelmoX-AVMenu 1.3.0 on virtual goggles (the wearer's view)";
    auto picture = [](size_t cols) { std::string s(cols + 1, '#'); s[0] = ' '; return s; };
    // top: the first rows, trailing blanks cut; texts shown, or not with a '!'.
    const struct { int cols, rows, last_row; std::vector<std::string> top, texts; } cases[] = {
        // All of it: the panel beside the picture, the whole help line, 8 error lines.
        {160, 50, 27, {title, "", picture(48) + "  input     AV"},
         {" arrows: move/adjust   p: PLAY down/up (hold 3 s to leave)   b: BACK   B: BACK long   4 5: buttons   q: quit",
          "  faults    fail 100.00%, busy 1000000, wrong 1000000 ", "   err line 3", "!err line 2"}},
        // A narrower picture keeps the panel beside it, cut at the edge; 6 error lines.
        {80, 24, 23, {title, picture(36) + "  input     AV"},
         {" arrows: move/adjust  p: PLAY down/up (hold 3 s: leave)  b: BACK  q: quit",
          "  faults    fail 100.00%, busy 1000000, wro|", "   err line 5", "!err line 4"}},
        // Too narrow for both: the panel under the picture.
        {60, 40, 39, {title, "", picture(48), picture(48), picture(48)},
         {"\n input     AV", "\n faults    fail 100.00%, busy 1000000, wrong 1000000 ", " arrows  p: PLAY  b: BACK  q: quit"}},
    };
    for (const auto& c : cases) {
        const Terminal t = terminal_after(view_frame(f.v, f.text, c.cols, c.rows, ColourMode::TRUECOLOR), c.cols, c.rows);
        const std::string at = std::to_string(c.cols) + " x " + std::to_string(c.rows) + "\n" + t.text;
        ASSERT_EQ(t.fault, "") << at;
        EXPECT_EQ(t.last_row, c.last_row) << at;
        EXPECT_TRUE(shows_grid(t, f.v, '#')) << at;
        for (size_t r = 0; r < c.top.size(); ++r)
            EXPECT_EQ(trimmed(t.screen[r]), c.top[r]) << "row " << r << " at " << at;
        std::vector<std::string> texts = c.texts;  // control bytes in error lines show as '?'
        texts.insert(texts.end(), {"\n the menu runs: its picture changes are live", "\n    tabbed?[31mred"});
        for (const std::string& s : texts)
            EXPECT_EQ(t.text.find(s[0] == '!' ? s.substr(1) : s) == std::string::npos, s[0] == '!') << s << " at " << at;
    }
}

TEST(Program, ABadCommandLineIsOneLineAndStatusTwoAndAKeyScriptRunsHeadless)
{
    const std::string card = temp_dir(), exe = std::string(AVMENU_SIM_EXE) + " --card " + card + " ";
    std::string presses;  // one more than the schedule holds
    for (int i = 0; i <= VG_KEY_SCHEDULE_SIZE; ++i)
        presses += "UP ";
    const struct { std::string args; const char* stderr_and_status; } cases[] = {
        {"--mode svideo", "avmenu-sim: --mode: svideo not in {av,hdmi,normal,none}\nstatus=2\n"},
        {"--basic --busy-reads", "avmenu-sim: --busy-reads: 1 required N missing\nstatus=2\n"},
        {"-- -s --bogus --snapshot", "avmenu-sim: the interactive view needs a terminal; use --keys for a headless run\nstatus=2\n"},
        {"--keys 'DOWN JUMP'", "avmenu-sim: bad key script: unknown key 'JUMP' (UP DOWN LEFT RIGHT PLAY BACK K4 K5 WAIT)\nstatus=2\n"},
        {"--keys '" + presses + "'", "avmenu-sim: bad key script: more than 128 presses\nstatus=2\n"},
        {"--help", "status=0\n"},
    };
    for (const auto& c : cases)  // standard error only
        EXPECT_EQ(output_of("(" + exe + c.args + " 2>&1 >/dev/null </dev/null; echo status=$?)"), c.stderr_and_status) << c.args;
    EXPECT_NE(output_of(exe + "--help").find("--wrong-readbacks N"), std::string::npos);

    const std::string out = output_of(exe + "--keys 'DOWN RIGHT BACK' --snapshot " + card + "/shot.png; echo status=$?");
    for (const char* text : {"|     >CONTRAST          055     |", "OSD at the end: blank",
                             "picture registers: 0890=00 0891=8c 0892=80 0893=00", "settings file: 50 55 50 50\n",
                             "  avmenu: wyjscie (writes=", "status: 0", "status=0\n"})
        EXPECT_NE(out.find(text), std::string::npos) << text << " in\n" << out;
    EXPECT_EQ(access((card + "/shot.png").c_str(), R_OK), 0);
    (void)!std::system(("rm -rf '" + card + "'").c_str());
}

TEST(Interactive, WearerAdjustsContrastAndLeaves)
{
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    // The server's socket in the test's own folder: a name from the pid
    // would repeat from one pid namespace to the next over one /tmp.
    const std::string dir = temp_dir(), tmux = "tmux -S " + dir + "/tmux -f /dev/null ";
    ASSERT_EQ(std::system((tmux + "new-session -d -x 130 -y 40 '" + AVMENU_SIM_EXE + " --card " + dir + "'").c_str()), 0);
    std::string screen;
    auto shows = [&](const char* text) {  // within ten seconds
        for (int i = 0; i < 200 && (screen = output_of(tmux + "capture-pane -p")).find(text) == std::string::npos; ++i)
            usleep(50000);
        return screen.find(text) != std::string::npos;
    };
    auto send = [&](const std::string& cmd) { (void)!std::system((tmux + cmd).c_str()); };
    EXPECT_TRUE(shows("VELMO") && shows(">BRIGHTNESS") && shows("STOPPED (SIGSTOP)") && shows("wejscie")) << screen;
    send("send-keys Down Right");
    EXPECT_TRUE(shows(">CONTRAST") && shows("055") && shows("0891=8c")) << screen;
    send("resize-window -x 80 -y 24");  // the view fits itself again
    EXPECT_TRUE(shows(" arrows: move/adjust  p: PLAY down/up (hold 3 s: leave)  b: BACK  q: quit") &&
                screen.rfind(" VelmoX-AVMenu 1.3.0 on virtual goggles", 0) == 0 && shows(">CONTRAST")) << screen;
    send("send-keys q");  // BACK for the wearer: a normal exit, the stock service runs again
    EXPECT_TRUE(shows("ended with status 0") && shows("wyjscie") && shows(": running")) << screen;
    send("kill-server 2>/dev/null; rm -rf '" + dir + "'");
}
