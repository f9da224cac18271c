// The recording side of the seam on its own, with real files: each call is
// the Linux call and then one line of the recording (docs/RECORDING.md).
// The process calls reach the recorder through the same link-time wrapping
// as in the recording programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/avmenu.h"
#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "os/os.h"
#include "os/linux_calls.h"
#include "recording/reader.h"
#include "recording_read.h"
#include "recording/recorder.h"

namespace {

class Recording : public ::testing::Test {
protected:
    char tmpl[21] = "/tmp/recordingXXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/nowhere";
    ~Recording() override
    {
        rec_forget();
        std::filesystem::remove_all(dir);
    }
    std::string at(const std::string& name) const { return dir + "/" + name; }
    int start(const std::string& in = "")
    {
        char prog[] = "VelmoX-AVMenu-rec", s[] = "-s", spaced[] = "a b%";
        char* argv[] = {prog, s, spaced, nullptr};
        return rec_start((in.empty() ? dir : in).c_str(), "VelmoX-AVMenu", "1.3.0", 3, argv);
    }
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string l; std::getline(s, l);)
        lines.push_back(l);
    return lines;
}

RecRead read_back(const std::string& path) { return rec_read_text(slurp(path)); }

// The descriptors and mappings this process holds on a file.
int held(const std::string& path)
{
    int n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(fd.path(), ec) == path;
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string l; std::getline(maps, l);)
        n += l.find(path) != std::string::npos;
    return n;
}

