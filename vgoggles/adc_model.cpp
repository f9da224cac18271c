// The ADC register block: every access is traced; the data register gives
// the raw count of whatever voltage the key input holds at that moment.
#include "keys/keys.h"
#include "vgoggles/vgoggles.h"

namespace {

void trace(uint32_t offset, bool store, uint32_t value)
{
    VgWorld* w = vg();
    VgAdc& a = w->adc;
    VgAdcAccess& t = a.trace[a.trace_total % VG_ADC_TRACE_SIZE];
    t = {static_cast<uint16_t>(offset), store, value, w->now_us};
    ++a.trace_total;
    vg_event("adc %s %03x=%u", store ? "st" : "ld", offset, value);
}

uint32_t raw_now()
{
    VgWorld* w = vg();
    const VgAdc& a = w->adc;
    if (a.override_raw)
        return a.raw_value;
    uint32_t raw = a.idle_raw;
    for (int i = 0; i < a.schedule_count; ++i) {
        const VgKeyHold& h = a.schedule[i];
        if (w->now_us >= h.from_us && w->now_us < h.until_us)
            raw = h.raw;
    }
    // A real converter's reading jitters by a count or two.
    if (a.noise_counts > 0) {
        const uint32_t span = 2 * a.noise_counts + 1, step = vg_random() % span;
        raw = raw + step >= a.noise_counts ? raw + step - a.noise_counts : 0;
    }
    return raw;
}

}  // namespace

uint32_t vg_adc_load(uint32_t offset)
{
    VgAdc& a = vg()->adc;
    uint32_t v = a.block[(offset & 0xFFF) / 4];
    if (offset == ADC_REG_DATA) {
        v = raw_now();
        a.block[offset / 4] = v;
    } else if (offset == ADC_REG_CTRL) {
        // A conversion the block refused shows up as a control register
        // that no longer reads back 6.
        v |= a.ctrl_status_bits;
        bool reject = false;
        if (a.reject_next > 0) {
            --a.reject_next;
            reject = true;
        } else if (a.reject_ppm != 0 && vg_random() % 1000000u < a.reject_ppm) {
            reject = true;
        }
        if (reject)
            v = (v & ~0xFFu) | 0x07;
    }
    trace(offset, false, v);
    return v;
}

void vg_adc_settle()
{
    VgAdc& a = vg()->adc;
    a.block[ADC_REG_DATA / 4] = raw_now();
}

void vg_adc_store(uint32_t offset, uint32_t value)
{
    vg()->adc.block[(offset & 0xFFF) / 4] = value;
    trace(offset, true, value);
}

uint32_t vg_key_raw(int key)
{
    for (const KeyWindow& w : KEY_WINDOWS) {
        if (w.key == key)
            return (w.centre_mv * 1020u + 1799u) / 1800u;  // rounds up into the window's middle
    }
    return 12;
}

void vg_raw_hold(uint32_t raw, uint64_t from_ms, uint64_t for_ms)
{
    VgWorld* w = vg();
    VgAdc& a = w->adc;
    if (a.schedule_count >= VG_KEY_SCHEDULE_SIZE)
        return;
    a.schedule[a.schedule_count++] = {w->start_us + from_ms * 1000, w->start_us + (from_ms + for_ms) * 1000, raw};
}

void vg_key_hold(int key, uint64_t from_ms, uint64_t for_ms) { vg_raw_hold(vg_key_raw(key), from_ms, for_ms); }
