// Recordings replayed: the recording programs themselves run on the
// preloaded virtual goggles through the main ways, and each recording
// replays (avmenu-replay, avmenu-replay-basic) with every device answer
// agreeing and the same end state; a recording with one answer altered
// replays with exactly that disagreement, at its line; a recording whose
// requests are not the program's stops there.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "preloaded.h"

namespace {

std::string rec_program;  // the recording program, copied into a folder of the test's

int exec_rec(int, char** argv) { return exec_preloaded(rec_program.c_str(), argv); }

// The replay command, its printout going where vg_run reads standard error.
const char* replay_exe = nullptr;
int exec_replay(int, char** argv)
{
    dup2(2, 1);
    execv(replay_exe, argv);
    return 127;
}

struct Replayed {
    int status;
    std::string out;  // standard output and error
};

class Replay : public Preloaded {
protected:
    std::string folder;

    // One session of the recording program; its recording's text.
    std::string record(bool full, const Way& way, EndState* end)
    {
        folder = card_root + "/programs";
        mkdir(folder.c_str(), 0755);
        rec_program = folder + (full ? "/VelmoX-AVMenu-rec" : "/VelmoX-AVMenu-basic-rec");
        EXPECT_EQ(system(("cp '" + std::string(full ? AVMENU_FULL_REC_EXE : AVMENU_BASIC_REC_EXE) + "' '" +
                          rec_program + "'")
                             .c_str()),
                  0);
        *end = session(exec_rec, way.args, way.setup);
        const std::string file = folder + "/recording-0001.txt";
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        unlink(file.c_str());
        return text.str();
    }

    // The replay of this text, with its printout and status.
    Replayed replay(bool full, const std::string& text)
    {
        const std::string file = card_root + "/replayed.txt";
        std::ofstream(file) << text;
        vg_key_port_close();  // the replay's own goggles take the key port
        replay_exe = full ? REPLAY_FULL_EXE : REPLAY_BASIC_EXE;
        const char* args[] = {file.c_str()};
        const VgRun run = vg_run(exec_replay, args, 1);
        return {run.status, run.err};
    }
};

// The printout's lines that start with prefix.
std::vector<std::string> lines_with(const std::string& out, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& l : split_lines(out)) {
        if (l.rfind(prefix, 0) == 0)
            found.push_back(l);
    }
    return found;
}

// The end state as the replay prints it, from the recorded session's.
std::string end_state_text(const EndState& s)
{
    const uint8_t* r = &vg()->vp.regs[0x0890];
    char regs[80];
    std::snprintf(regs, sizeof regs, "picture registers: 0890=%02x 0891=%02x 0892=%02x 0893=%02x\n", r[0], r[1], r[2],
                  r[3]);
    std::string text = s.screen.find_first_not_of(" \n") == std::string::npos ? "  blank\n" : s.screen + "\n";
    text.append(regs).append("settings file: ").append(s.settings.empty() ? "none\n" : s.settings);
    text.append("standard error:\n");
    for (const std::string& l : split_lines(s.run.err))
        text.append("  ").append(l).append("\n");
    return text;
}

// "N answers from the devices, M agree": N and M.
std::pair<long, long> summary(const std::string& out)
{
    std::smatch m;
    const std::regex re("\n([0-9]+) answers from the devices, ([0-9]+) agree\n$");
    if (!std::regex_search(out, m, re))
        return {-1, -1};
    return {std::stol(m[1]), std::stol(m[2])};
}

