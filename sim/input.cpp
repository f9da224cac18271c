#include "sim/input.h"

#include "keys/keys.h"

size_t decode_terminal_key(const unsigned char* b, size_t n, KeyAction* out)
{
    *out = {};
    if (n == 0)
        return 0;
    if (b[0] == 0x1b) {
        if (n < 2)
            return 0;
        if (b[1] != '[' && b[1] != 'O')
            return 1;  // a lone escape: ignored
        if (n < 3)
            return 0;
        switch (b[2]) {
        case 'A': *out = {Action::PRESS, KEY_UP, 200}; break;
        case 'B': *out = {Action::PRESS, KEY_DOWN, 200}; break;
        case 'C': *out = {Action::PRESS, KEY_RIGHT, 200}; break;
        case 'D': *out = {Action::PRESS, KEY_LEFT, 200}; break;
        default: break;
        }
        return 3;
    }
    switch (b[0]) {
    case 'p': case 'P': case ' ': *out = {Action::PLAY_TOGGLE, KEY_PLAY, 0}; break;
    case 'b': *out = {Action::PRESS, KEY_BACK, 200}; break;
    case 'B': *out = {Action::PRESS, KEY_BACK, 1000}; break;
    case '4': *out = {Action::PRESS, KEY_4, 200}; break;
    case '5': *out = {Action::PRESS, KEY_5, 200}; break;
    case 'q': case 'Q': case 3: *out = {Action::QUIT, -1, 0}; break;
    default: break;
    }
    return 1;
}

void KeyDriver::press(int key, uint32_t hold_ms)
{
    if (queued_ < QUEUE) {
        queue_key_[queued_] = key;
        queue_ms_[queued_] = hold_ms;
        ++queued_;
    }
}

void KeyDriver::toggle_play(uint64_t now_us)
{
    play_held_ = !play_held_;
    play_since_ = now_us;
}

void KeyDriver::clear()
{
    queued_ = 0;
    active_ = -1;
    play_held_ = false;
}

int KeyDriver::key_at(uint64_t t)
{
    if (active_ >= 0 && t >= active_until_) {
        active_ = -1;
        gap_until_ = active_until_ + GAP_US;
    }
    if (active_ < 0 && queued_ > 0 && t >= gap_until_ && !play_held_) {
        active_ = queue_key_[0];
        active_until_ = t + queue_ms_[0] * 1000ull;
        for (int i = 1; i < queued_; ++i) {
            queue_key_[i - 1] = queue_key_[i];
            queue_ms_[i - 1] = queue_ms_[i];
        }
        --queued_;
    }
    if (play_held_)
        return KEY_PLAY;
    return active_;
}
