#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "MediaWriter.h"
#include "core/ComPtr.h"
#include "directshow/DirectShowIds.h"
#include "directshow/MSDfilter.h"
#include "directshow/MediaType.h"

#include <uuids.h>

namespace {

// A format as callers often give it: the image size left 0 for the pin to
// work out.
VIDEOINFOHEADER rgbVideo(LONG width, LONG height, WORD bitCount = 24, DWORD compression = BI_RGB)
{
    VIDEOINFOHEADER info = MediaWriter::videoInfo(width, height, 400000, bitCount);
    info.bmiHeader.biCompression = compression;
    info.bmiHeader.biSizeImage = 0;
    return info;
}

// A VIDEOINFOHEADER followed by its three colour masks.
struct BitfieldsVideo {
    VIDEOINFOHEADER info;
    DWORD masks[3];
};

class Filter {
public:
    explicit Filter(const VIDEOINFOHEADER* video) : filter(new MSDfilter(&result, nullptr, video)) { filter->AddRef(); }
    Filter(const WAVEFORMATEX* audio, long samples) : filter(new MSDfilter(&result, nullptr, audio, samples))
    {
        filter->AddRef();
    }
    ~Filter() { filter->Release(); }
    MSDfilter* operator->() const { return filter; }
    MSDfilter* get() const { return filter; }

    HRESULT result = S_OK;

private:
    MSDfilter* filter;
};

struct MediaTypeHolder {
    AM_MEDIA_TYPE type = AM_MEDIA_TYPE();
    ~MediaTypeHolder() { FreeMediaType(type); }
};

// Records what the sample grabber sees.
class Recorder : public ISampleGrabberCB {
public:
    struct Seen {
        long bytes;
        REFERENCE_TIME start, stop;
        bool sync;
        std::vector<BYTE> data;
    };

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_ISampleGrabberCB) {
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample* sample) override
    {
        Seen item;
        item.bytes = sample->GetActualDataLength();
        sample->GetTime(&item.start, &item.stop);
        item.sync = sample->IsSyncPoint() == S_OK;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        item.data.assign(data, data + item.bytes);
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(item);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return S_OK; }

    std::vector<Seen> samples()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    std::mutex mutex;
    std::vector<Seen> seen;
};

// push source → sample grabber → null renderer, run without a clock.
class PushGraph {
public:
    explicit PushGraph(MSDfilter* source)
    {
        bool steps[] = {
            SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                       graph.putVoid())),
            SUCCEEDED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       grabber.putVoid())),
            SUCCEEDED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       renderer.putVoid())),
            graph && SUCCEEDED(graph->AddFilter(source, L"source")),
            graph && grabber && SUCCEEDED(graph->AddFilter(grabber.get(), L"grabber")),
            graph && renderer && SUCCEEDED(graph->AddFilter(renderer.get(), L"renderer")),
            grabber && SUCCEEDED(grabber->QueryInterface(IID_ISampleGrabber, sampleGrabber.putVoid())),
            sampleGrabber && SUCCEEDED(sampleGrabber->SetCallback(&recorder, 0)),
            graph && grabber && connect(source, grabber.get()),
            graph && grabber && renderer && connect(grabber.get(), renderer.get()),
            graph && SUCCEEDED(graph->QueryInterface(IID_IMediaControl, control.putVoid())),
            graph && SUCCEEDED(graph->QueryInterface(IID_IMediaEvent, events.putVoid())),
        };
        ok = true;
        for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i)
            if (!steps[i]) {
                ADD_FAILURE() << "graph step " << i << " failed";
                ok = false;
            }
        ComPtr<IMediaFilter> mediaFilter;
        if (ok && SUCCEEDED(graph.as(mediaFilter)))
            mediaFilter->SetSyncSource(nullptr);
    }
    ~PushGraph()
    {
        if (control)
            control->Stop();
    }

    bool connect(IBaseFilter* from, IBaseFilter* to)
    {
        ComPtr<IPin> out = pin(from, PINDIR_OUTPUT), in = pin(to, PINDIR_INPUT);
        return out && in && SUCCEEDED(graph->Connect(out.get(), in.get()));
    }
    static ComPtr<IPin> pin(IBaseFilter* filter, PIN_DIRECTION direction)
    {
        ComPtr<IEnumPins> pins;
        ComPtr<IPin> found;
        filter->EnumPins(pins.put());
        while (pins->Next(1, found.put(), nullptr) == S_OK) {
            PIN_DIRECTION d;
            if (SUCCEEDED(found->QueryDirection(&d)) && d == direction)
                return found;
        }
        return ComPtr<IPin>();
    }
    bool completes()
    {
        long code = 0;
        return SUCCEEDED(events->WaitForCompletion(10000, &code)) && code == EC_COMPLETE;
    }

    bool ok = false;
    Recorder recorder;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> grabber, renderer;
    ComPtr<ISampleGrabber> sampleGrabber;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
};

} // namespace

