#include "DSOutputAVIFile.h"

#include <new>
#include <dshow.h>
#include <olectl.h>
#include <uuids.h>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/TrelixThread.h"
#include "AudioCompressorDialog.h"
#include "CompressorListDialog.h"
#include "MSDfilter.h"
#include "GraphHelpers.h"
#include "RunningObjectTable.h"
#include "ThreadStart.h"
#include "VideoCompressorDialog.h"
#include "WriteTimes.h"

namespace {

constexpr LONGLONG kOneSecond = 10000000;

// The AVI mux offers a new free input after each connection.
HRESULT connectToFreeInput(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream)
{
    ComPtr<IPin> out, in;
    if (FAILED(getPin(upstream, PINDIR_OUTPUT, out.put())) || FAILED(getFreePin(downstream, PINDIR_INPUT, in.put())))
        return E_FAIL;
    return graph->Connect(out.get(), in.get());
}

// A graph whose Run failed half-way may leave filters paused while the graph
// itself counts as stopped (Wine), and then refuses to remove them: stop
// each filter directly.
void stopEveryFilter(IGraphBuilder* graph)
{
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(filters.put())))
        return;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, filter.put(), nullptr) == S_OK)
        filter->Stop();
}

// Wine's AVI mux cannot report its interleaving mode and streams only in
// full interleaving mode (its default mode refuses to pause): such a mux is
// switched to that mode before anything is connected to it.
void useStreamingMode(IBaseFilter* mux)
{
    ComPtr<IConfigInterleaving> interleaving;
    InterleavingMode mode;
    if (SUCCEEDED(ComPtr<IBaseFilter>(mux).as(interleaving)) && FAILED(interleaving->get_Mode(&mode)))
        interleaving->put_Mode(INTERLEAVE_FULL);
}

void closeHandle(HANDLE& handle)
{
    if (handle) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

bool finalEvent(long code)
{
    // A graph that aborts never completes: take its abort as the end too.
    return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT;
}

} // namespace

DSOutputAVIFile::DSOutputAVIFile()
    : wideFileName(nullptr), graph(nullptr), mux(nullptr), videoSource(nullptr), audioSource(nullptr),
      mediaControl(nullptr), mediaEvent(nullptr), startedEvent(nullptr), stopEvent(nullptr), graphThread(nullptr),
      videoCompressor(nullptr), audioCompressor(nullptr)
{
}

DSOutputAVIFile* DSOutputAVIFile::create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                         const WAVEFORMATEX* audio, bool compressAudio)
{
    auto* writer = new (std::nothrow) DSOutputAVIFile();
    if (!writer)
        return nullptr;
    writer->setFormats(video, compressVideo, audio, compressAudio);
    if (!writer->acceptableFormats())
        return writer;
    int code = writer->build(fileName);
    writer->lastError = code;
    writer->unusable = code != DSError::Success;
    return writer;
}

int DSOutputAVIFile::build(const char* fileName)
{
    int length = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, fileName, -1, nullptr, 0);
    wideFileName = length > 0 ? new (std::nothrow) wchar_t[length] : nullptr;
    if (!wideFileName || !MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, fileName, -1, wideFileName, length))
        return DSError::OutOfMemory;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(&graph))))
        return DSError::CannotCreateGraphBuilder;
    addGraphToRot(graph, &rotRegister);
    if (int code = addFileWriter())
        return code;
    if (video)
        if (int code = addVideoSource())
            return code;
    if (audio)
        if (int code = addAudioSource())
            return code;
    if (FAILED(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&mediaControl))))
        return DSError::NoMediaControl;
    if (FAILED(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&mediaEvent))))
        return DSError::NoMediaEvent;
    startedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!startedEvent || !stopEvent)
        return DSError::CannotCreateEvent;
    return DSError::Success;
}

