#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#include "vgoggles/vgoggles.h"

namespace {

VgWorld* world = nullptr;
int world_fd = -1;
VgSleepHook sleep_hook = nullptr;

VgWorld* map_world(int fd)
{
    void* p = mmap(nullptr, sizeof(VgWorld), PROT_READ | PROT_WRITE, MAP_SHARED | (fd < 0 ? MAP_ANONYMOUS : 0), fd, 0);
    if (p == MAP_FAILED)
        std::abort();
    return static_cast<VgWorld*>(p);
}

}  // namespace

VgWorld* vg()
{
    if (world == nullptr) {
        // Shared, so that a program run in a forked child leaves its traces
        // here; in a memory file, so that a program started with exec can
        // attach to it too (vg_attach).
        world_fd = memfd_create("vgoggles-world", MFD_CLOEXEC);
        if (world_fd >= 0 && ftruncate(world_fd, sizeof(VgWorld)) != 0) {
            close(world_fd);
            world_fd = -1;
        }
        world = map_world(world_fd);
        new (world) VgWorld();
        vg_reset();
    }
    return world;
}

int vg_world_fd() { return world_fd; }

VgWorld* vg_attach(int fd)
{
    world = map_world(fd);
    world_fd = fd;
    return world;
}

VgWorld* vg_if_mapped() { return world; }

void vg_reset(uint64_t start_ms)
{
    VgWorld* w = vg();
    const int port_fd = w->port.fd;
    new (w) VgWorld();
    w->now_us = start_ms * 1000;
    w->start_us = w->now_us;
    w->limit_us = w->now_us + 600ull * 1000 * 1000;  // ten virtual minutes
    w->rng = 0x9E3779B97F4A7C15ull;
    w->port.fd = port_fd;
    std::memset(w->vp.regs, 0, sizeof w->vp.regs);
    std::memset(w->vp.working, 0x80, sizeof w->vp.working);
    std::memset(w->vp.visible, 0x80, sizeof w->vp.visible);
    std::memset(w->adc.block, 0, sizeof w->adc.block);
    w->adc.block[0x018 / 4] = 6;
    vg_lt8668_set_input(VG_INPUT_AV);
}

void vg_seed(uint64_t seed) { vg()->rng = seed ? seed : 1; }

uint32_t vg_random()
{
    // xorshift64*: small, fast and the same on every build.
    uint64_t x = vg()->rng;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    vg()->rng = x;
    return static_cast<uint32_t>((x * 0x2545F4914F6CDD1Dull) >> 32);
}

void vg_set_sleep_hook(VgSleepHook hook) { sleep_hook = hook; }

void vg_advance(uint64_t usec)
{
    VgWorld* w = vg();
    vg_key_port_drain();
    vg_event("sleep %llu", static_cast<unsigned long long>(usec));
    if (sleep_hook != nullptr)
        sleep_hook(usec);
    w->now_us += usec;
    ++w->sleeps;
    w->slept_us += usec;
    if (w->now_us > w->limit_us) {
        static const char msg[] = "vgoggles: virtual time limit passed, run ended\n";
        (void)!write(2, msg, sizeof msg - 1);
        _exit(125);
    }
}

uint64_t vg_elapsed_ms() { return (vg()->now_us - vg()->start_us) / 1000; }
