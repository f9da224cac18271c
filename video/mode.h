// Which input the goggles show, read from the LT8668, and the switch to AV
// by long BACK presses injected into the stock service's UDP key port.
#pragma once

#include <cstdint>

constexpr int MODE_UNKNOWN = 0;
constexpr int MODE_NORMAL = 1;
constexpr int MODE_HDMI = 2;
constexpr int MODE_AV = 3;

constexpr int LT8668_REG_INPUT = 0xB7;
constexpr int LT8668_REG_AV_SOURCE = 0xAD;
constexpr int LT8668_REG_AV_SIGNAL = 0xAC;

constexpr uint16_t KEY_PORT = 6222;
constexpr int KEY_PACKET_SIZE = 10;
constexpr uint8_t KEY_PACKET_TAG = 0x40;
constexpr int SWITCH_BACK_HOLD_MS = 2500;
constexpr unsigned SWITCH_SETTLE_S = 4;

int mode_read(int fd);
int mode_switch_to_av(int fd, int tries);
int inject_key(int key, int hold_ms);
