#include "sim/picture_model.h"

#include <cmath>

namespace {

constexpr double KR = 0.299, KG = 0.587, KB = 0.114;
constexpr double PB_SCALE = 0.564, PR_SCALE = 0.713;

uint8_t clamp_byte(double v)
{
    if (v <= 0.0)
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<uint8_t>(std::lround(v));
}

}  // namespace

PictureRegs picture_regs_from(const uint8_t regs[4]) { return {regs[0], regs[1], regs[2], regs[3]}; }

double luma_of(Rgb c) { return KR * c.r + KG * c.g + KB * c.b; }

Rgb test_card(int x, int y, int w, int h)
{
    static constexpr Rgb BARS[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                    {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16}};
    if (w <= 0 || h <= 0)
        return {0, 0, 0};
    if (y * 3 < h * 2)
        return BARS[(x * 8) / w];
    const auto v = static_cast<uint8_t>((x * 255) / (w > 1 ? w - 1 : 1));
    return {v, v, v};
}

Rgb apply_picture(const PictureRegs& p, Rgb in)
{
    const double y = luma_of(in);
    double pb = PB_SCALE * (in.b - y);
    double pr = PR_SCALE * (in.r - y);

    const double offset = static_cast<int8_t>(p.brightness);
    const double gain = p.contrast / 128.0;
    const double chroma_gain = p.saturation / 128.0;
    const double angle = static_cast<int8_t>(p.hue) * (M_PI / 128.0);

    const double y2 = y * gain + offset;
    const double c = std::cos(angle), s = std::sin(angle);
    const double pb2 = chroma_gain * (pb * c - pr * s);
    const double pr2 = chroma_gain * (pb * s + pr * c);

    const double r = y2 + pr2 / PR_SCALE;
    const double b = y2 + pb2 / PB_SCALE;
    const double g = (y2 - KR * r - KB * b) / KG;
    return {clamp_byte(r), clamp_byte(g), clamp_byte(b)};
}
