// The simulator's own pieces (picture model, options, keys, view) and two
// runs of the built simulator: headless by script, and interactive in a
// terminal driven through tmux.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <png.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "keys/keys.h"
#include "sim/input.h"
#include "sim/options.h"
#include "sim/picture_model.h"
#include "sim/view.h"

namespace {

struct Ycc {
    double y, pb, pr;
};
Ycc ycc(Rgb c) { return {luma_of(c), 0.564 * (c.b - luma_of(c)), 0.713 * (c.r - luma_of(c))}; }

PictureRegs regs(uint8_t b, uint8_t c, uint8_t s, uint8_t h) { return {b, c, s, h}; }

std::string run_sim(const std::string& args, int* status)
{
    const std::string cmd = std::string(AVMENU_SIM_EXE) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int w = pclose(p);
    *status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    return out;
}

std::string temp_dir()
{
    char tmpl[] = "/tmp/avsim-test-XXXXXX";
    return mkdtemp(tmpl);
}

}  // namespace

TEST(PictureModel, NeutralBytesLeaveTheCardUnchanged)
{
    const PictureRegs neutral = regs(0x00, 0x80, 0x80, 0x00);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 64; ++x) {
            const Rgb in = test_card(x, y, 64, 30);
            const Rgb out = apply_picture(neutral, in);
            ASSERT_EQ(in.r, out.r) << x << "," << y;
            ASSERT_EQ(in.g, out.g) << x << "," << y;
            ASSERT_EQ(in.b, out.b) << x << "," << y;
        }
    }
    // The card has its eight bars on top and a black-to-white ramp below.
    EXPECT_EQ(test_card(0, 0, 80, 30).r, 191);
    EXPECT_EQ(test_card(79, 0, 80, 30).b, 16);
    EXPECT_EQ(test_card(0, 29, 80, 30).g, 0);
    EXPECT_EQ(test_card(79, 29, 80, 30).g, 255);
}

TEST(PictureModel, ControlsMoveThePictureTheRightWay)
{
    // Colours well inside the gamut, so that no channel clips.
    const Rgb grey = {100, 100, 100}, warm = {150, 120, 100};
    // The bytes the program writes for 55 and 45: brightness and hue are
    // signed around 0x00, contrast and saturation unsigned around 0x80.
    EXPECT_GT(luma_of(apply_picture(regs(0x0C, 0x80, 0x80, 0x00), grey)), 105);
    EXPECT_LT(luma_of(apply_picture(regs(0xF3, 0x80, 0x80, 0x00), grey)), 95);
    EXPECT_LT(luma_of(apply_picture(regs(0x80, 0x80, 0x80, 0x00), grey)), 1);  // brightness 0: black
    EXPECT_GT(luma_of(apply_picture(regs(0x00, 0x8C, 0x80, 0x00), grey)), 105);
    EXPECT_LT(luma_of(apply_picture(regs(0x00, 0x73, 0x80, 0x00), grey)), 95);
    EXPECT_LT(luma_of(apply_picture(regs(0x00, 0x00, 0x80, 0x00), grey)), 1);  // contrast 0: no picture

    // Saturation scales chroma and keeps luma; 0 gives grey.
    const Ycc base = ycc(warm);
    const Ycc more = ycc(apply_picture(regs(0x00, 0x80, 0xC0, 0x00), warm));
    EXPECT_NEAR(more.pb, base.pb * 1.5, 1.5);
    EXPECT_NEAR(more.pr, base.pr * 1.5, 1.5);
    EXPECT_NEAR(more.y, base.y, 1.5);
    const Rgb none = apply_picture(regs(0x00, 0x80, 0x00, 0x00), warm);
    EXPECT_NEAR(none.r, none.b, 1);
    EXPECT_NEAR(luma_of(none), base.y, 1.5);

    // Hue 0x80 (-128: 180 degrees) inverts the chroma, luma unchanged;
    // 0x40, a quarter turn, carries Pb over into Pr.
    for (const Rgb c : {warm, Rgb {100, 130, 150}, Rgb {120, 100, 140}}) {
        const Ycc in = ycc(c), out = ycc(apply_picture(regs(0x00, 0x80, 0x80, 0x80), c));
        EXPECT_NEAR(out.y, in.y, 1.5);
        EXPECT_NEAR(out.pb, -in.pb, 3.0);
        EXPECT_NEAR(out.pr, -in.pr, 3.0);
    }
    const Ycc quarter = ycc(apply_picture(regs(0x00, 0x80, 0x80, 0x40), warm));
    EXPECT_NEAR(quarter.pb, -base.pr, 3.0);
    EXPECT_NEAR(quarter.pr, base.pb, 3.0);
}

