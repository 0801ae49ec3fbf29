#pragma once

// The long nearest to `x` with halves away from zero for positive values,
// kept inside the 32-bit range whatever a damaged stream's times give.
inline long roundedLong(double x)
{
    if (!(x > -2147483647.0))
        return -2147483647;
    if (!(x < 2147483647.0))
        return 2147483647;
    auto k = static_cast<long>(x);
    return x - k >= 0.5 ? k + 1 : k;
}
