#pragma once

#include <map>

#include "ChainAnchor.h"
#include "DirectShowIds.h"
#include "SGCallback.h"

// Grabber callback of the audio source: writes the requested sample range
// into the stream's result buffer (`buffer`, not owned, points at the place
// of sample firstWanted) and keeps a copy of the last media sample in
// `extraBuffer`. Holds the graph when the range is complete, or when the
// first media sample after a seek begins after the range.
// Does not count references: the stream owns and deletes it.
class AudioSGCallback : public ISampleGrabberCB, public SGCallback {
public:
    AudioSGCallback(int samplesPerSec, int blockAlign);
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP SampleCB(double time, IMediaSample* sample) override;
    STDMETHODIMP BufferCB(double time, BYTE* data, long length) override;
    ~AudioSGCallback() override;

    // Sample number of time `seconds`, nearest with halves up, kept inside
    // the 32-bit range whatever time a damaged stream claims.
    long sampleAt(double seconds) const;

    int samplesPerSec;
    int blockAlign;
    int extraCapacity;
    int firstWanted;
    int lastWanted;
    int lastCopied;
    int mediaFirst;
    int mediaLast;
    bool laterDelivered;
    bool started;
    bool beforeRange;
    int minFirstSeen;
    int laterFirst;
    // The last media sample kept was delivered since the last seek, so the
    // next one follows it in the stream. Cleared by the stream when it seeks.
    bool contiguous;
    // Where the media samples since the last seek lie; restarted by the
    // stream when it seeks.
    ChainAnchor anchor;
private:
    // First sample of each media sample with a rounded stamp (in 100 ns
    // units) once its run was fixed, so that later runs land on the same
    // samples as the first pass over them.
    std::map<LONGLONG, long> knownStarts;
    // Sample number of a media sample at `seconds`: right after the last one
    // when it follows it and the time is only a little off.
    long firstOf(double seconds);
    // How far a time stamp may be from its media sample, in samples.
    double stampTolerance(double seconds) const;
    // Where a run continues with a media sample stamped `seconds` (`exact`
    // in samples): where an earlier run fixed a rounded stamp, else where
    // the anchor finds it.
    long continueRun(double seconds, double exact, LONGLONG next, double tolerance);
    void keep(const BYTE* data, long length);
    // Copies the samples from..to of the media sample that begins with
    // sample mediaFirst at `data` to their place after `buffer`.
    void place(const BYTE* data, int from, int to);
};
