#pragma once

// Where a run of contiguous media samples lies in the stream, learnt from
// their time stamps. Containers round the times (Matroska to whole
// milliseconds), so one stamp names its media sample's first sample only to
// within the rounding; every further stamp of the run narrows the shifts that
// agree with all of them, and the run moves to the middle of what is left.
// It moves only while none of its samples has been used.
class ChainAnchor {
public:
    ChainAnchor();

    // A new run begins. `preset`: a shift learnt before for this run, which
    // then stays; otherwise the run learns from its stamps until frozen.
    void restart(int preset, bool learn);
    // One stamp of the run: its exact position minus the run's position of
    // the same media sample, and how far the stamp may be off. Returns the
    // shift to apply to the run's positions from now on (0 when frozen).
    int observe(double offset, double tolerance);
    // A stamp whose place an earlier run fixed: the run moves by `offset`
    // (rounded) to agree with it and stays there. 0 when frozen.
    int pin(double offset);
    // The run's samples are in use: it stays where it is.
    void freeze();
    bool frozen() const;
    // Shift applied since the run began.
    int total() const;

private:
    double low;
    double high;
    bool learning;
    int shift;
};
