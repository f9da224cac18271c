#include "sim/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char SIM_USAGE[] =
    "usage: avmenu-sim [options] [-- program arguments]\n"
    "Runs the goggles' menu program on virtual goggles, in this terminal or\n"
    "headless by a key script.\n"
    "\n"
    "  --basic               run VelmoX-AVMenu-basic instead of VelmoX-AVMenu\n"
    "  --mode MODE           input at start: av (default), hdmi, normal, none\n"
    "  --card DIR            folder standing in for the SD card's root \"/\"\n"
    "  --fail-rate PERCENT   share of I2C transfers that fail (0..100)\n"
    "  --busy-reads N        busy status reads after every OSD cell write\n"
    "  --wrong-readbacks N   the next N OSD read-backs return a wrong byte\n"
    "  --keys SCRIPT         headless: press keys on virtual time, e.g.\n"
    "                        \"DOWN RIGHT RIGHT PLAY:3100\" (keys UP DOWN LEFT RIGHT\n"
    "                        PLAY BACK K4 K5, NAME:ms holds, WAIT:ms pauses; the\n"
    "                        first press comes 1 s after the start)\n"
    "  --snapshot FILE.png   headless: save the wearer's view as last shown\n"
    "  --help                this text\n"
    "\n"
    "Arguments after \"--\" go to the program, e.g. \"-- -s\" with --mode normal.\n"
    "A script that does not end the program runs into the goggles' 10-minute\n"
    "virtual time limit (status 125).\n";

namespace {

bool parse_int(const std::string& text, long lo, long hi, long* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool parse_percent(const std::string& text, uint32_t* ppm)
{
    if (text.empty() || !(text[0] >= '0' && text[0] <= '9'))
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || v < 0.0 || v > 100.0)
        return false;
    *ppm = static_cast<uint32_t>(v * 10000.0 + 0.5);
    return true;
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

int sim_parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error)
{
    SimOptions o;
    bool has_snapshot = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            for (++i; i < argc; ++i)
                o.program_args.emplace_back(argv[i]);
            break;
        }
        std::string value;
        bool inline_value = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inline_value = true;
        }
        auto need_value = [&]() -> bool {
            if (inline_value)
                return true;
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--basic") {
            o.basic = true;
        } else if (arg == "--mode") {
            if (!need_value())
                return -1;
            if (value == "av")
                o.mode = VG_INPUT_AV;
            else if (value == "hdmi")
                o.mode = VG_INPUT_HDMI;
            else if (value == "normal")
                o.mode = VG_INPUT_NORMAL;
            else if (value == "none")
                o.mode = VG_INPUT_NONE;
            else {
                *error = "--mode takes av, hdmi, normal or none, not '" + value + "'";
                return -1;
            }
        } else if (arg == "--card") {
            if (!need_value())
                return -1;
            if (value.empty() || value.size() >= sizeof(VgCard::root) - 64) {
                *error = "--card needs a folder path shorter than 192 characters";
                return -1;
            }
            o.card = value;
        } else if (arg == "--fail-rate") {
            if (!need_value())
                return -1;
            if (!parse_percent(value, &o.fail_ppm)) {
                *error = "--fail-rate takes a percentage from 0 to 100, not '" + value + "'";
                return -1;
            }
        } else if (arg == "--busy-reads" || arg == "--wrong-readbacks") {
            if (!need_value())
                return -1;
            if (!parse_int(value, 0, 1000000, &n)) {
                *error = arg + " takes a whole number from 0 to 1000000, not '" + value + "'";
                return -1;
            }
            (arg == "--busy-reads" ? o.busy_reads : o.wrong_readbacks) = static_cast<int>(n);
        } else if (arg == "--keys") {
            if (!need_value())
                return -1;
            o.keys = value;
            o.headless = true;
        } else if (arg == "--snapshot") {
            if (!need_value())
                return -1;
            if (value.empty()) {
                *error = "--snapshot needs a file name";
                return -1;
            }
            o.snapshot = value;
            has_snapshot = true;
        } else {
            *error = "unknown option '" + arg + "' (see --help; program arguments go after --)";
            return -1;
        }
    }
    if (has_snapshot && !o.headless) {
        *error = "--snapshot works with --keys only";
        return -1;
    }
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
