// The simulator's command line, read with CLI11: typed options, range
// checks and the help text generated from them.
#include "sim/options.h"

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdlib>
#include <map>

namespace {

// A whole number as written, in decimal: the library would read "010" as
// octal and "-1" as a negative count, so the text is checked and its
// leading zeros dropped before it is converted.
CLI::Validator decimal_digits()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
                return "'" + text + "' is not a whole number";
            text.erase(0, text.find_first_not_of('0'));
            if (text.empty())
                text = "0";
            return "";
        },
        "");
}

// The library's range check prints its bounds as 0.000000, so percentages
// have their own.
CLI::Validator percentage()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = text.empty() || text[0] < '0' || text[0] > '9' ? -1.0 : std::strtod(text.c_str(), &end);
            if (end == nullptr || *end != '\0' || !(v >= 0.0 && v <= 100.0))
                return "'" + text + "' is not a percentage from 0 to 100";
            return "";
        },
        "");
}

CLI::Validator path_shorter_than(size_t limit)
{
    return CLI::Validator(
        [limit](std::string& text) -> std::string {
            if (text.empty())
                return "needs a path";
            return text.size() < limit ? "" : "needs a path shorter than " + std::to_string(limit) + " characters";
        },
        "");
}

// A bad command line is reported on one line, and messages quote the value
// given, which may hold a newline.
std::string one_line(std::string text)
{
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

}  // namespace

const char* sim_input_name(VgInput input)
{
    switch (input) {
    case VG_INPUT_AV: return "AV";
    case VG_INPUT_HDMI: return "HDMI";
    case VG_INPUT_NORMAL: return "NORMAL";
    case VG_INPUT_NONE: return "NONE";
    case VG_INPUT_DEAD: return "DEAD";
    case VG_INPUT_AV_NO_SIGNAL: return "AV, no signal";
    }
    return "?";
}

int sim_parse_options(int argc, const char* const* argv, SimOptions* out, std::string* message)
{
    // Everything after the first "--" is the program's, whatever it looks like.
    int own = 1;
    while (own < argc && std::string(argv[own]) != "--")
        ++own;
    SimOptions o;
    for (int i = own + 1; i < argc; ++i)
        o.program_args.emplace_back(argv[i]);

    CLI::App app("Runs the goggles' menu program on virtual goggles, in this terminal or\n"
                 "headless by a key script.",
                 "avmenu-sim");
    app.footer("Arguments after \"--\" go to the program, e.g. \"-- -s\" with --mode normal.\n"
               "A script that does not end the program runs into the goggles' 10-minute\n"
               "virtual time limit (status 125).");
    app.get_formatter()->column_width(24);
    // As before the library: an option given twice, the last one counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--basic", o.basic, "run VelmoX-AVMenu-basic instead of VelmoX-AVMenu");
    std::string mode = "av";
    app.add_option("--mode", mode, "input at start (default av)")
        ->type_name("MODE")
        ->check(CLI::IsMember({"av", "hdmi", "normal", "none"}));
    app.add_option("--card", o.card, "folder standing in for the SD card's root \"/\"")
        ->type_name("DIR")
        ->check(path_shorter_than(sizeof(VgCard::root) - 64));
    double percent = 0.0;
    app.add_option("--fail-rate", percent, "share of I2C transfers that fail (0..100)")
        ->type_name("PERCENT")
        ->check(percentage());
    app.add_option("--busy-reads", o.busy_reads, "busy status reads after every OSD cell write")
        ->type_name("N")
        ->transform(decimal_digits())
        ->check(CLI::Range(0, 1000000).description(""));
    app.add_option("--wrong-readbacks", o.wrong_readbacks, "the next N OSD read-backs return a wrong byte")
        ->type_name("N")
        ->transform(decimal_digits())
        ->check(CLI::Range(0, 1000000).description(""));
    CLI::Option* keys = app.add_option("--keys", o.keys,
                                       "headless: press keys on virtual time, e.g.\n"
                                       "\"DOWN RIGHT RIGHT PLAY:3100\" (keys UP DOWN LEFT RIGHT\n"
                                       "PLAY BACK K4 K5, NAME:ms holds, WAIT:ms pauses; the\n"
                                       "first press comes 1 s after the start)")
                            ->type_name("SCRIPT");
    app.add_option("--snapshot", o.snapshot, "headless: save the wearer's view as last shown")
        ->type_name("FILE.png")
        ->check(path_shorter_than(PATH_MAX))
        ->needs(keys);

    try {
        app.parse(own, argv);
    } catch (const CLI::CallForHelp&) {
        *message = app.help();
        return 1;
    } catch (const CLI::ExtrasError& e) {
        *message = one_line(e.what()) + " (see --help; program arguments go after --)";
        return -1;
    } catch (const CLI::ParseError& e) {
        *message = one_line(e.what());
        return -1;
    }
    const std::map<std::string, VgInput> inputs = {
        {"av", VG_INPUT_AV}, {"hdmi", VG_INPUT_HDMI}, {"normal", VG_INPUT_NORMAL}, {"none", VG_INPUT_NONE}};
    o.mode = inputs.at(mode);
    o.fail_ppm = static_cast<uint32_t>(percent * 10000.0 + 0.5);
    o.headless = keys->count() > 0;
    *out = o;
    return 0;
}

int sim_script_presses(const std::string& script)
{
    int presses = 0;
    size_t i = 0;
    while (i < script.size()) {
        while (i < script.size() && (script[i] == ' ' || script[i] == '\t' || script[i] == ','))
            ++i;
        if (i >= script.size())
            break;
        const size_t start = i;
        while (i < script.size() && script[i] != ' ' && script[i] != '\t' && script[i] != ',')
            ++i;
        if (script.compare(start, 4, "WAIT") != 0)
            ++presses;
    }
    return presses;
}
