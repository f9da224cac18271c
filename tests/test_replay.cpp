// Recordings replayed: the recording programs themselves run on the
// preloaded virtual goggles through the main ways, and each recording
// replays (avmenu-replay, avmenu-replay-basic) with every device answer
// agreeing and the same end state; a recording with one answer altered
// replays with exactly that disagreement, at its line; a recording whose
// requests are not the program's stops there. The report groups the
// disagreements by place and names the models' assumption each falls on.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "app/settings.h"
#include "preloaded.h"
#include "recording_read.h"
#include "vgoggles/assumptions.h"

namespace {

std::string rec_program;  // the recording program, copied into a folder of the test's

int exec_rec(int, char** argv) { return exec_preloaded(rec_program.c_str(), argv); }

// The replay command, its printout going to a file (standard error goes
// where vg_run reads it), its temporary files in a folder of the test's.
const char* replay_exe = nullptr;
#ifdef SIM_REPLAY_EXE
const char* const sim_replay_exe = SIM_REPLAY_EXE;
#else
const char* const sim_replay_exe = nullptr;  // a build without the simulator
#endif
std::string replay_out, replay_tmp;
int exec_replay(int, char** argv)
{
    const int out = open(replay_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(out, 1);
    setenv("TMPDIR", replay_tmp.c_str(), 1);
    execv(replay_exe, argv);
    return 127;
}

struct Replayed {
    int status;
    std::string out;  // standard output: the printout
    std::string err;  // standard error: why it refused
};

class Replay : public Preloaded {
protected:
    std::string folder;
    const char* exe = nullptr;  // a replay program other than the test's own

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
    Replayed replay(bool full, const std::string& text, bool all = false)
    {
        const std::string file = card_root + "/replayed.txt";
        std::ofstream(file) << text;
        const Replayed r = all ? replay_args(full, {"--all", file}) : replay_args(full, {file});
        EXPECT_TRUE(r.status == 2 || r.err.empty()) << "a replay that runs says everything on standard output\n"
                                                     << r.err;
        return r;
    }

    // The replay command with these arguments.
    Replayed replay_args(bool full, const std::vector<std::string>& args, bool tmp_exists = true)
    {
        vg_key_port_close();  // the replay's own goggles take the key port
        replay_exe = exe != nullptr ? exe : full ? REPLAY_FULL_EXE : REPLAY_BASIC_EXE;
        replay_out = card_root + "/replay-out.txt";
        replay_tmp = card_root + "/tmp";
        if (tmp_exists)
            mkdir(replay_tmp.c_str(), 0755);
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        const VgRun run = vg_run(exec_replay, argv.data(), static_cast<int>(argv.size()));
        // The shadow card's folder is gone, however the replay ended.
        if (tmp_exists) {
            EXPECT_EQ(system(("rmdir '" + replay_tmp + "'").c_str()), 0) << "the replay left files in TMPDIR";
        }
        std::ifstream in(replay_out);
        std::stringstream out;
        out << in.rdbuf();
        return {run.status, out.str(), run.err};
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

// A place of the report: "459 disagreements at PLACE, lines 47 (0.000 s) to ...".
struct Place {
    long count;
    std::string place;
    int first_line;
    std::vector<std::string> lines;  // the lines under it
};
std::vector<Place> places(const std::string& out)
{
    std::vector<Place> found;
    const std::regex head("([0-9]+) disagreements? at (.*), lines? ([0-9]+) .*");
    bool under = false;
    for (const std::string& l : split_lines(out)) {
        std::smatch m;
        if (std::regex_match(l, m, head))
            found.push_back({std::stol(m[1]), m[2], std::stoi(m[3]), {}});
        else if (under && l.rfind("  ", 0) == 0)
            found.back().lines.push_back(l);
        under = std::regex_match(l, head) || (under && l.rfind("  ", 0) == 0);
    }
    return found;
}

// The recording with each of its lines that match `line` (the first, the
// last, or every one) changed from `from` to `to`; the lines changed, from 1.
enum Which { FIRST, LAST, EVERY };
std::string altered(const std::string& text, const std::regex& line, Which which, const std::string& from,
                    const std::string& to, std::vector<int>* at)
{
    std::vector<std::string> lines = split_lines(text);
    std::vector<size_t> match;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], line))
            match.push_back(i);
    }
    if (which == FIRST && match.size() > 1)
        match.erase(match.begin() + 1, match.end());
    if (which == LAST && match.size() > 1)
        match.erase(match.begin(), match.end() - 1);
    for (size_t i : match) {
        lines[i].replace(lines[i].rfind(from), from.size(), to);
        at->push_back(static_cast<int>(i) + 1);
    }
    std::string out;
    for (const std::string& l : lines)
        out.append(l).append("\n");
    return out;
}

// The settings file on the test's card, where the programs look for it.
std::string card_settings()
{
    char path[512];
    return vg_card_path(AVMENU_SETTINGS_DIR "/settings", path, sizeof path) ? path : "";
}

// The end state as the replay prints it, from the recorded session's.
std::string end_state_text(const EndState& s)
{
    const uint8_t* r = &vg()->vp.regs[0x0890];
    char regs[80];
    std::snprintf(regs, sizeof regs, "picture registers: 0890=%02x 0891=%02x 0892=%02x 0893=%02x\n", r[0], r[1], r[2],
                  r[3]);
    std::string text = s.screen.find_first_not_of(" \n") == std::string::npos ? "  blank\n" : s.screen + "\n";
    const bool there = access(card_settings().c_str(), F_OK) == 0;
    text.append(regs).append("settings file: ").append(!there ? "none\n" : s.settings.empty() ? "\n" : s.settings);
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

// Each place's head line, as the same run's --all lines give its count and
// its first and last disagreement: "1 disagreement at P, line N (T s)", "C
// disagreements at P, lines N (T s) to M (U s)".
void expect_heads_as_listed(const std::string& out)
{
    struct Seen {
        long count = 0;
        std::string first, last;  // "N (T s)"
    };
    std::map<std::string, Seen> seen;
    const std::regex each("line ([0-9]+), ([0-9]+\\.[0-9]{3}) s: (.*): recorded .*");
    for (const std::string& l : lines_with(out, "line ")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, each)) << l;
        Seen& s = seen[m[3]];
        s.last = m[1].str() + " (" + m[2].str() + " s)";
        if (s.count++ == 0)
            s.first = s.last;
    }
    for (const std::string& l : split_lines(out)) {
        std::smatch m;
        if (!std::regex_match(l, m, std::regex("[0-9]+ disagreements? at (.*), lines? .*")))
            continue;
        const Seen& s = seen[m[1]];
        EXPECT_EQ(l, s.count == 1 ? "1 disagreement at " + m[1].str() + ", line " + s.first
                                  : std::to_string(s.count) + " disagreements at " + m[1].str() + ", lines " + s.first +
                                        " to " + s.last);
    }
}

// Values changed and PLAY held on a card whose close reports a write error.
const Way close_fails {"values changed, PLAY held, close fails", {}, [] {
                           rmdir((card_settings() + ".tmp").c_str());  // a folder an earlier row made
                           vg()->card.close_fails = true;
                           vg_keys_script("DOWN RIGHT RIGHT PLAY:3100", 500, nullptr);
                       }};

// A session that finds a settings file on the card and reads it.
const Way settings_on_card {"a settings file on the card", {}, [] {
                                std::ofstream(card_settings()) << "70 40 60 45\n";
                                vg_keys_script("BACK", 500, nullptr);
                            }};

