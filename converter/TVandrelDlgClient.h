#pragma once

#include <atomic>
#include <string>

#include "ConversionObserver.h"
#include "ConversionRun.h"
#include "DialogBase.h"
#include "Trelix.h"

// The converter's window: dialog 2000, the sources, the output and the run.
class TVandrelDlgClient : public DialogBase, public ConversionObserver {
public:
    TVandrelDlgClient();
    ~TVandrelDlgClient() override;

    bool canClose() const { return !running; }
    bool isRunning() const { return running; }
    // True from Start until the run's last thread has finished EndConversion.
    bool runInProgress() const { return threadActive; }
    // Applies the enabling rules to every control.
    void UpdateControls();

    // Handlers, public so that the program's tests can reach each one.
    void ChooseVideoFile(const std::string& name);
    void ChooseAudioFile(const std::string& name);
    void ChooseOutputFile(const std::string& name);
    void StartConversion();
    void StopConversion();

    // Conversion observer.
    void progress(int percent) override;
    std::string statusText() override;
    void status(const std::string& text) override;
    void firstMoved(bool video, long first) override;
    bool fillHollow() override;
    void frame(unsigned char* data) override;
    void sourceError(bool video) override;
    void outputError() override;
    void threadStartFailed() override;

protected:
    void setupWindow() override;
    void command(int id, int code) override;
    bool drawItem(int id, const DRAWITEMSTRUCT& item) override;

private:
    bool videoMode() const;
    bool audioMode() const;
    void updateRunning();
    void updateIdle();
    void updateOutputControls();

    int openOptions(bool video) const;
    SourceStream* openSource(bool video, int track);
    SourceStream* reportSource(SourceStream* source);
    bool ReportStreamError(AudioOrVideoStream* stream);
    void ReportSourceError(bool video);
    void ReportOutputError();

    void destroyVideo();
    void destroyAudio();
    void destroyOutput();
    void clearVideoFields();
    void clearAudioFields();
    void clearOutputFields();
    void showVideoInfo();
    void showAudioInfo(const char* fileName);
    void FillTrackLists(bool video, bool audio);
    void fillTrackList(int id, int count, bool failed);
    void ClampRange(bool video);
    void endOfStream(bool video);

    std::string askFile(bool save, const char* filter, const char* title);
    void onChooseVideo();
    void onChooseAudio();
    void onChooseOutput();
    void onSourceMode(int id);
    void sameFileRule();
    void onVideoBackend(bool directShow);
    void onAudioBackend(bool directShow);
    void onDirectCopy(bool video);
    void onTrackChanged(bool video);
    void onOutputBackend();
    void onReset();
    void onCompressor(int id);
    void onConfigureAVI();
    void onConfigureSource(bool video);
    void createOutput(const std::string& name);
    void reportNewOutput();

    static DWORD WINAPI ConversionThread(void* self);
    void ConvertStreams();
    static DWORD WINAPI InterleavedConversionThread(void* self);
    ConversionRange rangeFromEdits() const;
    void EndConversion();

    SourceStream* videoSource = nullptr;
    SourceStream* audioSource = nullptr;
    OutputAVIFile* output = nullptr;
    bool running = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> threadActive{false};
    // Sources whose fatal read error came during a run: the output still holds
    // their format records, so they go only after the output (EndConversion).
    bool videoFailed = false;
    bool audioFailed = false;
    AutomaticInterleaveEngine engine;
    CriticalSection statusLock;
    bool noTruncation = true;
    int audioTrack = 0;
    int videoTrack = 0;
    VIDEOINFOHEADER videoInfo{};
    RECT previewRect{0, 0, 0, 0};
    HBITMAP previewBitmap = nullptr;
    unsigned char* previewBits = nullptr;
};
