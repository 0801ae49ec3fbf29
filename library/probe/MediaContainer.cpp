#include "MediaContainer.h"

#include <windows.h>
#include <dshow.h>
#include <qedit.h>
#include <strsafe.h>
#include <vfw.h>

#include <initializer_list>
#include <new>
#include <uuids.h>

#include "../core/ComPtr.h"
#include "../core/LibraryModule.h"
#include "../directshow/BoundedJob.h"
#include "../directshow/MediaType.h"
#include "../directshow/RunningObjectTable.h"
#include "../vfw/AviFileCheck.h"
#include "StreamCountRules.h"

// ksuuids.h lists its GUIDs through this macro; their values come from strmiids.
#define OUR_GUID_ENTRY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8);
#include <ksuuids.h>
#undef OUR_GUID_ENTRY

namespace {

bool isOneOf(const GUID& guid, std::initializer_list<const GUID*> candidates)
{
    for (const GUID* candidate : candidates) {
        if (IsEqualGUID(guid, *candidate))
            return true;
    }
    return false;
}

constexpr int kMessageBase = 900;
constexpr int kRenderersPerKind = 4;
// Longer than any real file takes to render, even on a loaded machine.
constexpr DWORD kRenderMilliseconds = 20000;

// How many streams of `type` AVIFile opens, by index from 0 up to the first
// it refuses.
int countAviStreams(const char* fileName, DWORD type)
{
    int count = 0;
    for (;;) {
        PAVISTREAM stream = nullptr;
        if (AVIStreamOpenFromFileA(&stream, fileName, type, count, OF_READ, nullptr) != AVIERR_OK)
            return count;
        AVIStreamRelease(stream);
        ++count;
    }
}

// The file name as the wide string both RenderFile and the media detector
// take (a BSTR, as the detector's interface requires).
class WideName {
public:
    WideName() = default;
    WideName(const WideName&) = delete;
    WideName& operator=(const WideName&) = delete;
    ~WideName() { SysFreeString(name); }

    bool assign(const char* fileName)
    {
        int length = MultiByteToWideChar(CP_ACP, 0, fileName, -1, nullptr, 0);
        if (length <= 0)
            return false;
        name = SysAllocStringLen(nullptr, length - 1);
        return name && MultiByteToWideChar(CP_ACP, 0, fileName, -1, name, length) == length;
    }
    BSTR get() const { return name; }

private:
    BSTR name = nullptr;
};

ComPtr<IPin> firstInputPin(IBaseFilter* filter)
{
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.put())))
        return {};
    for (;;) {
        ComPtr<IPin> pin;
        if (pins->Next(1, pin.put(), nullptr) != S_OK)
            return {};
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_INPUT)
            return pin;
    }
}

// A filter graph holding four video and four audio renderers: after
// RenderFile, each renderer whose input is connected stands for one stream.
class RendererGraph {
public:
    RendererGraph() = default;
    RendererGraph(const RendererGraph&) = delete;
    RendererGraph& operator=(const RendererGraph&) = delete;
    ~RendererGraph()
    {
        if (rotRegister)
            removeGraphFromRot(rotRegister);
        graph.reset();
        for (int i = 0; i < kRenderersPerKind; ++i) {
            videoRenderers[i].reset();
            audioRenderers[i].reset();
        }
    }

    MediaContainer::Error build()
    {
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                    graph.putVoid())))
            return MediaContainer::NoGraphBuilder;
        addGraphToRot(graph.get(), &rotRegister);
        for (int i = 0; i < kRenderersPerKind; ++i) {
            MediaContainer::Error error =
                addRenderer(CLSID_VideoRenderer, L"VideoRenderer%d", i, videoRenderers[i],
                            MediaContainer::CannotCreateVideoRenderer, MediaContainer::CannotAddVideoRenderer);
            if (error == MediaContainer::Success)
                error = addRenderer(CLSID_DSoundRender, L"AudioRenderer%d", i, audioRenderers[i],
                                    MediaContainer::CannotCreateAudioRenderer, MediaContainer::CannotAddAudioRenderer);
            if (error != MediaContainer::Success)
                return error;
        }
        return MediaContainer::Success;
    }

    // RenderFile on a job of its own: Wine's splitter can stop for good on a
    // damaged file. `hung` tells that the job did not end in time.
    HRESULT render(const WCHAR* fileName, bool& hung);

    // Adds the connected renderers of each requested kind to its count.
    MediaContainer::Error count(int* videoCount, int* audioCount)
    {
        for (int i = 0; i < kRenderersPerKind; ++i) {
            if (videoCount && !addIfConnected(videoRenderers[i].get(), *videoCount))
                return MediaContainer::NoRendererInputPin;
            if (audioCount && !addIfConnected(audioRenderers[i].get(), *audioCount))
                return MediaContainer::NoRendererInputPin;
        }
        return MediaContainer::Success;
    }

