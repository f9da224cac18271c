#include "support.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/avmenu.h"
#include "i2c/ri2c.h"

void Goggles::SetUp()
{
    vg_reset();
    char tmpl[] = "/tmp/vg-card-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    card_root = tmpl;
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
    const std::string dir = card_root + "/record/velmo-x/apps/VelmoX-AVMenu";
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
}

void Goggles::TearDown()
{
    if (!card_root.empty()) {
        (void)!system(("chmod -R u+w '" + card_root + "' 2>/dev/null; rm -rf '" + card_root + "'").c_str());
    }
}

std::string Goggles::settings_file() const { return card_root + "/record/velmo-x/apps/VelmoX-AVMenu/settings"; }

std::string Goggles::read_settings() const
{
    std::ifstream in(settings_file(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Goggles::write_settings(const std::string& text) const
{
    std::ofstream out(settings_file(), std::ios::binary | std::ios::trunc);
    out << text;
}

VgRun Goggles::run(std::initializer_list<const char*> args, int kill_after_ms)
{
    std::vector<const char*> v(args);
    return vg_run(avmenu_main, v.data(), static_cast<int>(v.size()), kill_after_ms);
}

void TransportGoggles::SetUp()
{
    Goggles::SetUp();
    fd = ri2c_open();
    ASSERT_GE(fd, 0);
    osd_init(&s, fd);
}

void TransportGoggles::TearDown()
{
    ri2c_close(fd);
    Goggles::TearDown();
}

std::string capture_stderr(const std::function<void()>& f)
{
    const int mem = memfd_create("err", 0);
    const int saved = dup(2);
    dup2(mem, 2);
    f();
    dup2(saved, 2);
    close(saved);
    std::string out;
    char buf[512];
    ssize_t n;
    lseek(mem, 0, SEEK_SET);
    while ((n = read(mem, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(mem);
    return out;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int start_standin(const char* name)
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // A session of its own, as the goggles' service has: stopped, it
        // must not make the test's process group one with stopped members,
        // which the kernel sends SIGHUP and SIGCONT when the group is left
        // without a parent outside it (a test command run in the background).
        setsid();
        // SIGHUP ends it, whatever the test inherited (a run under nohup
        // ignores it): a stray SIGHUP to the service must show.
        signal(SIGHUP, SIG_DFL);
        prctl(PR_SET_NAME, name);
        for (;;)
            pause();
    }
    const std::string expect = std::string(name).substr(0, 15);  // the kernel keeps 15 bytes
    wait_until(
        [&] {
            std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
            std::string comm;
            std::getline(in, comm);
            return comm == expect;
        },
        2000);
    return pid;
}

void end_standin(int pid)
{
    // Only a child of ours that is still there: a pid already reaped (by
    // the guard below, say) may belong to someone else by now.
    if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0)
        return;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::vector<int> children_of(int pid)
{
    std::vector<int> out;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    std::error_code gone;  // the process may end while we look
    for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
        std::ifstream in(task.path() / "children");
        for (int child; in >> child;)
            out.push_back(child);
    }
    return out;
}

int end_descendants()
{
    // As a subreaper, every orphan of the processes killed here comes back
    // to us, so all of them are reaped here, however deep, none left as a
    // zombie for init. The kernel hands a dying process's children over
    // before the process can be reaped, so the wait ends with the last one.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<int> all = children_of(getpid());
    for (size_t i = 0; i < all.size(); ++i) {  // parents first, then theirs
        for (int grandchild : children_of(all[i]))
            all.push_back(grandchild);
    }
    for (int pid : all)
        kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);  // each test starts without it
    return static_cast<int>(all.size());
}

namespace {

// After every test, whatever way it ended (a failed assertion or a skip
// included): whatever it started and left running is killed and reaped,
// so that no stand-in lingers as a zombie named like the service for the
// next test to find, and no forked program holds the test's output open.
class EndDescendants : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        if (const int left = end_descendants(); left > 0 && test.result()->Passed() && !test.result()->Skipped())
            std::printf("%s.%s left %d process(es) running; ended them\n", test.test_suite_name(), test.name(), left);
    }
};

const bool end_descendants_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new EndDescendants);
    return true;
}();

}  // namespace

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        out.push_back(line);
    return out;
}

