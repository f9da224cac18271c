// The replay's terminal view, for the replay commands of the simulator's
// build (avmenu-sim-replay, avmenu-sim-replay-basic: "--view").
#pragma once

#include "vgoggles/replay.h"

extern const ReplayView SIM_REPLAY_VIEW;
