// Decode rate of a bare DirectShow graph, the ceiling of the DirectShow video
// source: file source -> (splitter, decoder) -> sample grabber accepting
// RGB24 -> null renderer, without a reference clock, played to its end. The
// grabber's callback only counts the samples.
//
//   BareGraphBenchmark FILE
//
// Prints frames, seconds from Run to the end, frames per second and the
// multiple of real time at 25 frames per second.
#include <cstdio>
#include <initializer_list>

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "BenchClock.h"

extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

namespace {

class CountingCallback : public ISampleGrabberCB {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (riid != IID_ISampleGrabberCB && riid != IID_IUnknown)
            return E_NOINTERFACE;
        *object = this;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample*) override
    {
        ++samples;
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return S_OK; }
    long samples = 0;
};

IPin* firstPin(IBaseFilter* filter, PIN_DIRECTION direction)
{
    IEnumPins* pins = nullptr;
    IPin* found = nullptr;
    if (FAILED(filter->EnumPins(&pins)))
        return nullptr;
    IPin* pin = nullptr;
    while (!found && pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION d;
        if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction)
            found = pin;
        else
            pin->Release();
    }
    pins->Release();
    return found;
}

bool connect(IGraphBuilder* graph, IBaseFilter* from, IBaseFilter* to)
{
    IPin* out = firstPin(from, PINDIR_OUTPUT);
    IPin* in = firstPin(to, PINDIR_INPUT);
    bool ok = out && in && SUCCEEDED(graph->Connect(out, in));
    if (out)
        out->Release();
    if (in)
        in->Release();
    return ok;
}

int measure(const wchar_t* file)
{
    IGraphBuilder* graph = nullptr;
    IBaseFilter *source = nullptr, *grabberFilter = nullptr, *renderer = nullptr;
    ISampleGrabber* grabber = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(&graph))) ||
        FAILED(graph->AddSourceFilter(file, L"source", &source)) ||
        FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&grabberFilter))) ||
        FAILED(grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&grabber))) ||
        FAILED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&renderer)))) {
        std::fprintf(stderr, "cannot build the graph\n");
        return 1;
    }
    AM_MEDIA_TYPE accepted = {};
    accepted.majortype = MEDIATYPE_Video;
    accepted.subtype = MEDIASUBTYPE_RGB24;
    grabber->SetMediaType(&accepted);
    CountingCallback counter;
    grabber->SetCallback(&counter, 0);
    graph->AddFilter(grabberFilter, L"grabber");
    graph->AddFilter(renderer, L"renderer");
    if (!connect(graph, source, grabberFilter) || !connect(graph, grabberFilter, renderer)) {
        std::fprintf(stderr, "cannot connect the graph\n");
        return 1;
    }
    IMediaFilter* mediaFilter = nullptr;
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;
    graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&mediaFilter));
    graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events));
    mediaFilter->SetSyncSource(nullptr);
    BenchClock timer;
    control->Run();
    long code = 0;
    events->WaitForCompletion(INFINITE, &code);
    double seconds = timer.seconds();
    control->Stop();
    std::printf("bare graph %ls: frames=%ld seconds=%.3f fps=%.1f realtime=%.1fx\n", file, counter.samples, seconds,
                counter.samples / seconds, counter.samples / seconds / 25.0);
    grabber->SetCallback(nullptr, 0);
    for (IUnknown* p : {static_cast<IUnknown*>(events), static_cast<IUnknown*>(control),
                        static_cast<IUnknown*>(mediaFilter), static_cast<IUnknown*>(grabber),
                        static_cast<IUnknown*>(renderer), static_cast<IUnknown*>(grabberFilter),
                        static_cast<IUnknown*>(source), static_cast<IUnknown*>(graph)})
        p->Release();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: BareGraphBenchmark FILE\n");
        return 2;
    }
    wchar_t file[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, file, MAX_PATH);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = measure(file);
    CoUninitialize();
    return result;
}
