// The simulator's picture model and command line, and runs of the built
// simulator: bad command lines, headless by script, and interactive in a
// terminal through tmux.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

#include "sim/options.h"
#include "sim/picture_model.h"
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
    // The socket is named after the temporary folder: pids repeat from one
    // pid namespace to the next, and /tmp is shared.
    const std::string dir = temp_dir(), tmux = "tmux -L " + dir.substr(dir.rfind('/') + 1) + " -f /dev/null ";
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
    // Quit presses BACK for the wearer: the program leaves normally and the
    // stock service runs again.
    (void)!std::system((tmux + "send-keys q").c_str());
    EXPECT_TRUE(shows("ended with status 0") && shows("wyjscie") && shows(": running")) << screen;
    (void)!std::system((tmux + "kill-server 2>/dev/null; rm -rf '" + dir + "'").c_str());
}
