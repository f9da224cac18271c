// The mode-list text: any text parses to a mask of 1..7; formatting any mask
// into any buffer size writes only inside the buffer and always ends the
// text within it; and with room enough, formatting then parsing gives the
// mask back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "video/mode_list.h"

namespace {

constexpr int GUARD = 0xA5;

void check_format(int mask, unsigned size)
{
    char buf[48];
    std::memset(buf, GUARD, sizeof buf);
    char* const r = mode_list_format(mask, buf, size);
    if (r != buf)
        std::abort();
    const unsigned used = size < sizeof buf ? size : 16;  // the longest text is "normal,av,hdmi"
    for (unsigned i = (size == 0 ? 0 : used); i < sizeof buf; ++i) {
        if (static_cast<uint8_t>(buf[i]) != GUARD)
            std::abort();  // written outside the buffer (or touched at size 0)
    }
    if (size == 0)
        return;
    if (std::memchr(buf, '\0', used) == nullptr)
        std::abort();  // not terminated within the buffer
    if (size >= 16) {
        const int m = mask & 7;
        if (mode_list_parse(buf) != (m <= 1 ? 1 : m))
            std::abort();  // the round trip lost a mode
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int mask = mode_list_parse(text.c_str());
    if (mask < 1 || mask > 7)
        std::abort();
    if (mode_list_parse(nullptr) != 1)
        std::abort();
    for (int mode = -1; mode <= 4; ++mode) {
        const int allowed = mode_list_allows(mask, mode);
        if (allowed != 0 && allowed != 1)
            std::abort();
    }
    for (unsigned size = 0; size <= 20; ++size)
        check_format(mask, size);
    check_format(mask, 0xFFFFFFFFu);

    // A mask taken from the bytes themselves, negative ones included.
    if (size >= 5) {
        int32_t raw_mask;
        std::memcpy(&raw_mask, data, sizeof raw_mask);
        check_format(raw_mask, data[4] % 24);
        check_format(raw_mask, 16);
    }
    return 0;
}
