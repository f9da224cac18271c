// avmenu-sim-replay, avmenu-sim-replay-basic: the replay command with the
// terminal view, for the program this build's main flow is.
#include "app/avmenu.h"
#include "app/variant.h"
#include "sim/replay_view.h"

int main(int argc, char** argv)
{
    const ReplayProgram program {AVMENU_FULL ? "VelmoX-AVMenu" : "VelmoX-AVMenu-basic", AVMENU_VERSION, avmenu_main};
    return replay_command(argc, argv, program, &SIM_REPLAY_VIEW);
}