// The platform's file writer may offer only IFileSinkFilter (Wine): then the
// file is written without choosing the overwrite mode.
int DSOutputAVIFile::addFileWriter()
{
    ComPtr<IBaseFilter> writer;
    if (FAILED(CoCreateInstance(CLSID_FileWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, writer.putVoid())))
        return DSError::CannotCreateFileWriter;
    ComPtr<IFileSinkFilter2> sink2;
    ComPtr<IFileSinkFilter> sink;
    if (SUCCEEDED(writer.as(sink2))) {
        sink2->SetMode(AM_FILE_OVERWRITE);
        sink = ComPtr<IFileSinkFilter>(sink2.get());
    } else if (FAILED(writer.as(sink))) {
        return DSError::NoFileSink;
    }
    AM_MEDIA_TYPE type = AM_MEDIA_TYPE();
    type.majortype = MEDIATYPE_Stream;
    type.subtype = GUID_NULL;
    if (FAILED(sink->SetFileName(wideFileName, &type)))
        return DSError::CannotOpenFile;
    if (FAILED(graph->AddFilter(writer.get(), L"output file writer")))
        return DSError::CannotAddFilter;
    if (FAILED(CoCreateInstance(CLSID_AviDest, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&mux))))
        return DSError::CannotCreateMux;
    useStreamingMode(mux);
    if (FAILED(graph->AddFilter(mux, L"AVI mux")))
        return DSError::CannotAddFilter;
    if (FAILED(connectFilters(graph, mux, writer.get())))
        return DSError::CannotConnect;
    return DSError::Success;
}

int DSOutputAVIFile::createSource(MSDfilter*& source, HRESULT result, MSDfilter* made, int failure)
{
    if (!made)
        return DSError::OutOfMemory;
    made->AddRef();
    source = made;
    return FAILED(result) ? failure : DSError::Success;
}

int DSOutputAVIFile::addVideoSource()
{
    HRESULT result = S_OK;
    auto* made = new (std::nothrow) MSDfilter(&result, nullptr, video);
    if (int code = createSource(videoSource, result, made, DSError::VideoSourceCreationFailed))
        return code;
    if (FAILED(graph->AddFilter(videoSource, L"video source")))
        return DSError::CannotAddFilter;
    if (!videoCompressed && FAILED(connectFilters(graph, videoSource, mux)))
        return DSError::VideoCopyConnectionFailed;
    return DSError::Success;
}

// Audio media samples hold one interleaving period; a mux that reports no
// period gets one second.
int DSOutputAVIFile::addAudioSource()
{
    ComPtr<IConfigInterleaving> interleaving;
    REFERENCE_TIME period = 0, preroll = 0;
    if (SUCCEEDED(ComPtr<IBaseFilter>(mux).as(interleaving)))
        if (FAILED(interleaving->get_Interleaving(&period, &preroll)))
            period = 0;
    updateAudioBuffer(period > 0 ? period : kOneSecond);
    HRESULT result = S_OK;
    auto* made = new (std::nothrow) MSDfilter(&result, nullptr, audio, audioBufferCapacity);
    if (int code = createSource(audioSource, result, made, DSError::AudioSourceCreationFailed))
        return code;
    if (FAILED(graph->AddFilter(audioSource, L"audio source")))
        return DSError::CannotAddFilter;
    if (!audioCompressed && FAILED(connectToFreeInput(graph, audioSource, mux)))
        return DSError::AudioCopyConnectionFailed;
    return DSError::Success;
}

void DSOutputAVIFile::updateAudioBuffer(LONGLONG period)
{
    LONGLONG samples = period * audio->nSamplesPerSec / kOneSecond;
    audioBufferCapacity = samples > 0 ? static_cast<long>(samples) : 1;
}

DSOutputAVIFile::~DSOutputAVIFile()
{
    close();
    if (rotRegister != 0)
        removeGraphFromRot(rotRegister);
    releaseAndClear(mediaControl);
    releaseAndClear(mediaEvent);
    releaseAndClear(graph);
    releaseAndClear(mux);
    releaseAndClear(videoSource);
    releaseAndClear(audioSource);
    releaseAndClear(videoCompressor);
    releaseAndClear(audioCompressor);
    delete[] wideFileName;
    closeHandle(startedEvent);
    closeHandle(stopEvent);
    closeHandle(graphThread);
}

