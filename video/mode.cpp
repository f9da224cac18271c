#include "video/mode.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "i2c/ri2c.h"
#include "os/log.h"
#include "os/os.h"

int mode_read(int fd)
{
    // A failed read leaves its byte 0, so a silent chip reads as "unknown".
    uint8_t b7 = 0, ad = 0, ac = 0;
    ri2c_select(fd, LT8668_BUS, LT8668_ADDR);
    lt8668_select_bank(fd);
    lt8668_read_reg(fd, LT8668_REG_INPUT, &b7);
    lt8668_read_reg(fd, LT8668_REG_AV_SOURCE, &ad);
    lt8668_read_reg(fd, LT8668_REG_AV_SIGNAL, &ac);
    log_line("mode: LT8668 B7=0x%02x AD=0x%02x AC=0x%02x\n", b7, ad, ac);

    if (b7 == 2 && ad == 2 && ac == 1)
        return MODE_AV;
    if (b7 == 1 || b7 == 2)
        return b7;
    return MODE_UNKNOWN;
}

int mode_switch_to_av(int fd, int tries)
{
    for (int i = 1; i <= tries; ++i) {
        if (mode_read(fd) == MODE_AV)
            return 1;
        log_line("switch: BACK-long, proba %d/%d\n", i, tries);
        inject_key(7, SWITCH_BACK_HOLD_MS);
        os_sleep(SWITCH_SETTLE_S);
    }
    return mode_read(fd) == MODE_AV ? 1 : 0;
}

int inject_key(int key, int hold_ms)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;

    // A numeric loopback address: a static program must not resolve names.
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(KEY_PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    uint8_t pkt[KEY_PACKET_SIZE] = {KEY_PACKET_TAG, static_cast<uint8_t>(key), 1};
    if (::sendto(s, pkt, sizeof pkt, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        ::close(s);
        return -1;
    }
    os_usleep(static_cast<unsigned>(hold_ms) * 1000u);
    pkt[2] = 0;
    (void)::sendto(s, pkt, sizeof pkt, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(s);
    return 0;
}
