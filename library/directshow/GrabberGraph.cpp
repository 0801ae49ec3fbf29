#include "GrabberGraph.h"

#include "../core/ErrorCodes.h"
#include "DirectShowIds.h"
#include "GraphHelpers.h"

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

    int code = 0;
    if (!connectStream(graph, chain.source, chain.grabberFilter, streamIndex, &code))
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
