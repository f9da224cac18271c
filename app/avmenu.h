// The program: start-up with the AV gate, the main loop, shut-down.
#pragma once

// Runs the whole program and returns its exit status: 0 after a normal
// exit, 1 when the transport or the ADC cannot be opened, 2 when the
// goggles are not (and could not be brought) in AV mode.
int avmenu_main(int argc, char** argv);
