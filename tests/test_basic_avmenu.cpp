// The reduced program end to end: the same menu and ways out, but no
// settings file, no restore at start and no sound.
#include "main_flow.h"