bool DSOutputAVIFile::canSetCompressor(bool isVideo)
{
    if (notOpened())
        return false;
    if (isVideo ? !video : !audio)
        lastError = isVideo ? OutputError::NoVideoStream : OutputError::NoAudioStream;
    else if (!(isVideo ? videoCompressed : audioCompressed))
        lastError = OutputError::CopyRequired;
    else if (isVideo ? videoCompressor : audioCompressor)
        lastError = OutputError::CompressorAlreadySet;
    else
        lastError = DSError::Success;
    return lastError == DSError::Success;
}

bool DSOutputAVIFile::setCompressor(bool isVideo, void* compressor)
{
    if (!canSetCompressor(isVideo))
        return false;
    if (compressor)
        return installCompressor(isVideo, static_cast<IMoniker*>(compressor));
    if (FAILED(connectToFreeInput(graph, isVideo ? videoSource : audioSource, mux))) {
        lastError = DSError::CannotConnect;
        return false;
    }
    (isVideo ? videoCompressed : audioCompressed) = false;
    return true;
}

// A compressor bound once stays bound, also when its connections fail.
bool DSOutputAVIFile::installCompressor(bool isVideo, IMoniker* moniker)
{
    IBaseFilter*& compressor = isVideo ? videoCompressor : audioCompressor;
    if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&compressor)))) {
        compressor = nullptr;
        lastError = DSError::CannotFetchCompressor;
        return false;
    }
    MSDfilter* source = isVideo ? videoSource : audioSource;
    if (FAILED(graph->AddFilter(compressor, isVideo ? L"video compressor" : L"audio compressor")))
        lastError = DSError::CannotAddFilter;
    else if (FAILED(connectFilters(graph, source, compressor)) || FAILED(connectToFreeInput(graph, compressor, mux)))
        lastError = DSError::CannotConnect;
    return lastError == DSError::Success;
}

bool DSOutputAVIFile::isCompressorSet(bool isVideo)
{
    return (isVideo ? videoCompressor : audioCompressor) != nullptr;
}

bool DSOutputAVIFile::chooseCompressor(void* parentWindow, bool isVideo)
{
    if (!canSetCompressor(isVideo))
        return false;
    ComPtr<IMoniker> moniker;
    if (int code = chooseCompressorMoniker(static_cast<HWND>(parentWindow), isVideo, moniker.put())) {
        lastError = code;
        return false;
    }
    return setCompressor(isVideo, moniker.get());
}

void DSOutputAVIFile::configureCompressor(void* parentWindow, bool isVideo)
{
    if (notOpened())
        return;
    IBaseFilter* compressor = isVideo ? videoCompressor : audioCompressor;
    if (!compressor) {
        lastError = OutputError::NoCompressorSelected;
        return;
    }
    ComPtr<IPin> output;
    if (FAILED(getPin(compressor, PINDIR_OUTPUT, output.put()))) {
        lastError = DSError::NoOutputPin;
        return;
    }
    HWND parent = static_cast<HWND>(parentWindow);
    lastError = isVideo ? configureVideoCompressor(parent, compressor, output.get())
                        : configureAudioCompressor(parent, output.get());
}

bool DSOutputAVIFile::canRun()
{
    for (MSDfilter* source : {videoSource, audioSource}) {
        ComPtr<IPin> pin;
        if (source && SUCCEEDED(getFreePin(source, PINDIR_OUTPUT, pin.put())))
            return false;
    }
    return true;
}

bool DSOutputAVIFile::start()
{
    if (notOpened())
        return false;
    if (!canRun()) {
        lastError = DSError::GraphNotConfigured;
        return false;
    }
    lastError = DSError::Success;
    // A graph thread that has ended left no running graph behind.
    if (graphThread) {
        if (WaitForSingleObject(graphThread, 0) != WAIT_OBJECT_0)
            return true;
        lastError = DSError::CannotRunGraph;
        return false;
    }
    nextFrameNumber = 0;
    nextSampleNumber = 0;
    if (FAILED(removeReferenceClock(graph)))
        lastError = DSError::CannotChangeClock;
    graphThread = startThread(kGraphThreadStack, graphThreadMain, this);
    if (!graphThread) {
        lastError = DSError::CannotCreateThread;
        return false;
    }
    WaitForSingleObject(startedEvent, INFINITE);
    // A graph that did not run ends its thread at once: wait for that, so
    // that the thread's end tells later operations the graph is not running.
    if (lastError == DSError::CannotRunGraph)
        WaitForSingleObject(graphThread, INFINITE);
    return lastError == DSError::Success || lastError == DSError::CannotChangeClock;
}

