#include "ChainAnchor.h"

#include <cmath>

namespace {

constexpr double kUnbounded = 1e12;

// The whole shift nearest to `x`; 0 for shifts no stream has.
int nearestShift(double x)
{
    return x > -2147483647.0 && x < 2147483647.0 ? static_cast<int>(std::floor(x + 0.5)) : 0;
}

} // namespace

ChainAnchor::ChainAnchor() : low(-kUnbounded), high(kUnbounded), learning(false), shift(0)
{
}

void ChainAnchor::restart(int preset, bool learn)
{
    low = -kUnbounded;
    high = kUnbounded;
    learning = learn;
    shift = preset;
}

int ChainAnchor::observe(double offset, double tolerance)
{
    if (!learning)
        return 0;
    double lo = offset - tolerance > low ? offset - tolerance : low;
    double hi = offset + tolerance < high ? offset + tolerance : high;
    if (lo > hi) {
        // The stamps disagree with any one shift (times from byte counts,
        // say): the run keeps its positions.
        learning = false;
        return 0;
    }
    // Inside an interval narrower than one sample the nearest whole shift to
    // its middle is the one it holds.
    double middle = (lo + hi) / 2;
    int step = nearestShift(middle);
    low = lo - step;
    high = hi - step;
    shift += step;
    return step;
}

int ChainAnchor::pin(double offset)
{
    if (!learning)
        return 0;
    learning = false;
    int step = nearestShift(offset);
    shift += step;
    return step;
}

bool ChainAnchor::frozen() const
{
    return !learning;
}

void ChainAnchor::freeze()
{
    learning = false;
}

int ChainAnchor::total() const
{
    return shift;
}
