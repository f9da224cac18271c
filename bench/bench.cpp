// What the programs cost, measured on the virtual goggles with an idle OSD
// engine (no busy status, no faults). scripts/bench drives it:
//
//   avmenu_bench transfers [--check]  I2C transfers per phase beside the
//                                     minimum that the bus protocol allows
//   avmenu_bench stack SCRIPT         one session on a painted stack; prints
//                                     the deepest byte it touched
//
// The minimums are worked out here from the protocol's rules, not from the
// programs' code: a change to the programs that sends one message too many
// shows up as a ratio above 1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/avmenu.h"
#include "app/menu.h"
#include "i2c/ri2c.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"
#include "video/osd.h"

namespace {

#if AVMENU_FULL
constexpr const char* PROGRAM = "VelmoX-AVMenu";
constexpr bool HAS_SETTINGS = true;
#else
constexpr const char* PROGRAM = "VelmoX-AVMenu-basic";
constexpr bool HAS_SETTINGS = false;
#endif

// ---- the minimums, from the protocol ------------------------------------

constexpr long MODE_PROBE = 1 + 1 + 3;  // select, bank write, B7/AD/AC reads
constexpr long WINDOW = 8;              // four bounds, two bytes each
constexpr long PICTURE = 1 + 1;         // select + register write
constexpr long COMMIT = 1;
constexpr long ENABLE = 1 + 1;          // read-modify-write of the control register
constexpr long CELLS = 8 * 32;
constexpr long BLANKING = CELLS * (1 + 3) + CELLS / 8;  // unverified pass, a status read per 8 cells
// A verified cell on an idle engine: select, row/column/data writes, one
// status read that finds it idle, select, read-back.
constexpr long CELL = 1 + 3 + 1 + 1 + 1;

// The menu as the wearer sees it, typed out from the screen layout.
struct Screen {
    char cell[8][33];

    Screen()
    {
        for (auto& row : cell) {
            std::memset(row, ' ', 32);
            row[32] = '\0';
        }
    }
    void put(int row, int col, const std::string& text) { std::memcpy(&cell[row][col], text.data(), text.size()); }
    long non_blank() const
    {
        long n = 0;
        for (const auto& row : cell)
            for (int c = 0; c < 32; ++c)
                n += row[c] != ' ';
        return n;
    }
    long differing(const Screen& other) const
    {
        long n = 0;
        for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 32; ++c)
                n += cell[r][c] != other.cell[r][c];
        return n;
    }
};

Screen menu_screen(const int values[4], int selected)
{
    static const struct {
        const char* label;
        int pad;
    } ITEMS[4] = {{"BRIGHTNESS", 8}, {"CONTRAST", 10}, {"SATURATION", 8}, {"HUE", 15}};
    Screen s;
    s.put(0, 6, "VELMO X : AV MENU");
    s.put(7, 0, "UP:DW NAV LT:RT SET PLAY3:EXIT");
    for (int i = 0; i < 4; ++i) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03d", values[i]);
        const std::string row = std::string(1, i == selected ? '%' : ' ') + ITEMS[i].label +
                                std::string(static_cast<size_t>(ITEMS[i].pad), ' ') + digits;
        s.put(2 + i, 5, row);
    }
    return s;
}

// ---- the virtual goggles ---------------------------------------------------

std::string make_card()
{
    char tmpl[] = "/tmp/avmenu-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    std::filesystem::create_directories(std::string(tmpl) + "/record/velmo-x/apps/VelmoX-AVMenu");
    return tmpl;
}

void fresh_goggles(const std::string& card, const char* script)
{
    vg_reset();
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card.c_str());
    std::string error;
    if (vg_keys_script(script, 0, &error) < 0) {
        std::fprintf(stderr, "bench: bad key script: %s\n", error.c_str());
        std::exit(2);
    }
}

// Transfers grouped by the virtual time they were made at. The OSD engine is
// idle and no key is held while the menu changes, so nothing sleeps inside a
// phase: each group is one phase (start-up, one loop turn, shut-down).
std::vector<long> transfers_by_phase()
{
    std::vector<long> groups;
    uint64_t at = UINT64_MAX;
    for (uint64_t i = 0; i < vg()->i2c.total; ++i) {
        const VgI2cMessage* m = vg_i2c_message(i);
        if (m == nullptr) {
            std::fprintf(stderr, "bench: transcript overflowed\n");
            std::exit(2);
        }
        if (m->t_us != at) {
            groups.push_back(0);
            at = m->t_us;
        }
        ++groups.back();
    }
    return groups;
}

struct Row {
    std::string what;
    long measured;
    long minimum;
};

