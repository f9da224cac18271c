#include "vgoggles/session.h"

#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "keys/keys.h"
#include "vgoggles/vgoggles.h"

VgRun vg_run(VgEntry entry, const char* const* args, int nargs, int kill_after_ms)
{
    VgRun run;
    const int err_fd = memfd_create("vg-stderr", MFD_CLOEXEC);
    vg();  // map the world before the fork so both sides share it
    const pid_t child = fork();
    if (child == 0) {
        vg()->timeline.program_pid = static_cast<int>(getpid());
        dup2(err_fd, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("VelmoX-AVMenu"));
        for (int i = 0; i < nargs; ++i)
            argv.push_back(const_cast<char*>(args[i]));
        argv.push_back(nullptr);
        _exit(entry(static_cast<int>(argv.size()) - 1, argv.data()));
    }
    if (kill_after_ms > 0) {
        usleep(static_cast<useconds_t>(kill_after_ms) * 1000);
        kill(child, SIGKILL);
    }
    int wstatus = 0;
    while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        run.signalled = true;
        run.status = 128 + WTERMSIG(wstatus);
    }
    char buf[4096];
    ssize_t n;
    lseek(err_fd, 0, SEEK_SET);
    while ((n = read(err_fd, buf, sizeof buf)) > 0)
        run.err.append(buf, static_cast<size_t>(n));
    close(err_fd);
    return run;
}

std::string vg_screen()
{
    std::string s;
    for (int row = 0; row < 8; ++row) {
        char line[33];
        vg_osd_visible_line(row, line);
        s += line;
        if (row < 7)
            s += '\n';
    }
    return s;
}

int64_t vg_keys_script(const char* script, uint64_t start_ms, std::string* error)
{
    static constexpr struct {
        const char* name;
        int key;
    } NAMES[] = {{"UP", KEY_UP},     {"DOWN", KEY_DOWN}, {"LEFT", KEY_LEFT}, {"RIGHT", KEY_RIGHT},
                 {"PLAY", KEY_PLAY}, {"BACK", KEY_BACK}, {"K4", KEY_4},      {"K5", KEY_5}};
    constexpr uint64_t GAP_MS = 200, DEFAULT_HOLD_MS = 200;

    uint64_t t = start_ms;
    const char* p = script;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        if (*p == '\0')
            break;
        const char* word = p;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != ',' && *p != ':')
            ++p;
        const std::string name(word, static_cast<size_t>(p - word));
        uint64_t ms = DEFAULT_HOLD_MS;
        bool has_ms = false;
        if (*p == ':') {
            ++p;
            if (*p < '0' || *p > '9') {
                if (error)
                    *error = "missing milliseconds after '" + name + ":'";
                return -1;
            }
            ms = 0;
            while (*p >= '0' && *p <= '9') {
                ms = ms * 10 + static_cast<uint64_t>(*p - '0');
                if (ms > 24ull * 3600 * 1000) {
                    if (error)
                        *error = "hold too long in '" + name + "'";
                    return -1;
                }
                ++p;
            }
            has_ms = true;
            if (*p != '\0' && *p != ' ' && *p != '\t' && *p != ',') {
                if (error)
                    *error = "unexpected text after '" + name + ":" + std::to_string(ms) + "'";
                return -1;
            }
        }
        if (name == "WAIT") {
            if (!has_ms) {
                if (error)
                    *error = "WAIT needs milliseconds, as WAIT:500";
                return -1;
            }
            t += ms;
            continue;
        }
        int key = -1;
        for (const auto& n : NAMES) {
            if (name == n.name)
                key = n.key;
        }
        if (key < 0) {
            if (error)
                *error = "unknown key '" + name + "' (UP DOWN LEFT RIGHT PLAY BACK K4 K5 WAIT)";
            return -1;
        }
        vg_key_hold(key, t, ms);
        t += ms + GAP_MS;
    }
    return static_cast<int64_t>(t);
}
