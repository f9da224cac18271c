// The build switch between the two programs. AVMENU_FULL is set by the
// build: 1 for VelmoX-AVMenu (settings store, buzzer), 0 for
// VelmoX-AVMenu-basic, which leaves those modules out of the binary.
#pragma once

#ifndef AVMENU_FULL
#error "AVMENU_FULL must be defined by the build (1: full program, 0: basic)"
#endif

#if AVMENU_FULL
constexpr const char* AVMENU_VERSION = "1.3.0";
#else
constexpr const char* AVMENU_VERSION = "1.1.0";
#endif
