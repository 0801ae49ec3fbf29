#include "ConversionSetup.h"

#include <cstdio>

int sourceOpenOptions(bool video, bool raw, SourceBackend backend, bool titled)
{
    int options = video ? 0 : 1;
    if (raw)
        options |= 2;
    if (backend == SourceBackend::Automatic)
        options |= 8;
    else if (backend == SourceBackend::DirectShow)
        options |= 4;
    if (titled)
        options |= 32;
    return options;
}

SourceStream* openSourceStream(char* fileName, bool video, bool raw, SourceBackend backend, int track)
{
    bool automatic = backend == SourceBackend::Automatic, directShow = backend == SourceBackend::DirectShow;
    if (raw)
        return automatic ? RawDataSourceStream::open(fileName, video, track, nullptr)
                         : RawDataSourceStream::open(fileName, video, directShow, track, nullptr);
    return automatic ? SourceStream::open(fileName, video, track, nullptr)
                     : SourceStream::open(fileName, video, directShow, track, nullptr);
}

OutputAVIFile* createOutputFor(const char* fileName, SourceStream* video, SourceStream* audio, bool videoUncompressed,
                               bool audioUncompressed, bool useDirectShow, VIDEOINFOHEADER& videoInfo)
{
    const VIDEOINFOHEADER* vih = video ? video->videoInfo(videoInfo) : nullptr;
    bool compressVideo = video && !video->isRawData() && !videoUncompressed;
    const WAVEFORMATEX* wfx = nullptr;
    if (audio && audio->isRawData())
        wfx = reinterpret_cast<const WAVEFORMATEX*>(dynamic_cast<RawDataSourceStream*>(audio)->format()->pbFormat);
    else if (audio)
        wfx = dynamic_cast<AudioSourceStream*>(audio)->format();
    bool compressAudio = audio && !audio->isRawData() && !audioUncompressed;
    return OutputAVIFile::create(fileName, vih, compressVideo, wfx, compressAudio, useDirectShow);
}

void clampRange(long duration, long& first, long& last)
{
    if (last >= duration)
        last = duration - 1;
    if (last < first)
        first = last;
}

std::string libraryErrorText(int code, bool directShow, const char* message)
{
    char text[512];
    std::snprintf(text, sizeof text, "Error number %d (%s):\n%s", code, directShow ? "DirectShow" : "VfW/ACM",
                  message ? message : "");
    return text;
}

std::string streamErrorText(AudioOrVideoStream& stream)
{
    int code = stream.lastError;
    if (code == 0)
        return "";
    return libraryErrorText(code, stream.usesDirectShow(), stream.ErrorMessage(code));
}
