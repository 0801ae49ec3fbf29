#include "GrabberGraph.h"

#include <new>
#include <set>
#include <string>

#include <strsafe.h>

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

// Files whose connection never returned in this process. Wine's splitter
// blocks the same way on every later connection to such a file, so their
// next streams fail at once instead of after another wait. A file is known
// by name, size and write time: one replaced since is tried again.
class StalledFiles {
public:
    static bool known(const wchar_t* fileName)
    {
        std::wstring key = keyOf(fileName);
        AcquireSRWLockShared(&lock);
        bool found = !key.empty() && files().count(key) != 0;
        ReleaseSRWLockShared(&lock);
        return found;
    }
    static void remember(const wchar_t* fileName)
    {
        std::wstring key = keyOf(fileName);
        if (key.empty())
            return;
        AcquireSRWLockExclusive(&lock);
        try {
            files().insert(key);
        } catch (...) {
            // Out of memory: the file is just not remembered.
        }
        ReleaseSRWLockExclusive(&lock);
    }

private:
    static std::set<std::wstring>& files()
    {
        static std::set<std::wstring> stalled;
        return stalled;
    }
    // Empty when the file has no attributes or memory is short.
    static std::wstring keyOf(const wchar_t* fileName)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!fileName || !GetFileAttributesExW(fileName, GetFileExInfoStandard, &data))
            return std::wstring();
        wchar_t stamp[64];
        StringCchPrintfW(stamp, 64, L"|%lu|%lu|%lu|%lu", data.nFileSizeHigh, data.nFileSizeLow,
                 data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
        try {
            return std::wstring(fileName) + stamp;
        } catch (...) {
            return std::wstring();
        }
    }
    static SRWLOCK lock;
};

SRWLOCK StalledFiles::lock = SRWLOCK_INIT;

// 0, connectStream's code, or 31 when the connection did not end in time.
int connectBounded(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* grabber, int streamIndex,
                   const wchar_t* fileName)
{
    auto* job = new (std::nothrow) ConnectJob(graph, source, grabber, streamIndex);
    if (!job)
        return DSError::OutOfMemory;
    int code = DSError::CannotConnect;
    if (job->start(kConnectTimeout))
        code = job->connected ? 0 : job->code;
    else
        StalledFiles::remember(fileName);
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
    if (StalledFiles::known(fileName))
        return DSError::CannotConnect;
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

    if (int code = connectBounded(graph, chain.source, chain.grabberFilter, streamIndex, fileName))
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