// Graph thread: runs the graph, then waits for the end of the file (the
// graph completes by itself) or for close (stopEvent), which sends end of
// stream on every source first. startedEvent tells start the graph runs.
DWORD WINAPI DSOutputAVIFile::graphThreadMain(void* writer)
{
    TrelixThread();
    static_cast<DSOutputAVIFile*>(writer)->runGraph();
    return 0;
}

void DSOutputAVIFile::runGraph()
{
    if (FAILED(mediaControl->Run())) {
        stopEveryFilter(graph);
        lastError = DSError::CannotRunGraph;
        SetEvent(startedEvent);
        return;
    }
    SetEvent(startedEvent);
    OAEVENT eventHandle = 0;
    mediaEvent->GetEventHandle(&eventHandle);
    HANDLE waits[2] = {reinterpret_cast<HANDLE>(eventHandle), stopEvent};
    bool complete = false;
    while (!complete) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            break;
        long code;
        if (takeGraphEvent(mediaEvent, &code))
            complete = finalEvent(code);
    }
    if (!complete) {
        for (MSDfilter* source : {videoSource, audioSource})
            if (source)
                source->deliverSample(nullptr, 0, nullptr, nullptr, false);
        waitForCompletion(waits[0]);
    }
    finishGraph();
}

void DSOutputAVIFile::waitForCompletion(HANDLE graphEvent)
{
    for (;;) {
        WaitForSingleObject(graphEvent, INFINITE);
        long code;
        if (takeGraphEvent(mediaEvent, &code) && finalEvent(code))
            return;
    }
}

void DSOutputAVIFile::finishGraph()
{
    if (FAILED(mediaControl->Stop())) {
        lastError = DSError::CannotStopGraph;
        return;
    }
    OAFilterState state;
    if (FAILED(mediaControl->GetState(INFINITE, &state)))
        lastError = DSError::GetStateFailed;
}

// Null data would be taken for the end of the stream, after which every
// write would seem to succeed: it is a write error instead.
bool DSOutputAVIFile::deliver(MSDfilter* source, unsigned char* data, long bytes, REFERENCE_TIME start,
                              REFERENCE_TIME stop, bool key)
{
    if (!data || source->deliverSample(data, bytes, &start, &stop, key)) {
        lastError = DSError::WriteError;
        return false;
    }
    lastError = DSError::Success;
    return true;
}

bool DSOutputAVIFile::writeFrame(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (notOpened())
        return false;
    if (!videoSource) {
        lastError = OutputError::NoVideoStream;
        return false;
    }
    if (!graphThread) {
        lastError = DSError::GraphNotStarted;
        return false;
    }
    if (bytes < 0)
        bytes = static_cast<long>(WriteTimes::frameBytes(video->bmiHeader, count));
    REFERENCE_TIME start, stop;
    WriteTimes::frameTimes(*video, first, count, start, stop);
    if (!deliver(videoSource, data, bytes, start, stop, key))
        return false;
    nextFrameNumber = first + count;
    return true;
}

bool DSOutputAVIFile::writeSample(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (notOpened())
        return false;
    if (!audioSource) {
        lastError = OutputError::NoAudioStream;
        return false;
    }
    if (!graphThread) {
        lastError = DSError::GraphNotStarted;
        return false;
    }
    if (bytes < 0)
        bytes = static_cast<long>(WriteTimes::sampleBytes(*audio, count));
    REFERENCE_TIME start, stop;
    WriteTimes::sampleTimes(*audio, first, count, start, stop);
    if (!deliver(audioSource, data, bytes, start, stop, key))
        return false;
    nextSampleNumber = first + count;
    return true;
}