private:
    MediaContainer::Error addRenderer(REFCLSID clsid, const WCHAR* nameFormat, int index,
                                      ComPtr<IBaseFilter>& renderer, MediaContainer::Error createError,
                                      MediaContainer::Error addError)
    {
        if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, renderer.putVoid())))
            return createError;
        WCHAR name[32];
        StringCchPrintfW(name, 32, nameFormat, index);
        if (FAILED(graph->AddFilter(renderer.get(), name)))
            return addError;
        return MediaContainer::Success;
    }

    // False when the renderer has no input pin.
    static bool addIfConnected(IBaseFilter* renderer, int& count)
    {
        ComPtr<IPin> pin = firstInputPin(renderer);
        if (!pin)
            return false;
        ComPtr<IPin> peer;
        if (SUCCEEDED(pin->ConnectedTo(peer.put())))
            ++count;
        return true;
    }

    ComPtr<IGraphBuilder> graph;
    DWORD rotRegister = 0;
    ComPtr<IBaseFilter> videoRenderers[kRenderersPerKind];
    ComPtr<IBaseFilter> audioRenderers[kRenderersPerKind];
};

// RenderFile, holding its own references to the graph and the name.
class RenderJob : public BoundedJob {
public:
    RenderJob(IGraphBuilder* graph, const WCHAR* fileName) : graph(graph), name(SysAllocString(fileName))
    {
        graph->AddRef();
    }
    HRESULT result = E_FAIL;

protected:
    ~RenderJob() override
    {
        graph->Release();
        SysFreeString(name);
    }
    void run() override { result = name ? graph->RenderFile(name, nullptr) : E_OUTOFMEMORY; }

private:
    IGraphBuilder* graph;
    BSTR name;
};

HRESULT RendererGraph::render(const WCHAR* fileName, bool& hung)
{
    auto* job = new (std::nothrow) RenderJob(graph.get(), fileName);
    if (!job)
        return E_OUTOFMEMORY;
    hung = !job->start(kRenderMilliseconds, true);
    HRESULT result = hung ? E_FAIL : job->result;
    job->release();
    return result;
}

// Renders the file into the renderer graph and counts the connected
// renderers. `detect` receives the kinds that the media detector must count:
// both requested kinds when the graph cannot render the file, the kind that
// RenderFile reports as not rendered otherwise.
MediaContainer::Error countThroughGraph(const char* fileName, WideName& wideName, int* videoCount,
                                        int* audioCount, DetectorKinds& detect)
{
    RendererGraph graph;
    MediaContainer::Error error = graph.build();
    if (error != MediaContainer::Success)
        return error;
    if (!wideName.assign(fileName))
        return MediaContainer::NotEnoughMemory;
    if (videoCount)
        *videoCount = 0;
    if (audioCount)
        *audioCount = 0;
    bool hung = false;
    RenderVerdict verdict = judgeRender(graph.render(wideName.get(), hung), videoCount != nullptr, audioCount != nullptr);
    // The media detector would open the file the same way.
    detect = hung ? DetectorKinds() : verdict.detect;
    if (!verdict.countGraph)
        return MediaContainer::CannotRender;
    return graph.count(videoCount, audioCount);
}

// Counts the detector's output streams of the kinds in `detect` into
// `videoFound` and `audioFound`; what was counted before a failure stays.
MediaContainer::Error countThroughDetector(BSTR fileName, DetectorKinds detect, int& videoFound, int& audioFound)
{
    ComPtr<IMediaDet> detector;
    if (FAILED(CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaDet, detector.putVoid())))
        return MediaContainer::NoMediaDetector;
    if (FAILED(detector->put_Filename(fileName)))
        return MediaContainer::CannotOpenFile;
    long streams = 0;
    if (FAILED(detector->get_OutputStreams(&streams)))
        return MediaContainer::NoStreamsNumber;
    for (long i = 0; i < streams; ++i) {
        if (FAILED(detector->put_CurrentStream(i)))
            return MediaContainer::CannotSelectStream;
        AM_MEDIA_TYPE mt = {};
        if (FAILED(detector->get_StreamMediaType(&mt)))
            return MediaContainer::UnreadableMediaType;
        if (detect.video && MediaContainer::isVideo(mt))
            ++videoFound;
        if (detect.audio && MediaContainer::isAudio(mt))
            ++audioFound;
        FreeMediaType(mt);
    }
    return MediaContainer::Success;
}

