#include "fx/fx.h"

int fx_sum(int a, int b) { return a + b; }

// The tests never try 18 itself: ">=" turned ">" must be reported as a survivor.
bool fx_adult(int age) { return age >= 18; }

// ">" turned ">=" returns 100 for 100 either way: listed as equivalent.
int fx_clamp(int v) { return v > 100 ? 100 : v; }

// "+=" turned "-=" counts away from n for ever: killed by the time limit.
int fx_count_to(int n)
{
    long long k = 0;
    while (k < n)
        k += 1;
    return static_cast<int>(k);
}

// The same line in two functions: -1 turned -2 is killed in fx_sign, whose
// value is tested, and listed as equivalent in fx_low alone, whose callers
// ask only whether it is below 0.
int fx_sign(int v)
{
    if (v < 0)
        return -1;
    return v > 0 ? 1 : 0;
}

int fx_low(int v)
{
    if (v < 10)
        return -1;
    return 0;
}
