// The wearer's buttons in the interactive simulator: terminal keys turned
// into actions, and the actions turned into the key the ADC holds over time.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Action { NONE, PRESS, PLAY_TOGGLE, QUIT };

struct KeyAction {
    Action action = Action::NONE;
    int key = -1;            // for PRESS: the KeyIndex
    uint32_t hold_ms = 0;    // for PRESS
};

// Decodes the next action from terminal bytes; returns the bytes used (0
// when the bytes so far are an incomplete escape sequence).
size_t decode_terminal_key(const unsigned char* bytes, size_t n, KeyAction* out);

// Short presses queue up and are held one after the other with a gap, so
// that the program's debounce sees each press and each release. PLAY can be
// held down for as long as the wearer likes.
class KeyDriver {
public:
    static constexpr uint64_t GAP_US = 200000;
    static constexpr int QUEUE = 16;

    void press(int key, uint32_t hold_ms);
    void toggle_play(uint64_t now_us);
    void clear();
    bool play_held() const { return play_held_; }
    uint64_t play_since_us() const { return play_since_; }
    // The key held at virtual time t (non-decreasing between calls), or -1.
    int key_at(uint64_t t_us);

private:
    int queue_key_[QUEUE] {};
    uint32_t queue_ms_[QUEUE] {};
    int queued_ = 0;
    int active_ = -1;
    uint64_t active_until_ = 0;
    uint64_t gap_until_ = 0;
    bool play_held_ = false;
    uint64_t play_since_ = 0;
};