MediaContainer::Error streamsNumberDirectShow(const char* fileName, int* videoCount, int* audioCount)
{
    WideName wideName;
    DetectorKinds detect;
    MediaContainer::Error result = countThroughGraph(fileName, wideName, videoCount, audioCount, detect);
    if (!detect.any())
        return result;
    int videoFound = 0;
    int audioFound = 0;
    MediaContainer::Error detectorResult = countThroughDetector(wideName.get(), detect, videoFound, audioFound);
    bool graphSucceeded = result == MediaContainer::Success;
    mergeDetectedCount(videoCount, detect.video, videoFound, graphSucceeded);
    mergeDetectedCount(audioCount, detect.audio, audioFound, graphSucceeded);
    return combinedResult(result, detectorResult);
}

} // namespace

MediaContainer::Error MediaContainer::streamsNumber(char* fileName, bool useDirectShow, int* videoCount,
                                                    int* audioCount)
{
    if (!fileName) {
        if (videoCount)
            *videoCount = 0;
        if (audioCount)
            *audioCount = 0;
        return useDirectShow ? CannotOpenFile : Success;
    }
    if (useDirectShow)
        return streamsNumberDirectShow(fileName, videoCount, audioCount);
    // A file the pre-flight check refuses is never handed to AVIFile: it has
    // no streams the VfW way, as any file AVIFile cannot read. Counting reads
    // no samples, so audio the platform would read past its chunks counts.
    bool readable = AviFileCheck::isSafe(fileName, AviFileCheck::Verdict::AudioReadPastItsChunks);
    if (videoCount)
        *videoCount = readable ? countAviStreams(fileName, streamtypeVIDEO) : 0;
    if (audioCount)
        *audioCount = readable ? countAviStreams(fileName, streamtypeAUDIO) : 0;
    return Success;
}

char* MediaContainer::Message(Error code)
{
    static char text[128];
    if (code < Success || code > NoRendererInputPin)
        return nullptr;
    if (!LoadStringA(libraryModule(), kMessageBase + code, text, sizeof(text)))
        return nullptr;
    return text;
}

bool MediaContainer::isAudio(const AM_MEDIA_TYPE& mt)
{
    if (IsEqualGUID(mt.majortype, MEDIATYPE_MPEG2_PACK))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_DOLBY_AC3, &MEDIASUBTYPE_MPEG2_AUDIO, &MEDIASUBTYPE_DVD_LPCM_AUDIO,
                                    &MEDIASUBTYPE_MPEG2_TRANSPORT, &MEDIASUBTYPE_MPEG2_TRANSPORT_STRIDE,
                                    &MEDIASUBTYPE_MPEG2_PROGRAM});
    if (IsEqualGUID(mt.majortype, MEDIATYPE_Stream))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_WAVE, &MEDIASUBTYPE_AU, &MEDIASUBTYPE_AIFF, &MEDIASUBTYPE_MPEG1Audio,
                                    &MEDIASUBTYPE_DssAudio, &MEDIASUBTYPE_Asf, &MEDIASUBTYPE_Avi,
                                    &MEDIASUBTYPE_MPEG1System, &MEDIASUBTYPE_MPEG1VideoCD});
    return isOneOf(mt.majortype, {&MEDIATYPE_Audio, &MEDIATYPE_AnalogAudio, &MEDIATYPE_Midi, &MEDIATYPE_Interleaved});
}

bool MediaContainer::isVideo(const AM_MEDIA_TYPE& mt)
{
    if (IsEqualGUID(mt.majortype, MEDIATYPE_MPEG2_PACK))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_MPEG2_TRANSPORT, &MEDIASUBTYPE_MPEG2_TRANSPORT_STRIDE,
                                    &MEDIASUBTYPE_MPEG2_PROGRAM});
    if (IsEqualGUID(mt.majortype, MEDIATYPE_Stream))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_MPEG1Video, &MEDIASUBTYPE_DssVideo, &MEDIASUBTYPE_Asf,
                                    &MEDIASUBTYPE_Avi, &MEDIASUBTYPE_MPEG1System, &MEDIASUBTYPE_MPEG1VideoCD});
    return isOneOf(mt.majortype, {&MEDIATYPE_Video, &MEDIATYPE_AnalogVideo, &MEDIATYPE_Interleaved});
}
