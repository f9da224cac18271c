// The reduced program shares the OSD code, so under the same transport and
// engine faults it keeps the same promises, and leaves the card alone.
#include "fault_session.h"

class ReducedFaultMatrix : public FaultSession {};

TEST_F(ReducedFaultMatrix, TransportAndEngineFaultsKeepCountersHonestAndHealOnceTheyStop)
{
    run_rows(transport_rows({10}));
}
