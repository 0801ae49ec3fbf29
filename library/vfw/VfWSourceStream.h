#pragma once

#include <memory>

#include <windows.h>
#include <vfw.h>

#include "../core/SourceStream.h"
#include "VfWAudioOrVideoStream.h"

// Base of the three AVIFile sources: owns the open stream and answers the
// time conversions and the duration. Positions of the library count from 0;
// the platform counts them from the stream's start (dwStart), so every
// position handed to it goes through platformPosition.
class TRELIX_API VfWSourceStream : public VfWAudioOrVideoStream, public virtual SourceStream {
public:
    using SourceStream::StreamSampleToTime;
    using SourceStream::StreamTimeToSample;

    ~VfWSourceStream() override;
    // The VfW sources have no settings: nothing to show.
    void configure(void* parentWindow) override;
    double StreamSampleToTime(long& sample) override;
    long StreamTimeToSample(double& milliseconds) override;
    double msDuration() override;

protected:
    VfWSourceStream();

    // Attaches `n` to a newly allocated source and runs `open` on it, which
    // returns the open's code; null only when the allocation failed.
    template <typename Source, typename Open>
    static Source* opened(Source* source, TrelixNotification* n, Open open)
    {
        if (!source)
            return nullptr;
        source->attach(n);
        source->lastError = open(*source);
        return source;
    }

    void attach(TrelixNotification* n);
    // Opens occurrence `streamIndex` of the streams of `type` and reads its
    // information into `info`: 0, CannotOpenFile, or NoStreamInfo (also for
    // a rate or scale of 0, which no time conversion survives). A source that
    // never reads an audio stream past its last stored byte passes
    // `stopsAtLastByte` and may open the files whose audio Wine would read past it.
    int openStream(char* fileName, DWORD type, int streamIndex, AVISTREAMINFOA& info, bool stopsAtLastByte = false);
    // The stored format at the stream's start, at least `minimumSize` bytes
    // (zero-filled past what is stored): 0, or code 2 or 5.
    int readFormat(std::unique_ptr<BYTE[]>& format, LONG& size, LONG minimumSize);
    // AVIStreamLength, or -1 when it is undefined or its end lies past the
    // 32-bit range of positions.
    LONG streamLength();
    // The platform's number of library position `position`, or -1 when
    // it has none.
    LONG platformPosition(LONG position) const;

    // AVIStreamFindSample in library positions, with Wine's answers for
    // streams of fixed-size samples mended (see the definition).
    LONG findSample(LONG position, LONG flags);

    bool fixedSampleSize() const { return fixedSizeSamples; }

    PAVISTREAM stream;

private:
    // The stream stores fixed-size samples (audio): each one is a non-empty key sample.
    bool fixedSizeSamples;
    // dwStart: the platform's number of the first sample.
    LONG start;
};
