// avmenu-replay, avmenu-replay-basic: the replay command for the program
// this build's main flow is (AVMENU_FULL comes with the flow's library).
#include "app/avmenu.h"
#include "app/variant.h"
#include "vgoggles/replay.h"

int main(int argc, char** argv)
{
    const ReplayProgram program {AVMENU_FULL ? "VelmoX-AVMenu" : "VelmoX-AVMenu-basic", AVMENU_VERSION, avmenu_main};
    return replay_command(argc, argv, program, nullptr);
}
