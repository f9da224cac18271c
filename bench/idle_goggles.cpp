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
//
// For a value change on the program as it ships, two more settings:
//   AVMENU_IDLE_PRESS=RIGHT|KEY4|none  after the idle turns, that key is held
//       for a few turns (a short press) and let go, a few idle turns pass,
//       and only then BACK; "none" keeps those turns idle, so runs with and
//       without a press differ only by the press. KEY4 has no menu function.
//   AVMENU_IDLE_CARD=DIR  the SD card (/record/...) is DIR/record/...: the
//       settings file can be saved and renamed there.
//
// A noisy converter: VGOGGLES_ADC_NOISE=N (the virtual goggles' own
// setting) makes the idle reading wander by up to N counts either way at
// every conversion, the same sequence in every run. Runs of any length:
// the goggles' ten virtual minutes are stretched by the idle turns asked for.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

#include "keys/keys.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr uint64_t LOOP_SLEEP_US = 30000;  // the main loop's sleep: one turn
constexpr long BACK_TURNS = 5;             // turns BACK is held: a short press

long idle_turns = 0;
int press_key = -1;  // -1: the plain schedule, BACK right after the idle turns
bool press_phase = false;
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
    long back_from = idle_turns;
    uint32_t raw = a.idle_raw;
    if (press_phase) {
        // The key for BACK_TURNS turns, as many idle ones, then BACK.
        back_from = idle_turns + 2 * BACK_TURNS;
        if (press_key >= 0 && loop_sleeps >= idle_turns && loop_sleeps < idle_turns + BACK_TURNS)
            raw = vg_key_raw(press_key);
    }
    if (loop_sleeps >= back_from && loop_sleeps < back_from + BACK_TURNS)
        raw = vg_key_raw(KEY_BACK);
    // No button: the goggles' converter answers, its noise included.
    a.override_raw = raw != a.idle_raw;
    a.raw_value = raw;
}

// Read before the program starts, so that runs with different counts take
// the same path through the program's start-up; after the preloaded
// goggles have set themselves up.
__attribute__((constructor)) void read_turns()
{
    const char* n = std::getenv("AVMENU_IDLE_TURNS");
    idle_turns = n != nullptr ? std::strtol(n, nullptr, 10) : 0;
    if (const char* k = std::getenv("AVMENU_IDLE_PRESS")) {
        press_phase = true;
        press_key = std::strcmp(k, "RIGHT") == 0 ? KEY_RIGHT : std::strcmp(k, "KEY4") == 0 ? KEY_4 : -1;
    }
    if (const char* card = std::getenv("AVMENU_IDLE_CARD"))
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card);
    vg()->limit_us += static_cast<uint64_t>(idle_turns) * LOOP_SLEEP_US;
    vg_set_sleep_hook(on_sleep);
    // The C library's usleep still sleeps for nothing at every turn; without
    // the kernel's default slack of 50 us on it, an hour of turns takes
    // seconds. The program's own instructions and calls are the same.
    (void)prctl(PR_SET_TIMERSLACK, 1UL);
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
