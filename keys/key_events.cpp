#include "keys/keys.h"
#include "os/os.h"

namespace {

KeyDebounce debounce = KEY_DEBOUNCE_START;
int32_t press_ms = 0;

}  // namespace

int keys_poll(int32_t* held_ms)
{
    const int s = keys_sample();
    if (s < 0)
        return 0;  // a rejected conversion is as if this poll had not happened
    const int prev = debounce.stable;
    if (!keys_debounce(&debounce, s))
        return 0;

    if (s == KEY_NONE) {
        if (held_ms != nullptr)
            *held_ms = static_cast<int32_t>(static_cast<uint32_t>(os_now_ms()) - static_cast<uint32_t>(press_ms));
        return -(prev + 1);
    }
    press_ms = os_now_ms();
    if (held_ms != nullptr)
        *held_ms = 0;
    return s + 1;
}
