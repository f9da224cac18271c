#include "buzzer/buzzer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "os/os.h"

namespace {

struct ToneSet {
    uint32_t key_down_hz;
    uint32_t ramp_start_hz;
    uint32_t ramp_rise_hz;
    uint32_t ramp_ms;
    uint32_t chirp_hz;
};
constexpr ToneSet TONES_KIND_1 = {400, 400, 1100, 3000, 1700};
constexpr ToneSet TONES_OTHER = {550, 550, 800, 1500, 1600};
constexpr unsigned CHIRP_US = 100000;

uint8_t available = 0;
uint32_t current_hz = 0;

const ToneSet& tones_for(int kind) { return kind == 1 ? TONES_KIND_1 : TONES_OTHER; }

void write_attr(const char* attr, const char* text)
{
    char path[128];
    std::snprintf(path, sizeof path, "%s/pwm%d/%s", PWM_CHIP, BUZZER_CHANNEL, attr);
    const int fd = os_file_open(path, O_WRONLY, 0);
    if (fd < 0)
        return;
    (void)os_file_write(fd, text, std::strlen(text));
    os_file_close(fd);
}

void write_attr_u(const char* attr, uint32_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u", value);
    write_attr(attr, text);
}

}  // namespace

int buzzer_init()
{
    char channel[8];
    std::snprintf(channel, sizeof channel, "%d", BUZZER_CHANNEL);
    char path[128];
    std::snprintf(path, sizeof path, "%s/export", PWM_CHIP);
    const int fd = os_file_open(path, O_WRONLY, 0);
    if (fd < 0) {
        if (errno != EBUSY)
            return -1;
    } else {
        // EBUSY: the channel is exported already, by us in an earlier run.
        if (os_file_write(fd, channel, std::strlen(channel)) < 0 && errno != EBUSY) {
            os_file_close(fd);
            return -1;
        }
        os_file_close(fd);
    }
    write_attr("enable", "0");
    write_attr("duty_cycle", "0");
    available = 1;
    return 0;
}

void buzzer_off()
{
    write_attr("duty_cycle", "0");
    write_attr("enable", "0");
    current_hz = 0;
}

void buzzer_tone(uint32_t hz)
{
    if (hz == 0 || available == 0)
        return;
    const uint32_t period_ns = 1000000000u / hz;
    write_attr_u("period", period_ns);
    write_attr_u("duty_cycle", period_ns >> 1);
    if (current_hz == 0)
        write_attr("enable", "1");  // only on the silent -> sounding step
    current_hz = hz;
}

void buzzer_beep(uint32_t hz, uint32_t ms)
{
    if (ms == 0 || hz == 0 || available == 0)
        return;
    buzzer_tone(hz);
    os_usleep(ms * 1000u);
    buzzer_off();
}

void buzzer_key_down(int* kind_ptr, int kind)
{
    *kind_ptr = kind;
    buzzer_tone(tones_for(kind).key_down_hz);
}

void buzzer_hold_ramp(const int* kind_ptr, uint32_t elapsed_ms)
{
    if (available != 1)
        return;
    const ToneSet& t = tones_for(*kind_ptr);
    const uint32_t e = elapsed_ms > t.ramp_ms ? t.ramp_ms : elapsed_ms;
    buzzer_tone(t.ramp_start_hz + e * t.ramp_rise_hz / t.ramp_ms);
}

void buzzer_key_up()
{
    if (current_hz != 0)
        buzzer_off();
}

void buzzer_exit_chirp(const int* kind_ptr)
{
    const int kind = *kind_ptr;
    if (current_hz != 0)
        buzzer_off();
    if (available != 1)
        return;
    buzzer_tone(tones_for(kind).chirp_hz);
    os_usleep(CHIRP_US);
    buzzer_off();
}
