// A self-contained AV gate and a small text format for sets of modes
// ("normal,av,hdmi"). Part of the full program only.
#pragma once

constexpr int MODE_BIT_NORMAL = 1;
constexpr int MODE_BIT_AV = 2;
constexpr int MODE_BIT_HDMI = 4;

int mode_gate(int required_mode);
int mode_list_parse(const char* text);
int mode_list_allows(int mask, int mode);
char* mode_list_format(int mask, char* buf, unsigned size);