TEST(MSDfilterMediaType, RgbSubtypesFollowTheBitCount)
{
    VIDEOINFOHEADER rgb24 = rgbVideo(321, 240);
    Filter filter(&rgb24);
    ASSERT_EQ(filter.result, S_OK);
    MediaTypeHolder mt;
    ASSERT_EQ(filter->pin->GetMediaType(&mt.type), S_OK);
    EXPECT_EQ(mt.type.majortype, MEDIATYPE_Video);
    EXPECT_EQ(mt.type.subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(mt.type.formattype, FORMAT_VideoInfo);
    EXPECT_TRUE(mt.type.bFixedSizeSamples);
    EXPECT_EQ(mt.type.lSampleSize, 240u * 964u);
    EXPECT_EQ(mt.type.cbFormat, sizeof(VIDEOINFOHEADER));
    EXPECT_EQ(filter->pin->bufferSize(), 231360);
}

TEST(MSDfilterMediaType, TopDownFramesHoldTheirAbsoluteHeight)
{
    VIDEOINFOHEADER topDown = rgbVideo(320, -240);
    Filter filter(&topDown);
    EXPECT_EQ(filter->pin->bufferSize(), 230400);
}

TEST(MSDfilterMediaType, SixteenBitRgbIsRgb555)
{
    VIDEOINFOHEADER rgb16 = rgbVideo(64, 48, 16);
    Filter filter(&rgb16);
    MediaTypeHolder mt;
    ASSERT_EQ(filter->pin->GetMediaType(&mt.type), S_OK);
    EXPECT_EQ(mt.type.subtype, MEDIASUBTYPE_RGB555);
}

TEST(MSDfilterMediaType, BitfieldsFollowTheGreenMask)
{
    BitfieldsVideo rgb565 = {rgbVideo(64, 48, 16, BI_BITFIELDS), {0xF800, 0x7E0, 0x1F}};
    Filter filter(&rgb565.info);
    MediaTypeHolder mt;
    ASSERT_EQ(filter->pin->GetMediaType(&mt.type), S_OK);
    EXPECT_EQ(mt.type.subtype, MEDIASUBTYPE_RGB565);
    ASSERT_EQ(mt.type.cbFormat, sizeof(VIDEOINFOHEADER) + 12);
    EXPECT_EQ(std::memcmp(mt.type.pbFormat + sizeof(VIDEOINFOHEADER), rgb565.masks, 12), 0);

    BitfieldsVideo odd = {rgbVideo(64, 48, 16, BI_BITFIELDS), {0xF000, 0xF00, 0xFF}};
    Filter refused(&odd.info);
    MediaTypeHolder none;
    EXPECT_EQ(refused->pin->GetMediaType(&none.type), E_UNEXPECTED);
}

TEST(MSDfilterMediaType, CompressedFramesGetTheirFourCC)
{
    VIDEOINFOHEADER mjpeg = rgbVideo(64, 48, 24, mmioFOURCC('M', 'J', 'P', 'G'));
    mjpeg.bmiHeader.biSizeImage = 5000;
    Filter filter(&mjpeg);
    MediaTypeHolder mt;
    ASSERT_EQ(filter->pin->GetMediaType(&mt.type), S_OK);
    EXPECT_EQ(mt.type.subtype, FourCCSubtype(mmioFOURCC('M', 'J', 'P', 'G')));
    EXPECT_FALSE(mt.type.bFixedSizeSamples);
    EXPECT_TRUE(mt.type.bTemporalCompression);
    EXPECT_EQ(mt.type.lSampleSize, 5000u);
    EXPECT_EQ(filter->pin->bufferSize(), 5000);
}

TEST(MSDfilterMediaType, AudioBuffersHoldTheSamplesPerBuffer)
{
    WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    Filter filter(&pcm, 44100);
    MediaTypeHolder mt;
    ASSERT_EQ(filter->pin->GetMediaType(&mt.type), S_OK);
    EXPECT_EQ(mt.type.majortype, MEDIATYPE_Audio);
    EXPECT_EQ(mt.type.cbFormat, 18u);
    EXPECT_EQ(filter->pin->bufferSize(), 176400);
}

TEST(MSDfilter, ClassIdAndPin)
{
    VIDEOINFOHEADER video = rgbVideo(64, 48);
    Filter filter(&video);
    CLSID id;
    ASSERT_EQ(filter->GetClassID(&id), S_OK);
    const CLSID expected = {0x512bf6ca, 0x3535, 0x4ffe, {0xb4, 0xe2, 0x40, 0xfc, 0x98, 0x96, 0x93, 0xbc}};
    EXPECT_EQ(id, expected);
    ComPtr<IPin> pin;
    ASSERT_EQ(filter->FindPin(L"Video MSD output pin", pin.put()), S_OK);
    PIN_DIRECTION direction;
    pin->QueryDirection(&direction);
    EXPECT_EQ(direction, PINDIR_OUTPUT);
}

// Without a running graph nobody takes the data: the delivery fails at once.
TEST(MSDfilter, DeliveryWithoutStreamingFailsPromptly)
{
    VIDEOINFOHEADER video = rgbVideo(64, 48);
    Filter filter(&video);
    std::vector<BYTE> frame(filter->pin->bufferSize());
    REFERENCE_TIME start = 0, stop = 400000;
    EXPECT_TRUE(filter->deliverSample(frame.data(), static_cast<long>(frame.size()), &start, &stop, true));
}

TEST(MSDfilter, PushesFramesWithTheirTimesAndEndsTheStream)
{
    VIDEOINFOHEADER video = rgbVideo(321, 240);
    Filter filter(&video);
    PushGraph graph(filter.get());
    ASSERT_TRUE(graph.ok);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));

    std::vector<BYTE> frame(231360);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<BYTE>(i * 7);
    REFERENCE_TIME start = 10 * 400000LL, stop = 11 * 400000LL;
    EXPECT_FALSE(filter->deliverSample(frame.data(), 231360, &start, &stop, true));
    REFERENCE_TIME laterStart = stop, laterStop = stop + 400000;
    EXPECT_FALSE(filter->deliverSample(frame.data(), 1000, &laterStart, &laterStop, false));

    // One byte more than the media sample holds: refused, nothing delivered.
    std::vector<BYTE> big(231361, 0xEE);
    EXPECT_TRUE(filter->deliverSample(big.data(), 231361, &laterStart, &laterStop, true));

    EXPECT_FALSE(filter->deliverSample(nullptr, 0, nullptr, nullptr, false));
    EXPECT_TRUE(graph.completes());
    // After end of stream a delivery does nothing.
    EXPECT_FALSE(filter->deliverSample(frame.data(), 1000, &start, &stop, true));

    std::vector<Recorder::Seen> seen = graph.recorder.samples();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bytes, 231360);
    EXPECT_EQ(seen[0].start, 4000000);
    EXPECT_EQ(seen[0].stop, 4400000);
    EXPECT_TRUE(seen[0].sync);
    EXPECT_EQ(seen[0].data, frame);
    EXPECT_EQ(seen[1].bytes, 1000);
    EXPECT_FALSE(seen[1].sync);
}