TEST_F(Replay, RoundTripsAgree)
{
    for (int id = 0; id < WAY_COUNT; ++id) {
        for (const bool full : {true, false}) {
            const Way& way = main_way(static_cast<WayId>(id));
            SCOPED_TRACE(std::string(way.name) + (full ? ", VelmoX-AVMenu-rec" : ", VelmoX-AVMenu-basic-rec"));
            EndState recorded;
            const std::string text = record(full, way, &recorded);
            ASSERT_EQ(text.rfind("velmox-recording 1 program=VelmoX-AVMenu", 0), 0u) << text.substr(0, 200);
            const std::string expected = end_state_text(recorded);
            const long failed = static_cast<long>(vg()->i2c.failed);
            const Replayed r = replay(full, text);
            // The goggles failed transfers that the models answer: each of
            // them, and nothing else, is a disagreement.
            EXPECT_EQ(r.status, failed == 0 ? 0 : 1) << r.out.substr(0, 2000);
            const auto [answers, agree] = summary(r.out);
            EXPECT_GT(answers, 0);
            EXPECT_EQ(answers - agree, failed);
            EXPECT_EQ(static_cast<long>(lines_with(r.out, "line ").size()), std::min(failed, 64L));
            EXPECT_NE(r.out.find(expected), std::string::npos) << "expected\n" << expected << "in\n" << r.out;
            EXPECT_EQ(lines_with(r.out, "status ").size(), 1u);
            EXPECT_EQ(lines_with(r.out, "status " + std::to_string(recorded.run.status) + ", as recorded").size(),
                      1u);
        }
    }
}

TEST_F(Replay, OneAlteredAnswerIsOneDisagreementAtItsLine)
{
    EndState recorded;
    const std::string text = record(true, main_way(WAY_PLAY), &recorded);
    std::vector<std::string> lines = split_lines(text);
    const auto first = [&](const std::regex& re, bool last = false) {
        int found = -1;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (std::regex_match(lines[i], re) && (found < 0 || last))
                found = static_cast<int>(i);
        }
        return found;
    };
    const struct {
        const char* name;
        std::regex line;
        bool last;
        std::string from, to;    // the text altered in that line
        std::string reported;    // the disagreement after "line N, T s: "
        bool stops;              // the program's own request differs: the run stops there
    } rows[] = {
        {"an OSD status byte", std::regex("dev_ioctl [0-9]+ c00c4110 3 19 020000005b00000002000000010000002" "20a -> 0 00"),
         false, " -> 0 00", " -> 0 02", "video processor register 0a22: recorded 0, 02, modelled 0, 00", false},
        {"an ADC load", std::regex("reg_load 18 -> 6"), true, "-> 6", "-> 106", "ADC 018: recorded 106, modelled 6",
         false},
        {"a PWM file's result", std::regex("file_write [0-9]+ 1 0 -> 1"), false, "-> 1", "-> -1 errno=5",
         "recorded -1 errno=5, modelled 1", false},
        {"the program's own store", std::regex("reg_store 40 8c"), false, "8c", "8d",
         "the program's register store differs from the recorded one: 40=8c", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int at = first(row.line, row.last);
        ASSERT_GE(at, 0);
        std::vector<std::string> altered = lines;
        std::string& l = altered[static_cast<size_t>(at)];
        l.replace(l.rfind(row.from), row.from.size(), row.to);
        std::string altered_text;
        for (const std::string& a : altered)
            altered_text.append(a).append("\n");
        const Replayed r = replay(true, altered_text);
        EXPECT_EQ(r.status, 1);
        const std::string place = "line " + std::to_string(at + 1);
        if (row.stops) {
            EXPECT_EQ(lines_with(r.out, "stopped: " + place + ": " + row.reported).size(), 1u) << r.out;
            EXPECT_EQ(lines_with(r.out, "line ").size(), 0u);
            EXPECT_FALSE(process_stopped(standin)) << "the stock service runs again";
            continue;
        }
        const std::vector<std::string> found = lines_with(r.out, "line ");
        ASSERT_EQ(found.size(), 1u) << r.out;
        EXPECT_EQ(found[0].rfind(place + ", ", 0), 0u) << found[0];
        EXPECT_NE(found[0].find(row.reported), std::string::npos) << found[0];
        const auto [answers, agree] = summary(r.out);
        EXPECT_EQ(agree, answers - 1);
        EXPECT_EQ(lines_with(r.out, "status 0, as recorded").size(), 1u) << "the program took the recorded path";
    }
}

}  // namespace
