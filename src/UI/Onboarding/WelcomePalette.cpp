#include "UI/Onboarding/WelcomePalette.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quillmere::welcome {

namespace {

using Vec3 = std::array<double, 3>;

double toLinear(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double fromLinear(double c)
{
    c = std::clamp(c, 0.0, 1.0);
    return c <= 0.0031308 ? c * 12.92 : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
}

Vec3 toOklab(const QColor &colour)
{
    const double r = toLinear(colour.redF());
    const double g = toLinear(colour.greenF());
    const double b = toLinear(colour.blueF());
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

QColor fromOklab(const Vec3 &lab, double alpha)
{
    const double l = std::pow(lab[0] + 0.3963377774 * lab[1] + 0.2158037573 * lab[2], 3);
    const double m = std::pow(lab[0] - 0.1055613458 * lab[1] - 0.0638541728 * lab[2], 3);
    const double s = std::pow(lab[0] - 0.0894841775 * lab[1] - 1.2914855480 * lab[2], 3);
    return QColor::fromRgbF(static_cast<float>(fromLinear(4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s)),
                            static_cast<float>(fromLinear(-1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s)),
                            static_cast<float>(fromLinear(-0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s)),
                            static_cast<float>(std::clamp(alpha, 0.0, 1.0)));
}

} // namespace

QColor indigo()
{
    return QColor(88, 86, 214);
}

QColor orange()
{
    return QColor(255, 149, 0);
}

QColor mixPerceptual(const QColor &a, const QColor &b, double f)
{
    const Vec3 from = toOklab(a);
    const Vec3 to = toOklab(b);
    Vec3 mixed;
    for (std::size_t i = 0; i < 3; ++i)
        mixed[i] = from[i] + (to[i] - from[i]) * f;
    return fromOklab(mixed, a.alphaF() + (b.alphaF() - a.alphaF()) * f);
}

QColor baseColour()
{
    return mixPerceptual(indigo(), orange(), 0.2);
}

} // namespace quillmere::welcome