TEST(MSDfilter, AudioSamplesCarryTheirTimes)
{
    WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    Filter filter(&pcm, 44100);
    PushGraph graph(filter.get());
    ASSERT_TRUE(graph.ok);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    std::vector<BYTE> second(176400, 0x11);
    REFERENCE_TIME start = 10000000, stop = 20000000;
    EXPECT_FALSE(filter->deliverSample(second.data(), 176400, &start, &stop, true));
    std::vector<BYTE> more(176404, 0x22);
    EXPECT_TRUE(filter->deliverSample(more.data(), 176404, &start, &stop, true));
    EXPECT_FALSE(filter->deliverSample(nullptr, 0, nullptr, nullptr, false));
    EXPECT_TRUE(graph.completes());
    std::vector<Recorder::Seen> seen = graph.recorder.samples();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bytes, 176400);
    EXPECT_EQ(seen[0].start, 10000000);
    EXPECT_EQ(seen[0].stop, 20000000);
}

// Stopping the graph while the pin waits for data ends its thread; a later
// delivery fails instead of waiting for ever.
TEST(MSDfilter, StopWhileWaitingForDataDoesNotHang)
{
    VIDEOINFOHEADER video = rgbVideo(64, 48);
    Filter filter(&video);
    PushGraph graph(filter.get());
    ASSERT_TRUE(graph.ok);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(SUCCEEDED(graph.control->Stop()));
    std::vector<BYTE> frame(filter->pin->bufferSize());
    REFERENCE_TIME start = 0, stop = 400000;
    EXPECT_TRUE(filter->deliverSample(frame.data(), static_cast<long>(frame.size()), &start, &stop, true));
}

// A new buffer length takes effect when the graph reconnects the pin: the
// allocator is negotiated again with the new size.
TEST(MSDfilter, ReconnectionNegotiatesTheNewBufferSize)
{
    WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    Filter filter(&pcm, 100);
    PushGraph graph(filter.get());
    ASSERT_TRUE(graph.ok);
    filter->pin->setSamplesPerBuffer(200);
    ASSERT_EQ(graph.graph->Reconnect(filter->pin), S_OK);
    ComPtr<IPin> peer;
    ASSERT_EQ(filter->pin->ConnectedTo(peer.put()), S_OK);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    std::vector<BYTE> block(800, 0x33);
    REFERENCE_TIME start = 0, stop = 200 * 10000000LL / 44100;
    EXPECT_FALSE(filter->deliverSample(block.data(), 800, &start, &stop, true));
    EXPECT_FALSE(filter->deliverSample(nullptr, 0, nullptr, nullptr, false));
    EXPECT_TRUE(graph.completes());
    std::vector<Recorder::Seen> seen = graph.recorder.samples();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bytes, 800);
}
