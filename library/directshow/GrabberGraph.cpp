#include "GrabberGraph.h"

#include <new>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "BoundedJob.h"
#include "DirectShowIds.h"
#include "GraphHelpers.h"

namespace {

// Longest wait for the connection of the stream, which makes the graph load
// and start the splitter. Wine's GStreamer splitter now and then never
// returns from its connection to a damaged file (text, empty, truncated);
// real files connect in well under a second.
constexpr DWORD kConnectTimeout = 20000;

// connectStream on a thread of its own, with its own references, so that a
// connection that never returns leaves the stream free to fail.
class ConnectJob : public BoundedJob {
public:
    ConnectJob(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* grabber, int streamIndex)
        : graph(graph), source(source), grabber(grabber), streamIndex(streamIndex)
    {
    }
    bool connected = false;
    int code = 0;

protected:
    void run() override { connected = connectStream(graph.get(), source.get(), grabber.get(), streamIndex, &code); }

private:
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> source;
    ComPtr<IBaseFilter> grabber;
    int streamIndex;
};

// 0, connectStream's code, or 31 when the connection did not end in time.
int connectBounded(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* grabber, int streamIndex)
{
    auto* job = new (std::nothrow) ConnectJob(graph, source, grabber, streamIndex);
    if (!job)
        return DSError::OutOfMemory;
    int code = DSError::CannotConnect;
    if (job->start(kConnectTimeout))
        code = job->connected ? 0 : job->code;
    job->release();
    return code;
}

} // namespace

int createFilterGraph(IGraphBuilder** graph, DWORD* rotRegister)
{
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(graph))))
        return DSError::CannotCreateGraphBuilder;
    addGraphToRot(*graph, rotRegister);
    return 0;
}

int addGrabberChain(IGraphBuilder* graph, const wchar_t* fileName, int streamIndex, const GUID& major,
                    const GUID* subtype, GrabberChain& chain)
{
    if (FAILED(graph->AddSourceFilter(fileName, L"source", &chain.source)))
        return DSError::CannotOpenFile;

    if (FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&chain.grabberFilter))) ||
        FAILED(chain.grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&chain.grabber))))
        return DSError::CannotCreateSampleGrabber;
    if (FAILED(graph->AddFilter(chain.grabberFilter, L"sample_grabber")))
        return DSError::CannotAddFilter;
    AM_MEDIA_TYPE accepted = {};
    accepted.majortype = major;
    if (subtype)
        accepted.subtype = *subtype;
    if (FAILED(chain.grabber->SetMediaType(&accepted)))
        return DSError::CannotSetMediaType;

    if (int code = connectBounded(graph, chain.source, chain.grabberFilter, streamIndex))
        return code;

    if (FAILED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&chain.nullRenderer))))
        return DSError::NoNullRenderer;
    if (FAILED(graph->AddFilter(chain.nullRenderer, L"null_renderer")))
        return DSError::CannotAddFilter;
    if (FAILED(connectFilters(graph, chain.grabberFilter, chain.nullRenderer)))
        return DSError::CannotConnect;
    return 0;
}
