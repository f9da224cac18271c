// The seam as the goggles have it, on its own with real files: each call is
// the Linux call itself, arguments and results passed through. A temporary
// file stands in for the ADC page of /dev/mem.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "os/log.h"
#include "os/os.h"

namespace {

constexpr size_t PAGE = 4096;

class OsLinux : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/os-linux-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string at(const char* name) const { return dir + "/" + name; }

    std::string dir;
};

// Byte i of the page at offset, before any store.
uint8_t pattern(int64_t offset, size_t i) { return static_cast<uint8_t>(i * 13 + static_cast<size_t>(offset >> 12)); }

uint32_t word_in_file(int fd, int64_t offset)
{
    uint8_t b[4] = {};
    EXPECT_EQ(pread64(fd, b, sizeof b, offset), 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// The page is mapped shared: a store lands in the file as four
// little-endian bytes and nowhere else, and a load reads the file's bytes
// as they are now, after the descriptor is closed too. Pages at the ADC
// block's own address and at the last page below 4 GiB: on 32-bit ARM the
// offset must reach the call as a 64-bit offset, unsigned and whole.
TEST_F(OsLinux, RegisterStoresReachTheMappedFileAndLoadsSeeIt)
{
    const std::string page_file = at("mem");
    const int file = ::open(page_file.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    const int64_t offsets[] = {0, PAGE, 0x60632000, 0xFFFFF000};
    ASSERT_EQ(ftruncate64(file, offsets[3] + PAGE), 0);  // sparse
    for (const int64_t offset : offsets) {
        uint8_t fill[PAGE];
        for (size_t i = 0; i < PAGE; ++i)
            fill[i] = pattern(offset, i);
        ASSERT_EQ(pwrite64(file, fill, PAGE, offset), static_cast<ssize_t>(PAGE));
    }
    for (const int64_t offset : offsets) {
        SCOPED_TRACE("page at " + std::to_string(offset));
        const int fd = os_dev_open(page_file.c_str(), O_RDWR | O_SYNC);
        ASSERT_GE(fd, 0);
        void* base = os_dev_mmap(fd, PAGE, offset);
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(os_dev_close(fd), 0);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor stays open";
        auto reg = [base](unsigned o) { return reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(base) + o); };
        for (const unsigned o : {0x018u, 0x038u, 0x810u, 0xFFCu})
            EXPECT_EQ(os_reg_load(reg(o)), word_in_file(file, offset + o)) << std::hex << o;

        os_reg_store(reg(0x810), 0xA1B2C3D4);
        uint8_t around[12], want[12];
        ASSERT_EQ(pread64(file, around, sizeof around, offset + 0x80C), 12);
        for (size_t i = 0; i < sizeof want; ++i)
            want[i] = i >= 4 && i < 8 ? static_cast<uint8_t>(0xA1B2C3D4u >> (8 * (i - 4))) : pattern(offset, 0x80C + i);
        EXPECT_EQ(std::memcmp(around, want, sizeof want), 0) << "the store did not reach the file as one word";

        // Changed behind the mapping's back, after the store touched the page.
        const uint8_t fresh[4] = {0x06, 0x01, 0x00, 0x00};
        ASSERT_EQ(pwrite64(file, fresh, sizeof fresh, offset + 0x018), 4);
        EXPECT_EQ(os_reg_load(reg(0x018)), 0x106u);
        EXPECT_EQ(os_reg_load(reg(0x810)), 0xA1B2C3D4u);
    }
    ::close(file);
}

// Files go straight through: the flags and mode given, the bytes written
// and read, fsync of a file and of its folder, rename over an old file,
// unlink; and the one device request, here FIONREAD on a pipe.
TEST_F(OsLinux, FileCallsAndTheDeviceRequestPassThrough)
{
    const mode_t old_mask = umask(0);
    const std::string tmp = at("settings.tmp"), file = at("settings");
    ASSERT_EQ(std::system(("echo '1 2 3 4' > " + file).c_str()), 0);
    int fd = os_file_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    umask(old_mask);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(os_file_write(fd, "55 50 50 50\n", 12), 12);
    EXPECT_EQ(os_file_fsync(fd), 0);
    EXPECT_EQ(os_file_close(fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor stays open";

    EXPECT_EQ(os_file_rename(tmp.c_str(), file.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(tmp));
    fd = os_file_open(file.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    char buf[13] = {};
    EXPECT_EQ(os_file_read(fd, buf, 12), 12);
    EXPECT_STREQ(buf, "55 50 50 50\n");
    EXPECT_EQ(os_file_read(fd, buf, 12), 0);
    EXPECT_EQ(os_file_write(fd, "x", 1), -1) << "opened for reading only";
    EXPECT_EQ(os_file_close(fd), 0);

    const int folder = os_file_open(dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
    ASSERT_GE(folder, 0);
    EXPECT_EQ(os_file_fsync(folder), 0);
    EXPECT_EQ(os_file_close(folder), 0);
    EXPECT_EQ(os_file_unlink(file.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(file));

    const int dev = os_dev_open(dir.c_str(), O_RDONLY | O_NONBLOCK | O_DIRECTORY);
    ASSERT_GE(dev, 0);
    EXPECT_EQ(fcntl(dev, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(os_dev_close(dev), 0);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], "12345", 5), 5);
    int pending = -1;
    EXPECT_EQ(os_dev_ioctl(pipe_fds[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 5);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

// Every failure is reported as Linux reports it: -1 with errno, and a
// mapping that cannot be made is a null pointer, never MAP_FAILED.
TEST_F(OsLinux, FailuresReportMinusOneOrNullWithErrno)
{
    const std::string page_file = at("page"), missing = at("missing");
    ASSERT_EQ(std::system(("head -c 8192 /dev/zero > " + page_file).c_str()), 0);
    const int read_only = ::open(page_file.c_str(), O_RDONLY);
    ASSERT_GE(read_only, 0);
    const int bad = 999;
    char c = 0;
    int pending = 0;
    auto map = [](int fd, int64_t offset) { return os_dev_mmap(fd, PAGE, offset) == nullptr ? -1 : 0; };
    const struct { const char* name; std::function<long()> call; int err; } rows[] = {
        {"device that is not there", [&] { return os_dev_open(missing.c_str(), O_RDWR); }, ENOENT},
        {"file that is not there", [&] { return os_file_open(missing.c_str(), O_RDONLY, 0); }, ENOENT},
        {"new file that exists", [&] { return os_file_open(page_file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666); }, EEXIST},
        {"writable map of a read-only descriptor", [&] { return map(read_only, 0); }, EACCES},
        {"map of no descriptor", [&] { return map(bad, 0); }, EBADF},
        {"map off a page boundary", [&] { return map(read_only, 100); }, EINVAL},
        {"request on no descriptor", [&] { return os_dev_ioctl(bad, FIONREAD, &pending); }, EBADF},
        {"read", [&] { return os_file_read(bad, &c, 1); }, EBADF},
        {"write", [&] { return os_file_write(bad, &c, 1); }, EBADF},
        {"fsync", [&] { return os_file_fsync(bad); }, EBADF},
        {"file close", [&] { return os_file_close(bad); }, EBADF},
        {"device close", [&] { return os_dev_close(bad); }, EBADF},
        {"rename of nothing", [&] { return os_file_rename(missing.c_str(), page_file.c_str()); }, ENOENT},
        {"unlink of nothing", [&] { return os_file_unlink(missing.c_str()); }, ENOENT},
    };
    for (const auto& row : rows) {
        errno = 0;
        EXPECT_EQ(row.call(), -1) << row.name;
        EXPECT_EQ(errno, row.err) << row.name;
    }
    ::close(read_only);
    EXPECT_TRUE(std::filesystem::exists(page_file)) << "a failed rename or unlink touched another file";
}

int64_t ns_of(const timespec& t) { return int64_t {t.tv_sec} * 1000000000 + t.tv_nsec; }

int64_t monotonic_ns()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return ns_of(t);
}

// The seam's clock is CLOCK_MONOTONIC itself: each reading lies between two
// direct readings around it. The sleeps last at least what they were given.
TEST_F(OsLinux, ClockIsTheMonotonicClockAndSleepsLastTheirTime)
{
    int64_t last = 0;
    for (int i = 0; i < 1000; ++i) {
        const int64_t before = monotonic_ns();
        timespec t {};
        ASSERT_EQ(os_clock_monotonic(&t), 0);
        const int64_t after = monotonic_ns();
        ASSERT_GE(ns_of(t), before) << "reading " << i;
        ASSERT_LE(ns_of(t), after) << "reading " << i;
        ASSERT_GE(ns_of(t), last) << "reading " << i;
        last = ns_of(t);
    }
    const struct { const char* name; std::function<long()> sleep; int64_t ns; } sleeps[] = {
        {"30000 us", [] { return os_usleep(30000); }, 30000000},
        {"1 s", [] { return static_cast<long>(os_sleep(1)); }, 1000000000},
    };
    for (const auto& s : sleeps) {
        const int64_t start = monotonic_ns();
        EXPECT_EQ(s.sleep(), 0) << s.name;
        EXPECT_GE(monotonic_ns() - start, s.ns) << s.name;
    }
}

// Diagnostics are written straight to descriptor 2: a line longer than the
// 255 bytes the buffer holds is cut there, and one that cannot be formatted
// (a wide character with no form in the C locale) writes nothing at all.
TEST_F(OsLinux, LogLinesAreCutAt255BytesAndUnformattableOnesDropped)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK), 0);
    const int saved = dup(2);
    dup2(pipe_fds[1], 2);
    log_line("%s\n", std::string(300, 'a').c_str());
    log_line("mode: %ls\n", L"\u00e9");
    log_line("keys: %d\n", 7);
    dup2(saved, 2);
    ::close(saved);
    ::close(pipe_fds[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
    EXPECT_EQ(got, std::string(255, 'a') + "keys: 7\n");
}

}  // namespace
