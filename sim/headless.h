// The headless run: the program driven by a key script on virtual time,
// then a printout of what the wearer saw and, if asked, a PNG snapshot.
#pragma once

// Returns the program's exit status, or 2 for a bad key script.
int run_headless();