TEST(Options, ParsesEveryOptionAndRejectsBadOnes)
{
    auto parse = [](std::initializer_list<const char*> args, SimOptions* o, std::string* err) {
        std::vector<const char*> v = {"avmenu-sim"};
        v.insert(v.end(), args);
        return sim_parse_options(static_cast<int>(v.size()), v.data(), o, err);
    };
    SimOptions o;
    std::string err;
    ASSERT_EQ(parse({"--mode", "normal", "--fail-rate=2.5", "--busy-reads", "3", "--wrong-readbacks=7", "--card",
                     "/tmp/c", "--keys", "DOWN RIGHT", "--snapshot", "a.png", "--", "-s", "--mode"},
                    &o, &err),
              0)
        << err;
    EXPECT_EQ(o.mode, VG_INPUT_NORMAL);
    EXPECT_EQ(o.fail_ppm, 25000u);
    EXPECT_EQ(o.busy_reads, 3);
    EXPECT_EQ(o.wrong_readbacks, 7);
    EXPECT_EQ(o.card, "/tmp/c");
    EXPECT_TRUE(o.headless);
    EXPECT_EQ(o.keys, "DOWN RIGHT");
    EXPECT_EQ(o.snapshot, "a.png");
    EXPECT_EQ(o.program_args, (std::vector<std::string> {"-s", "--mode"}));

    ASSERT_EQ(parse({}, &o, &err), 0);
    EXPECT_EQ(o.mode, VG_INPUT_AV);
    EXPECT_FALSE(o.headless);
    EXPECT_FALSE(o.basic);

    const struct {
        std::initializer_list<const char*> args;
        const char* message;
    } BAD[] = {
        {{"--mode", "svideo"}, "--mode takes av, hdmi, normal or none, not 'svideo'"},
        {{"--mode"}, "--mode needs a value"},
        {{"--fail-rate", "101"}, "--fail-rate takes a percentage from 0 to 100, not '101'"},
        {{"--fail-rate", "-1"}, "--fail-rate takes a percentage from 0 to 100, not '-1'"},
        {{"--busy-reads", "x"}, "--busy-reads takes a whole number from 0 to 1000000, not 'x'"},
        {{"--snapshot", "a.png"}, "--snapshot works with --keys only"},
        {{"-s"}, "unknown option '-s' (see --help; program arguments go after --)"},
    };
    for (const auto& b : BAD) {
        err.clear();
        EXPECT_EQ(parse(b.args, &o, &err), -1) << b.message;
        EXPECT_EQ(err, b.message);
    }
    EXPECT_EQ(sim_script_presses("DOWN, RIGHT WAIT:500 PLAY:3100"), 3);
}

TEST(Keys, TerminalKeysAndHeldButtons)
{
    const struct {
        const char* bytes;
        Action action;
        int key;
        uint32_t hold;
    } KEYS[] = {
        {"\x1b[A", Action::PRESS, KEY_UP, 200},     {"\x1bOB", Action::PRESS, KEY_DOWN, 200},
        {"\x1b[C", Action::PRESS, KEY_RIGHT, 200},  {"\x1b[D", Action::PRESS, KEY_LEFT, 200},
        {"b", Action::PRESS, KEY_BACK, 200},        {"B", Action::PRESS, KEY_BACK, 1000},
        {"4", Action::PRESS, KEY_4, 200},           {"5", Action::PRESS, KEY_5, 200},
        {"p", Action::PLAY_TOGGLE, KEY_PLAY, 0},    {"q", Action::QUIT, -1, 0},
        {"\x03", Action::QUIT, -1, 0},
    };
    for (const auto& k : KEYS) {
        KeyAction a;
        const size_t n = std::strlen(k.bytes);
        EXPECT_EQ(decode_terminal_key(reinterpret_cast<const unsigned char*>(k.bytes), n, &a), n) << k.bytes;
        EXPECT_EQ(a.action, k.action) << k.bytes;
        EXPECT_EQ(a.key, k.key) << k.bytes;
        EXPECT_EQ(a.hold_ms, k.hold) << k.bytes;
    }
    KeyAction a;
    EXPECT_EQ(decode_terminal_key(reinterpret_cast<const unsigned char*>("\x1b["), 2, &a), 0u);  // wait for more

    // Two quick presses are held one after the other with a gap between,
    // so the program sees two releases; PLAY stays down until let go.
    KeyDriver d;
    d.press(KEY_DOWN, 200);
    d.press(KEY_RIGHT, 200);
    EXPECT_EQ(d.key_at(0), KEY_DOWN);
    EXPECT_EQ(d.key_at(199000), KEY_DOWN);
    EXPECT_EQ(d.key_at(200000), -1);
    EXPECT_EQ(d.key_at(399000), -1);
    EXPECT_EQ(d.key_at(400000), KEY_RIGHT);
    EXPECT_EQ(d.key_at(600000), -1);
    d.toggle_play(700000);
    EXPECT_EQ(d.key_at(5000000), KEY_PLAY);
    EXPECT_EQ(d.play_since_us(), 700000u);
    d.toggle_play(5000000);
    EXPECT_EQ(d.key_at(5030000), -1);
}