// Standard error into a pipe for the life of the object.
struct CaptureStderr {
    int fds[2] = {-1, -1};
    int saved = dup(2);
    CaptureStderr()
    {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
        dup2(fds[1], 2);
    }
    std::string text()
    {
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    ~CaptureStderr()
    {
        dup2(saved, 2);
        for (const int fd : {saved, fds[0], fds[1]})
            close(fd);
    }
};

alignas(4096) volatile uint32_t page[1024];

// Every kind of entry, one call each (two where a failure reads differently),
// checked line by line against the documented form; errno after a failed
// call is what the call left.
TEST_F(Recording, EachCallIsOneLineAsDocumentedAndErrnoIsTheCallsOwn)
{
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(std::string(rec_path()), at("recording-0001.txt"));
    std::vector<std::string> want;
    auto failed = [](long rc, int err) { return rc == -1 && errno == err; };

    const std::string missing = at("no such");
    EXPECT_TRUE(failed(os_dev_open(missing.c_str(), O_RDWR), ENOENT));
    want.push_back("dev_open " + dir + "/no%20such 2 -> -1 errno=2");
    const int null_fd = os_dev_open("/dev/null", O_RDWR | O_NONBLOCK);
    want.push_back("dev_open /dev/null 802 -> " + std::to_string(null_fd));
    uint8_t payload[16] = {2, 0, 0, 0, 0, 0, 0, 0, 0x5B, 0, 0, 0, 0, 0, 0, 0};
    Ri2cRequest req {RI2C_CMD_SELECT, sizeof payload, payload};
    // What Linux itself answers (qemu-user answers ENOSYS where Linux says ENOTTY).
    ASSERT_EQ(os_linux_dev_ioctl(null_fd, RI2C_IOCTL, &req), -1);
    const int no_tty = errno;
    EXPECT_TRUE(failed(os_dev_ioctl(null_fd, RI2C_IOCTL, &req), no_tty));
    want.push_back("dev_ioctl " + std::to_string(null_fd) +
                   " c00c4110 1 16 02000000000000005b00000000000000 -> -1 errno=" + std::to_string(no_tty));
    int pipe_fds[2], pending = -1;
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(::write(pipe_fds[1], "12345", 5), 5);
    EXPECT_EQ(os_dev_ioctl(pipe_fds[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 5);
    want.push_back("dev_ioctl " + std::to_string(pipe_fds[0]) + " 541b -> 0");
    EXPECT_EQ(os_dev_close(null_fd), 0);
    want.push_back("dev_close " + std::to_string(null_fd) + " -> 0");
    EXPECT_TRUE(failed(os_dev_close(999), EBADF));
    want.push_back("dev_close 999 -> -1 errno=9");

    // The ADC page: a file mapped as the block is; offsets are the block's.
    const int mem = ::open(at("mem").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(mem, 8192), 0);
    const int dev = os_dev_open(at("mem").c_str(), O_RDWR | O_SYNC);
    want.push_back("dev_open " + at("mem") + " 101002 -> " + std::to_string(dev));
    auto* block = static_cast<volatile uint32_t*>(os_dev_mmap(dev, 4096, 4096));
    ASSERT_NE(block, nullptr);
    want.push_back("dev_mmap " + std::to_string(dev) + " 1000 1000 -> 0");
    EXPECT_EQ(os_dev_mmap(dev, 4096, 100), nullptr);
    EXPECT_EQ(errno, EINVAL);
    want.push_back("dev_mmap " + std::to_string(dev) + " 1000 64 -> -1 errno=22");
    os_reg_store(&block[0x810 / 4], 0xA1B2C3D4);
    want.push_back("reg_store 810 a1b2c3d4");
    EXPECT_EQ(os_reg_load(&block[0x810 / 4]), 0xA1B2C3D4u);
    want.push_back("reg_load 810 -> a1b2c3d4");

    const std::string tmp = at("settings.tmp"), file = at("settings");
    int fd = os_file_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    want.push_back("file_open " + tmp + " 241 666 -> " + std::to_string(fd));
    EXPECT_EQ(os_file_write(fd, "55 50 50 50\n", 12), 12);
    want.push_back("file_write " + std::to_string(fd) + " 12 55%2050%2050%2050%0A -> 12");
    EXPECT_EQ(os_file_write(fd, "-", 1), 1);
    want.push_back("file_write " + std::to_string(fd) + " 1 %2D -> 1");
    EXPECT_TRUE(failed(os_file_read(fd, payload, 4), EBADF));
    want.push_back("file_read " + std::to_string(fd) + " 4 -> -1 errno=9");
    EXPECT_EQ(os_file_fsync(fd), 0);
    want.push_back("file_fsync " + std::to_string(fd) + " -> 0");
    EXPECT_EQ(os_file_close(fd), 0);
    want.push_back("file_close " + std::to_string(fd) + " -> 0");
    EXPECT_EQ(os_file_rename(tmp.c_str(), file.c_str()), 0);
    want.push_back("file_rename " + tmp + " " + file + " -> 0");
    fd = os_file_open(file.c_str(), O_RDONLY, 0);
    want.push_back("file_open " + file + " 0 0 -> " + std::to_string(fd));
    char buf[64];
    EXPECT_EQ(os_file_read(fd, buf, 1), 1);
    want.push_back("file_read " + std::to_string(fd) + " 1 -> 1 5");
    EXPECT_EQ(os_file_read(fd, buf, sizeof buf), 12);
    want.push_back("file_read " + std::to_string(fd) + " 64 -> 12 5%2050%2050%2050%0A-");
    EXPECT_EQ(os_file_read(fd, buf, sizeof buf), 0);
    want.push_back("file_read " + std::to_string(fd) + " 64 -> 0");
    os_file_close(fd);
    want.push_back("file_close " + std::to_string(fd) + " -> 0");
    EXPECT_TRUE(failed(os_file_open(missing.c_str(), O_RDONLY, 0), ENOENT));
    want.push_back("file_open " + dir + "/no%20such 0 0 -> -1 errno=2");
    EXPECT_TRUE(failed(os_file_rename(missing.c_str(), file.c_str()), ENOENT));
    want.push_back("file_rename " + dir + "/no%20such " + file + " -> -1 errno=2");
    EXPECT_EQ(os_file_unlink(file.c_str()), 0);
    want.push_back("file_unlink " + file + " -> 0");
    EXPECT_TRUE(failed(os_file_unlink(file.c_str()), ENOENT));
    want.push_back("file_unlink " + file + " -> -1 errno=2");
    for (const size_t n : {255, 300}) {  // a path is kept to its first 255 bytes
        const std::string path = dir + "/" + std::string(n - dir.size() - 1, 'p');
        EXPECT_EQ(os_file_unlink(path.c_str()), -1);
        want.push_back("file_unlink " + path.substr(0, 255) + " -> -1 errno=" + std::to_string(errno));
    }
    RecEntry cut;  // ... within its field: the one after it stays as it was
    rec_entry_clear(&cut, REC_FILE_RENAME);
    rec_set_path(cut.path, std::string(300, 'p').c_str());
    EXPECT_EQ(std::strlen(cut.path), 255u);
    EXPECT_EQ(cut.path2[0], '\0');

    timespec now {};
    EXPECT_EQ(os_clock_monotonic(&now), 0);
    char time_text[40];
    std::snprintf(time_text, sizeof time_text, "%lld.%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
    want.push_back(std::string("clock -> 0 ") + time_text);
    EXPECT_EQ(os_usleep(1), 0);
    want.push_back("usleep 1 -> 0");
    EXPECT_EQ(os_sleep(0), 0u);
    want.push_back("sleep 0 -> 0");

    // Outside the seam: signals, a fork and its reap, standard error, the scan.
    const pid_t self = getpid();
    EXPECT_EQ(kill(self, 0), 0);
    want.push_back("kill " + std::to_string(self) + " 0 -> 0");
    EXPECT_TRUE(failed(kill(2147483647, 0), ESRCH));
    want.push_back("kill 2147483647 0 -> -1 errno=3");
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    if (child == 0) {
        // The child's calls are not the program's: none of them is recorded.
        (void)!write(2, "child\n", 6);
        kill(getpid(), 0);
        close(go[1]);
        char c;
        (void)!read(go[0], &c, 1);  // ends when the parent lets it
        _exit(3);
    }
    want.push_back("fork -> " + std::to_string(child));
    close(go[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0);  // still running: no status to give
    want.push_back("waitpid " + std::to_string(child) + " 1 -> 0");
    close(go[1]);
    EXPECT_EQ(waitpid(child, &status, 0), child);
    want.push_back("waitpid " + std::to_string(child) + " 0 -> " + std::to_string(child) + " status=300");
    EXPECT_TRUE(failed(waitpid(child, nullptr, WNOHANG), ECHILD));
    want.push_back("waitpid " + std::to_string(child) + " 1 -> -1 errno=10");
    {
        CaptureStderr err;
        EXPECT_EQ(write(2, "mode: 50% done!~\n", 17), 17);
        EXPECT_EQ(err.text(), "mode: 50% done!~\n");
    }
    want.push_back("stderr -> 17 mode: 50%25 done!~%0A");  // '!' to '~' as they are
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY);
    close(proc);
    // Other opens pass through unrecorded, a new file's mode with them.
    const mode_t mask = umask(022);
    struct stat made {};
    const int created = open(at("created").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
    EXPECT_TRUE(fstat(created, &made) == 0 && (made.st_mode & 0777) == 0640) << std::oct << made.st_mode;
    close(created);
    const int unnamed = open(dir.c_str(), O_WRONLY | O_TMPFILE, 0604);
    EXPECT_TRUE(fstat(unnamed, &made) == 0 && (made.st_mode & 0777) == 0604) << std::oct << made.st_mode;
    close(unnamed);
    umask(mask);
    EXPECT_EQ(os_usleep(1), 0);
    want.push_back("service -1");  // no scan of the service here: its pid is unknown
    want.push_back("usleep 1 -> 0");
    errno = EACCES;
    rec_service_scan(-1);
    os_sleep(0);
    want.push_back("service -2 errno=13");
    want.push_back("sleep 0 -> 0");
    rec_finish(7);
    EXPECT_FALSE(rec_active());

    const std::vector<std::string> got = lines_of(slurp(rec_path()));
    ASSERT_EQ(got.size(), want.size() + 3);
    EXPECT_EQ(got[0].rfind("velmox-recording 2 program=VelmoX-AVMenu version=1.3.0 build=", 0), 0u) << got[0];
    EXPECT_EQ(got[1], "args -s a%20b%25");
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(got[i + 2], want[i]) << "line " << i + 3;
    EXPECT_EQ(got.back().rfind("end 7 ", 0), 0u) << got.back();
    const RecRead back = read_back(rec_path());
    EXPECT_EQ(back.error, "");
    EXPECT_EQ(back.entries.size(), want.size() + 1);
    for (const int f : {mem, dev, pipe_fds[0], pipe_fds[1]})
        close(f);
}

// The transport's request: what the program filled goes out before the
// call, the read area as the driver left it after; never the bytes of the
// read area the program did not fill.
TEST_F(Recording, TransportRequestsKeepTheSentPartAndTheReadArea)
{
    ASSERT_EQ(start(), 0);
    const struct {
        uint32_t cmd;
        std::vector<uint8_t> payload;  // as the program filled it; 0xEE: the read area
        int rc;
        std::string line;
    } rows[] = {
        {RI2C_CMD_WRITE, {1, 0, 0, 0, 0x43, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xE0}, 0,
         "dev_ioctl 3 c00c4110 2 14 010000004300000002000000ffe0 -> 0"},
        {RI2C_CMD_WRITE_READ, {1, 0, 0, 0, 0x43, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0xB7, 0xEE}, 0,
         "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000b7 -> 0 11"},
        {RI2C_CMD_READ, {2, 0, 0, 0, 0x5B, 0, 0, 0, 2, 0, 0, 0, 0xEE, 0xEE}, 0,
         "dev_ioctl 3 c00c4110 4 14 020000005b00000002000000 -> 0 1122"},
        {RI2C_CMD_WRITE_READ, {2, 0, 0, 0, 0x5B, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0x1E, 0x0A, 0xEE}, -1,
         "dev_ioctl 3 c00c4110 3 19 020000005b00000002000000010000001e0a -> -1 errno=5"},
        {RI2C_CMD_READ, {2, 0, 0, 0, 0x5B, 0, 0, 0, 0, 0, 0, 0}, 0, "dev_ioctl 3 c00c4110 4 12 020000005b00000000000000 -> 0 -"},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> p = row.payload;
        Ri2cRequest req {row.cmd, static_cast<uint32_t>(p.size()), p.data()};
        RecIoctl snap;
        rec_ioctl_before(&snap, RI2C_IOCTL, &req);
        // The driver's answer: the read area filled with 0x11, 0x22, ...
        int k = 0;
        for (uint8_t& b : p)
            b = b == 0xEE ? static_cast<uint8_t>(0x11 * ++k) : b;
        errno = EIO;
        rec_ioctl_after(&snap, 3, row.rc);
    }
    rec_finish(0);
    const std::vector<std::string> got = lines_of(slurp(rec_path()));
    ASSERT_EQ(got.size(), std::size(rows) + 3);
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(got[i + 2], rows[i].line) << "row " << i;
    const RecRead back = read_back(rec_path());
    ASSERT_EQ(back.error, "");
    EXPECT_EQ(back.entries[1].got_len, 1);
    EXPECT_EQ(back.entries[1].got[0], 0x11);
}

// Each run takes the first free number; what is there stays as it was.
TEST_F(Recording, EachRunWritesANewFileAndNeverOverwrites)
{
    std::ofstream(at("recording-0002.txt")) << "a wearer's earlier recording\n";
    for (const char* want : {"recording-0001.txt", "recording-0003.txt", "recording-0004.txt"}) {
        ASSERT_EQ(start(), 0);
        EXPECT_EQ(std::string(rec_path()), at(want));
        rec_finish(0);
    }
    EXPECT_EQ(slurp(at("recording-0002.txt")), "a wearer's earlier recording\n");
    EXPECT_EQ(read_back(at("recording-0004.txt")).error, "");
    // The last number is 9999; past it the program runs unrecorded.
    char name[32];
    for (int n = 5; n <= 9998; ++n) {
        std::snprintf(name, sizeof name, "recording-%04d.txt", n);
        close(open(at(name).c_str(), O_WRONLY | O_CREAT, 0644));
    }
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(std::string(rec_path()), at("recording-9999.txt"));
    rec_finish(0);
    CaptureStderr err;
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(err.text(), "rec: cannot record (" + dir + ": no free number, errno 17)\n");
}

// The header keeps as many arguments as the reader keeps: 256 bytes, each
// with its NUL; the first that does not fit and those after it are left out.
TEST_F(Recording, TheHeaderKeepsTheArgumentsThatFit)
{
    std::string a(100, 'a'), b(100, 'b');
    const struct {
        size_t third;
        std::string args;
    } rows[] = {
        {53, "args " + a + " " + b + " " + std::string(53, 'c')},
        {54, "args " + a + " " + b},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.third);
        std::filesystem::remove(at("recording-0001.txt"));
        std::string c(row.third, 'c');
        char prog[] = "VelmoX-AVMenu-rec", d[] = "d";
        char* argv[] = {prog, a.data(), b.data(), c.data(), d, nullptr};
        ASSERT_EQ(rec_start(dir.c_str(), "VelmoX-AVMenu", "1.3.0", 5, argv), 0);
        rec_finish(0);
        const std::vector<std::string> got = lines_of(slurp(rec_path()));
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[1], row.args);
        EXPECT_EQ(read_back(rec_path()).error, "");
    }
}

// The calls a program makes and what it sees of them, with the recorder on,
// refused or running out of room: results, errno and standard error.
std::string session(const std::string& dir)
{
    std::string out;
    auto note = [&out](const char* what, long rc) {
        out += std::string(what) + "=" + std::to_string(rc) + (rc < 0 ? "/" + std::to_string(errno) : "") + " ";
    };
    const std::string file = dir + "/settings";
    for (int i = 0; i < 40; ++i) {
        const int fd = os_file_open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        note("open", fd);
        note("write", os_file_write(fd, "55 50 50 50\n", 12));
        note("close", os_file_close(fd));
        note("open missing", os_file_open((dir + "/missing").c_str(), O_RDONLY, 0));
        note("dev", os_dev_open("/dev/remote_i2c-not-here", O_RDWR));
        note("usleep", os_usleep(1));
    }
    (void)!write(2, "exit: PLAY held 3 s\n", 20);
    return out;
}

// What a child process running `session` saw, and said on standard error.
struct Outcome {
    std::string calls, err;
    int status;
    int started;  // rec_start's result
};
constexpr int NO_READ_ONLY_MOUNT = 77;  // the child could not make the card read-only

Outcome run_child(const std::string& rec_dir, const std::string& work, rlim_t file_limit, bool read_only = false,
                  rlim_t descriptors = RLIM_INFINITY)
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        // A read-only card: an empty read-only tmpfs over the folder, in a
        // mount namespace of the child's own.
        if (read_only && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                          mount("card", rec_dir.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0))
            _exit(NO_READ_ONLY_MOUNT);
        rlimit was {};
        getrlimit(RLIMIT_FSIZE, &was);
        if (file_limit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);  // as a card that is full: EFBIG, not a signal
            const rlimit lim {file_limit, was.rlim_max};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        const rlimit few {descriptors, descriptors};
        if (descriptors != RLIM_INFINITY)
            setrlimit(RLIMIT_NOFILE, &few);
        char prog[] = "rec";
        char* argv[] = {prog, nullptr};
        const char started = static_cast<char>(rec_start(rec_dir.c_str(), "VelmoX-AVMenu", "1.3.0", 1, argv));
        const std::string calls = started + session(work);
        rec_finish(0);
        setrlimit(RLIMIT_FSIZE, &was);  // a coverage build writes its counts at _exit
        (void)!write(out[1], calls.data(), calls.size());
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    Outcome o;
    char buf[8192];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        o.calls.append(buf, static_cast<size_t>(n));
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
        o.err.append(buf, static_cast<size_t>(n));
    close(out[0]);
    close(err[0]);
    waitpid(pid, &o.status, 0);
    o.started = o.calls.empty() ? 1 : static_cast<signed char>(o.calls[0]);  // char is unsigned on ARM
    o.calls.erase(0, 1);
    return o;
}

TEST_F(Recording, RefusedOrFullRecordingLeavesTheCallsAsTheyWereAndSaysSoOnce)
{
    const std::string work = at("work"), card = at("card");
    std::filesystem::create_directories(work);
    std::filesystem::create_directories(card);
    const Outcome recorded = run_child(card, work, RLIM_INFINITY);
    ASSERT_EQ(recorded.status, 0);
    EXPECT_EQ(recorded.started, 0);
    EXPECT_EQ(recorded.err, "exit: PLAY held 3 s\n");
    const RecRead whole = read_back(card + "/recording-0001.txt");
    EXPECT_EQ(whole.error, "");
    EXPECT_GT(whole.entries.size(), 200u);
    const uintmax_t full_size = std::filesystem::file_size(card + "/recording-0001.txt");

    const struct {
        const char* what;
        std::string dir;
        rlim_t limit;
        std::string said;
        int started;
        bool read_only = false;
        rlim_t descriptors = RLIM_INFINITY;
    } rows[] = {
        {"no card", at("card-missing"), RLIM_INFINITY,
         "rec: cannot record (" + at("card-missing") + "/recording-0001.txt: no such folder, errno 2)\n", -1},
        {"card read-only", card, RLIM_INFINITY,
         "rec: cannot record (" + card + "/recording-0001.txt: card read-only, errno 30)\n", -1, true},
        {"card full at once", card, 20, "rec: cannot record (" + card + "/recording-0002.txt: file size limit, errno 27)\n", -1},
        {"card full in the middle of a line", card, static_cast<rlim_t>(full_size / 2),
         "rec: cannot record (" + card + "/recording-0003.txt: file size limit, errno 27)\n", 0},
        {"no descriptor free from 64 on", card, RLIM_INFINITY, "rec: cannot record (" + card + "/recording-0004.txt: error, errno 22)\n",
         -1, false, 64},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome o = run_child(row.dir, work, row.limit, row.read_only, row.descriptors);
        if (row.read_only && WIFEXITED(o.status) && WEXITSTATUS(o.status) == NO_READ_ONLY_MOUNT) {
            std::printf("[ NOTE     ] no mount namespace here: the read-only card is not tried\n");
            continue;
        }
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.started, row.started);
        EXPECT_EQ(o.calls, recorded.calls);
        EXPECT_EQ(o.err, row.said + "exit: PLAY held 3 s\n");
    }
    // What was written before the card filled up ends with a whole line.
    const RecRead cut = read_back(card + "/recording-0003.txt");
    EXPECT_EQ(cut.error, "");
    EXPECT_GT(cut.entries.size(), 10u);
    EXPECT_LT(cut.entries.size(), whole.entries.size());
    EXPECT_NE(cut.entries.back().kind, REC_END);
}

// The card fills up just as a failed call is recorded: the program still
// sees that call's errno, and hears once that recording stopped; the file
// keeps its whole lines and loses the space reserved after them.
TEST_F(Recording, ACardFillingUpAtAFailedCallLeavesThatCallsErrno)
{
    ASSERT_EQ(start(), 0);
    const auto reserved = std::filesystem::file_size(rec_path());
    CaptureStderr err;
    rlimit was {};
    getrlimit(RLIMIT_FSIZE, &was);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);  // as a card that is full: EFBIG, not a signal
    const rlimit full {static_cast<rlim_t>(reserved), was.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    const std::string missing = at(std::string(200, 'm'));
    int calls = 0;
    for (; calls < 10000 && rec_active(); ++calls) {
        EXPECT_EQ(os_file_open(missing.c_str(), O_RDONLY, 0), -1);
        ASSERT_EQ(errno, ENOENT) << "call " << calls;
    }
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(rec_active());
    EXPECT_GT(calls, 100);
    EXPECT_EQ(err.text(), "rec: cannot record (" + at("recording-0001.txt") + ": file size limit, errno 27)\n");
    EXPECT_EQ(held(rec_path()), 0) << "the file let go";
    const std::string text = slurp(rec_path());
    EXPECT_LE(text.size(), reserved);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(read_back(rec_path()).entries.size(), static_cast<size_t>(calls - 1));
}

// The whole main flow on this PC stops at the missing transport, recorded
// or not, with the same status and diagnostics.
TEST_F(Recording, TheMainFlowEndsTheSameWithOrWithoutARecording)
{
    for (const bool can_record : {true, false}) {
        SCOPED_TRACE(can_record ? "recording" : "refused");
        CaptureStderr err;
        char prog[] = "VelmoX-AVMenu-rec";
        char* argv[] = {prog, nullptr};
        const bool started = rec_start(can_record ? dir.c_str() : at("none").c_str(), "VelmoX-AVMenu", "1.3.0", 1, argv) == 0;
        EXPECT_EQ(started, can_record);
        const int status = avmenu_main(1, argv);
        rec_finish(status);
        EXPECT_EQ(status, 1);
        const std::string refused = can_record ? "" : "rec: cannot record (" + at("none") + "/recording-0001.txt: no such folder, errno 2)\n";
        EXPECT_EQ(err.text(), refused + "open /dev/remote_i2c fail\n");
    }
    const std::vector<std::string> got = lines_of(slurp(at("recording-0001.txt")));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[2], "dev_open /dev/remote_i2c 802 -> -1 errno=2");
    EXPECT_EQ(got[3], "stderr -> 26 open /dev/remote_i2c fail%0A");
    EXPECT_EQ(got[4].rfind("end 1 ", 0), 0u);
}

