// The four picture values kept on the SD card, one line "%d %d %d %d\n".
// Part of the full program only.
#pragma once

#include "video/osd.h"

#define AVMENU_SETTINGS_DIR "/record/velmo-x/apps/VelmoX-AVMenu"
constexpr const char* SETTINGS_DIR = AVMENU_SETTINGS_DIR;
constexpr const char* SETTINGS_PATH = AVMENU_SETTINGS_DIR "/settings";

// Reads the values leniently, as scanf's "%d %d %d %d" would: white space,
// signs and trailing text allowed, all four numbers or none. Numbers of any
// length are clamped to 0..100. Returns 1 when four numbers were taken.
int settings_parse(const char* text, unsigned length, int out[4]);

void settings_load(OsdScreen* s);
int settings_save();
