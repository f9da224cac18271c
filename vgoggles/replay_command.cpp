// The replay command: a recording (docs/RECORDING.md) fed back to the
// program it names, on the virtual goggles, with every answer of the
// models held against the goggles' own (vgoggles/replay.h). Prints the
// disagreements grouped by place (every one with --all), the end state
// and the summary line; exits 0 only when every answer agrees and the
// program kept to the recorded path to its recorded end.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "app/settings.h"
#include "vgoggles/assumptions.h"
#include "vgoggles/replay.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr int SHOWN = 12;  // places the report shows; --all lists every disagreement

int (*program_main)(int, char**) = nullptr;

int run_entry(int argc, char** argv) { return replay_entry(program_main, argc, argv); }

// A process named like the stock service, for the program to find, stop
// and resume as the recording shows it did. It is named before this
// returns: its end of the pipe closes only then.
int start_service()
{
    int named[2];
    if (pipe2(named, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "fpv_grd_service");
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(named[1]);
        for (;;)
            pause();
    }
    close(named[1]);
    char byte;
    (void)!read(named[0], &byte, 1);  // end of file: the name is set
    close(named[0]);
    return static_cast<int>(pid);
}

bool read_file(const char* path, std::string* text)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text->append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

// The shadow card's folder removed; status passed through.
int remove_card(const char* card, int status)
{
    const std::string rm = std::string("rm -rf '") + card + "'";
    (void)!system(rm.c_str());
    return status;
}

void print_end_state(const VgRun& run)
{
    std::printf("OSD at the end (the shadow's video processor):\n");
    const std::string screen = vg_screen();
    std::printf("%s\n", screen.find_first_not_of(" \n") == std::string::npos ? "  blank" : screen.c_str());
    const uint8_t* r = &vg()->vp.regs[0x0890];
    std::printf("picture registers: 0890=%02x 0891=%02x 0892=%02x 0893=%02x\n", r[0], r[1], r[2], r[3]);
    char path[512];
    std::string settings;
    if (vg_card_path(AVMENU_SETTINGS_DIR "/settings", path, sizeof path) && read_file(path, &settings))
        std::printf("settings file: %s%s", settings.c_str(), !settings.empty() && settings.back() == '\n' ? "" : "\n");
    else
        std::printf("settings file: none\n");
    std::printf("standard error:\n");
    size_t at = 0;
    while (at < run.err.size()) {
        const size_t nl = run.err.find('\n', at);
        const size_t end = nl == std::string::npos ? run.err.size() : nl;
        std::printf("  %s\n", run.err.substr(at, end - at).c_str());
        at = end + 1;
    }
}

void print_time(int line, int64_t ms)
{
    std::printf("%d (%lld.%03lld s)", line, static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
}

// The disagreements by place, in the order places first disagree: a
// screen's worth whatever the recording.
void print_places(const ReplayResult* r)
{
    long shown = 0;
    for (int i = 0; i < r->places && i < SHOWN; ++i) {
        const ReplayPlace& p = r->place[i];
        shown += p.count;
        std::printf("%ld disagreement%s at %s, line%s ", p.count, p.count == 1 ? "" : "s", p.place,
                    p.count == 1 ? "" : "s");
        print_time(p.first_line, p.first_ms);
        if (p.count > 1) {
            std::printf(" to ");
            print_time(p.last_line, p.last_ms);
        }
        std::printf("\n");
        for (int k = 0; k < p.distinct && k < REPLAY_PAIRS; ++k)
            std::printf("  recorded %s, modelled %s (%ld)\n", p.pairs[k].recorded, p.pairs[k].modelled,
                        p.pairs[k].count);
        if (p.distinct > REPLAY_PAIRS)
            std::printf("  and %d%s more pairs of answers\n", p.distinct - REPLAY_PAIRS,
                        p.distinct == REPLAY_PAIRS_COUNTED ? " or" : "");
        if (const ModelAssumption* a = model_assumption_at(p.place))
            std::printf("  the models assume %s; this recording answers %s\n", a->models, p.pairs[0].recorded);
        else
            std::printf("  no assumption of the models is here: a model contradicts what we know of the goggles\n");
    }
    if (r->places > SHOWN)  // places past the kept ones come after a full list
        std::printf("and %ld more disagreements at more places (--all lists every one)\n",
                    r->answers - r->agree - shown);
}

// Every disagreement, as the run wrote them to all_fd.
void print_all(int fd)
{
    char buf[4096];
    ssize_t n;
    std::fflush(stdout);
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0)
        (void)!write(1, buf, static_cast<size_t>(n));
}

}  // namespace

