// The kernel's PWM class for pwmchip0: "export" creates pwm7 (a second
// export is refused with EBUSY); the channel's attribute files take
// decimal text. Every write is logged in order.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vgoggles/vgoggles.h"

namespace {

constexpr const char* CHIP = "/sys/class/pwm/pwmchip0/";

enum Attr { ATTR_EXPORT = 1, ATTR_PERIOD, ATTR_DUTY, ATTR_ENABLE };
constexpr const char* ATTR_NAMES[] = {"", "export", "period", "duty_cycle", "enable"};

void log_write(int attr, const char* text, size_t n, int result)
{
    VgWorld* w = vg();
    VgPwm& p = w->pwm;
    if (result != 0)
        vg_event("pwm %s=%.*s err %d", ATTR_NAMES[attr], static_cast<int>(n < 24 ? n : 24), text, result);
    else
        vg_event("pwm %s=%.*s", ATTR_NAMES[attr], static_cast<int>(n < 24 ? n : 24), text);
    if (p.log_count >= VG_PWM_LOG_SIZE)
        return;
    VgPwmWrite& e = p.log[p.log_count++];
    std::snprintf(e.file, sizeof e.file, "%s", ATTR_NAMES[attr]);
    const size_t len = n < sizeof e.text - 1 ? n : sizeof e.text - 1;
    std::memcpy(e.text, text, len);
    e.text[len] = '\0';
    e.result = result;
    e.t_us = w->now_us;
}

}  // namespace

// Returns an attribute handle (1..4) or -errno.
int vg_pwm_open(const char* path, int /*flags*/)
{
    const VgPwm& p = vg()->pwm;
    if (!p.present)
        return -ENOENT;
    const size_t chip_len = std::strlen(CHIP);
    if (std::strncmp(path, CHIP, chip_len) != 0)
        return -ENOENT;
    const char* rest = path + chip_len;
    if (std::strcmp(rest, "export") == 0)
        return ATTR_EXPORT;
    if (std::strncmp(rest, "pwm7/", 5) != 0 || !p.exported)
        return -ENOENT;
    for (int a = ATTR_PERIOD; a <= ATTR_ENABLE; ++a) {
        if (std::strcmp(rest + 5, ATTR_NAMES[a]) == 0)
            return a;
    }
    return -ENOENT;
}

// Returns 0 or -errno.
int vg_pwm_write(int handle, const char* text, size_t n)
{
    VgPwm& p = vg()->pwm;
    char buf[32];
    const size_t len = n < sizeof buf - 1 ? n : sizeof buf - 1;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    char* end = nullptr;
    const unsigned long v = std::strtoul(buf, &end, 10);
    int rc = 0;
    if (end == buf)
        rc = -EINVAL;
    else if (handle == ATTR_EXPORT) {
        if (v != 7 || v >= static_cast<unsigned long>(p.channels))
            rc = -EINVAL;
        else if (p.exported)
            rc = -EBUSY;
        else
            p.exported = true;
    } else if (handle == ATTR_PERIOD) {
        if (v < p.duty)
            rc = -EINVAL;  // the kernel keeps duty_cycle <= period
        else
            p.period = static_cast<uint32_t>(v);
    } else if (handle == ATTR_DUTY) {
        if (v > p.period)
            rc = -EINVAL;
        else
            p.duty = static_cast<uint32_t>(v);
    } else if (handle == ATTR_ENABLE) {
        if (v > 1)
            rc = -EINVAL;
        else
            p.enabled = v == 1;
    }
    log_write(handle, text, n, -rc);
    return rc;
}
