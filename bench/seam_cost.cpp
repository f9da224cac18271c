// Calls each function of the goggles' seam (os_linux.cpp) a given number of
// times, so that callgrind can tell what one call costs in user space: the
// accessor itself and the C library's wrapper, without the kernel.
//
//   avmenu_bench_seam COUNT DIR
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>

#include "os/os.h"

namespace {

alignas(4096) volatile uint32_t block[1024];  // stands in for the mapped ADC page

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s COUNT DIR\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const std::string dir = argv[2];
    const std::string tmp = dir + "/settings.tmp", final_path = dir + "/settings";

    uint32_t sum = 0;
    for (int i = 0; i < count; ++i) {
        os_reg_store(&block[0x018 / 4], 6);
        sum += os_reg_load(&block[0x810 / 4]);
    }
    for (int i = 0; i < count; ++i)
        os_usleep(30000);  // the main loop's sleep
    timespec ts {};
    for (int i = 0; i < count; ++i)
        os_clock_monotonic(&ts);

    // The transport's one request, on a descriptor that refuses it: the
    // wrapper's path is the same, the driver's work is the kernel's.
    const int null_fd = os_dev_open("/dev/null", O_RDWR | O_NONBLOCK);
    unsigned char request[12] = {};
    for (int i = 0; i < count; ++i)
        os_dev_ioctl(null_fd, 0xc00c4110UL, request);
    os_dev_close(null_fd);

    // One settings save's file calls.
    static const char line[] = "55 50 50 50\n";
    for (int i = 0; i < count; ++i) {
        const int fd = os_file_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        os_file_write(fd, line, sizeof line - 1);
        os_file_fsync(fd);
        os_file_close(fd);
        os_file_rename(tmp.c_str(), final_path.c_str());
    }
    return sum == 0xFFFFFFFFu ? 1 : 0;
}
