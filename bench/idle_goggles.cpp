// The idle turns for the benchmark: the virtual goggles' preloaded library
// (vgoggles/preload.cpp) on goggles of its own, plus a wearer who presses
// nothing for N main-loop turns and then BACK, so that callgrind can count
// an idle turn of the very program that ships, built as it ships
// (link-time optimised, os_linux for the seam):
//
//   AVMENU_IDLE_TURNS=N LD_PRELOAD=.../libavmenu_idle_goggles.so VelmoX-AVMenu
//
// The goggles are in AV mode with an idle OSD engine; /proc, the SD card
// and the PWM class are absent, so the program finds no stock service to
// stop (nothing of this machine is signalled), no settings file and no
// buzzer: start-up takes the same path in every run.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "keys/keys.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr uint64_t LOOP_SLEEP_US = 30000;  // the main loop's sleep: one turn
constexpr long BACK_TURNS = 5;             // turns BACK is held: a short press

long idle_turns = 0;
long sleeps = 0;
long loop_sleeps = 0;

// Before each sleep of the program: what the ADC gives from then on, no
// button, then BACK for a few turns once the idle turns are done.
void on_sleep(uint64_t usec)
{
    ++sleeps;
    if (usec != LOOP_SLEEP_US)
        return;
    ++loop_sleeps;
    VgAdc& a = vg()->adc;
    const bool back = loop_sleeps >= idle_turns && loop_sleeps < idle_turns + BACK_TURNS;
    a.override_raw = true;
    a.raw_value = back ? vg_key_raw(KEY_BACK) : a.idle_raw;
}

// Read before the program starts, so that runs with different counts take
// the same path through the program's start-up.
__attribute__((constructor)) void read_turns()
{
    const char* n = std::getenv("AVMENU_IDLE_TURNS");
    idle_turns = n != nullptr ? std::strtol(n, nullptr, 10) : 0;
    vg_set_sleep_hook(on_sleep);
}

// What the run did, for scripts/bench to check that two runs differ only by
// idle turns.
__attribute__((destructor)) void report()
{
    char line[96];
    const int n = std::snprintf(line, sizeof line, "idle-goggles: sleeps=%ld loop_sleeps=%ld\n", sleeps, loop_sleeps);
    if (n > 0)
        (void)!write(2, line, static_cast<size_t>(n));
}

}  // namespace