TEST_F(Replay, RoundTripsAgree)
{
    // The main ways, and goggles the replay must set up as the recording
    // found them: a settings file on the card, an empty one (which only the
    // full program reads: the replay's card holds what the recording
    // shows), no PWM class, no /dev/mem, no stock service.
    std::vector<Way> ways;
    for (int id = 0; id < WAY_COUNT; ++id)
        ways.push_back(main_way(static_cast<WayId>(id)));
    ways.push_back(settings_on_card);
    ways.push_back({"no PWM class", {}, [] {
                        vg()->pwm.present = false;
                        vg_keys_script("RIGHT BACK", 500, nullptr);
                    }});
    ways.push_back({"an empty settings file on the card", {}, [] {
                        std::ofstream{card_settings()};
                        vg_keys_script("BACK", 500, nullptr);
                    }});
    ways.push_back({"no /dev/mem", {}, [] { vg()->adc.present = false; }});
    // Last: the replay must then bring no stand-in of its own either.
    const size_t no_service_way = ways.size();
    ways.push_back({"no stock service running", {}, [] { vg_keys_script("BACK", 500, nullptr); }});
    for (const Way& way : ways) {
        if (&way == &ways[no_service_way]) {
            end_standin(standin);
            standin = -1;
        }
        for (const bool full : {true, false}) {
            if (!full && std::string(way.name).find("settings file") != std::string::npos)
                continue;
            SCOPED_TRACE(std::string(way.name) + (full ? ", VelmoX-AVMenu-rec" : ", VelmoX-AVMenu-basic-rec"));
            EndState recorded;
            const std::string text = record(full, way, &recorded);
            ASSERT_EQ(text.rfind("velmox-recording 2 program=VelmoX-AVMenu", 0), 0u) << text.substr(0, 200);
            const std::string expected = end_state_text(recorded);
            const long failed = static_cast<long>(vg()->i2c.failed);
            const Replayed r = replay(full, text, true);
            expect_heads_as_listed(r.out);
            // The goggles failed transfers that the models answer: each of
            // them, and nothing else, is a disagreement.
            EXPECT_EQ(r.status, failed == 0 ? 0 : 1) << r.out.substr(0, 2000);
            const auto [answers, agree] = summary(r.out);
            // Every device answer of the recording is held against the models'.
            const RecKind answering[] = {REC_DEV_OPEN,   REC_DEV_IOCTL,  REC_DEV_MMAP,   REC_DEV_CLOSE,
                                         REC_REG_LOAD,   REC_FILE_OPEN,  REC_FILE_READ,  REC_FILE_WRITE,
                                         REC_FILE_FSYNC, REC_FILE_CLOSE, REC_FILE_RENAME, REC_FILE_UNLINK};
            long device_answers = 0;
            for (const RecEntry& e : rec_read_text(text).entries)
                device_answers += std::count(std::begin(answering), std::end(answering), e.kind);
            EXPECT_EQ(answers, device_answers);
            EXPECT_EQ(answers - agree, failed);
            long grouped = 0;
            for (const Place& p : places(r.out))
                grouped += p.count;
            std::smatch more;  // the places past a screen's worth
            if (std::regex_search(r.out, more, std::regex("\nand ([0-9]+) more disagreements at more places")))
                grouped += std::stol(more[1]);
            EXPECT_LE(places(r.out).size(), 12u);
            // A failed transfer's place in the chips' own terms.
            std::set<std::string> named;
            for (const Place& p : places(r.out))
                named.insert(p.place);
            if (failed > 0) {
                for (const char* place : {"select bus 2 at 5b", "video processor register 0a22",
                                          "video processor write 0a1c=08", "video processor write 0a1d=0b"})
                    EXPECT_EQ(named.count(place), 1u) << place << " in\n" << r.out.substr(0, 3000);
            }
            EXPECT_EQ(grouped, failed) << r.out.substr(0, 2000);
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
    const std::string read_settings = record(true, settings_on_card, &recorded);
    const std::string switched = record(true, main_way(WAY_SWITCH), &recorded);
    const std::string closing = record(true, close_fails, &recorded);
    const struct {
        const char* name;
        std::regex line;
        Which which;
        std::string from, to;  // the text altered in that line
        std::string place;     // where the report puts it, and the answers it holds; or the stop
        std::string reported;
        bool stops;            // the program's own request differs: the run stops there
        int session = 0;  // altered in: PLAY held, a settings file read, -s from normal view, a close that fails
    } rows[] = {
        {"an OSD status byte", std::regex("dev_ioctl [0-9]+ c00c4110 3 19 020000005b00000002000000010000002" "20a -> 0 00"),
         FIRST, " -> 0 00", " -> 0 02", "video processor register 0a22", "recorded 0, 02, modelled 0, 00 (1)", false},
        {"an ADC load", std::regex("reg_load 18 -> 6"), LAST, "-> 6", "-> 106", "ADC 018",
         "recorded 106, modelled 6 (1)", false},
        {"a PWM file's result", std::regex("file_write [0-9]+ 1 0 -> 1"), FIRST, "-> 1", "-> -1 errno=5",
         "write pwm7/enable", "recorded -1 errno=5, modelled 1 (1)", false},
        {"the program's own store", std::regex("reg_store 40 8c"), FIRST, "8c", "8d", "",
         "the program's register store differs from the recorded one: 40=8c", true},
        // Each request of the program held to the recorded one: the run stops there.
        {"the program's own transfer", std::regex("dev_ioctl [0-9]+ c00c4110 2 15 020000005b00000003000000080a91 -> 0"),
         FIRST, "080a91", "080a92", "",
         "the program's transfer differs from the recorded one: command 2, length 15, 020000005b00000003000000080a91",
         true},
        {"a device open's flags", std::regex("dev_open /dev/remote_i2c 802 -> [0-9]+"), FIRST, " 802 ", " 2 ", "",
         "the program's device open differs from the recorded one: /dev/remote_i2c 802", true},
        {"a transfer's descriptor", std::regex("dev_ioctl [0-9]+ c00c4110 1 .*"), FIRST, "dev_ioctl ", "dev_ioctl 9", "",
         "the program's ioctl differs from the recorded one: descriptor ", true},
        {"the mapping", std::regex("dev_mmap [0-9]+ 1000 60632000 -> 0"), FIRST, " 1000 ", " 2000 ", "",
         "the program's mapping differs from the recorded one: 1000 at 60632000", true},
        {"a device's close", std::regex("dev_close [0-9]+ -> 0"), FIRST, "dev_close ", "dev_close 9", "",
         "the program's close differs from the recorded one: descriptor ", true},
        {"a register load", std::regex("reg_load 38 -> 6"), FIRST, "reg_load 38", "reg_load 3c", "",
         "the program's register load differs from the recorded one: offset 38", true},
        {"a file open's mode", std::regex("file_open .*/settings 0 0 -> -1 errno=2"), FIRST, " 0 0 ", " 0 644 ", "",
         "the program's file open differs from the recorded one: " AVMENU_SETTINGS_DIR "/settings 0 0", true},
        {"a file write's bytes", std::regex("file_write [0-9]+ 1 7 -> 1"), FIRST, " 1 7 ", " 1 8 ", "",
         "the program's file write differs from the recorded one: descriptor ", true},
        {"a file read's count", std::regex("file_read [0-9]+ [0-9]+ -> 12 .*"), FIRST, " -> 12 ", "0 -> 12 ", "",
         "the program's file read differs from the recorded one: descriptor ", true, 1},
        {"a whole-second sleep", std::regex("sleep [0-9]+ -> 0"), FIRST, "sleep ", "sleep 9", "",
         "the program's sleep differs from the recorded one: ", true, 2},
        {"a file's sync", std::regex("file_fsync [0-9]+ -> 0"), FIRST, "file_fsync ", "file_fsync 9", "",
         "the program's fsync differs from the recorded one: descriptor ", true},
        {"a rename", std::regex("file_rename .*"), FIRST, "settings ->", "settings.old ->", "",
         "the program's rename differs from the recorded one: " AVMENU_SETTINGS_DIR "/settings.tmp " AVMENU_SETTINGS_DIR
         "/settings",
         true},
        {"an unlink", std::regex("file_unlink .*"), FIRST, "settings.tmp ->", "settings.tmq ->", "",
         "the program's unlink differs from the recorded one: " AVMENU_SETTINGS_DIR "/settings.tmp", true, 3},
        {"a sleep", std::regex("usleep 30000 -> 0"), FIRST, "30000", "30001", "",
         "the program's sleep differs from the recorded one: 30000 us", true},
        {"a signal", std::regex("kill [0-9]+ 19 -> 0"), FIRST, " 19 ", " 18 ", "",
         "the program's signal differs from the recorded one: 19 to ", true},
        {"a diagnostic", std::regex("stderr -> 37 mode: .*"), FIRST, "mode: ", "mode= ", "",
         "the program's diagnostic differs from the recorded one: mode: LT8668 B7=0x02 AD=0x02 AC=0x01", true},
        {"a call of another kind", std::regex("usleep 30000 -> 0"), FIRST, "usleep", "sleep", "",
         "the program makes a call of kind usleep where the recording has sleep", true},
        {"the recording goes on after the program returns", std::regex("end 0 .*"), LAST, "end 0",
         "usleep 30000 -> 0\nend 0", "", "the program returns 0 where the recording goes on with usleep", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<int> at;
        const Replayed r =
            replay(true, altered(row.session == 1   ? read_settings
                                 : row.session == 2 ? switched
                                 : row.session == 3 ? closing
                                                    : text,
                                 row.line, row.which, row.from, row.to, &at));
        ASSERT_EQ(at.size(), 1u);
        EXPECT_EQ(r.status, 1);
        const std::string line = "line " + std::to_string(at[0]);
        const std::vector<Place> found = places(r.out);
        if (row.stops) {
            // Said whole, or its beginning where the rest is a real pid or descriptor.
            const std::vector<std::string> stops = lines_with(r.out, "stopped: " + line + ": " + row.reported);
            ASSERT_EQ(stops.size(), 1u) << r.out;
            if (row.reported.back() != ' ') {
                EXPECT_EQ(stops[0], "stopped: " + line + ": " + row.reported);
            }
            EXPECT_TRUE(std::regex_search(r.out, std::regex("\nstopped: [^\n]*\n[0-9]+ answers from the devices")))
                << "the stop on one line";
            EXPECT_EQ(found.size(), row.session == 3 ? 1u : 0u) << "the close the models take";
            if (row.reported.find("the program returns") == std::string::npos) {
                EXPECT_EQ(r.out.find("wyjscie"), std::string::npos) << "the program ends where it leaves the path";
            }
            EXPECT_FALSE(process_stopped(standin)) << "the stock service runs again";
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << r.out;
        EXPECT_EQ(found[0].count, 1);
        EXPECT_EQ(found[0].place, row.place);
        EXPECT_EQ(found[0].first_line, at[0]);
        ASSERT_FALSE(found[0].lines.empty());
        EXPECT_EQ(found[0].lines[0], "  " + row.reported);
        const auto [answers, agree] = summary(r.out);
        EXPECT_EQ(agree, answers - 1);
        EXPECT_EQ(lines_with(r.out, "status 0, as recorded").size(), 1u) << "the program took the recorded path";
    }
}

// Three kinds of disagreement: every OSD status byte with a bit the models
// never set, one ADC control load, one PWM file that fails to close. Each
// is one place, in the order they first disagree, with the assumption it
// falls on or the word that none covers it; --all lists every one.
TEST_F(Replay, DisagreementsAreGroupedByPlaceWithTheirAssumption)
{
    EndState recorded;
    std::string text = record(true, main_way(WAY_PLAY), &recorded);
    std::vector<int> status_at, adc_at, close_at;
    text = altered(text, std::regex("dev_ioctl [0-9]+ c00c4110 3 19 020000005b0000000200000001000000220a -> 0 00"),
                   EVERY, " -> 0 00", " -> 0 02", &status_at);
    text = altered(text, std::regex("reg_load 18 -> 6"), LAST, "-> 6", "-> 106", &adc_at);
    // The close after the export's write.
    const size_t export_open = text.find("file_open /sys/class/pwm/pwmchip0/export");
    ASSERT_NE(export_open, std::string::npos);
    const int export_line = static_cast<int>(std::count(text.begin(), text.begin() + export_open, '\n')) + 1;
    text = altered(text, std::regex("file_close [0-9]+ -> 0"), FIRST, "-> 0", "-> -1 errno=5", &close_at);
    ASSERT_GT(status_at.size(), 10u);
    ASSERT_EQ(close_at.size(), 1u);
    ASSERT_EQ(close_at[0], export_line + 2);

    const Replayed r = replay(true, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_with(r.out, "status 0, as recorded").size(), 1u) << r.out;
    const std::vector<Place> found = places(r.out);
    ASSERT_EQ(found.size(), 3u) << r.out;
    const struct {
        std::string place;
        long count;
        int first_line;
        std::string pair, said;
    } expected[] = {
        {"close pwmchip0/export", 1, close_at[0], "  recorded -1 errno=5, modelled 0 (1)",
         "  no assumption of the models is here: a model contradicts what we know of the goggles"},
        {"video processor register 0a22", static_cast<long>(status_at.size()), status_at[0],
         "  recorded 0, 02, modelled 0, 00 (" + std::to_string(status_at.size()) + ")",
         "  the models assume the OSD engine is never busy after a cell write, and the status register's bits 1 to "
         "7 read 0; this recording answers 0, 02"},
        {"ADC 018", 1, adc_at[0], "  recorded 106, modelled 6 (1)",
         "  the models assume the ADC's control register reads back the 6 written, with no status bits, and no "
         "conversion is refused; this recording answers 106"},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].place);
        EXPECT_EQ(found[i].place, expected[i].place);
        EXPECT_EQ(found[i].count, expected[i].count);
        EXPECT_EQ(found[i].first_line, expected[i].first_line);
        EXPECT_EQ(found[i].lines, (std::vector<std::string> {expected[i].pair, expected[i].said}));
    }
    // Times are the recorded clock's, from its first reading.
    long long first_ms = -1, last_ms = 0;
    const std::vector<std::string> lines = split_lines(text);
    for (int i = 0; i < status_at.back(); ++i) {
        long long sec, nsec;
        if (std::sscanf(lines[static_cast<size_t>(i)].c_str(), "clock -> 0 %lld.%lld", &sec, &nsec) == 2) {
            last_ms = sec * 1000 + nsec / 1000000;
            first_ms = first_ms < 0 ? last_ms : first_ms;
        }
    }
    char last[32];
    std::snprintf(last, sizeof last, " (%lld.%03lld s)", (last_ms - first_ms) / 1000, (last_ms - first_ms) % 1000);
    ASSERT_GT(last_ms - first_ms, 1000);
    EXPECT_NE(r.out.find(", lines " + std::to_string(status_at[0]) + " (0.000 s) to " +
                         std::to_string(status_at.back()) + last + "\n"),
              std::string::npos)
        << last << "\n" << r.out;
    EXPECT_EQ(lines_with(r.out, "line ").size(), 0u) << "one line a place, without --all";

    const Replayed all = replay(true, text, true);
    EXPECT_EQ(all.out.rfind("replay: ", 0), 0u) << "the header first, then every disagreement";
    expect_heads_as_listed(all.out);
    const std::vector<std::string> each = lines_with(all.out, "line ");
    ASSERT_EQ(each.size(), status_at.size() + 2);
    EXPECT_EQ(each[0], "line " + std::to_string(close_at[0]) + ", 0.000 s: close pwmchip0/export: recorded -1 "
                       "errno=5, modelled 0");
    EXPECT_EQ(places(all.out).size(), 3u);
}

// Two failed calls agree only when they fail with the same errno.
TEST_F(Replay, FailedCallsDisagreeOnAnotherErrno)
{
    const struct {
        const char* name;
        Way way;
        std::regex line;
        std::string from, to, place, reported;
    } rows[] = {
        {"the settings file's open", main_way(WAY_BACK), std::regex("file_open .*/settings 0 0 -> -1 errno=2"),
         "errno=2", "errno=13", "open /record/velmo-x/apps/VelmoX-AVMenu/settings",
         "  recorded -1 errno=13, modelled -1 errno=2 (1)"},
        {"the transport's open", main_way(WAY_NO_TRANSPORT), std::regex("dev_open /dev/remote_i2c 802 -> -1 errno=2"),
         "errno=2", "errno=13", "open /dev/remote_i2c", "  recorded -1 errno=13, modelled -1 errno=2 (1)"},
        {"the ADC's mapping", {"mapping refused", {}, [] { vg()->adc.map_fails = true; }},
         std::regex("dev_mmap .* -> -1 errno=22"), "errno=22", "errno=1", "map /dev/mem",
         "  recorded -1 errno=1, modelled -1 errno=22 (1)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EndState recorded;
        const std::string text = record(true, row.way, &recorded);
        const Replayed same = replay(true, text);
        EXPECT_EQ(same.status, 0) << same.out;
        std::vector<int> at;
        const Replayed r = replay(true, altered(text, row.line, FIRST, row.from, row.to, &at));
        ASSERT_EQ(at.size(), 1u) << text.substr(0, 1500);
        const std::vector<Place> found = places(r.out);
        ASSERT_EQ(found.size(), 1u) << r.out;
        EXPECT_EQ(found[0].place, row.place);
        EXPECT_EQ(found[0].first_line, at[0]);
        ASSERT_FALSE(found[0].lines.empty());
        EXPECT_EQ(found[0].lines[0], row.reported);
    }
}

// A recording without its end line, whole or cut by a power loss,
// replays to its last entry; the cut is said, and the verdict is the
// answers' own.
TEST_F(Replay, ARecordingCutShortReplaysToItsLastWholeLine)
{
    EndState recorded;
    const std::string text = record(true, main_way(WAY_PLAY), &recorded);
    size_t at = 0;
    for (int line = 0; line < 400; ++line)
        at = text.find('\n', at) + 1;
    const std::string page(4096, '\0');
    const struct {
        const char* what;
        std::string text;
        std::string cut;
    } rows[] = {
        {"killed after line 400", text.substr(0, at), ""},
        {"cut inside line 401", text.substr(0, at + 7) + page,
         "cut: cut at line 401: the goggles lost power or the card was pulled; what came after is lost\n"},
        {"the reserve after line 400", text.substr(0, at) + page,
         "cut: cut at line 401: the rest is space kept on the card for entries never written (the program was "
         "killed, or the goggles lost power)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Replayed r = replay(true, row.text);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(lines_with(r.out, "cut: ").size(), row.cut.empty() ? 0u : 1u);
        if (!row.cut.empty()) {
            EXPECT_NE(r.out.find(row.cut), std::string::npos) << r.out;
        }
        EXPECT_NE(r.out.find("the recording has no end line: replayed to its last entry, line 400; the program goes on"),
                  std::string::npos)
            << r.out;
        const auto [answers, agree] = summary(r.out);
        EXPECT_GT(answers, 100);
        EXPECT_EQ(answers, agree);
    }
}

// A noisy converter: idle turns whose readings wander fold into ranged
// repeat lines, and the replay takes the program down the recorded path
// with every answer agreeing.
TEST_F(Replay, NoisyReadingsFoldAndReplayOnTheRecordedPath)
{
    const Way noisy {"values changed on a noisy converter", {}, [] {
                         vg()->adc.noise_counts = 2;
                         vg_keys_script("WAIT:2000 RIGHT WAIT:2000 LEFT WAIT:2000 BACK", 500, nullptr);
                     }};
    EndState recorded;
    const std::string text = record(true, noisy, &recorded);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("\nrepeat ([0-9]{10}) [0-9]{2} ([0-9a-f]{8}) ([0-9a-f]{8})\n")))
        << text.substr(0, 3000);
    EXPECT_LT(m[2].str(), m[3].str()) << "the idle readings wandered";
    EXPECT_GT(std::stol(m[1]), 30);
    const Replayed r = replay(true, text);
    EXPECT_EQ(r.status, 0) << r.out;
    const auto [answers, agree] = summary(r.out);
    EXPECT_GT(answers, 0);
    EXPECT_EQ(answers, agree);
    EXPECT_NE(r.out.find(end_state_text(recorded)), std::string::npos) << r.out;
    EXPECT_EQ(lines_with(r.out, "status 0, as recorded").size(), 1u) << r.out;
}


// The disagreement lines of a replay run with --all: "line N, ...".
std::vector<int> disagreement_lines(const std::string& out)
{
    std::vector<int> found;
    for (const std::string& l : lines_with(out, "line "))
        found.push_back(std::stoi(l.substr(5)));
    return found;
}

// Recordings whose answers are ones the models would not give, where the
// program's path follows the answer: the replay feeds the program the
// recorded answer, never the model's, so the program keeps to the recorded
// path (no stop, the recorded status and end state), and the models' answers
// disagree at exactly the lines where they differ. Fed the models' answers,
// the program would leave the recorded path and stop.
// A recording unaltered; the lines that match are where the models answer otherwise.
std::function<std::string(const std::string&, std::vector<int>*)> lines_matching(const char* pattern)
{
    return [pattern](const std::string& text, std::vector<int>* at) {
        const std::vector<std::string> lines = split_lines(text);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (std::regex_match(lines[i], std::regex(pattern)))
                at->push_back(static_cast<int>(i) + 1);
        }
        EXPECT_EQ(at->size(), 2u) << pattern << ": one save a change";
        return text;
    };
}

TEST_F(Replay, TheProgramTakesThePathOfTheRecordedAnswers)
{
    const std::regex probe_ad_ac("dev_ioctl [0-9]+ c00c4110 3 18 01000000430000000100000001000000a[cd] -> 0 [0-9a-f]{2}");
    const std::regex ctrl_load("reg_load 18 -> 6");
    const struct {
        const char* name;
        Way way;
        // The recording altered; the lines where the models answer otherwise.
        std::function<std::string(const std::string&, std::vector<int>*)> alter;
        std::vector<std::string> places;  // where the report puts them, in order
        std::string path;                 // a line of the printout only the recorded path gives
        int status;                       // the replay's
        std::string verdict;              // how the program ended against the end line
        std::string said, says;           // the program's diagnostic as recorded, as altered
    } rows[] = {
        // HDMI as the program reads it (B7 2, AD 0), with an AC no input of
        // the models gives: the shadow is set up in AV and answers AV at
        // every AD and AC probe; the program must refuse as recorded.
        {"the mode register says HDMI where the models say AV", main_way(WAY_HDMI),
         [&](const std::string& text, std::vector<int>* at) {
             std::vector<int> changed;
             std::string t = altered(text, std::regex(".* 01000000430000000100000001000000ac -> 0 00"), FIRST, "-> 0 00",
                                     "-> 0 03", &changed);
             t = altered(t, std::regex("stderr -> [0-9]+ mode: LT8668 B7=0x02 AD=0x00 AC=0x00%0A"), FIRST, "AC=0x00",
                         "AC=0x03", &changed);
             EXPECT_EQ(changed.size(), 2u);
             const std::vector<std::string> lines = split_lines(t);
             for (size_t i = 0; i < lines.size(); ++i) {
                 if (std::regex_match(lines[i], probe_ad_ac))
                     at->push_back(static_cast<int>(i) + 1);
             }
             return t;
         },
         {"LT8668 register ad", "LT8668 register ac"}, "  ODMOWA: ", 1, "status 2, as recorded",
         "AD=0x00 AC=0x00", "AD=0x00 AC=0x03"},
        // Turns whose readings fall in a key's window, each conversion
        // refused: the program must not take the key, where the models'
        // control register would have let it. The first idle turns folded
        // in a repeat line are written out, the first five of them so.
        {"a key's readings with every conversion refused", main_way(WAY_PLAY),
         [&](const std::string& text, std::vector<int>* at) {
             const std::vector<std::string> lines = split_lines(text);
             size_t repeat = 0;
             while (repeat < lines.size() && lines[repeat].rfind("repeat ", 0) != 0)
                 ++repeat;
             std::string key;  // the first reading that is not the idle one
             for (size_t i = repeat; i < lines.size() && key.empty(); ++i) {
                 if (lines[i].rfind("reg_load 810 -> ", 0) == 0 && lines[i] != "reg_load 810 -> c")
                     key = lines[i];
             }
             const std::vector<std::string> idle = {"reg_store 18 6", "reg_store 800 6",   "reg_store 40 8c",
                                                    "reg_load 38 -> 6", "reg_load 810 -> c", "reg_load 18 -> 6",
                                                    "usleep 30000 -> 0"};
             EXPECT_FALSE(key.empty());
             EXPECT_TRUE(std::equal(idle.begin(), idle.end(), lines.begin() + static_cast<long>(repeat) - 7));
             EXPECT_EQ(lines[repeat].substr(17, 3), " 04");
             // A reading that may be a button's is converted twice.
             const std::vector<std::string> refused = {idle[0], idle[1], idle[2], idle[3], key, "usleep 9000 -> 0",
                                                       key, "reg_load 18 -> 2", idle[6]};
             const long turns = std::stol(lines[repeat].substr(7, 10));
             std::string t;
             for (size_t i = 0; i < repeat; ++i)
                 t.append(lines[i]).append("\n");
             int line = static_cast<int>(repeat);
             for (long turn = 0; turn < turns; ++turn) {
                 for (const std::string& l : turn < 5 ? refused : idle) {
                     t.append(l).append("\n");
                     if (l == refused[7])
                         at->push_back(++line);
                     else
                         ++line;
                 }
             }
             for (size_t i = 0; i < 4; ++i)
                 t.append(idle[i]).append("\n");
             for (size_t i = repeat + 1; i < lines.size(); ++i)
                 t.append(lines[i]).append("\n");
             return t;
         },
         {"ADC 018"}, "", 1, "status 0, as recorded", "", ""},
        // The settings file saved on a card whose settings.tmp is a folder:
        // the open fails where the models' card opens it.
        {"the settings file's open fails where the models' card opens it",
         {"values changed, PLAY held, settings.tmp a folder", {},
          [] {
              std::ofstream(card_settings()) << "70 50 50 50\n";
              ASSERT_EQ(mkdir((card_settings() + ".tmp").c_str(), 0755), 0);
              vg_keys_script("DOWN RIGHT RIGHT PLAY:3100", 500, nullptr);
          }},
         [&](const std::string& text, std::vector<int>* at) {
             std::vector<int> changed;
             const std::string t = altered(text, std::regex("file_open .*/settings.tmp 241 666 -> -1 errno=21"), EVERY,
                                           "errno=21", "errno=13", &changed);
             EXPECT_EQ(changed.size(), 2u) << "one save a change";
             *at = changed;
             return t;
         },
         {"open " AVMENU_SETTINGS_DIR "/settings.tmp"}, "  settings: save fail (brak SD?)", 1,
         "status 0, as recorded", "", ""},
        // The settings file saved on a full card, and on one whose close
        // reports a write error: the save fails where the models' card takes
        // it, and the program removes the short file.
        {"the settings file's write fails on a full card", 
         {"values changed, PLAY held, card full", {},
          [] {
              rmdir((card_settings() + ".tmp").c_str());  // the folder an earlier row made
              vg()->card.full = true;
              vg_keys_script("DOWN RIGHT RIGHT PLAY:3100", 500, nullptr);
          }},
         lines_matching("file_write [0-9]+ 12 .* -> -1 errno=28"),
         {"write VelmoX-AVMenu/settings.tmp"}, "  settings: write fail", 1, "status 0, as recorded", "", ""},
        {"the settings file's close fails, and the removal of the short file", close_fails,
         [&](const std::string& text, std::vector<int>* at) {
             std::vector<int> unlinks;
             const std::string t = altered(text, std::regex("file_unlink .*/settings.tmp -> 0"), EVERY, "-> 0",
                                           "-> -1 errno=5", &unlinks);
             lines_matching("file_close [0-9]+ -> -1 errno=5")(t, at);
             at->insert(at->end(), unlinks.begin(), unlinks.end());
             std::sort(at->begin(), at->end());
             return t;
         },
         {"close VelmoX-AVMenu/settings.tmp", "unlink " AVMENU_SETTINGS_DIR "/settings.tmp"}, "  settings: write fail", 1,
         "status 0, as recorded", "", ""},
        // The rename fails: the program says so and leaves the folder unsynced.
        {"the settings file's rename fails", main_way(WAY_PLAY),
         [&](const std::string& text, std::vector<int>* at) {
             const std::string t = std::regex_replace(
                 text, std::regex("(file_rename [^\n]*) -> 0\nfile_open [^\n]*\nfile_fsync [^\n]*\nfile_close [^\n]*\n"),
                 "$1 -> -1 errno=5\nstderr -> 22 settings: rename fail%0A\n");
             lines_matching("file_rename .* -> -1 errno=5")(t, at);
             return t;
         },
         {"rename " AVMENU_SETTINGS_DIR "/settings"}, "  settings: rename fail", 1, "status 0, as recorded",
         "  exit: ", "  settings: rename fail\n  settings: rename fail\n  exit: "},
        // No end line, and the program returns after the last entry: every
        // answer agrees, nothing to hold its status against.
        {"no end line", main_way(WAY_BACK),
         [&](const std::string& text, std::vector<int>*) {
             return text.substr(0, text.rfind("end 0 "));
         },
         {}, "", 0, "the recording has no end line: replayed up to line ", "", ""},
        // Another exit status recorded: every answer agrees, the verdict fails.
        {"another exit status", main_way(WAY_BACK),
         [&](const std::string& text, std::vector<int>*) {
             std::vector<int> changed;
             const std::string t = altered(text, std::regex("end 0 [0-9.]+"), LAST, "end 0", "end 3", &changed);
             EXPECT_EQ(changed.size(), 1u);
             return t;
         },
         {}, "", 1, "status 0, recorded 3 (line ", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EndState recorded;
        const std::string text = record(true, row.way, &recorded);
        std::vector<int> expected;
        const std::string replayed = row.alter(text, &expected);
        const Replayed r = replay(true, replayed, true);
        EXPECT_EQ(r.status, row.status) << r.out.substr(0, 3000);
        EXPECT_EQ(lines_with(r.out, "stopped: ").size(), 0u) << "the program took the recorded path";
        EXPECT_EQ(lines_with(r.out, row.verdict).size(), 1u) << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0);
        std::string end = end_state_text(recorded);
        if (!row.said.empty())
            end.replace(end.find(row.said), row.said.size(), row.says);
        EXPECT_NE(r.out.find(end + row.verdict), std::string::npos) << r.out.substr(0, 3000);
        expect_heads_as_listed(r.out);
        if (!row.path.empty()) {
            EXPECT_FALSE(lines_with(r.out, row.path).empty()) << "standard error of the recorded path";
        }
        EXPECT_EQ(disagreement_lines(r.out), expected);
        std::vector<std::string> names;
        for (const Place& p : places(r.out)) {
            names.push_back(p.place);
            // Each answer these rows alter is one the models guess, and the report names the guess.
            const ModelAssumption* a = model_assumption_at(p.place.c_str());
            ASSERT_NE(a, nullptr) << p.place;
            ASSERT_FALSE(p.lines.empty());
            EXPECT_EQ(p.lines.back().rfind("  the models assume " + std::string(a->models) + "; ", 0), 0u) << p.lines.back();
        }
        EXPECT_EQ(names, row.places);
        const auto [answers, agree] = summary(r.out);
        EXPECT_EQ(answers - agree, static_cast<long>(expected.size()));
    }
}

// A replay runs the program its recording names, and no other: a recording
// of the one program, or of a name that only shares a beginning with it, is
// refused before anything runs.
TEST_F(Replay, ARecordingOfAnotherProgramIsRefused)
{
    EndState recorded;
    const std::string full = record(true, main_way(WAY_BACK), &recorded);
    const std::string basic = record(false, main_way(WAY_BACK), &recorded);
    const auto named = [](const std::string& text, const std::string& from, const std::string& to) {
        const size_t at = text.find(" program=" + from + " ");
        EXPECT_NE(at, std::string::npos);
        return text.substr(0, at) + " program=" + to + text.substr(at + from.size() + 9);
    };
    const struct {
        const char* name;
        std::string text;
        bool full;  // the replay of the full program, or the basic one
        std::string recorded, runs;
    } rows[] = {
        {"basic to the full replay", basic, true, "VelmoX-AVMenu-basic", "VelmoX-AVMenu"},
        {"full to the basic replay", full, false, "VelmoX-AVMenu", "VelmoX-AVMenu-basic"},
        {"a longer name to the basic replay", named(basic, "VelmoX-AVMenu-basic", "VelmoX-AVMenu-basicX"), false,
         "VelmoX-AVMenu-basicX", "VelmoX-AVMenu-basic"},
        {"a longer name to the full replay", named(full, "VelmoX-AVMenu", "VelmoX-AVMenu-basicX"), true,
         "VelmoX-AVMenu-basicX", "VelmoX-AVMenu"},
        {"a shorter name to the full replay", named(full, "VelmoX-AVMenu", "VelmoX-AVMen"), true, "VelmoX-AVMen",
         "VelmoX-AVMenu"},
        {"a shorter name to the basic replay", named(basic, "VelmoX-AVMenu-basic", "VelmoX-AVMenu-basi"), false,
         "VelmoX-AVMenu-basi", "VelmoX-AVMenu-basic"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Replayed r = replay(row.full, row.text);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_EQ(r.err, "replay: " + card_root + "/replayed.txt is a recording of " + row.recorded +
                             ", this replay runs " + row.runs + "\n");
        EXPECT_EQ(r.out, "");
    }
    // A damaged recording is refused as well.
    const Replayed damaged = replay(true, full.substr(0, full.find("\nargs")) + "\nargs\nno_such_kind 1\n");
    EXPECT_EQ(damaged.status, 2);
    EXPECT_EQ(damaged.err.rfind("replay: " + card_root + "/replayed.txt: line 3: ", 0), 0u) << damaged.err;
    EXPECT_EQ(damaged.out, "");
}

// The command line: one recording, --all before or after it; anything else
// is the usage, and a file that cannot be read or a card folder that cannot
// be made is said on standard error, with status 2.
TEST_F(Replay, TheCommandLine)
{
    EndState recorded;
    const std::string file = card_root + "/back.txt";
    std::ofstream(file) << record(true, main_way(WAY_BACK), &recorded);
    const std::string usage = "usage: VelmoX-AVMenu [--all] RECORDING\n";
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool tmp_exists;
        int status;
        std::string err;
        bool view_build = false;  // the replay with the terminal view (scripts/simulate --replay)
    } rows[] = {
        {"the recording", {file}, true, 0, ""},
        {"--all after it", {file, "--all"}, true, 0, ""},
        {"nothing", {}, true, 2, usage},
        {"--all alone", {"--all"}, true, 2, usage},
        {"two recordings", {file, file}, true, 2, usage},
        {"an option of no meaning", {"-x"}, true, 2, usage},
        {"an option of no meaning before it", {"-x", file}, true, 2, usage},
        {"--view, which this replay has not", {"--view", file}, true, 2, usage},
        {"a file that is not there", {card_root + "/none.txt"}, true, 2,
         "replay: cannot read " + card_root + "/none.txt\n"},
        {"TMPDIR not there", {file}, false, 2, "replay: no folder for the card\n"},
        {"the view's build: the recording", {file}, true, 0, "", true},
        {"the view's build: nothing", {}, true, 2, "usage: VelmoX-AVMenu [--view] [--all] RECORDING\n", true},
        {"the view's build: --view with no terminal", {"--view", file}, true, 2,
         "replay: the view needs a terminal\n", true},
    };
    const std::string header = "replay: " + file + ": VelmoX-AVMenu 1.3.0 (build ";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.view_build && sim_replay_exe == nullptr)
            continue;
        exe = row.view_build ? sim_replay_exe : nullptr;
        const Replayed r = replay_args(true, row.args, row.tmp_exists);
        exe = nullptr;
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.err, row.err);
        if (row.status == 0) {
            EXPECT_EQ(r.out.rfind(header, 0), 0u) << r.out;
            EXPECT_EQ(summary(r.out).first, summary(r.out).second);
        } else if (r.err == "replay: the view needs a terminal\n") {
            EXPECT_EQ(r.out.rfind(header, 0), 0u) << "the header, and nothing replayed";
            EXPECT_EQ(split_lines(r.out).size(), 1u) << r.out;
        } else {
            EXPECT_EQ(r.out, "");
        }
    }
}