// What a power cut or a kill can lose: the card gets what is new once a
// second of the program's sleeps, without the program waiting for it; a
// kill loses nothing, not even a repeat count; a clean finish leaves the
// file trimmed to its text and synced.
TEST_F(Recording, TheCardGetsNewLinesOnceASecondAndTheWholeFileAtTheEnd)
{
    const struct {
        int turns;       // idle turns of a 30 ms sleep each
        long writebacks;
        bool differ = false;  // each turn stores another value: no repeat
    } rows[] = {{1, 0}, {33, 0}, {34, 1}, {67, 2}, {100, 3}, {3600 * 33 + 12, 3564}, {34, 1, true}, {100, 3, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.turns);
        std::filesystem::remove(at("recording-0001.txt"));
        ASSERT_EQ(start(), 0);
        rec_dev_mmap(-1, sizeof page, 0, const_cast<uint32_t*>(page));
        for (int i = 0; i < row.turns; ++i) {
            rec_reg_store(&page[0x018 / 4], row.differ ? static_cast<uint32_t>(i) : 6);
            rec_usleep(30000, 0);
        }
        EXPECT_EQ(rec_stats().writebacks, row.writebacks);
        const long size_while_running = static_cast<long>(std::filesystem::file_size(rec_path()));
        EXPECT_GT(size_while_running, rec_stats().bytes) << "space reserved ahead of the lines";
        EXPECT_EQ(held(rec_path()), 2) << "its descriptor and its window";
        rec_finish(0);
        EXPECT_EQ(held(rec_path()), 0) << "the file let go";
        EXPECT_TRUE(rec_stats().synced_at_end);
        const std::string text = slurp(rec_path());
        EXPECT_EQ(static_cast<long>(text.size()), rec_stats().bytes);
        EXPECT_EQ(text.find('\0'), std::string::npos);
        EXPECT_EQ(read_back(rec_path()).entries.size(), 2u * static_cast<size_t>(row.turns) + 2);
        rec_usleep(REC_WRITEBACK_US, 0);  // finished: nothing more is asked of the card
        EXPECT_EQ(rec_stats().writebacks, row.writebacks);
    }
    // A forked child lets go of its parent's recording and writes nothing.
    std::filesystem::remove(at("recording-0001.txt"));
    ASSERT_EQ(start(), 0);
    const long bytes = rec_stats().bytes;
    rec_forget();
    EXPECT_FALSE(rec_active());
    EXPECT_EQ(held(at("recording-0001.txt")), 0);
    rec_finish(0);
    EXPECT_EQ(rec_stats().bytes, bytes);
}

