// The replay: a recording (docs/RECORDING.md) fed back to the program it
// names, on the virtual goggles, with every answer of the models held
// against the goggles' own (vgoggles/replay.h). Headless: prints each
// disagreement with its place, the end state, and the summary line; exits
// 0 only when every answer agrees and the program kept to the recorded
// path to its recorded end.
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
#include <vector>

#include "app/avmenu.h"
#include "app/settings.h"
#include "app/variant.h"
#include "vgoggles/replay.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

#ifndef SIM_BASIC
#error "SIM_BASIC must be defined by the build"
#endif

namespace {

constexpr const char* PROGRAM = SIM_BASIC ? "VelmoX-AVMenu-basic" : "VelmoX-AVMenu";

int run_entry(int argc, char** argv) { return replay_entry(avmenu_main, argc, argv); }

// A process named like the stock service, for the program to find, stop
// and resume as the recording shows it did.
int start_service()
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "fpv_grd_service");
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;)
            pause();
    }
    for (int i = 0; i < 200; ++i) {  // until /proc shows the name
        char path[64], comm[32] = "";
        std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? read(fd, comm, sizeof comm - 1) : -1;
        if (fd >= 0)
            close(fd);
        if (n > 0 && std::strncmp(comm, "fpv_grd_service", 15) == 0)
            break;
        usleep(5000);
    }
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s RECORDING\n", argv[0]);
        return 2;
    }
    std::string text;
    if (!read_file(argv[1], &text)) {
        std::fprintf(stderr, "replay: cannot read %s\n", argv[1]);
        return 2;
    }
    char card[] = "/tmp/velmox-replay-XXXXXX";
    if (mkdtemp(card) == nullptr) {
        std::fprintf(stderr, "replay: no folder for the card\n");
        return 2;
    }
    vg_reset();
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card);
    char error[256];
    if (replay_open(text.data(), text.size(), error, sizeof error) < 0) {
        std::fprintf(stderr, "replay: %s: %s\n", argv[1], error);
        return 2;
    }
    const RecHeader& h = replay_header();
    if (std::strcmp(h.program, PROGRAM) != 0) {
        std::fprintf(stderr, "replay: %s is a recording of %s, this replay runs %s\n", argv[1], h.program, PROGRAM);
        return 2;
    }
    std::vector<const char*> args;
    for (const char* a = h.args; static_cast<int>(args.size()) < h.argc; a += std::strlen(a) + 1)
        args.push_back(a);
    std::printf("replay: %s: %s %s (build %s), program here %s\n", argv[1], h.program, h.version, h.build,
                AVMENU_VERSION);

    const int service = replay_service_running() ? start_service() : -1;
    vg_key_port_open();  // the stock service's key port, for "-s"
    const VgRun run = vg_run(run_entry, args.data(), static_cast<int>(args.size()));
    vg_key_port_close();
    if (service > 0) {
        kill(service, SIGKILL);
        waitpid(service, nullptr, 0);
    }
    const ReplayResult* r = replay_result();
    for (long i = 0; i < r->disagreements && i < REPLAY_KEPT; ++i) {
        const ReplayDisagreement& d = r->kept[i];
        std::printf("line %d, %lld.%03lld s: %s\n", d.line, static_cast<long long>(d.ms / 1000),
                    static_cast<long long>(d.ms % 1000), d.text);
    }
    if (r->disagreements > REPLAY_KEPT)
        std::printf("... and %ld more disagreements\n", r->disagreements - REPLAY_KEPT);
    print_end_state(run);
    const std::string rm = std::string("rm -rf '") + card + "'";
    (void)!system(rm.c_str());
    bool ok = r->agree == r->answers;
    if (r->stopped) {
        std::printf("stopped: %s\n", r->stop);
        ok = false;
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