int replay_command(int argc, char** argv, const ReplayProgram& program, const ReplayView* view)
{
    bool viewed = false, all = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (view != nullptr && std::strcmp(argv[i], "--view") == 0)
            viewed = true;
        else if (std::strcmp(argv[i], "--all") == 0)
            all = true;
        else if (file == nullptr && argv[i][0] != '-')
            file = argv[i];
        else
            file = "";
    }
    if (file == nullptr || file[0] == '\0') {
        std::fprintf(stderr, "usage: %s %s[--all] RECORDING\n", argv[0], view != nullptr ? "[--view] " : "");
        return 2;
    }
    std::string text;
    if (!read_file(file, &text)) {
        std::fprintf(stderr, "replay: cannot read %s\n", file);
        return 2;
    }
    // The shadow card's folder, where temporary files go; removed on every way out.
    const char* tmp = std::getenv("TMPDIR");
    char card[sizeof vg()->card.root];
    std::snprintf(card, sizeof card, "%s/velmox-replay-XXXXXX", tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp");
    if (mkdtemp(card) == nullptr) {
        std::fprintf(stderr, "replay: no folder for the card\n");
        return 2;
    }
    vg_reset();
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card);
    char error[256];
    if (replay_open(text.data(), text.size(), error, sizeof error) < 0) {
        std::fprintf(stderr, "replay: %s: %s\n", file, error);
        return remove_card(card, 2);
    }
    const RecHeader& h = replay_header();
    if (std::strcmp(h.program, program.name) != 0) {
        std::fprintf(stderr, "replay: %s is a recording of %s, this replay runs %s\n", file, h.program,
                     program.name);
        return remove_card(card, 2);
    }
    std::vector<const char*> args;
    for (const char* a = h.args; static_cast<int>(args.size()) < h.argc; a += std::strlen(a) + 1)
        args.push_back(a);
    std::printf("replay: %s: %s %s (build %s), program here %s\n", file, h.program, h.version, h.build,
                program.version);

    ReplayResult* r = replay_result();
    if (all)
        r->all_fd = memfd_create("replay-disagreements", MFD_CLOEXEC);
    const int service = replay_service_running() ? start_service() : -1;
    vg_key_port_open();  // the stock service's key port, for "-s"
    if (viewed && !view->enter(file)) {
        std::fprintf(stderr, "replay: the view needs a terminal\n");
        return remove_card(card, 2);
    }
    program_main = program.main;
    const VgRun run = vg_run(run_entry, args.data(), static_cast<int>(args.size()));
    if (viewed)
        view->leave();
    vg_key_port_close();
    if (service > 0) {
        kill(service, SIGKILL);
        waitpid(service, nullptr, 0);
    }
    if (r->all_fd >= 0)
        print_all(r->all_fd);
    print_places(r);
    print_end_state(run);
    remove_card(card, 0);
    bool ok = r->agree == r->answers;
    if (r->cut[0] != '\0')
        std::printf("cut: %s\n", r->cut);
    if (r->stopped) {
        std::printf("stopped: %s\n", r->stop);
        ok = false;
    } else if (r->ran_out) {
        std::printf("the recording has no end line: %s\n", r->stop);
    } else if (!r->ended) {
        std::printf("the recording has no end line: replayed up to line %d, the program ended there\n", r->line);
    } else if (r->recorded_status != run.status) {
        std::printf("status %d, recorded %d (line %d)\n", run.status, r->recorded_status, r->line);
        ok = false;
    } else {
        std::printf("status %d, as recorded (line %d)\n", run.status, r->line);
    }
    std::printf("%ld answers from the devices, %ld agree\n", r->answers, r->agree);
    return ok ? 0 : 1;
}
