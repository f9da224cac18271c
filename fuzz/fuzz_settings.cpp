// The settings reader on arbitrary file contents: it never reads outside the
// given bytes, takes four values or none, keeps every value in 0..100, and
// agrees with the C library's "%d %d %d %d" wherever that is defined
// (numbers of at most nine digits).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/settings.h"

namespace {

int clamp(int v) { return v < 0 ? 0 : (v > 100 ? 100 : v); }

size_t longest_digit_run(const uint8_t* data, size_t size)
{
    size_t run = 0, longest = 0;
    for (size_t i = 0; i < size && data[i] != 0; ++i) {
        run = data[i] >= '0' && data[i] <= '9' ? run + 1 : 0;
        longest = run > longest ? run : longest;
    }
    return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that a read past the end is caught.
    std::vector<char> text(data, data + size);
    int got[4] = {-1, -1, -1, -1};
    const int ok = settings_parse(text.data(), static_cast<unsigned>(size), got);
    if (ok != 0 && ok != 1)
        std::abort();
    for (int i = 0; ok == 1 && i < 4; ++i) {
        if (got[i] < 0 || got[i] > 100)
            std::abort();
    }
    if (ok == 0 && (got[0] != -1 || got[3] != -1))
        std::abort();  // nothing may be stored from a failed read

    if (longest_digit_run(data, size) <= 9) {
        std::vector<char> c_text(data, data + size);
        c_text.push_back('\0');
        int want[4];
        const bool want_ok = std::sscanf(c_text.data(), "%d %d %d %d", &want[0], &want[1], &want[2], &want[3]) == 4;
        if (want_ok != (ok == 1))
            std::abort();
        for (int i = 0; want_ok && i < 4; ++i) {
            if (clamp(want[i]) != got[i])
                std::abort();
        }
    }
    return 0;
}
