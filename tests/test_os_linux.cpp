// The seam as the goggles have it, with real files: each call is the Linux
// call itself. A temporary file stands in for the ADC page of /dev/mem.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "os/log.h"
#include "os/os.h"

namespace {

constexpr size_t PAGE = 4096;

class OsLinux : public ::testing::Test {
protected:
    char tmpl[21] = "/tmp/os-linux-XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/nowhere";
    ~OsLinux() override { std::filesystem::remove_all(dir); }
    std::string at(const char* name) const { return dir + "/" + name; }
};

// Mapped shared and writable: a store lands in the file as one word and
// nowhere else, and loads read the file, the descriptor closed. The last
// page below 4 GiB needs the offset whole and unsigned (64-bit on ARM).
TEST_F(OsLinux, RegisterStoresReachTheMappedFileAndLoadsSeeIt)
{
    const int file = ::open(at("mem").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    const int64_t offsets[] = {PAGE, 0x60632000, 0xFFFFF000};
    ASSERT_EQ(ftruncate64(file, offsets[2] + PAGE), 0);  // sparse
    for (const int64_t offset : offsets) {
        SCOPED_TRACE("page at " + std::to_string(offset));
        uint8_t fill[PAGE], now[PAGE];  // fill differs from page to page
        for (size_t i = 0; i < PAGE; ++i)
            fill[i] = static_cast<uint8_t>(i * 13 + static_cast<size_t>(offset >> 12));
        ASSERT_EQ(pwrite64(file, fill, PAGE, offset), static_cast<ssize_t>(PAGE));
        const int fd = os_dev_open(at("mem").c_str(), O_RDWR | O_SYNC);
        auto* base = static_cast<uint8_t*>(os_dev_mmap(fd, PAGE, offset));
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(os_dev_close(fd), 0);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor stays open";
        auto reg = [base](unsigned o) { return reinterpret_cast<volatile uint32_t*>(base + o); };
        const uint32_t word = 0xA1B2C3D4;
        os_reg_store(reg(0x810), word);
        std::memcpy(fill + 0x810, &word, 4);
        ASSERT_EQ(pread64(file, now, PAGE, offset), static_cast<ssize_t>(PAGE));
        EXPECT_EQ(std::memcmp(now, fill, PAGE), 0) << "not stored as one word, or not only there";
        const uint32_t loaded[] = {os_reg_load(reg(0x80C)), os_reg_load(reg(0x810)), os_reg_load(reg(0x814))};
        EXPECT_EQ(std::memcmp(loaded, fill + 0x80C, sizeof loaded), 0) << "loads";
    }
    ::close(file);
}

// Files and devices go straight through: flags, mode, bytes, fsync, rename,
// unlink, FIONREAD. Failures come back as Linux gives them: -1 with errno,
// and a mapping that cannot be made as null, never MAP_FAILED.
TEST_F(OsLinux, CallsPassThroughAndFailuresReportMinusOneOrNull)
{
    const std::string tmp = at("settings.tmp"), file = at("settings"), missing = at("missing");
    const mode_t old_mask = umask(0);
    int fd = os_file_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    umask(old_mask);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::filesystem::status(tmp).permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(os_file_write(fd, "55 50 50 50\n", 12), 12);
    EXPECT_EQ(os_file_fsync(fd), 0);
    EXPECT_EQ(os_file_close(fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor stays open";
    EXPECT_EQ(os_file_rename(tmp.c_str(), file.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(tmp));
    fd = os_file_open(file.c_str(), O_RDONLY, 0);
    char buf[13] = {};
    EXPECT_EQ(os_file_read(fd, buf, 12), 12);
    EXPECT_STREQ(buf, "55 50 50 50\n");

    const int bad = 999;
    auto map = [](int fd, int64_t offset) { return os_dev_mmap(fd, PAGE, offset) == nullptr ? -1 : 0; };
    // Each result with errno read right after it: a braced list is evaluated in order.
    const struct { long result; int err, want; } rows[] = {
        {os_dev_open(missing.c_str(), O_RDWR), errno, ENOENT},
        {os_file_open(missing.c_str(), O_RDONLY, 0), errno, ENOENT},
        {os_file_open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666), errno, EEXIST},
        {map(fd, 0), errno, EACCES},  // writable map of a read-only descriptor
        {map(fd, 100), errno, EINVAL},
        {os_file_write(fd, buf, 1), errno, EBADF},
        {os_dev_ioctl(bad, FIONREAD, buf), errno, EBADF},
        {os_file_read(bad, buf, 1), errno, EBADF},
        {os_file_fsync(bad), errno, EBADF},
        {os_file_rename(missing.c_str(), file.c_str()), errno, ENOENT},
        {os_file_unlink(missing.c_str()), errno, ENOENT},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(std::make_pair(rows[i].result, rows[i].err), std::make_pair(-1L, rows[i].want)) << "row " << i;
    EXPECT_EQ(os_file_close(fd), 0);
    EXPECT_EQ(os_file_unlink(file.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(file));

    int pipe_fds[2], pending = -1;
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], "12345", 5), 5);
    const int dev = os_dev_open(("/proc/self/fd/" + std::to_string(pipe_fds[0])).c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(fcntl(dev, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(os_dev_ioctl(dev, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 5);
    for (const int d : {dev, pipe_fds[0], pipe_fds[1]})
        ::close(d);
}

int64_t ns(int (*clock)(timespec*))
{
    timespec t {};
    EXPECT_EQ(clock(&t), 0);
    return int64_t {t.tv_sec} * 1000000000 + t.tv_nsec;
}
int monotonic(timespec* t) { return clock_gettime(CLOCK_MONOTONIC, t); }

// The clock is CLOCK_MONOTONIC itself: each reading lies between direct
// readings around it. Sleeps last at least what they were given.
TEST_F(OsLinux, ClockIsTheMonotonicClockAndSleepsLastTheirTime)
{
    for (int i = 0; i < 1000; ++i) {
        const int64_t before = ns(monotonic), t = ns(os_clock_monotonic);
        ASSERT_GE(t, before) << "reading " << i;
        ASSERT_LE(t, ns(monotonic)) << "reading " << i;
    }
    const int64_t start = ns(monotonic);
    EXPECT_EQ(os_usleep(30000), 0);
    const int64_t slept = ns(monotonic);
    EXPECT_EQ(os_sleep(1), 0u);
    EXPECT_GE(slept - start, 30000000) << "30000 us";
    EXPECT_GE(ns(monotonic) - slept, 1000000000) << "1 s";
}

// Diagnostics go straight to descriptor 2: a line past the 255 bytes the
// buffer holds is cut there; one that cannot be formatted (a wide character
// with no form in the C locale) writes nothing.
TEST_F(OsLinux, LogLinesAreCutAt255BytesAndUnformattableOnesDropped)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK), 0);
    const int saved = dup(2);
    dup2(pipe_fds[1], 2);
    log_line("%s\n", std::string(300, 'a').c_str());
    log_line("%s", std::string(256, 'b').c_str());  // one too many: cut as well
    log_line("%s", std::string(255, 'c').c_str());  // fits exactly
    log_line("mode: %ls\n", L"\u00e9");
    log_line("%s", "");
    log_line("keys: %d\n", 7);
    dup2(saved, 2);
    char buf[1024] = {};
    const ssize_t n = read(pipe_fds[0], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
              std::string(255, 'a') + std::string(255, 'b') + std::string(255, 'c') + "keys: 7\n");
    for (const int fd : {saved, pipe_fds[0], pipe_fds[1]})
        ::close(fd);
}

}  // namespace
