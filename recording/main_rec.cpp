// The recording programs: the same main flow, recorded into a new file in
// the program's own folder (docs/RECORDING.md).
#include "app/avmenu.h"
#include "app/variant.h"
#include "recording/recorder.h"

#if AVMENU_FULL
constexpr const char* PROGRAM = "VelmoX-AVMenu";
#else
constexpr const char* PROGRAM = "VelmoX-AVMenu-basic";
#endif

int main(int argc, char** argv)
{
    rec_start_beside_program(PROGRAM, AVMENU_VERSION, argc, argv);
    const int status = avmenu_main(argc, argv);
    rec_finish(status);
    return status;
}