bool DSOutputAVIFile::close()
{
    if (notOpened())
        return false;
    if (!graphThread) {
        lastError = DSError::GraphNotStarted;
        return false;
    }
    // A graph thread that ended before it was asked to never finished a file.
    bool ended = WaitForSingleObject(graphThread, 0) == WAIT_OBJECT_0;
    lastError = DSError::Success;
    SignalObjectAndWait(stopEvent, graphThread, INFINITE, FALSE);
    unusable = true;
    if (ended && lastError == DSError::Success)
        lastError = DSError::CannotRunGraph;
    return lastError == DSError::Success;
}

bool DSOutputAVIFile::isAutomaticallyInterleaved()
{
    if (notOpened())
        return false;
    ComPtr<IConfigInterleaving> interleaving;
    InterleavingMode mode;
    if (FAILED(ComPtr<IBaseFilter>(mux).as(interleaving)) || FAILED(interleaving->get_Mode(&mode))) {
        lastError = DSError::NoInterleavingProperties;
        return false;
    }
    lastError = DSError::Success;
    return mode == INTERLEAVE_CAPTURE || mode == INTERLEAVE_FULL;
}

bool DSOutputAVIFile::setAutomaticInterleaving(bool on)
{
    if (notOpened())
        return false;
    ComPtr<IConfigInterleaving> interleaving;
    if (FAILED(ComPtr<IBaseFilter>(mux).as(interleaving))
        || FAILED(interleaving->put_Mode(on ? INTERLEAVE_FULL : INTERLEAVE_NONE))) {
        lastError = DSError::NoInterleavingProperties;
        return false;
    }
    return true;
}

LONGLONG DSOutputAVIFile::interleavingPeriod()
{
    if (notOpened())
        return 0;
    ComPtr<IConfigInterleaving> interleaving;
    REFERENCE_TIME period = 0, preroll = 0;
    if (FAILED(ComPtr<IBaseFilter>(mux).as(interleaving)) || FAILED(interleaving->get_Interleaving(&period, &preroll))) {
        lastError = DSError::NoInterleavingProperties;
        return 0;
    }
    lastError = DSError::Success;
    return period;
}

namespace {

// Shows the mux's property pages; false when it has none to show.
bool showMuxPages(IBaseFilter* mux, HWND parentWindow)
{
    ComPtr<IUnknown> unknown;
    ComPtr<ISpecifyPropertyPages> pages;
    if (FAILED(mux->QueryInterface(IID_IUnknown, unknown.putVoid()))
        || FAILED(mux->QueryInterface(IID_ISpecifyPropertyPages, pages.putVoid())))
        return false;
    CAUUID list = {};
    if (FAILED(pages->GetPages(&list)))
        return false;
    FILTER_INFO info = {};
    HRESULT hr = mux->QueryFilterInfo(&info);
    if (SUCCEEDED(hr)) {
        IUnknown* object = unknown.get();
        hr = OleCreatePropertyFrame(parentWindow, 0, 0, info.achName, 1, &object, list.cElems, list.pElems, 0, 0,
                                    nullptr);
        if (info.pGraph)
            info.pGraph->Release();
    }
    CoTaskMemFree(list.pElems);
    return SUCCEEDED(hr);
}

} // namespace

void DSOutputAVIFile::configureAVI(void* parentWindow)
{
    if (notOpened())
        return;
    LONGLONG before = interleavingPeriod();
    if (lastError != DSError::Success)
        return;
    lastError = DSError::CannotShowDialog;
    if (!showMuxPages(mux, static_cast<HWND>(parentWindow)))
        return;
    LONGLONG after = interleavingPeriod();
    if (lastError != DSError::Success || after == before || !audio)
        return;
    updateAudioBuffer(after);
    audioSource->pin->setSamplesPerBuffer(audioBufferCapacity);
    HRESULT hr = graph->Reconnect(audioSource->pin);
    if (FAILED(hr) && hr != VFW_E_NOT_CONNECTED)
        lastError = DSError::CannotReconnectForPeriod;
}