TEST(View, OsdOverThePictureInTextAndImage)
{
    ViewState v;
    for (auto& row : v.grid)
        std::snprintf(row, sizeof row, "%32s", "");
    std::memcpy(&v.grid[3][5], "%CONTRAST          055", 22);
    v.osd_on = true;

    const std::string line = view_term_line(v, OSD_ROW + 3, ColourMode::PLAIN);
    EXPECT_EQ(line.size(), static_cast<size_t>(PIC_COLS));
    EXPECT_EQ(line.substr(OSD_COL + 5, 22), ">CONTRAST          055");
    v.osd_on = false;  // switched off, the engine shows no text
    EXPECT_EQ(view_term_line(v, OSD_ROW + 3, ColourMode::PLAIN).find("CONTRAST"), std::string::npos);
    v.osd_on = true;
    EXPECT_NE(view_term_line(v, OSD_ROW + 3, ColourMode::TRUECOLOR).find("\x1b[38;2;255;255;255m"), std::string::npos);

    EXPECT_EQ(colour_mode_from_env("truecolor", "xterm"), ColourMode::TRUECOLOR);
    EXPECT_EQ(colour_mode_from_env("24bit", nullptr), ColourMode::TRUECOLOR);
    EXPECT_EQ(colour_mode_from_env(nullptr, "tmux-256color"), ColourMode::PALETTE256);
    EXPECT_EQ(colour_mode_from_env(nullptr, "vt100"), ColourMode::PLAIN);

    // The image: white glyph pixels over the picture, and a readable PNG.
    const int W = 320, H = 180;
    const std::vector<uint8_t> with = view_image(v, W, H);
    v.osd_on = false;
    const std::vector<uint8_t> without = view_image(v, W, H);
    int white = 0;
    for (size_t i = 0; i < with.size(); i += 3)
        white += with[i] == 255 && with[i + 1] == 255 && with[i + 2] == 255 && with[i] != without[i];
    EXPECT_GT(white, 50);
    const std::string dir = temp_dir(), path = dir + "/view.png";
    std::string err;
    ASSERT_EQ(png_write(path.c_str(), with.data(), W, H, &err), 0) << err;
    png_image img {};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, path.c_str()));
    EXPECT_EQ(img.width, static_cast<png_uint_32>(W));
    EXPECT_EQ(img.height, static_cast<png_uint_32>(H));
    png_image_free(&img);
    EXPECT_EQ(png_write("/nonexistent/dir/x.png", with.data(), W, H, &err), -1);
    EXPECT_NE(err.find("cannot write /nonexistent/dir/x.png"), std::string::npos);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Headless, ScriptRunsTheProgramAndReportsWhatItDid)
{
    const std::string card = temp_dir();
    int status = -1;
    const std::string snap = card + "/shot.png";
    std::string out = run_sim("--card " + card + " --keys 'DOWN RIGHT BACK' --snapshot " + snap, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("|     >CONTRAST          055     |"), std::string::npos) << out;
    EXPECT_NE(out.find("OSD at the end: blank"), std::string::npos) << out;
    EXPECT_NE(out.find("picture registers: 0890=00 0891=8c 0892=80 0893=00"), std::string::npos) << out;
    EXPECT_NE(out.find("settings file: 50 55 50 50\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  avmenu: wyjscie (writes="), std::string::npos) << out;
    EXPECT_NE(out.find("status: 0"), std::string::npos) << out;
    EXPECT_EQ(access(snap.c_str(), R_OK), 0);

    // The value persists on the card: the next run starts from it.
    out = run_sim("--card " + card + " --keys 'PLAY:3100'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("settings: restore 50/55/50/50"), std::string::npos) << out;
    EXPECT_NE(out.find("exit: PLAY held 3 s"), std::string::npos) << out;

    // Starting in NORMAL, "-s" brings the goggles to AV through the
    // stand-in service's key port: two long BACK presses.
    out = run_sim("--card " + card + " --mode normal --keys 'WAIT:14000 BACK' -- -s", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("switch: BACK-long, proba 2/3"), std::string::npos) << out;
    EXPECT_EQ(out.find("proba 3/3"), std::string::npos) << out;

    // Without "-s" the program refuses; the basic program keeps no settings.
    out = run_sim("--card " + card + " --mode hdmi --keys BACK", &status);
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find("ODMOWA"), std::string::npos) << out;
    out = run_sim("--basic --card " + card + " --keys 'RIGHT BACK'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("avmenu 1.1.0: wejscie"), std::string::npos) << out;
    EXPECT_NE(out.find("0890=0c"), std::string::npos) << out;

    out = run_sim("--keys 'DOWN JUMP'", &status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("avmenu-sim: bad key script: unknown key 'JUMP'"), std::string::npos) << out;
    (void)!std::system(("rm -rf '" + card + "'").c_str());
}

namespace {

// A tmux server of the test's own, with the simulator in its one pane.
class Tmux {
public:
    explicit Tmux(const std::string& command)
        : base_("tmux -L avsim-test-" + std::to_string(getpid()) + " -f /dev/null ")
    {
        ok_ = std::system((base_ + "new-session -d -x 130 -y 40 " + quote(command)).c_str()) == 0;
    }
    ~Tmux() { (void)!std::system((base_ + "kill-server 2>/dev/null").c_str()); }
    bool ok() const { return ok_; }
    void keys(const std::string& k) { (void)!std::system((base_ + "send-keys " + k).c_str()); }
    std::string screen()
    {
        FILE* p = popen((base_ + "capture-pane -p").c_str(), "r");
        std::string s;
        char buf[4096];
        size_t n;
        while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0)
            s.append(buf, n);
        if (p != nullptr)
            pclose(p);
        return s;
    }
    // Waits up to ten seconds for every text to be on the screen.
    bool wait_for(std::initializer_list<const char*> texts)
    {
        for (int i = 0; i < 200; ++i) {
            const std::string s = screen();
            bool all = true;
            for (const char* t : texts)
                all = all && s.find(t) != std::string::npos;
            if (all)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    static std::string quote(const std::string& s) { return "'" + s + "'"; }
    std::string base_;
    bool ok_ = false;
};

}  // namespace

TEST(Interactive, WearerAdjustsContrastAndLeaves)
{
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    const std::string dir = temp_dir();
    Tmux t(std::string(AVMENU_SIM_EXE) + " --card " + dir + "/card; echo status=$? > " + dir + "/status; sleep 60");
    ASSERT_TRUE(t.ok());

    // The menu over the picture, the stock service held stopped.
    ASSERT_TRUE(t.wait_for({"VELMO", ">BRIGHTNESS", "STOPPED (SIGSTOP)", "wejscie"})) << t.screen();
    t.keys("Down");
    ASSERT_TRUE(t.wait_for({">CONTRAST"})) << t.screen();
    t.keys("Right");
    ASSERT_TRUE(t.wait_for({">CONTRAST", "055", "0891=8c"})) << t.screen();

    // Quit presses BACK for the wearer: the program leaves normally and the
    // stock service runs again.
    t.keys("q");
    ASSERT_TRUE(t.wait_for({"ended with status 0", "wyjscie", ": running"})) << t.screen();
    t.keys("x");
    ASSERT_TRUE(t.wait_for({"avmenu-sim: VelmoX-AVMenu 1.3.0 ended with status 0"})) << t.screen();
    std::string status;
    for (int i = 0; i < 100 && status.empty(); ++i) {
        std::ifstream in(dir + "/status");
        std::getline(in, status);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status, "status=0");
    std::ifstream settings(dir + "/card/record/velmo-x/apps/VelmoX-AVMenu/settings");
    std::string line;
    std::getline(settings, line);
    EXPECT_EQ(line, "50 55 50 50");
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}