int transfers(bool check)
{
    const std::string card = make_card();
    std::vector<Row> rows;

    // Start-up, RIGHT on BRIGHTNESS (50 -> 55), DOWN, then BACK to leave.
    fresh_goggles(card, "WAIT:1000 RIGHT WAIT:1000 DOWN WAIT:1000 BACK");
    const VgRun run = vg_run(avmenu_main, nullptr, 0);
    const std::vector<long> phase = transfers_by_phase();
    if (run.status != 0 || phase.size() != 4) {
        std::fprintf(stderr, "bench: session ended with status %d after %zu phases (4 expected)\n%s", run.status,
                     phase.size(), run.err.c_str());
        return 2;
    }
    const int start_values[4] = {50, 50, 50, 50};
    const int changed_values[4] = {55, 50, 50, 50};
    const Screen at_start = menu_screen(start_values, 0);
    const Screen after_right = menu_screen(changed_values, 0);
    const Screen after_down = menu_screen(changed_values, 1);

    const std::string p = std::string(" (") + PROGRAM + ")";
    // After the blanking pass every cell is unverified: all 256 go through a
    // verified write of a blank, then the menu's text cells are written.
    rows.push_back({"start-up" + p,
                    phase[0],
                    MODE_PROBE + WINDOW + (HAS_SETTINGS ? 4 * PICTURE : 0) + BLANKING +
                        (CELLS + at_start.non_blank()) * CELL + COMMIT + ENABLE});
    rows.push_back({"one value change, RIGHT 50 -> 55" + p, phase[1],
                    PICTURE + after_right.differing(at_start) * CELL + COMMIT});
    rows.push_back({"one selection change, DOWN" + p, phase[2], after_down.differing(after_right) * CELL + COMMIT});
    rows.push_back({"shut-down after BACK" + p, phase[3], after_down.non_blank() * CELL + COMMIT});

    // A values-only redraw with nothing changed, on a menu drawn in full.
    vg_reset();
    const int fd = ri2c_open();
    osd_init(&avmenu_screen, fd);
    menu_draw(1);
    const uint64_t before = vg()->i2c.total;
    menu_draw(0);
    rows.push_back({"values-only redraw, nothing changed" + p, static_cast<long>(vg()->i2c.total - before), COMMIT});
    ri2c_close(fd);
    std::filesystem::remove_all(card);

    bool ok = true;
    for (const Row& r : rows) {
        const bool exact = r.measured == r.minimum;
        ok = ok && exact;
        std::printf("| I2C transfers: %s | %ld | %ld | %.2f%s |\n", r.what.c_str(), r.measured, r.minimum,
                    static_cast<double>(r.measured) / static_cast<double>(r.minimum), exact ? "" : " MISMATCH");
    }
    if (check)
        std::fprintf(stderr, "%s: transfers %s\n", PROGRAM, ok ? "at the minimum" : "ABOVE OR BELOW THE MINIMUM");
    return ok ? 0 : 1;
}

// ---- stack high-water mark ------------------------------------------------

constexpr size_t PAINT_BYTES = 256 * 1024;
constexpr uint8_t PAINT = 0xA5;

// Fills the stack below the caller's frame with a pattern and returns the
// lowest painted address; the session then runs in the same region.
__attribute__((noinline)) uintptr_t paint_stack()
{
    volatile uint8_t area[PAINT_BYTES];
    for (size_t i = 0; i < PAINT_BYTES; ++i)
        area[i] = PAINT;
    return reinterpret_cast<uintptr_t>(&area[0]);
}

__attribute__((noinline)) size_t untouched_bytes(uintptr_t lowest)
{
    const volatile uint8_t* p = reinterpret_cast<const volatile uint8_t*>(lowest);
    size_t n = 0;
    while (n < PAINT_BYTES && p[n] == PAINT)
        ++n;
    return n;
}

int stack(const char* script)
{
    const std::string card = make_card();
    fresh_goggles(card, script);
    volatile char marker = 0;  // the caller's frame: the session's stack starts below it
    const uintptr_t top = reinterpret_cast<uintptr_t>(&marker);
    const uintptr_t lowest = paint_stack();
    char name[] = "avmenu";
    char* argv[] = {name, nullptr};
    const int status = avmenu_main(1, argv);
    const size_t untouched = untouched_bytes(lowest);
    std::filesystem::remove_all(card);
    if (untouched == 0) {
        std::fprintf(stderr, "bench: the session used all %zu painted bytes\n", PAINT_BYTES);
        return 2;
    }
    std::printf("status=%d stack_bytes=%llu\n", status,
                static_cast<unsigned long long>(top - (lowest + untouched)));
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "transfers")
        return transfers(argc > 2 && std::strcmp(argv[2], "--check") == 0);
    if (cmd == "stack" && argc > 2)
        return stack(argv[2]);
    std::fprintf(stderr, "usage: %s transfers [--check] | stack SCRIPT\n", argv[0]);
    return 2;
}
