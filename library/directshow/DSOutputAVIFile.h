#pragma once

#include "../output/OutputAVIFile.h"
#include "DSAudioOrVideoStream.h"

#include <windows.h>
#include <strmif.h>
#include <control.h>

class MSDfilter;

// AVI writer on a DirectShow graph: one push source per stream, optional
// compressor filters, the platform's AVI mux and file writer. The graph runs
// without a reference clock on a thread of the writer; each write is handed
// to the stream's source and returns once the graph has taken it.
class TRELIX_API DSOutputAVIFile : public DSAudioOrVideoStream, public OutputAVIFile {
public:
    ~DSOutputAVIFile() override;
    void configureAVI(void* parentWindow) override;
    bool isAutomaticallyInterleaved() override;
    LONGLONG interleavingPeriod() override;
    bool setAutomaticInterleaving(bool on) override;
    bool canSetCompressor(bool video) override;
    // `compressor` is the IMoniker of a compressor filter; null stores the
    // stream as written.
    bool setCompressor(bool video, void* compressor) override;
    bool isCompressorSet(bool video) override;
    bool chooseCompressor(void* parentWindow, bool video) override;
    void configureCompressor(void* parentWindow, bool video) override;
    bool canRun() override;
    bool start() override;
    bool writeFrame(long first, unsigned char* data, long count, long bytes, bool key) override;
    bool writeSample(long first, unsigned char* data, long count, long bytes, bool key) override;
    bool close() override;

    static DSOutputAVIFile* create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                   const WAVEFORMATEX* audio, bool compressAudio);

private:
    DSOutputAVIFile();
    int build(const char* fileName);
    int addFileWriter();
    int addVideoSource();
    int addAudioSource();
    int createSource(MSDfilter*& source, HRESULT result, MSDfilter* made, int failure);
    bool installCompressor(bool video, IMoniker* moniker);
    void updateAudioBuffer(LONGLONG period);
    static DWORD WINAPI graphThreadMain(void* writer);
    void runGraph();
    void finishGraph();
    void waitForCompletion(HANDLE graphEvent);
    bool deliver(MSDfilter* source, unsigned char* data, long bytes, REFERENCE_TIME start, REFERENCE_TIME stop,
                 bool key);

    wchar_t* wideFileName;
    IGraphBuilder* graph;
    IBaseFilter* mux;
    MSDfilter* videoSource;
    MSDfilter* audioSource;
    IMediaControl* mediaControl;
    IMediaEvent* mediaEvent;
    HANDLE startedEvent;
    HANDLE stopEvent;
    HANDLE graphThread;
    IBaseFilter* videoCompressor;
    IBaseFilter* audioCompressor;
};
