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
