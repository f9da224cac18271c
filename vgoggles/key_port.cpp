// The stock service's key port as seen from the goggles: a real UDP socket
// on 127.0.0.1:6222. Loopback delivery is synchronous, so draining it before
// each virtual sleep sees every packet the program has sent by then.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vgoggles/vgoggles.h"

int vg_key_port_socket(int type_flags)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | type_flags, 0);
    if (s < 0)
        return -1;
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(6222);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int vg_key_port_open()
{
    VgKeyPort& port = vg()->port;
    if (port.fd < 0)
        port.fd = vg_key_port_socket(SOCK_NONBLOCK);
    return port.fd < 0 ? -1 : 0;
}

void vg_key_port_close()
{
    VgKeyPort& port = vg()->port;
    if (port.fd >= 0)
        close(port.fd);
    port.fd = -1;
}

void vg_key_port_drain()
{
    VgWorld* w = vg();
    VgKeyPort& port = w->port;
    if (port.fd < 0)
        return;
    for (;;) {
        uint8_t buf[64];
        const ssize_t n = recv(port.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            return;
        char hex[3 * 16 + 1] = "";
        for (ssize_t i = 0; i < n && i < 16; ++i)
            std::snprintf(hex + 3 * i, 4, " %02x", buf[i]);
        vg_event("port%s", hex);
        if (port.packet_count < VG_PACKET_LOG_SIZE) {
            VgKeyPacket& p = port.packets[port.packet_count++];
            p.length = static_cast<int>(n);
            std::memcpy(p.bytes, buf, n < 16 ? static_cast<size_t>(n) : 16);
            p.t_us = w->now_us;
        }
        if (n != 10 || buf[0] != 0x40 || buf[1] != 7)
            continue;
        if (buf[2] == 1) {
            port.back_down = true;
            port.back_down_us = w->now_us;
        } else if (buf[2] == 0 && port.back_down) {
            port.back_down = false;
            if (w->now_us - port.back_down_us >= port.long_press_ms * 1000ull) {
                ++port.long_presses;
                vg_lt8668_step_toward_av();
            }
        }
    }
}
