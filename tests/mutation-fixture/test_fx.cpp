// argv[1] names the check; status 0 when it holds.
#include <cstring>

#include "fx/fx.h"

int main(int argc, char** argv)
{
    const char* check = argc > 1 ? argv[1] : "";
    if (std::strcmp(check, "sum") == 0)
        return fx_sum(2, 3) == 5 && fx_sum(-4, 1) == -3 ? 0 : 1;
    if (std::strcmp(check, "adult") == 0)
        return fx_adult(30) && !fx_adult(5) ? 0 : 1;
    if (std::strcmp(check, "clamp") == 0)
        return fx_clamp(5) == 5 && fx_clamp(100) == 100 && fx_clamp(101) == 100 && fx_clamp(150) == 100 ? 0 : 1;
    if (std::strcmp(check, "count") == 0)
        return fx_count_to(3) == 3 && fx_count_to(0) == 0 ? 0 : 1;
    if (std::strcmp(check, "sign") == 0)
        return fx_sign(-5) == -1 && fx_sign(0) == 0 && fx_sign(1) == 1 ? 0 : 1;
    if (std::strcmp(check, "low") == 0)
        return fx_low(5) < 0 && fx_low(9) < 0 && fx_low(10) == 0 ? 0 : 1;
    return 2;
}
