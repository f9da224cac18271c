// The LT8668 input chip: a bank register at 0xFF and, in bank 0xE0, the
// three registers that tell the goggles' input; a register pointer that
// reads without a register number go on from.
#include "vgoggles/vgoggles.h"

void vg_lt8668_set_input(VgInput input)
{
    VgLt8668& lt = vg()->lt;
    lt.input = input;
    switch (input) {
    case VG_INPUT_DEAD:
    case VG_INPUT_NONE: lt.b7 = 0; lt.ad = 0; lt.ac = 0; break;
    case VG_INPUT_NORMAL: lt.b7 = 1; lt.ad = 0; lt.ac = 0; break;
    case VG_INPUT_HDMI: lt.b7 = 2; lt.ad = 0; lt.ac = 0; break;
    case VG_INPUT_AV: lt.b7 = 2; lt.ad = 2; lt.ac = 1; break;
    case VG_INPUT_AV_NO_SIGNAL: lt.b7 = 2; lt.ad = 2; lt.ac = 0; break;
    }
}

// What a long BACK press does on the goggles: one input further toward AV.
VgInput vg_lt8668_step_toward_av()
{
    const VgInput now = vg()->lt.input;
    VgInput next = now;
    if (now == VG_INPUT_NONE || now == VG_INPUT_NORMAL)
        next = VG_INPUT_HDMI;
    else if (now == VG_INPUT_HDMI)
        next = VG_INPUT_AV;
    vg_lt8668_set_input(next);
    return next;
}

int vg_lt8668_write(const uint8_t* data, int n)
{
    VgLt8668& lt = vg()->lt;
    if (lt.input == VG_INPUT_DEAD || n < 1)
        return -1;
    if (n >= 2 && data[0] == 0xFF)
        lt.bank = data[1];
    lt.pointer = static_cast<uint8_t>(data[0] + n - 1);
    return 0;
}

int vg_lt8668_read(const uint8_t* wdata, int w, uint8_t* rdata, int r)
{
    VgLt8668& lt = vg()->lt;
    // As register chips do, a read without a register number goes on from
    // the register after the last one addressed.
    if (lt.input == VG_INPUT_DEAD || w > 1)
        return -1;
    ++lt.reads;
    const uint8_t start = w == 1 ? wdata[0] : lt.pointer;
    lt.pointer = static_cast<uint8_t>(start + r);
    for (int i = 0; i < r; ++i) {
        const uint8_t reg = static_cast<uint8_t>(start + i);
        uint8_t v = 0;
        if (reg == 0xFF)
            v = lt.bank;
        else if (lt.bank == 0xE0 && reg == 0xB7)
            v = lt.b7;
        else if (lt.bank == 0xE0 && reg == 0xAD)
            v = lt.ad;
        else if (lt.bank == 0xE0 && reg == 0xAC)
            v = lt.ac;
        rdata[i] = v;
    }
    return 0;
}
