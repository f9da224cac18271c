// The buzzer on PWM channel 7, and the PLAY-hold feedback tones.
#pragma once

#include <cstdint>

constexpr const char* PWM_CHIP = "/sys/class/pwm/pwmchip0";
constexpr int BUZZER_CHANNEL = 7;

int buzzer_init();
void buzzer_off();
void buzzer_tone(uint32_t hz);
void buzzer_beep(uint32_t hz, uint32_t ms);
void buzzer_key_down(int* kind_ptr, int kind);
void buzzer_hold_ramp(const int* kind_ptr, uint32_t elapsed_ms);
void buzzer_key_up();
void buzzer_exit_chirp(const int* kind_ptr);