std::string payload_hex(const VgI2cMessage& m)
{
    std::string s = "len=" + std::to_string(m.len);
    char b[4];
    for (uint32_t i = 0; i < m.len && i < sizeof m.payload; ++i) {
        std::snprintf(b, sizeof b, " %02x", m.payload[i]);
        s += b;
    }
    return s;
}

std::vector<std::pair<int, int>> vproc_writes_since(uint64_t from)
{
    std::vector<std::pair<int, int>> out;
    for (uint64_t i = from; i < vg()->i2c.total; ++i) {
        const VgI2cMessage* m = vg_i2c_message(i);
        if (m == nullptr || m->cmd != RI2C_CMD_WRITE || m->result != 0)
            continue;
        if (m->payload[0] != VPROC_BUS || m->payload[4] != VPROC_ADDR || m->payload[8] != 3)
            continue;
        out.emplace_back(m->payload[12] | (m->payload[13] << 8), m->payload[14]);
    }
    return out;
}

bool process_stopped(int pid)
{
    // A SIGSTOP takes hold only when the process next runs, which on a busy
    // machine may be well after kill() returned; a SIGCONT discards it.
    constexpr unsigned long long SIGSTOP_BIT = 1ull << (SIGSTOP - 1);
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if ((line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) &&
            (std::stoull(line.substr(7), nullptr, 16) & SIGSTOP_BIT) != 0)
            return true;
    }
    std::ifstream in(proc + "/stat");
    std::string stat;
    std::getline(in, stat);
    const auto close_paren = stat.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < stat.size() &&
           (stat[close_paren + 2] == 'T' || stat[close_paren + 2] == 't');
}

std::string timeline_text(uint64_t from, uint64_t to)
{
    std::string out;
    char line[160];
    for (uint64_t i = from; i < to && i < vg()->timeline.total; ++i) {
        const VgEvent* e = vg_timeline_event(i);
        if (e == nullptr)
            continue;
        const uint64_t us = e->t_us - vg()->start_us;
        std::snprintf(line, sizeof line, "  #%llu %llu.%03llu ms %s\n", static_cast<unsigned long long>(i),
                      static_cast<unsigned long long>(us / 1000), static_cast<unsigned long long>(us % 1000), e->text);
        out += line;
    }
    return out;
}

std::string timeline_check(const std::vector<std::string>& steps)
{
    const uint64_t total = vg()->timeline.total;
    if (total > VG_TIMELINE_SIZE)
        return "the timeline overran its ring: " + std::to_string(total) + " events";
    const auto text = [](uint64_t i) { return std::string(vg_timeline_event(i)->text); };
    const auto starts = [&](uint64_t i, const std::string& p) { return text(i).compare(0, p.size(), p) == 0; };
    int64_t prev = -1;  // the previous step's event
    std::vector<std::string> absent;
    // No absent event in (prev, until).
    const auto check_absent = [&](uint64_t until) -> std::string {
        for (uint64_t i = static_cast<uint64_t>(prev + 1); i < until; ++i) {
            for (const std::string& a : absent) {
                if (starts(i, a))
                    return "'" + a + "' found between the steps:\n" + timeline_text(i > 3 ? i - 3 : 0, i + 4);
            }
        }
        absent.clear();
        return "";
    };
    for (size_t n = 0; n < steps.size(); ++n) {
        const std::string& step = steps[n];
        const char mode = step.empty() ? ' ' : step[0];
        if (mode == '!') {
            absent.push_back(step.substr(1));
            continue;
        }
        const std::string where = "step " + std::to_string(n) + " '" + step + "' after event #" + std::to_string(prev);
        const uint64_t from = static_cast<uint64_t>(prev + 1);
        if (mode == '$') {
            if (from != total)
                return where + ": not the last event:\n" + timeline_text(from, from + 6);
            continue;
        }
        const std::string pattern = mode == '~' || mode == '>' ? step.substr(1) : step;
        uint64_t found = total;
        for (uint64_t i = from; i < total; ++i) {
            if (starts(i, pattern)) {
                found = i;
                break;
            }
            if (mode == '>' || (mode == '~' && starts(i, "sleep ")))
                break;
        }
        if (found == total)
            return where + ": not found; next were:\n" + timeline_text(from, from + 12);
        if (std::string e = check_absent(found); !e.empty())
            return where + ": " + e;
        prev = static_cast<int64_t>(found);
    }
    if (std::string e = check_absent(total); !e.empty())
        return "at the end: " + e;
    return "";
}
