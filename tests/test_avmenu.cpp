// The full program end to end on the virtual goggles: its steps in order
// from start-up to shut-down, and the hold times of its keys.
#include "main_flow.h"
