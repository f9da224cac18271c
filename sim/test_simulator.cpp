// The simulator's picture model, command line and screen layout, and runs of
// the built simulator: bad command lines, headless by script, and
// interactive in a terminal through tmux.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

#include "sim/options.h"
#include "sim/picture_model.h"
#include "sim/view.h"
#include "vgoggles/session.h"

namespace {

// Runs a shell command; returns what it printed.
std::string output_of(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string temp_dir() { char tmpl[] = "/tmp/avsim-test-XXXXXX"; return mkdtemp(tmpl); }

// A cols by rows terminal taking a frame of the view: cursor positioning,
// erasing, colours and printable text. Text past the last column (it would
// wrap), any control byte (a newline on the last row scrolls) and a cursor
// moved off the screen are faults. Non-ASCII characters show as '#'.
struct Terminal {
    std::vector<std::string> screen;
    std::string fault;
    int last_row = -1;  // the lowest row text went to
};

Terminal terminal_after(const std::string& frame, int cols, int rows)
{
    Terminal t {std::vector<std::string>(static_cast<size_t>(rows), std::string(static_cast<size_t>(cols), ' ')), "", -1};
    int y = 0, x = 0;
    for (size_t i = 0; i < frame.size() && t.fault.empty(); ++i) {
        const unsigned char c = static_cast<unsigned char>(frame[i]);
        if (c == 0x1b && i + 1 < frame.size() && frame[i + 1] == '[') {
            size_t end = i + 2;
            while (end < frame.size() && (std::isdigit(static_cast<unsigned char>(frame[end])) || frame[end] == ';'))
                ++end;
            const std::string params = frame.substr(i + 2, end - i - 2);
            const char op = end < frame.size() ? frame[end] : '?';
            int r = 1, col = 1;
            if (op == 'H') {
                std::sscanf(params.c_str(), "%d;%d", &r, &col);
                if (r < 1 || r > rows || col < 1 || col > cols)
                    t.fault = "cursor moved off the screen: " + params + "H";
                y = r - 1, x = col - 1;
            } else if (op == 'K' || op == 'J') {
                // Right after the last column the cursor still stands on it:
                // erasing there takes that cell.
                for (int row = y; row < (op == 'J' ? rows : y + 1); ++row)
                    for (int c2 = row == y ? std::min(x, cols - 1) : 0; c2 < cols; ++c2)
                        t.screen[row][c2] = ' ';
            } else if (op != 'm') {
                t.fault = std::string("unexpected sequence ") + op;
            }
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
    return t;
}

std::string screen_text(const Terminal& t)
{
    std::string s;
    for (const std::string& row : t.screen)
        s += row + "|\n";
    return s;
}

// The menu's 8 rows, each whole, one under the other at the same column.
// Blank cells show as ' ' in plain characters and as '#' (a half block of
// the picture) in colour.
bool shows_grid(const Terminal& t, const ViewState& v, char blank)
{
    auto row_text = [&](int r) {
        std::string s(v.grid[r], 32);
        std::replace(s.begin(), s.end(), ' ', blank);
        std::replace(s.begin(), s.end(), '%', '>');
        return s;
    };
    for (size_t y = 0; y + 8 <= t.screen.size(); ++y) {
        const size_t x = t.screen[y].find(row_text(0));
        if (x == std::string::npos)
            continue;
        bool all = true;
        for (int r = 1; r < 8 && all; ++r)
            all = t.screen[y + static_cast<size_t>(r)].compare(x, 32, row_text(r)) == 0;
        if (all)
            return true;
    }
    return false;
}

struct ViewFixture {
    ViewState v;
    ScreenText text;
};

ViewFixture view_fixture()
{
    ViewFixture f;
    f.v.osd_on = true;
    const char* rows[8] = {"       VELMO X : AV MENU", "", "%BRIGHTNESS                050",
                           " CONTRAST                  055",  " SATURATION                050",
                           " HUE                       050", "",  "0123456789ABCDEFGHIJKLMNOPQRSTUV"};
    for (int r = 0; r < 8; ++r)
        std::snprintf(f.v.grid[r], sizeof f.v.grid[r], "%-32s", rows[r]);
    f.text.title = "VelmoX-AVMenu 1.3.0 on virtual goggles (the wearer's view)";
    f.text.panel = {"input     AV", "menu      OSD on", "service   pid 4194304: STOPPED (SIGSTOP)",
                    "registers 0890=00 0891=8c 0892=80 0893=00", "buzzer    silent", "PLAY      up",
                    "button    -", "OSD       writes=339 fail=0", "cells     595 written, 1 commits",
                    "I2C       3453 transfers, 0 failed", "key port  0 packets, 0 long BACK", "time      12.5 s",
                    "faults    fail 100.00%, busy 1000000, wrong 1000000"};
    f.text.note = "the menu runs: its picture changes are live";
    for (int i = 1; i <= 9; ++i)
        f.text.err.push_back("err line " + std::to_string(i));
    f.text.err.push_back("\ttabbed\x1b[31mred");
    return f;
}

}  // namespace

TEST(PictureModel, NeutralBytesKeepTheCardAndEachControlMovesItTheRightWay)
{
    for (int i = 0; i < 64 * 30; ++i) {
        const Rgb in = test_card(i % 64, i / 64, 64, 30), out = apply_picture({0x00, 0x80, 0x80, 0x00}, in);
        ASSERT_TRUE(in.r == out.r && in.g == out.g && in.b == out.b) << "x " << i % 64 << ", y " << i / 64;
    }
    // The bytes written for 55 and 45: brightness signed around 0x00,
    // contrast unsigned around 0x80. Grey, so that no channel clips.
    const Rgb grey = {100, 100, 100};
    EXPECT_GT(luma_of(apply_picture({0x0C, 0x80, 0x80, 0x00}, grey)), 105);
    EXPECT_LT(luma_of(apply_picture({0xF3, 0x80, 0x80, 0x00}, grey)), 95);
    EXPECT_GT(luma_of(apply_picture({0x00, 0x8C, 0x80, 0x00}, grey)), 105);
    EXPECT_LT(luma_of(apply_picture({0x00, 0x73, 0x80, 0x00}, grey)), 95);
    // Hue 0x80 (-128: 180 degrees) keeps the luma and inverts the chroma:
    // each channel mirrored about the luma.
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
    EXPECT_EQ(o.fail_ppm, 25000u);
    EXPECT_EQ(o.busy_reads, 10) << "decimal, not octal";
    EXPECT_TRUE(o.headless);
    EXPECT_EQ(o.snapshot, "a.png");
    EXPECT_EQ(o.program_args, (std::vector<std::string> {"-s", "--mode"}));
    const char* help[] = {"avmenu-sim", "-h", "--", "--bogus"};
    ASSERT_EQ(sim_parse_options(4, help, &o, &err), 1);
    for (const char* text : {"--fail-rate PERCENT", "--busy-reads N", "--mode MODE:{av,hdmi,normal,none}",
                             "--snapshot FILE.png", "\"-- -s\""})
        EXPECT_NE(err.find(text), std::string::npos) << text << " in\n" << err;

    const struct { std::vector<const char*> args; const char* message; } bad[] = {
        {{"--mode", "svideo"}, "--mode: svideo not in {av,hdmi,normal,none}"},
        {{"--mode", "s\nvideo\n"}, "--mode: s video  not in {av,hdmi,normal,none}"},
        {{"--mode"}, "--mode: 1 required MODE:{av,hdmi,normal,none} missing"},
        {{"--fail-rate", "101"}, "--fail-rate: '101' is not a percentage from 0 to 100"},
        {{"--fail-rate", "nan"}, "--fail-rate: 'nan' is not a percentage from 0 to 100"},
        {{"--fail-rate=2%"}, "--fail-rate: '2%' is not a percentage from 0 to 100"},
        {{"--busy-reads", "x"}, "--busy-reads: 'x' is not a whole number"},
        {{"--wrong-readbacks", "-1"}, "--wrong-readbacks: '-1' is not a whole number"},
        {{"--busy-reads", "1000001"}, "--busy-reads: Value 1000001 not in range 0 to 1000000"},
        {{"--card", ""}, "--card: needs a path"},
        {{"--card="}, "--card: 1 required DIR missing"},
        {{"--keys", "UP", "--snapshot", ""}, "--snapshot: needs a path"},
        {{"--snapshot", "a.png"}, "--snapshot requires --keys"},
        {{"-s"}, "The following argument was not expected: -s (see --help; program arguments go after --)"},
        {{"normal"}, "The following argument was not expected: normal (see --help; program arguments go after --)"},
    };
    for (auto b : bad) {
        b.args.insert(b.args.begin(), "avmenu-sim");
        EXPECT_EQ(sim_parse_options(static_cast<int>(b.args.size()), b.args.data(), &o, &err), -1) << b.message;
        EXPECT_EQ(err, b.message);
    }
    const struct { const char* script; const char* message; } bad_keys[] = {
        {"DOWN JUMP", "unknown key 'JUMP' (UP DOWN LEFT RIGHT PLAY BACK K4 K5 WAIT)"},
        {"WAIT", "WAIT needs milliseconds, as WAIT:500"},
        {"PLAY:30x", "unexpected text after 'PLAY:30'"},
    };
    for (const auto& b : bad_keys) {
        EXPECT_EQ(vg_keys_script(b.script, 0, &err), -1);
        EXPECT_EQ(err, b.message);
    }
    vg_reset();
    EXPECT_EQ(vg_keys_script("DOWN, RIGHT WAIT:500 PLAY:3100", 1000, &err), 5600) << "200 ms between presses";
    EXPECT_EQ(sim_script_presses("DOWN, RIGHT WAIT:500 PLAY:3100"), 3);
}

TEST(View, EveryTerminalSizeGetsAFrameThatFitsAndShowsTheMenuWhenThereIsRoom)
{
    const ViewFixture f = view_fixture();
    for (int cols = 1; cols <= 120; ++cols) {
        for (int rows = 1; rows <= 32; ++rows) {
            const Terminal t = terminal_after(view_frame(f.v, f.text, cols, rows, ColourMode::PLAIN), cols, rows);
            ASSERT_EQ(t.fault, "") << cols << " x " << rows << "\n" << screen_text(t);
            if (cols >= 35 && rows >= 10) {
                ASSERT_TRUE(shows_grid(t, f.v, ' ')) << cols << " x " << rows << "\n" << screen_text(t);
                continue;
            }
            const std::string ask = cols >= 68 ? "avmenu-sim: please make the window at least 35 x 10 to show the menu"
                                    : cols >= 29 ? "enlarge the window to 35 x 10"
                                                 : std::string("enlarge the window").substr(0, static_cast<size_t>(cols));
            ASSERT_EQ(t.last_row, 0) << cols << " x " << rows << ": one line only\n" << screen_text(t);
            ASSERT_EQ(t.screen[0].rfind(ask, 0), 0u) << cols << " x " << rows << "\n" << screen_text(t);
        }
    }
}

TEST(View, LayoutAtTheFullSizeAtEightyByTwentyFourAndTooSmall)
{
    const ViewFixture f = view_fixture();
    const std::string title = " VelmoX-AVMenu 1.3.0 on virtual goggles (the wearer's view)";
    auto picture = [](int cols) { return " " + std::string(static_cast<size_t>(cols), '#'); };
    const struct {
        int cols, rows;
        std::vector<std::string> top;  // the first screen rows, trailing blanks cut
        int last_row;                  // the lowest row written
        std::vector<std::string> shown, not_shown;
    } cases[] = {
        // Everything: the panel beside the 48-column picture, blank lines
        // around it, the whole help line and the last 8 error lines.
        {160, 50, {title, "", picture(48) + "  input     AV"}, 27,
         {" arrows: move/adjust   p: PLAY down/up (hold 3 s to leave)   b: BACK   B: BACK long   4 5: buttons   q: quit",
          "  faults    fail 100.00%, busy 1000000, wrong 1000000 ", "   err line 3"},
         {"err line 2"}},
        // The picture narrowed to 36 columns to keep the panel beside it, its
        // lines cut at the edge; the shorter help line; 6 error lines.
        {80, 24, {title, picture(36) + "  input     AV"}, 23,
         {" arrows: move/adjust  p: PLAY down/up (hold 3 s: leave)  b: BACK  q: quit",
          "  faults    fail 100.00%, busy 1000000, wro|", "   err line 5"},
         {"err line 4"}},
        // Too narrow for both: the panel under the picture.
        {60, 40, {title, "", picture(48), picture(48), picture(48)}, 39,
         {"\n input     AV", "\n faults    fail 100.00%, busy 1000000, wrong 1000000 ", " arrows  p: PLAY  b: BACK  q: quit"},
         {}},
        {34, 24, {"enlarge the window to 35 x 10", ""}, 0, {}, {}},
    };
    for (const auto& c : cases) {
        const Terminal t = terminal_after(view_frame(f.v, f.text, c.cols, c.rows, ColourMode::TRUECOLOR), c.cols, c.rows);
        const std::string screen = screen_text(t);
        ASSERT_EQ(t.fault, "") << c.cols << " x " << c.rows << "\n" << screen;
        EXPECT_EQ(t.last_row, c.last_row) << c.cols << " x " << c.rows << "\n" << screen;
        for (size_t r = 0; r < c.top.size(); ++r) {
            std::string row = t.screen[r];
            row.erase(row.find_last_not_of(' ') + 1);
            EXPECT_EQ(row, c.top[r]) << "row " << r << " at " << c.cols << " x " << c.rows << "\n" << screen;
        }
        for (const std::string& text : c.shown)
            EXPECT_NE(screen.find(text), std::string::npos) << text << " at " << c.cols << " x " << c.rows << "\n" << screen;
        for (const std::string& text : c.not_shown)
            EXPECT_EQ(screen.find(text), std::string::npos) << text << " at " << c.cols << " x " << c.rows << "\n" << screen;
        if (c.cols < 35)
            continue;
        EXPECT_TRUE(shows_grid(t, f.v, '#')) << screen;
        EXPECT_NE(screen.find("\n the menu runs: its picture changes are live"), std::string::npos) << screen;
        EXPECT_NE(screen.find("\n    tabbed?[31mred"), std::string::npos) << "control bytes as '?'\n" << screen;
    }
}

TEST(CommandLine, ABadOptionOrKeyScriptIsOneLineOnStandardErrorAndStatusTwo)
{
    const std::string card = temp_dir(), exe = std::string(AVMENU_SIM_EXE) + " --card " + card + " ";
    std::string presses;
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
    for (const auto& c : cases)  // standard error only: standard output goes away
        EXPECT_EQ(output_of("(" + exe + c.args + " 2>&1 >/dev/null </dev/null; echo status=$?)"), c.stderr_and_status) << c.args;
    EXPECT_NE(output_of(exe + "--help").find("--wrong-readbacks N"), std::string::npos);
    (void)!std::system(("rm -rf '" + card + "'").c_str());
}

TEST(Headless, ScriptRunsTheProgramAndReportsWhatItDid)
{
    const std::string card = temp_dir(), snap = card + "/shot.png";
    const std::string out = output_of(std::string(AVMENU_SIM_EXE) + " --card " + card +
                                      " --keys 'DOWN RIGHT BACK' --snapshot " + snap + "; echo status=$?");
    for (const char* text : {"|     >CONTRAST          055     |", "OSD at the end: blank",
                             "picture registers: 0890=00 0891=8c 0892=80 0893=00", "settings file: 50 55 50 50\n",
                             "  avmenu: wyjscie (writes=", "status: 0", "status=0\n"})
        EXPECT_NE(out.find(text), std::string::npos) << text << " in\n" << out;
    EXPECT_EQ(access(snap.c_str(), R_OK), 0);
    (void)!std::system(("rm -rf '" + card + "'").c_str());
}

TEST(Interactive, WearerAdjustsContrastAndLeaves)
{
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    // The server's socket lives in the test's own folder: a name from the
    // pid would repeat from one pid namespace to the next over one /tmp.
    const std::string dir = temp_dir(), tmux = "tmux -S " + dir + "/tmux -f /dev/null ";
    const std::string start = "new-session -d -x 130 -y 40 '" + std::string(AVMENU_SIM_EXE) + " --card " + dir + "'";
    ASSERT_EQ(std::system((tmux + start).c_str()), 0);
    std::string screen;
    auto shows = [&](const char* text) {  // within ten seconds
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            if ((screen = output_of(tmux + "capture-pane -p")).find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    // The menu over the picture, the stock service held stopped.
    EXPECT_TRUE(shows("VELMO") && shows(">BRIGHTNESS") && shows("STOPPED (SIGSTOP)") && shows("wejscie")) << screen;
    (void)!std::system((tmux + "send-keys Down Right").c_str());
    EXPECT_TRUE(shows(">CONTRAST") && shows("055") && shows("0891=8c")) << screen;
    // Made as small as most terminals open, the view fits itself again:
    // the shorter help line, and the title still on the first row.
    (void)!std::system((tmux + "resize-window -x 80 -y 24").c_str());
    EXPECT_TRUE(shows(" arrows: move/adjust  p: PLAY down/up (hold 3 s: leave)  b: BACK  q: quit")) << screen;
    EXPECT_EQ(screen.rfind(" VelmoX-AVMenu 1.3.0 on virtual goggles", 0), 0u) << screen;
    EXPECT_NE(screen.find(">CONTRAST"), std::string::npos) << screen;
    // Quit presses BACK for the wearer: the program leaves normally and the
    // stock service runs again.
    (void)!std::system((tmux + "send-keys q").c_str());
    EXPECT_TRUE(shows("ended with status 0") && shows("wyjscie") && shows(": running")) << screen;
    (void)!std::system((tmux + "kill-server 2>/dev/null; rm -rf '" + dir + "'").c_str());
}
