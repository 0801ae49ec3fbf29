#pragma once

// Small concrete sources over the abstract interfaces, for tests that need a
// stream without a media file. `markOpened` stands in for a backend's open.
#include "Trelix.h"

template <typename Interface, typename Backend>
class TestSourceBase : public Interface, public Backend {
public:
    void configure(void*) override {}
    double StreamSampleToTime(long& sample) override { return usable() ? sample * 40.0 : -1.0; }
    long StreamTimeToSample(double& milliseconds) override { return usable() ? static_cast<long>(milliseconds / 40.0) : -1; }
    double msDuration() override { return usable() ? this->length * 40.0 : -1.0; }

    void markOpened(long streamLength)
    {
        this->length = streamLength;
        this->unusable = false;
    }

protected:
    bool usable()
    {
        if (this->unusable) {
            this->lastError = 1;
            return false;
        }
        this->lastError = 0;
        return true;
    }
};

template <typename Backend>
class TestVideoSource : public TestSourceBase<VideoSourceStream, Backend> {
public:
    long findFrame(long frame) override { return this->usable() ? frame : -1; }
    unsigned char* getFrameBits(long& frame) override
    {
        frame = findFrame(frame);
        return frame < 0 ? nullptr : pixels;
    }

    void setVideo(double rate, long width, long height)
    {
        this->framesPerSecond = rate;
        this->bitmapHeader.biSize = sizeof(BITMAPINFOHEADER);
        this->bitmapHeader.biWidth = width;
        this->bitmapHeader.biHeight = height;
        this->bitmapHeader.biPlanes = 1;
        this->bitmapHeader.biBitCount = 24;
        this->bitmapHeader.biCompression = BI_RGB;
    }

private:
    unsigned char pixels[4] = {};
};

template <typename Backend>
class TestAudioSource : public TestSourceBase<AudioSourceStream, Backend> {
public:
    unsigned char* getSamples(long, long) override { return this->usable() ? block : nullptr; }

private:
    unsigned char block[4] = {};
};

template <typename Backend>
class TestRawSource : public TestSourceBase<RawDataSourceStream, Backend> {
public:
    VIDEOINFOHEADER* videoInfo(VIDEOINFOHEADER&) override { return nullptr; }
    unsigned char* getData(long&, long&, long&, bool&) override { return nullptr; }

    AM_MEDIA_TYPE& mediaTypeForTest() { return this->mediaType; }
    void setFirstKeySample(long sample) { this->_firstKeySample = sample; }
};