// At most twelve places are shown, the rest counted on one line: a
// recording with twelve places of disagreement shows them all, with one
// more the thirteenth is counted. Each is a result the program does not act
// on (a PWM file's write or close, the settings folder's sync, the ADC
// mapping's descriptor closed) or a reading it passes over.
TEST_F(Replay, TwelvePlacesAreShownAndTheRestCounted)
{
    EndState recorded;
    const std::string text = record(true, main_way(WAY_PLAY), &recorded);
    std::vector<std::string> lines = split_lines(text);
    const auto after = [&](const std::string& open, int k) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind(open, 0) == 0) {
                std::string& l = lines[i + static_cast<size_t>(k)];
                // An export refused as busy: channel 7 is there already.
                l.replace(l.rfind("-> "), std::string::npos, open.find("export") != std::string::npos && k == 1
                                                                 ? "-> -1 errno=16"
                                                                 : "-> -1 errno=5");
                return;
            }
        }
        ADD_FAILURE() << "no " << open;
    };
    for (const char* open : {"file_open /sys/class/pwm/pwmchip0/export ", "file_open /sys/class/pwm/pwmchip0/pwm7/enable ",
                             "file_open /sys/class/pwm/pwmchip0/pwm7/duty_cycle ",
                             "file_open /sys/class/pwm/pwmchip0/pwm7/period ", "file_open " AVMENU_SETTINGS_DIR " "}) {
        after(open, 1);
        after(open, 2);
    }
    std::string twelve;
    for (const std::string& l : lines)
        twelve.append(l).append("\n");
    std::vector<int> at;
    twelve = altered(twelve, std::regex("reg_load 18 -> 6"), LAST, "-> 6", "-> 106", &at);
    twelve = altered(twelve, std::regex("dev_ioctl [0-9]+ c00c4110 3 19 020000005b0000000200000001000000220a -> 0 00"),
                     FIRST, " -> 0 00", " -> 0 02", &at);
    const std::string thirteen = altered(twelve, std::regex("dev_close [0-9]+ -> 0"), FIRST, "-> 0", "-> -1 errno=5", &at);
    ASSERT_EQ(at.size(), 3u);

    const Replayed r12 = replay(true, twelve);
    EXPECT_EQ(lines_with(r12.out, "status 0, as recorded").size(), 1u) << r12.out;
    EXPECT_EQ(places(r12.out).size(), 12u) << r12.out;
    EXPECT_EQ(lines_with(r12.out, "and ").size(), 0u) << r12.out;
    const Replayed r13 = replay(true, thirteen);
    EXPECT_EQ(lines_with(r13.out, "status 0, as recorded").size(), 1u) << r13.out;
    const std::vector<Place> shown = places(r13.out);
    ASSERT_EQ(shown.size(), 12u) << r13.out;
    EXPECT_EQ(shown[0].place, "close device") << "the places in the order they first disagree";
    EXPECT_EQ(lines_with(r13.out, "and "),
              std::vector<std::string> {"and 1 more disagreements at more places (--all lists every one)"});
}


