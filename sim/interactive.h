// The interactive run: the program in real time in this terminal, the
// wearer's view beside a status panel, keys from the keyboard.
#pragma once

// Returns the program's exit status, or 2 without a terminal.
int run_interactive();