// A program killed at any point, in the middle of a repeated turn too,
// leaves its file as it lies: the reserve after the text, every call read
// back in its order, no end line.
TEST_F(Recording, AKillAtAnyPointLosesNoCall)
{
    for (const int calls : {0, 1, 3, 5, 7, 8, 13, 14, 15, 101, 1001}) {
        SCOPED_TRACE(calls);
        std::filesystem::remove(at("recording-0001.txt"));
        const pid_t pid = fork();
        if (pid == 0) {
            if (start() != 0)
                _exit(1);
            rec_dev_mmap(-1, sizeof page, 0, const_cast<uint32_t*>(page));
            for (int i = 0; i < calls; ++i) {
                if (i % 3 == 2)
                    rec_usleep(30000, 0);
                else
                    rec_reg_load(&page[i % 3], 0x2a8);
            }
            raise(SIGKILL);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        const std::string text = slurp(at("recording-0001.txt"));
        const size_t text_end = text.find('\0');
        ASSERT_NE(text_end, std::string::npos) << "the reserve stays after the text";
        EXPECT_EQ(text.find_first_not_of('\0', text_end), std::string::npos);
        static RecReader r;
        ASSERT_EQ(rec_reader_open(&r, text.data(), text.size()), 0);
        RecEntry e;
        int n = 0;
        while (rec_reader_next(&r, &e) > 0) {
            if (e.kind != REC_DEV_MMAP) {
                EXPECT_EQ(e.kind, n % 3 == 2 ? REC_USLEEP : REC_REG_LOAD) << "entry " << n;
                ++n;
            }
        }
        EXPECT_EQ(n, calls);
        EXPECT_FALSE(r.ended);
        EXPECT_EQ(r.cut_line, std::count(text.begin(), text.end(), '\n') + 1);
    }
}

// Calls as a script: "s18=6" a store and "l810=c" a load (offset=value, in
// hex), "u30000" a sleep, "u1!4" a sleep that failed with errno 4, "e4"
// errno left at 4 between calls, "p!13" a /proc scan that failed with errno
// 13; "(...)3" three times over.
std::string expand(std::string s)
{
    for (size_t close; (close = s.find(')')) != std::string::npos;) {
        const size_t open = s.rfind('(', close);
        size_t digits = 0;
        const int times = std::stoi(s.substr(close + 1), &digits);
        std::string body = s.substr(open + 1, close - open - 1), all;
        for (int i = 0; i < times; ++i)
            all += (i > 0 ? " " : "") + body;
        s.replace(open, close + 1 + digits - open, all);
    }
    return s;
}

// What a call was, as the reader gives it back.
struct Made {
    int kind;
    uint32_t where;  // register offset; the sleep's length
    uint32_t value;  // register value
    int err;
    bool operator==(const Made&) const = default;
};

std::vector<Made> play(const std::string& script)
{
    std::vector<Made> made;
    std::istringstream in(expand(script));
    for (std::string t; in >> t;) {
        const size_t eq = t.find('='), bang = t.find('!');
        const int err = bang == std::string::npos ? 0 : std::stoi(t.substr(bang + 1));
        if (t[0] == 's' || t[0] == 'l') {
            const auto off = static_cast<uint32_t>(std::stoul(t.substr(1, eq - 1), nullptr, 16));
            const auto v = static_cast<uint32_t>(std::stoul(t.substr(eq + 1), nullptr, 16));
            t[0] == 's' ? rec_reg_store(&page[off / 4], v) : rec_reg_load(&page[off / 4], v);
            made.push_back({t[0] == 's' ? REC_REG_STORE : REC_REG_LOAD, off, v, 0});
        } else if (t[0] == 'u') {
            const auto us = static_cast<uint32_t>(std::stoul(t.substr(1)));
            if (err != 0)
                errno = err;
            rec_usleep(us, err != 0 ? -1 : 0);
            made.push_back({REC_USLEEP, us, 0, err});
        } else if (t[0] == 'e') {
            errno = std::stoi(t.substr(1));
        } else if (t[0] == 'p') {
            errno = err;
            rec_service_scan(-1);
            made.push_back({REC_SERVICE, 0, 0, err});
        }
    }
    return made;
}

// "s18=6 l810=X u30000" for each reading: a key sampler's idle turns.
std::string sampled(std::initializer_list<uint32_t> raws)
{
    std::string s;
    for (const uint32_t raw : raws) {
        char turn[48];
        std::snprintf(turn, sizeof turn, "%ss18=6 l810=%x u30000", s.empty() ? "" : " ", raw);
        s += turn;
    }
    return s;
}

// "s18=1 s18=2 ... s18=N": the first calls of a long turn.
std::string stores(int n)
{
    std::string s;
    for (int i = 1; i <= n; ++i)
        s += (i > 1 ? " s18=" : "s18=") + std::to_string(i);
    return s;
}

// An idle turn that repeats the one before is counted on one line, in place
// as each of its calls is made; noise on the ADC that takes the key sampler
// the same way (the same second conversion or not, the same button window)
// folds too, and the line keeps the readings' range. A turn that differs in
// anything else, or a repeat that stops, is written out; the reader gives
// back every call in its order.
TEST_F(Recording, TurnsThatRepeatAreCountedOnOneLineAndReadBackCallForCall)
{
    const std::string twelve = "(" + stores(11) + " u1)2 ";
    const struct {
        const char* what;
        std::string script;
        std::vector<std::string> last;  // the recording's last lines before its end
        bool unmapped = false;          // no mapping first: the script's turns are the program's first
    } rows[] = {
        {"whole turns", "(s18=6 s800=6 l810=c u1)4", {"usleep 1 -> 0", "repeat 0000000003 00 0000000c 0000000c"}},
        {"a repeat cut inside a turn", "(s18=6 s800=6 l810=c u1)3 s18=6 s800=6 l818=0",
         {"repeat 0000000002 02 0000000c 0000000c", "reg_load 818 -> 0"}},
        {"a different turn ends the repeat, the next repeats again", "(s18=6 l810=c u1)3 (s18=6 l810=12c u1)3",
         {"repeat 0000000002 01 0000000c 0000000c", "reg_load 810 -> 12c", "usleep 1 -> 0",
          "repeat 0000000002 00 0000012c 0000012c"}},
        {"a turn of a sleep alone", "(u1)4", {"usleep 1 -> 0", "repeat 0000000003 00"}},
        {"a long turn cut after nine", twelve + stores(9) + " s18=c u1", {"repeat 0000000001 09", "reg_store 18 c", "usleep 1 -> 0"}},
        {"a long turn cut after ten", twelve + stores(10) + " s18=c u1", {"repeat 0000000001 10", "reg_store 18 c", "usleep 1 -> 0"}},
        {"the longest turn a repeat holds", "(" + stores(15) + " u1)2", {"usleep 1 -> 0", "repeat 0000000001 00"}},
        {"a turn too long to repeat", "(" + stores(16) + " u1)2", {"reg_store 18 16", "usleep 1 -> 0"}},
        {"another register", "s18=6 u1 s1c=6 u1", {"reg_store 1c 6", "usleep 1 -> 0"}},
        {"another value", "s18=6 u1 s18=7 u1", {"reg_store 18 7", "usleep 1 -> 0"}},
        {"a load where a store was", "s18=6 u1 l18=6 u1", {"reg_load 18 -> 6", "usleep 1 -> 0"}},
        {"another register's reading", "l818=5 u1 l818=6 u1", {"reg_load 818 -> 6", "usleep 1 -> 0"}},
        {"a sleep that failed", "u1 u1!4", {"usleep 1 -> 0", "usleep 1 -> -1 errno=4"}},
        {"a sleep that failed otherwise", "u1!4 u1!22", {"usleep 1 -> -1 errno=4", "usleep 1 -> -1 errno=22"}},
        {"errno left otherwise between turns", "e0 s18=6 u1 e4 s18=6 u1", {"usleep 1 -> 0", "repeat 0000000001 00"}},
        {"the turn's first call again inside its repeat", "(s18=6 s800=6 u1)2 s18=6 s18=6 s800=6 u1",
         {"repeat 0000000001 01", "reg_store 18 6", "reg_store 800 6", "usleep 1 -> 0"}},
        {"a scan for the service ends a repeat", "(s18=6 u1)3 p!13 s18=6 u1",
         {"repeat 0000000002 00", "service -2 errno=13", "reg_store 18 6", "usleep 1 -> 0"}},
        {"idle, wandering by two counts", sampled({12, 12, 13, 11, 14, 10, 12}), {"repeat 0000000006 00 0000000a 0000000e"}},
        {"a second conversion taken once", sampled({12, 12, 114, 115, 12}),
         {"repeat 0000000002 01 0000000c 00000072", "reg_load 810 -> 73", "usleep 30000 -> 0",
          "repeat 0000000000 01 00000073 00000073", "reg_load 810 -> c", "usleep 30000 -> 0"}},
        {"PLAY held, wandering inside its window", sampled({283, 283, 281, 283, 282}), {"repeat 0000000004 00 00000119 0000011b"}},
        {"PLAY to BACK across the windows' edge", sampled({283, 283, 284}),
         {"repeat 0000000001 01 0000011b 0000011b", "reg_load 810 -> 11c", "usleep 30000 -> 0"}},
        {"readings of nothing", "(s18=6 l810=0 u1)2", {"usleep 1 -> 0", "repeat 0000000001 00 00000000 00000000"}},
        {"a reading first in its turn", "(l810=c u1)2", {"usleep 1 -> 0", "repeat 0000000001 00 0000000c 0000000c"}},
        {"a repeat that opens on a reading of its own", "l810=c u1 l810=d u1 l810=b u1",
         {"usleep 1 -> 0", "repeat 0000000002 00 0000000b 0000000d"}},
        {"a longer turn's reading before", "s18=6 s18=6 l810=64 u1 (l810=c u1)3", {"usleep 1 -> 0", "repeat 0000000002 00 0000000c 0000000c"}},
        {"readings of all eight digits", "(s18=6 l810=1000000c u1)2", {"usleep 1 -> 0", "repeat 0000000001 00 1000000c 1000000c"}},
        {"the program's first turn", "(u1)3", {"usleep 1 -> 0", "repeat 0000000002 00"}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(at("recording-0001.txt"));
        ASSERT_EQ(start(), 0);
        if (!row.unmapped)
            rec_dev_mmap(-1, sizeof page, 0, const_cast<uint32_t*>(page));  // offsets are the page's
        // The mapping's turn, which never repeats, ends first.
        const std::vector<Made> made = play(row.unmapped ? row.script : "u7 " + row.script);
        rec_finish(0);
        const std::vector<std::string> got = lines_of(slurp(rec_path()));
        ASSERT_GE(got.size(), row.last.size() + 1);
        EXPECT_EQ(std::vector<std::string>(got.end() - 1 - static_cast<long>(row.last.size()), got.end() - 1), row.last);
        // Every call comes back; a reading of the data register within the
        // range its line gives, taking the sampler the same way.
        const RecRead back = read_back(rec_path());
        ASSERT_EQ(back.error, "");
        std::vector<Made> read;
        for (const RecEntry& e : back.entries) {
            if (e.kind == REC_REG_LOAD && e.offset == ADC_REG_DATA) {
                const Made& m = made[read.size()];
                EXPECT_TRUE(e.low <= m.value && m.value <= e.high && e.low <= e.value && e.value <= e.high)
                    << "call " << read.size() << ": " << m.value << ", " << e.value << " in " << e.low << ".." << e.high;
                EXPECT_EQ(keys_reading_way(e.value), keys_reading_way(m.value)) << "call " << read.size();
                read.push_back({e.kind, static_cast<uint32_t>(e.offset), m.value, 0});
            } else if (e.kind == REC_REG_LOAD || e.kind == REC_REG_STORE) {
                read.push_back({e.kind, static_cast<uint32_t>(e.offset), e.value, 0});
            } else if (e.kind == REC_USLEEP || e.kind == REC_SERVICE) {
                read.push_back({e.kind, static_cast<uint32_t>(e.count), 0, e.err});
            }
        }
        EXPECT_EQ(read, made);
    }
}

// The card's space is reserved ahead of the lines, a quarter megabyte at a
// time, the next reserve once half of the last is used, so that a new size
// has time to reach the card before lines land past the old one.
TEST_F(Recording, SpaceIsReservedAheadOnceHalfOfTheLastReserveIsUsed)
{
    constexpr long RESERVE = 256 * 1024;
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(rec_stats().reserves, 1);
    EXPECT_EQ(static_cast<long>(std::filesystem::file_size(rec_path())), RESERVE);
    const std::string text(200, 'x');
    long last_reserves = 1, crossed_at = 0, lines = 0;
    while (rec_stats().bytes < RESERVE + RESERVE / 2 + 1000) {
        if (RecEntry* e = rec_begin(REC_STDERR, 200)) {
            rec_set_data(e, text.data(), text.size());
            rec_commit();
            ++lines;
        }
        if (rec_stats().reserves != last_reserves) {
            last_reserves = rec_stats().reserves;
            crossed_at = rec_stats().bytes;
            EXPECT_EQ(static_cast<long>(std::filesystem::file_size(rec_path())), last_reserves * RESERVE);
            EXPECT_GT(crossed_at + 300, (last_reserves - 1) * RESERVE - RESERVE / 2) << "reserve " << last_reserves;
            EXPECT_LE(crossed_at, (last_reserves - 1) * RESERVE - RESERVE / 2 + 300) << "reserve " << last_reserves;
        }
    }
    EXPECT_EQ(last_reserves, 3);
    // Written through windows of 64 KiB, each mapped where the last ended.
    EXPECT_GE(rec_stats().remaps, rec_stats().bytes / (64 * 1024) + 1);
    EXPECT_LE(rec_stats().remaps, rec_stats().bytes / (60 * 1024) + 1);
    rec_finish(0);
    EXPECT_EQ(static_cast<long>(std::filesystem::file_size(rec_path())), rec_stats().bytes);
    const RecRead back = read_back(rec_path());
    EXPECT_EQ(back.error, "");
    EXPECT_EQ(static_cast<long>(back.entries.size()), lines + 1) << "every line whole";
}

}  // namespace