// The summary command (avmenu_rec_summary) on recordings of the main ways,
// some altered to say what those ways do not: every line of what it says,
// the build and the stand-in's pid aside; its refusals with their status.
TEST_F(Replay, TheSummarySaysWhatEachRecordingHolds)
{
    const auto with = [](std::string text, const std::string& from, const std::string& to) {
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const auto service_as = [](const std::string& text, const std::string& found) {
        EXPECT_TRUE(std::regex_search(text, std::regex("\nservice [0-9]+\n")));
        return std::regex_replace(text, std::regex("\nservice [0-9]+\n"), "\nservice " + found + "\n");
    };
    const auto first_lines = [](const std::string& text, int n) {
        size_t at = 0;
        for (int i = 0; i < n; ++i)
            at = text.find('\n', at) + 1;
        return text.substr(0, at);
    };
    const Way thirteen {"thirteen RIGHT taps", {}, [] {
                            vg_keys_script("UP RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT RIGHT BACK",
                                           500, nullptr);
                        }};
    EndState end;
    const std::string back = record(true, main_way(WAY_BACK), &end);
    const std::string play = record(true, main_way(WAY_PLAY), &end);
    const std::string switched = record(true, main_way(WAY_SWITCH), &end);
    // Up to the line that starts with `start`, the n-th such one.
    const auto up_to = [](const std::string& text, const std::string& start, int n) {
        size_t at = 0;
        for (int i = 0; i < n; ++i)
            at = text.find("\n" + start, at) + 1;
        return text.substr(0, text.find('\n', at) + 1);
    };
    // Writes the program never makes, at the video processor: the OSD off
    // before the start-up's picture writes, a register past the four after
    // the menu is up,
    const std::string fd = back.substr(back.find("\ndev_ioctl ") + 11, 1);
    std::string unmade = with(back, "\ndev_ioctl " + fd, "\ndev_ioctl " + fd + " c00c4110 2 15 020000005b00000003000000010a00 -> 0\ndev_ioctl " + fd);
    unmade = with(unmade, "\nend ", "\ndev_ioctl " + fd + " c00c4110 2 15 020000005b00000003000000940820 -> 0\nend ");
    // and two values at once to the first picture register, which no program writes either
    unmade = with(unmade, "\nend ", "\ndev_ioctl " + fd + " c00c4110 2 16 020000005b0000000400000090088081 -> 0\nend ");
    // The summary of BACK at once; the rows altered from it differ in one place.
    const std::string back_out = "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
                                 "duration:  0.8 s, 4255 calls in 4137 lines\n"
                                 "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
                                 "service:   fpv_grd_service found, pid N\n"
                                 "keys:      BACK 1\n"
                                 "values:    4 picture writes at start-up, 0 after it\n"
                                 "faults:    file_open failed 1x (last errno 2)\n"
                                 "ended:     status 0; last diagnostic: avmenu: wyjscie (writes=422 fail=0)\n";
    const auto back_with = [&](const std::string& from, const std::string& to) { return with(back_out, from, to); };
    const std::string play_out =
        "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
        "duration:  4.9 s, 5923 calls in 5709 lines\n"
        "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
        "service:   fpv_grd_service found, pid N\n"
        "keys:      DOWN 1, RIGHT 2, PLAY 1\n"
        "values:    4 picture writes at start-up, 2 after it: CONTRAST=0x8c, CONTRAST=0x99; settings saved 2x, last "
        "\"50 60 50 50\"\n"
        "faults:    file_open failed 1x (last errno 2)\n"
        "ended:     status 0; last diagnostic: avmenu: wyjscie (writes=427 fail=0)\n";
    const auto options = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i)
            text += " -xxxxxxxxxxxxxx";
        return text;
    };
    const struct {
        const char* name;
        std::string text;
        int status;
        std::string out, err;  // the build written B, the stand-in's pid N, the file F
    } rows[] = {
        {"BACK at once", back, 0, back_out, ""},
        {"values changed, PLAY held", play, 0, play_out, ""},
        {"refused in HDMI", record(true, main_way(WAY_HDMI), &end), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2), arguments: -S\n"
             "duration:  0.0 s, 10 calls in 12 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x00 AC=0x00\n"
             "service:   not looked for\n"
             "keys:      no key pressed\n"
             "values:    0 picture writes at start-up, 0 after it\n"
             "faults:    none\n"
             "ended:     status 2; last diagnostic: ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n",
         ""},
        {"no transport", record(true, main_way(WAY_NO_TRANSPORT), &end), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  0.0 s, 3 calls in 5 lines\n"
             "mode:      no probe recorded\n"
             "service:   not looked for\n"
             "keys:      no key pressed\n"
             "values:    0 picture writes at start-up, 0 after it\n"
             "faults:    dev_open failed 1x (last errno 2)\n"
             "ended:     status 1; last diagnostic: open /dev/remote_i2c fail\n",
         ""},
        {"-s from normal view", record(true, main_way(WAY_SWITCH), &end), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2), arguments: -s\n"
             "duration:  15.3 s, 4629 calls in 4161 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01 (the last of 4 probes)\n"
             "service:   fpv_grd_service found, pid N\n"
             "keys:      BACK 1\n"
             "values:    4 picture writes at start-up, 0 after it\n"
             "faults:    file_open failed 1x (last errno 2)\n"
             "ended:     status 0; last diagnostic: avmenu: wyjscie (writes=422 fail=0)\n",
         ""},
        {"transport failing for a while", record(true, main_way(WAY_FAILING), &end), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  4.6 s, 5190 calls in 4300 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
             "service:   fpv_grd_service found, pid N\n"
             "keys:      RIGHT 2, BACK 1\n"
             "values:    4 picture writes at start-up, 2 after it: BRIGHTNESS=0x0c, BRIGHTNESS=0x19; settings saved 2x, last \"60 50 50 50\"\n"
             "faults:    dev_ioctl failed 360x (last errno 5), file_open failed 1x (last errno 2)\n"
             "ended:     status 0; last diagnostic: avmenu: wyjscie (writes=425 fail=0)\n",
         ""},
        {"the basic program, values changed", record(false, main_way(WAY_PLAY), &end), 0,
         "program:   VelmoX-AVMenu-basic 1.1.0 (build B, format 2)\n"
             "duration:  4.8 s, 5298 calls in 5084 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
             "service:   fpv_grd_service found, pid N\n"
             "keys:      DOWN 1, RIGHT 2, PLAY 1\n"
             "values:    0 picture writes at start-up, 2 after it: CONTRAST=0x8c, CONTRAST=0x99\n"
             "faults:    none\n"
             "ended:     status 0; last diagnostic: avmenu: wyjscie (writes=427 fail=0)\n",
         ""},
        {"thirteen changes", record(true, thirteen, &end), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  6.4 s, 5854 calls in 5274 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
             "service:   fpv_grd_service found, pid N\n"
             "keys:      UP 1, RIGHT 13, BACK 1\n"
             "values:    4 picture writes at start-up, 13 after it: HUE=0x0c, HUE=0x19, HUE=0x26, HUE=0x33, HUE=0x40, HUE=0x4c, HUE=0x59, HUE=0x66, HUE=0x73, HUE=0x7d, HUE=0x7d, HUE=0x7d; settings saved 13x, last \"50 50 50 100\"\n"
             "faults:    file_open failed 1x (last errno 2)\n"
             "ended:     status 0; last diagnostic: avmenu: wyjscie (writes=440 fail=0)\n",
         ""},
        {"no service found", service_as(back, "-1"), 0, back_with("fpv_grd_service found, pid N", "none found"), ""},
        {"/proc not listed", service_as(back, "-2 errno=13"), 0,
         back_with("fpv_grd_service found, pid N", "/proc could not be listed"), ""},
        {"two arguments", with(back, "\nargs\n", "\nargs -S -x\n"), 0,
         back_with("format 2)\n", "format 2), arguments: -S -x\n"), ""},
        // Arguments are shown until they reach 200 characters.
        {"long arguments, 200 characters shown", with(back, "\nargs\n", "\nargs abcdefg" + options(14) + "\n"), 0,
         back_with("format 2)\n", "format 2), arguments: abcdefg" + options(12) + "\n"), ""},
        {"long arguments, 215 characters shown", with(back, "\nargs\n", "\nargs abcdef" + options(14) + "\n"), 0,
         back_with("format 2)\n", "format 2), arguments: abcdef" + options(13) + "\n"), ""},
        // A diagnostic and a save without their newline keep their last character.
        {"a diagnostic without its newline",
         std::regex_replace(back, std::regex("stderr -> 36 (avmenu: wyjscie.*)%0A"), "stderr -> 35 $1"), 0, back_out,
         ""},
        {"a save without its newline", std::regex_replace(play, std::regex("file_write ([0-9]+) 12 (.*)%0A -> 12"),
                                                          "file_write $1 11 $2 -> 11"),
         0, play_out, ""},
        {"a conversion refused", with(back, "reg_load 18 -> 6\nusleep", "reg_load 18 -> 7\nusleep"), 0,
         back_with("BACK 1\n", "BACK 1, 1 conversions refused\n"), ""},
        {"killed after line 3600", first_lines(play, 3600), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  at least 1.1 s (its sleeps), 3742 calls in 3600 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
             "service:   fpv_grd_service found, pid N\n"
             "keys:      DOWN 1, RIGHT 1\n"
             "values:    4 picture writes at start-up, 0 after it\n"
             "faults:    file_open failed 1x (last errno 2)\n"
             "ended:     no end line: killed, crashed or still running after line 3600 (reg_store); last diagnostic: avmenu 1.3.0: wejscie (writes=339 fail=0)\n",
         ""},
        {"cut in the reserve after line 400", first_lines(play, 400) + std::string(4096, '\0'), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  at least 0.0 s (its sleeps), 398 calls in 400 lines\n"
             "mode:      LT8668 B7=0x02 AD=0x02 AC=0x01\n"
             "service:   fpv_grd_service found, pid N\n"
             "keys:      no key pressed\n"
             "values:    4 picture writes at start-up, 0 after it\n"
             "faults:    file_open failed 1x (last errno 2)\n"
             "ended:     cut at line 401: the rest is space kept on the card for entries never written (the program was killed, or the goggles lost power); last diagnostic: settings: restore 50/50/50/50\n",
         ""},
        {"no entry", first_lines(play, 2), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  at least 0.0 s (its sleeps), 0 calls in 2 lines\n"
             "mode:      no probe recorded\n"
             "service:   not looked for\n"
             "keys:      no key pressed\n"
             "values:    0 picture writes at start-up, 0 after it\n"
             "faults:    none\n"
             "ended:     no end line: killed, crashed or still running after line 0 (no entry); last diagnostic: \n",
         ""},
        {"writes the program never makes", unmade, 0, back_with("4255 calls in 4137", "4258 calls in 4140"), ""},
        {"the clock's start with nanoseconds",
         std::regex_replace(back, std::regex("t0=([0-9]+)\\.[0-9]{9}"), "t0=$1.250000000"), 0, back_with("0.8 s,", "0.5 s,"),
         ""},
        {"killed after two probes", up_to(switched, "stderr -> 37 mode: ", 2), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2), arguments: -s\n"
             "duration:  at least 0.0 s (its sleeps), 13 calls in 15 lines\n"
             "mode:      LT8668 B7=0x01 AD=0x00 AC=0x00 (the last of 2 probes)\n"
             "service:   not looked for\n"
             "keys:      no key pressed\n"
             "values:    0 picture writes at start-up, 0 after it\n"
             "faults:    none\n"
             "ended:     no end line: killed, crashed or still running after line 15 (stderr); last diagnostic: mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n",
         ""},
        {"killed after the switch's sleep", up_to(switched, "sleep ", 1), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2), arguments: -s\n"
             "duration:  at least 6.5 s (its sleeps), 16 calls in 18 lines\n"
             "mode:      LT8668 B7=0x01 AD=0x00 AC=0x00 (the last of 2 probes)\n"
             "service:   not looked for\n"
             "keys:      no key pressed\n"
             "values:    0 picture writes at start-up, 0 after it\n"
             "faults:    none\n"
             "ended:     no end line: killed, crashed or still running after line 18 (sleep); last diagnostic: switch: BACK-long, proba 1/3\n",
         ""},
        {"one entry", first_lines(play, 3), 0,
         "program:   VelmoX-AVMenu 1.3.0 (build B, format 2)\n"
             "duration:  at least 0.0 s (its sleeps), 1 calls in 3 lines\n"
             "mode:      no probe recorded\n"
             "service:   not looked for\n"
             "keys:      no key pressed\n"
             "values:    0 picture writes at start-up, 0 after it\n"
             "faults:    none\n"
             "ended:     no end line: killed, crashed or still running after line 3 (dev_open); last diagnostic: \n",
         ""},
        {"a damaged line", first_lines(play, 2) + "no_such_kind 1\n", 1,
         "",
         "F: line 3: unknown entry 'no_such_kind'\n"},
    };
    const std::string file = card_root + "/summarised.txt";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::ofstream(file) << row.text;
        const int rc = system(("'" + std::string(AVMENU_REC_SUMMARY_EXE) + "' '" + file + "' >'" + card_root +
                               "/out' 2>'" + card_root + "/err'")
                                  .c_str());
        const auto read = [](const std::string& path) {
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            return text.str();
        };
        // The build: the commit, or "unknown" where the tree has no git.
        std::string out = std::regex_replace(read(card_root + "/out"), std::regex("build ([0-9a-f]+(-dirty)?|unknown)-[a-z0-9_]+"),
                                             "build B");
        out = std::regex_replace(out, std::regex("pid [0-9]+"), "pid N");
        std::string err = read(card_root + "/err");
        if (err.find(file) != std::string::npos)
            err.replace(err.find(file), file.size(), "F");
        EXPECT_EQ(WEXITSTATUS(rc), row.status);
        EXPECT_EQ(out, row.out);
        EXPECT_EQ(err, row.err);
    }
    // A file that is not there.
    EXPECT_EQ(WEXITSTATUS(system(("'" + std::string(AVMENU_REC_SUMMARY_EXE) + "' '" + card_root + "/none.txt' 2>'" +
                                  card_root + "/err'")
                                     .c_str())),
              1);
    std::ifstream none(card_root + "/err");
    std::string said;
    std::getline(none, said);
    EXPECT_EQ(said, card_root + "/none.txt: cannot open");
    // No recording, or two: the usage.
    EXPECT_EQ(WEXITSTATUS(system(("'" + std::string(AVMENU_REC_SUMMARY_EXE) + "' 2>'" + card_root + "/err'").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system(("'" + std::string(AVMENU_REC_SUMMARY_EXE) + "' '" + file + "' '" + file + "' 2>'" +
                                  card_root + "/err'")
                                     .c_str())),
              2);
    std::ifstream in(card_root + "/err");
    std::string usage;
    std::getline(in, usage);
    EXPECT_EQ(usage, "usage: " + std::string(AVMENU_REC_SUMMARY_EXE) + " RECORDING");
}


