// The reduced program under the transport and OSD-engine faults of the full
// program's matrix: it shares the OSD code, so it must keep the same
// promises: honest counters, a healed menu once the faults stop, status 0.
// It keeps no settings, so nothing may appear on the card.
#include "fault_session.h"

namespace {

using namespace fault_session;

class ReducedFaultMatrix : public FaultSession {};

TEST_F(ReducedFaultMatrix, TransportAndEngineFaultsKeepCountersHonestAndHealOnceTheyStop)
{
    struct Row {
        const char* name;
        void (*inject)();
    };
    const Row rows[] = {
        {"10 % of transfers fail", [] { vg()->i2c.faults.fail_ppm = 100000; }},
        {"every read fails", [] { vg()->i2c.faults.fail_reads = true; }},
        {"busy bit stuck", [] { vg()->vp.busy_stuck = true; }},
        {"read-backs always wrong", [] { vg()->vp.readback_always_wrong = true; }},
    };
    int expected[4];
    expected_values(DEFAULTS, expected);
    uint64_t seed = 101;
    for (const Row& row : rows) {
        for (Leave leave : {Leave::PLAY, Leave::BACK}) {
            SCOPED_TRACE(std::string(row.name) + (leave == Leave::PLAY ? ", left by PLAY" : ", left by BACK"));
            fresh();
            vg_seed(seed++);
            vg()->i2c.faults.from_message = 6;  // after the input-mode probe
            row.inject();
            const VgRun r = session(script(leave));
            expect_clean_exit(r, leave);
            expect_menu_healed(expected);
            EXPECT_EQ(vg()->card.opens, 0);
            EXPECT_EQ(vg()->pwm.log_count, 0);
        }
    }
}

}  // namespace