// A recording that found the stock service replays where none runs: the
// replay starts a stand-in of its own, named before the program looks, for
// the program to stop and resume; none is left behind.
TEST_F(Replay, TheReplayBringsItsOwnStockService)
{
    EndState recorded;
    const std::string text = record(true, main_way(WAY_BACK), &recorded);
    ASSERT_TRUE(std::regex_search(text, std::regex("\nservice [0-9]+\n")));
    end_standin(standin);
    standin = -1;
    const Replayed r = replay(true, text);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines_with(r.out, "status 0, as recorded").size(), 1u) << r.out;
    EXPECT_EQ(end_descendants(), 0) << "the stand-in went with the replay";
}


// The first three pairs of answers at a place are shown, the others
// counted: exactly up to 32, "or more" past it.
TEST_F(Replay, PairsOfAnswersPastThreeAreCounted)
{
    EndState recorded;
    const std::string text = record(true, main_way(WAY_PLAY), &recorded);
    const std::regex status("dev_ioctl [0-9]+ c00c4110 3 19 020000005b0000000200000001000000220a -> 0 00");
    for (const int distinct : {3, 4, 40}) {
        SCOPED_TRACE(distinct);
        std::vector<std::string> lines = split_lines(text);
        int changed = 0;
        for (std::string& l : lines) {
            if (changed < distinct && std::regex_match(l, status)) {
                char byte[8];
                std::snprintf(byte, sizeof byte, " %02x", 2 * (changed++ + 1));
                l.replace(l.size() - 3, 3, byte);
            }
        }
        ASSERT_EQ(changed, distinct);
        std::string t;
        for (const std::string& l : lines)
            t.append(l).append("\n");
        const Replayed r = replay(true, t);
        const std::vector<Place> found = places(r.out);
        ASSERT_EQ(found.size(), 1u) << r.out;
        std::vector<std::string> expected = {"  recorded 0, 02, modelled 0, 00 (1)", "  recorded 0, 04, modelled 0, 00 (1)",
                                             "  recorded 0, 06, modelled 0, 00 (1)",
                                             "  the models assume the OSD engine is never busy after a cell write, and "
                                             "the status register's bits 1 to 7 read 0; this recording answers 0, 02"};
        if (distinct > 3)
            expected.insert(expected.begin() + 3,
                            distinct == 4 ? "  and 1 more pairs of answers" : "  and 29 or more pairs of answers");
        EXPECT_EQ(found[0].lines, expected);
    }
}

}  // namespace
