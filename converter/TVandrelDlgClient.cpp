#include "TVandrelDlgClient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <commctrl.h>
#include <commdlg.h>
#include <uuids.h>

#include "ConversionSetup.h"
#include "PreviewResampler.h"
#include "core/ErrorCodes.h"
#include "VandrelIds.h"

namespace {

bool sameName(const std::string& a, const std::string& b)
{
    return _stricmp(a.c_str(), b.c_str()) == 0;
}

// Hourglass for the life of a handler that destroys or replaces objects.
struct WaitCursor {
    HCURSOR previous = SetCursor(LoadCursor(nullptr, IDC_WAIT));
    ~WaitCursor() { SetCursor(LoadCursor(nullptr, IDC_ARROW)); }
};

} // namespace

TVandrelDlgClient::TVandrelDlgClient() = default;

TVandrelDlgClient::~TVandrelDlgClient()
{
    // The window is gone by now; a run cannot be in progress (closing is refused).
    delete videoSource;
    delete audioSource;
    delete output;
    if (previewBitmap)
        DeleteObject(previewBitmap);
}

void TVandrelDlgClient::setupWindow()
{
    // The help buttons are small: their icons are the 16x16 ones, shared so
    // that the system frees them.
    HINSTANCE instance = GetModuleHandleA(nullptr);
    for (auto [button, icon] : {std::pair<int, int>{IDC_CONTEXTHELP, IDI_CONTEXTHELP}, {IDC_HELPCONTENTS, IDI_HELPCONTENTS}})
        SendDlgItemMessageA(hwnd, button, BM_SETIMAGE, IMAGE_ICON,
                            reinterpret_cast<LPARAM>(
                                LoadImageA(instance, MAKEINTRESOURCEA(icon), IMAGE_ICON, 16, 16, LR_SHARED)));
    for (int id : {IDC_MODE_BOTH, IDC_PREVIEW_ON, IDC_VIDEO_AUTO, IDC_SAME_FILE, IDC_AUDIO_AUTO, IDC_OUT_DIRECTSHOW,
                   IDC_FILL_HOLLOW})
        setCheck(id, true);
    SendDlgItemMessageA(hwnd, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    UpdateControls();
}

bool TVandrelDlgClient::videoMode() const
{
    return checked(IDC_MODE_VIDEO) || checked(IDC_MODE_BOTH);
}

bool TVandrelDlgClient::audioMode() const
{
    return checked(IDC_MODE_AUDIO) || checked(IDC_MODE_BOTH);
}

void TVandrelDlgClient::UpdateControls()
{
    if (running)
        updateRunning();
    else
        updateIdle();
}

void TVandrelDlgClient::updateRunning()
{
    enable(IDC_STOP, true);
    enable(IDC_PREVIEW_ON, videoMode() && !checked(IDC_VIDEO_RAW));
    static const int locked[] = {IDOK, IDCANCEL, 103, 104, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115,
                                 117, 118, 119, 120, 121, 122, 123, 124, 125, 127, 131, 134, 135, 136, 137,
                                 139, 140, 141, 144, 145, 146, 147, 148, 149, 152, 154, 155, 156};
    for (int id : locked)
        enable(id, false);
}

void TVandrelDlgClient::updateIdle()
{
    enable(IDC_STOP, false);
    for (int id : {IDOK, IDCANCEL, IDC_OUT_DIRECTSHOW, IDC_OUT_VFW, IDC_FILL_HOLLOW, IDC_MODE_VIDEO, IDC_MODE_AUDIO,
                   IDC_MODE_BOTH})
        enable(id, true);
    bool video = videoMode(), audio = audioMode();
    bool haveVideo = video && videoSource, haveAudio = audio && audioSource;
    for (int id : {IDC_VIDEO_AUTO, IDC_VIDEO_DIRECTSHOW, IDC_VIDEO_VFW, IDC_VIDEO_RAW, IDC_VIDEO_SELECT})
        enable(id, video);
    enable(IDC_VIDEO_CONFIG, haveVideo && videoSource->usesDirectShow());
    enable(IDC_SAME_FILE, video && checked(IDC_MODE_BOTH));
    enable(IDC_PREVIEW_ON, video && !checked(IDC_VIDEO_RAW));
    for (int id : {IDC_VIDEO_FIRST, IDC_VIDEO_LAST, IDC_VIDEO_END, IDC_VIDEO_TRACK})
        enable(id, haveVideo);
    enable(IDC_VIDEO_KEY, haveVideo && videoSource->isRawData());
    for (int id : {IDC_AUDIO_AUTO, IDC_AUDIO_DIRECTSHOW, IDC_AUDIO_ACM, IDC_AUDIO_RAW})
        enable(id, audio);
    enable(IDC_AUDIO_CONFIG, haveAudio && audioSource->usesDirectShow());
    enable(IDC_AUDIO_SELECT, audio && !(checked(IDC_MODE_BOTH) && checked(IDC_SAME_FILE)));
    for (int id : {IDC_AUDIO_FIRST, IDC_AUDIO_LAST, IDC_AUDIO_END, IDC_AUDIO_TRACK})
        enable(id, haveAudio);
    enable(IDC_AUDIO_KEY, haveAudio && audioSource->isRawData());
    enable(IDC_OUT_SELECT, (checked(IDC_MODE_VIDEO) && videoSource) || (checked(IDC_MODE_AUDIO) && audioSource) ||
                               (checked(IDC_MODE_BOTH) && videoSource && audioSource));
    updateOutputControls();
}

void TVandrelDlgClient::updateOutputControls()
{
    if (!output) {
        for (int id : {IDC_CONFIGURE_AVI, IDC_TRUNCATE, IDC_VIDEO_COMPRESSOR, IDC_VIDEO_CONFIGURE,
                       IDC_AUDIO_COMPRESSOR, IDC_AUDIO_CONFIGURE, IDC_START, IDC_RESET})
            enable(id, false);
        enable(IDC_VIDEO_UNCOMPRESSED, videoMode() && !checked(IDC_VIDEO_RAW));
        enable(IDC_AUDIO_UNCOMPRESSED, audioMode() && !checked(IDC_AUDIO_RAW));
        return;
    }
    enable(IDC_CONFIGURE_AVI, true);
    enable(IDC_TRUNCATE, output->isAutomaticallyInterleaved());
    bool videoFree = output->canSetCompressor(true), audioFree = output->canSetCompressor(false);
    enable(IDC_VIDEO_COMPRESSOR, videoFree);
    enable(IDC_VIDEO_UNCOMPRESSED, videoFree);
    enable(IDC_VIDEO_CONFIGURE, output->isCompressorSet(true));
    enable(IDC_AUDIO_COMPRESSOR, audioFree);
    enable(IDC_AUDIO_UNCOMPRESSED, audioFree);
    enable(IDC_AUDIO_CONFIGURE, output->isCompressorSet(false));
    enable(IDC_START, output->canRun());
    enable(IDC_RESET, (output->videoFormat() && !videoFree) || (output->audioFormat() && !audioFree));
}

void TVandrelDlgClient::command(int id, int code)
{
    // A command that comes while F1 is held down asks for its help instead.
    if (GetKeyState(VK_F1) < 0 && code == BN_CLICKED) {
        PostMessageA(GetParent(hwnd), WM_HELP_ON_CONTROL, id, 0);
        return;
    }
    if (code == CBN_SELCHANGE && (id == IDC_VIDEO_TRACK || id == IDC_AUDIO_TRACK))
        return onTrackChanged(id == IDC_VIDEO_TRACK);
    if (code == EN_KILLFOCUS) {
        if ((id == IDC_VIDEO_FIRST || id == IDC_VIDEO_LAST) && videoSource)
            ClampRange(true);
        if ((id == IDC_AUDIO_FIRST || id == IDC_AUDIO_LAST) && audioSource)
            ClampRange(false);
        return;
    }
    if (code != BN_CLICKED)
        return;
    switch (id) {
    case IDC_MODE_VIDEO: case IDC_MODE_AUDIO: case IDC_MODE_BOTH: return onSourceMode(id);
    case IDC_SAME_FILE: sameFileRule(); break;
    case IDC_VIDEO_SELECT: return onChooseVideo();
    case IDC_AUDIO_SELECT: return onChooseAudio();
    case IDC_VIDEO_DIRECTSHOW: case IDC_VIDEO_VFW: onVideoBackend(id == IDC_VIDEO_DIRECTSHOW); break;
    case IDC_AUDIO_DIRECTSHOW: case IDC_AUDIO_ACM: onAudioBackend(id == IDC_AUDIO_DIRECTSHOW); break;
    case IDC_VIDEO_RAW: case IDC_AUDIO_RAW: onDirectCopy(id == IDC_VIDEO_RAW); break;
    case IDC_VIDEO_CONFIG: case IDC_AUDIO_CONFIG: onConfigureSource(id == IDC_VIDEO_CONFIG); break;
    case IDC_VIDEO_KEY:
        if (videoSource && videoSource->isRawData())
            setNumber(IDC_VIDEO_FIRST, dynamic_cast<RawDataSourceStream*>(videoSource)->firstKeySample());
        break;
    case IDC_AUDIO_KEY:
        if (audioSource && audioSource->isRawData())
            setNumber(IDC_AUDIO_FIRST, dynamic_cast<RawDataSourceStream*>(audioSource)->firstKeySample());
        break;
    case IDC_VIDEO_END: case IDC_AUDIO_END: endOfStream(id == IDC_VIDEO_END); break;
    case IDC_OUT_SELECT: return onChooseOutput();
    case IDC_OUT_DIRECTSHOW: case IDC_OUT_VFW: onOutputBackend(); break;
    case IDC_RESET: onReset(); break;
    case IDC_VIDEO_COMPRESSOR: case IDC_AUDIO_COMPRESSOR: case IDC_VIDEO_CONFIGURE: case IDC_AUDIO_CONFIGURE:
    case IDC_VIDEO_UNCOMPRESSED: case IDC_AUDIO_UNCOMPRESSED: return onCompressor(id);
    case IDC_CONFIGURE_AVI: return onConfigureAVI();
    case IDC_TRUNCATE:
        noTruncation = !noTruncation;
        setCheck(IDC_TRUNCATE, !noTruncation);
        return;
    case IDC_HELPCONTENTS: case IDC_CONTEXTHELP:
        // Help belongs to the application (the frame).
        PostMessageA(GetParent(hwnd), WM_COMMAND, id == IDC_HELPCONTENTS ? IDM_HELP_CONTENTS : IDM_CONTEXT_HELP, 0);
        return;
    case IDC_START: return StartConversion();
    case IDC_STOP: return StopConversion();
    case IDOK: case IDCANCEL:
        if (canClose())
            PostMessageA(GetParent(hwnd), WM_CLOSE, 0, 0);
        return;
    default: return;
    }
    UpdateControls();
}

// ---- error reports

bool TVandrelDlgClient::ReportStreamError(AudioOrVideoStream* stream)
{
    if (!stream) {
        MessageBoxA(hwnd, "Error number 2:\nNot enough memory", "Trelix library", MB_OK | MB_ICONERROR);
        return true;
    }
    if (stream->lastError == 0)
        return false;
    MessageBoxA(hwnd, streamErrorText(*stream).c_str(), "Trelix library",
                MB_OK | (stream->lastError_isFatal() ? MB_ICONERROR : MB_ICONEXCLAMATION));
    return true;
}

// The source report of a fresh open: a fatal error destroys the object.
SourceStream* TVandrelDlgClient::reportSource(SourceStream* source)
{
    ReportStreamError(source);
    if (source && !source->resetLastError()) {
        delete source;
        return nullptr;
    }
    return source;
}

void TVandrelDlgClient::ReportSourceError(bool video)
{
    SourceStream*& source = video ? videoSource : audioSource;
    if (!source)
        return;
    ReportStreamError(source);
    if (source->resetLastError())
        return;
    if (running) {
        (video ? videoFailed : audioFailed) = true;
        return;
    }
    delete source;
    source = nullptr;
}

void TVandrelDlgClient::ReportOutputError()
{
    if (!output)
        return;
    ReportStreamError(output);
    if (!output->resetLastError())
        destroyOutput();
}

// ---- objects and fields

void TVandrelDlgClient::destroyVideo()
{
    delete videoSource;
    videoSource = nullptr;
    clearVideoFields();
}

void TVandrelDlgClient::destroyAudio()
{
    delete audioSource;
    audioSource = nullptr;
    clearAudioFields();
}

void TVandrelDlgClient::destroyOutput()
{
    delete output;
    output = nullptr;
    clearOutputFields();
}

void TVandrelDlgClient::clearVideoFields()
{
    for (int id : {IDC_VIDEO_FILE, IDC_VIDEO_FIRST, IDC_VIDEO_LAST, IDC_FRAME_RATE, IDC_VIDEO_DURATION})
        setText(id, "");
    SendDlgItemMessageA(hwnd, IDC_VIDEO_TRACK, CB_RESETCONTENT, 0, 0);
}

void TVandrelDlgClient::clearAudioFields()
{
    for (int id : {IDC_AUDIO_FILE, IDC_AUDIO_FIRST, IDC_AUDIO_LAST, IDC_SAMPLE_RATE, IDC_AUDIO_DURATION})
        setText(id, "");
    SendDlgItemMessageA(hwnd, IDC_AUDIO_TRACK, CB_RESETCONTENT, 0, 0);
}

void TVandrelDlgClient::clearOutputFields()
{
    setText(IDC_OUT_FILE, "");
    setText(IDC_PERIOD, "");
}

int TVandrelDlgClient::openOptions(bool video) const
{
    SourceBackend backend = checked(video ? IDC_VIDEO_AUTO : IDC_AUDIO_AUTO) ? SourceBackend::Automatic
        : checked(video ? IDC_VIDEO_DIRECTSHOW : IDC_AUDIO_DIRECTSHOW)      ? SourceBackend::DirectShow
                                                                            : SourceBackend::VfW;
    return sourceOpenOptions(video, checked(video ? IDC_VIDEO_RAW : IDC_AUDIO_RAW), backend, checked(IDC_MINIMIZE));
}

// Opens through the wait dialog; the radios then show the backend in use.
SourceStream* TVandrelDlgClient::openSource(bool video, int track)
{
    std::string file = text(video ? IDC_VIDEO_FILE : IDC_AUDIO_FILE);
    SourceStream* source = reportSource(SourceStream::open(openOptions(video), hwnd, &file[0], track, nullptr));
    if (source) {
        bool ds = source->usesDirectShow();
        setCheck(video ? IDC_VIDEO_AUTO : IDC_AUDIO_AUTO, false);
        setCheck(video ? IDC_VIDEO_DIRECTSHOW : IDC_AUDIO_DIRECTSHOW, ds);
        setCheck(video ? IDC_VIDEO_VFW : IDC_AUDIO_ACM, !ds);
    }
    return source;
}

void TVandrelDlgClient::showVideoInfo()
{
    setNumber(IDC_VIDEO_LAST, videoSource->duration() - 1);
    char line[64] = "";
    if (videoSource->isRawData()) {
        auto* raw = dynamic_cast<RawDataSourceStream*>(videoSource);
        setNumber(IDC_VIDEO_FIRST, raw->firstKeySample());
        AM_MEDIA_TYPE* type = raw->format();
        bool hasTime = type->formattype == FORMAT_VideoInfo || type->formattype == FORMAT_VideoInfo2 ||
                       type->formattype == FORMAT_MPEGVideo || type->formattype == FORMAT_MPEG2Video;
        LONGLONG perFrame = 0;
        if (hasTime && type->pbFormat && type->cbFormat >= 48)
            std::memcpy(&perFrame, type->pbFormat + 40, sizeof perFrame);
        if (perFrame > 0)
            std::snprintf(line, sizeof line, "frame rate = %.2f /s", 10000000.0 / perFrame);
    } else {
        setText(IDC_VIDEO_FIRST, "0");
        std::snprintf(line, sizeof line, "frame rate = %.2f /s", dynamic_cast<VideoSourceStream*>(videoSource)->frameRate());
    }
    setText(IDC_FRAME_RATE, line);
    std::snprintf(line, sizeof line, "stream duration = %.3f s", videoSource->msDuration() * 0.001);
    setText(IDC_VIDEO_DURATION, line);
    ReportSourceError(true);
}

void TVandrelDlgClient::showAudioInfo(const char* fileName)
{
    if (fileName)
        setText(IDC_AUDIO_FILE, fileName);
    setText(IDC_AUDIO_FIRST, "0");
    setNumber(IDC_AUDIO_LAST, audioSource->duration() - 1);
    char line[64] = "";
    const WAVEFORMATEX* wave = nullptr;
    if (audioSource->isRawData()) {
        AM_MEDIA_TYPE* type = dynamic_cast<RawDataSourceStream*>(audioSource)->format();
        if (type->formattype == FORMAT_WaveFormatEx && type->pbFormat && type->cbFormat >= sizeof(WAVEFORMAT))
            wave = reinterpret_cast<WAVEFORMATEX*>(type->pbFormat);
    } else {
        wave = dynamic_cast<AudioSourceStream*>(audioSource)->format();
    }
    if (wave)
        std::snprintf(line, sizeof line, "samples rate = %u /s", static_cast<unsigned>(wave->nSamplesPerSec));
    setText(IDC_SAMPLE_RATE, line);
    std::snprintf(line, sizeof line, "stream duration = %.3f s", audioSource->msDuration() * 0.001);
    setText(IDC_AUDIO_DURATION, line);
    ReportSourceError(false);
}

void TVandrelDlgClient::fillTrackList(int id, int count, bool failed)
{
    SendDlgItemMessageA(hwnd, id, CB_RESETCONTENT, 0, 0);
    if (failed || count <= 0)
        count = 1;
    for (int i = 0; i < count; ++i)
        SendDlgItemMessageA(hwnd, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_string(i).c_str()));
    SendDlgItemMessageA(hwnd, id, CB_SETCURSEL, 0, 0);
    (id == IDC_VIDEO_TRACK ? videoTrack : audioTrack) = 0;
}

void TVandrelDlgClient::FillTrackLists(bool video, bool audio)
{
    std::string videoFile = text(IDC_VIDEO_FILE), audioFile = text(IDC_AUDIO_FILE);
    auto probeError = [this](int code, bool ds) {
        const char* message = MediaContainer::Message(static_cast<MediaContainer::Error>(code));
        MessageBoxA(hwnd, libraryErrorText(code, ds, message).c_str(), "Trelix library", MB_OK | MB_ICONEXCLAMATION);
    };
    int videoCount = 0, audioCount = 0;
    bool videoDS = videoSource && videoSource->usesDirectShow();
    bool audioDS = audioSource && audioSource->usesDirectShow();
    int videoError = 0, audioError = 0;
    if (video && audio && !audioFile.empty() && sameName(videoFile, audioFile)) {
        videoError = audioError = MediaContainer::streamsNumber(&videoFile[0], videoDS, &videoCount, &audioCount);
        if (videoError)
            probeError(videoError, videoDS);
    } else {
        if (video && (videoError = MediaContainer::streamsNumber(&videoFile[0], videoDS, &videoCount, nullptr)))
            probeError(videoError, videoDS);
        if (audio && (audioError = MediaContainer::streamsNumber(&audioFile[0], audioDS, nullptr, &audioCount)))
            probeError(audioError, audioDS);
    }
    if (video)
        fillTrackList(IDC_VIDEO_TRACK, videoCount, videoError != 0);
    if (audio)
        fillTrackList(IDC_AUDIO_TRACK, audioCount, audioError != 0);
}

void TVandrelDlgClient::ClampRange(bool video)
{
    SourceStream* source = video ? videoSource : audioSource;
    int firstId = video ? IDC_VIDEO_FIRST : IDC_AUDIO_FIRST, lastId = video ? IDC_VIDEO_LAST : IDC_AUDIO_LAST;
    long first = number(firstId), last = number(lastId);
    long newFirst = first, newLast = last;
    clampRange(source->duration(), newFirst, newLast);
    if (newLast != last)
        setNumber(lastId, newLast);
    if (newFirst != first)
        setNumber(firstId, newFirst);
}

void TVandrelDlgClient::endOfStream(bool video)
{
    SourceStream* source = video ? videoSource : audioSource;
    if (!source)
        return;
    long d = source->duration();
    if (d == -1)
        return ReportSourceError(video);
    setNumber(video ? IDC_VIDEO_LAST : IDC_AUDIO_LAST, d - 1);
    ClampRange(video);
}

// ---- file choices

std::string TVandrelDlgClient::askFile(bool save, const char* filter, const char* title)
{
    char name[260] = "";
    OPENFILENAMEA description{};
    description.lStructSize = sizeof description;
    description.hwndOwner = hwnd;
    description.lpstrFilter = filter;
    description.lpstrFile = name;
    description.nMaxFile = sizeof name;
    description.lpstrTitle = title;
    if (save) {
        description.Flags = OFN_HIDEREADONLY;
        description.lpstrDefExt = "avi";
        return GetSaveFileNameA(&description) ? name : "";
    }
    description.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    return GetOpenFileNameA(&description) ? name : "";
}

void TVandrelDlgClient::onChooseVideo()
{
    ChooseVideoFile(askFile(false, "Video files (*.*)\0*.*\0", "Video source"));
}

void TVandrelDlgClient::onChooseAudio()
{
    ChooseAudioFile(askFile(false, "Audio files (*.*)\0*.*\0", "Audio source"));
}

void TVandrelDlgClient::onChooseOutput()
{
    ChooseOutputFile(askFile(true, "Video files (*.avi)\0*.*\0", "Conversion result"));
}

void TVandrelDlgClient::ChooseVideoFile(const std::string& name)
{
    if (name.empty() || sameName(name, text(IDC_VIDEO_FILE)))
        return;
    WaitCursor wait;
    destroyOutput();
    delete videoSource;
    videoSource = nullptr;
    setText(IDC_VIDEO_FILE, name);
    videoSource = openSource(true, 0);
    if (!videoSource) {
        clearVideoFields();
        if (checked(IDC_SAME_FILE))
            destroyAudio();
        return UpdateControls();
    }
    bool sameFile = checked(IDC_SAME_FILE) && checked(IDC_MODE_BOTH);
    if (sameFile && !sameName(text(IDC_AUDIO_FILE), name)) {
        delete audioSource;
        setText(IDC_AUDIO_FILE, name);
        audioSource = openSource(false, 0);
        if (audioSource) {
            FillTrackLists(true, true);
            showAudioInfo(name.c_str());
        } else {
            FillTrackLists(true, false);
            setCheck(IDC_SAME_FILE, false);
            clearAudioFields();
        }
    } else if (!sameFile) {
        FillTrackLists(true, false);
    }
    if (videoSource)
        showVideoInfo();
    UpdateControls();
}

void TVandrelDlgClient::ChooseAudioFile(const std::string& name)
{
    if (name.empty() || sameName(name, text(IDC_AUDIO_FILE)))
        return;
    WaitCursor wait;
    destroyOutput();
    delete audioSource;
    setText(IDC_AUDIO_FILE, name);
    audioSource = openSource(false, 0);
    if (audioSource) {
        showAudioInfo(name.c_str());
        FillTrackLists(false, true);
    } else {
        clearAudioFields();
    }
    UpdateControls();
}

void TVandrelDlgClient::onSourceMode(int id)
{
    WaitCursor wait;
    if (id == IDC_MODE_VIDEO && audioSource) {
        destroyAudio();
        destroyOutput();
    } else if (id == IDC_MODE_AUDIO && videoSource) {
        destroyVideo();
        destroyOutput();
    } else if (id == IDC_MODE_BOTH) {
        sameFileRule();
    }
    UpdateControls();
}

void TVandrelDlgClient::sameFileRule()
{
    std::string videoFile = text(IDC_VIDEO_FILE);
    if (!checked(IDC_SAME_FILE) || sameName(text(IDC_AUDIO_FILE), videoFile))
        return;
    WaitCursor wait;
    destroyAudio();
    destroyOutput();
    if (!videoSource)
        return;
    setText(IDC_AUDIO_FILE, videoFile);
    audioSource = openSource(false, 0);
    if (audioSource) {
        showAudioInfo(videoFile.c_str());
        FillTrackLists(false, true);
    } else {
        clearAudioFields();
        setCheck(IDC_SAME_FILE, false);
    }
}

void TVandrelDlgClient::onVideoBackend(bool directShow)
{
    if (!videoSource || videoSource->usesDirectShow() == directShow)
        return;
    WaitCursor wait;
    std::string file = text(IDC_VIDEO_FILE);
    delete videoSource;
    if (directShow) {
        int options = sourceOpenOptions(true, checked(IDC_VIDEO_RAW), SourceBackend::DirectShow, checked(IDC_MINIMIZE));
        videoSource = reportSource(SourceStream::open(options, hwnd, &file[0], videoTrack, nullptr));
    } else {
        videoSource = reportSource(openSourceStream(&file[0], true, checked(IDC_VIDEO_RAW), SourceBackend::VfW, videoTrack));
    }
    if (videoSource)
        return;
    destroyOutput();
    clearVideoFields();
    if (checked(IDC_SAME_FILE))
        destroyAudio();
}

// A new audio object means a new format record: the output that points at the
// old one goes too.
void TVandrelDlgClient::onAudioBackend(bool directShow)
{
    if (!audioSource || audioSource->usesDirectShow() == directShow)
        return;
    WaitCursor wait;
    std::string file = text(IDC_AUDIO_FILE);
    destroyOutput();
    delete audioSource;
    if (directShow) {
        int options = sourceOpenOptions(false, checked(IDC_AUDIO_RAW), SourceBackend::DirectShow, checked(IDC_MINIMIZE));
        audioSource = reportSource(SourceStream::open(options, hwnd, &file[0], audioTrack, nullptr));
    } else {
        audioSource = reportSource(openSourceStream(&file[0], false, checked(IDC_AUDIO_RAW), SourceBackend::VfW, audioTrack));
    }
    if (audioSource)
        return showAudioInfo(nullptr);
    clearAudioFields();
    if (checked(IDC_MODE_BOTH))
        setCheck(IDC_SAME_FILE, false);
}

void TVandrelDlgClient::onDirectCopy(bool video)
{
    SourceStream*& source = video ? videoSource : audioSource;
    if (!source || source->isRawData() == checked(video ? IDC_VIDEO_RAW : IDC_AUDIO_RAW))
        return;
    WaitCursor wait;
    destroyOutput();
    delete source;
    source = openSource(video, video ? videoTrack : audioTrack);
    if (source)
        return video ? showVideoInfo() : showAudioInfo(nullptr);
    if (video) {
        clearVideoFields();
        if (checked(IDC_SAME_FILE))
            destroyAudio();
    } else {
        clearAudioFields();
        setCheck(IDC_SAME_FILE, false);
    }
}

void TVandrelDlgClient::onTrackChanged(bool video)
{
    SourceStream*& source = video ? videoSource : audioSource;
    int& track = video ? videoTrack : audioTrack;
    int index = static_cast<int>(SendDlgItemMessageA(hwnd, video ? IDC_VIDEO_TRACK : IDC_AUDIO_TRACK, CB_GETCURSEL, 0, 0));
    if (!source || index < 0 || index == track)
        return;
    WaitCursor wait;
    track = index;
    if (!video)
        destroyOutput();
    delete source;
    source = openSource(video, track);
    if (source) {
        video ? showVideoInfo() : showAudioInfo(nullptr);
    } else {
        destroyOutput();
        video ? clearVideoFields() : clearAudioFields();
        if (checked(IDC_MODE_BOTH))
            setCheck(IDC_SAME_FILE, false);
    }
    UpdateControls();
}

void TVandrelDlgClient::onConfigureSource(bool video)
{
    SourceStream* source = video ? videoSource : audioSource;
    if (!source)
        return;
    source->configure(hwnd);
    ReportSourceError(video);
}

// ---- output

void TVandrelDlgClient::createOutput(const std::string& name)
{
    delete output;
    output = nullptr;
    output = createOutputFor(name.c_str(), videoSource, audioSource, checked(IDC_VIDEO_UNCOMPRESSED),
                             checked(IDC_AUDIO_UNCOMPRESSED), checked(IDC_OUT_DIRECTSHOW), videoInfo);
    if (!output)
        ReportStreamError(nullptr);
}

void TVandrelDlgClient::reportNewOutput()
{
    ReportOutputError();
    if (!output)
        return clearOutputFields();
    LONGLONG period = output->interleavingPeriod();
    ReportOutputError();
    if (!output)
        return clearOutputFields();
    char line[64];
    std::snprintf(line, sizeof line, "Interleaving period: %d ms", static_cast<int>(period / 10000));
    setText(IDC_PERIOD, line);
}

void TVandrelDlgClient::ChooseOutputFile(const std::string& name)
{
    if (name.empty() || sameName(name, text(IDC_OUT_FILE)))
        return;
    WaitCursor wait;
    createOutput(name);
    setText(IDC_OUT_FILE, name);
    reportNewOutput();
    UpdateControls();
}

void TVandrelDlgClient::onOutputBackend()
{
    if (!output || output->usesDirectShow() == checked(IDC_OUT_DIRECTSHOW))
        return;
    WaitCursor wait;
    createOutput(text(IDC_OUT_FILE));
    reportNewOutput();
}

void TVandrelDlgClient::onReset()
{
    WaitCursor wait;
    std::string name = text(IDC_OUT_FILE);
    destroyOutput();
    setCheck(IDC_VIDEO_UNCOMPRESSED, false);
    setCheck(IDC_AUDIO_UNCOMPRESSED, false);
    createOutput(name);
    setText(IDC_OUT_FILE, name);
    reportNewOutput();
}

void TVandrelDlgClient::onCompressor(int id)
{
    if (!output)
        return UpdateControls();
    bool video = id == IDC_VIDEO_COMPRESSOR || id == IDC_VIDEO_CONFIGURE || id == IDC_VIDEO_UNCOMPRESSED;
    if (id == IDC_VIDEO_CONFIGURE || id == IDC_AUDIO_CONFIGURE) {
        output->configureCompressor(hwnd, video);
        if (output->lastError != OutputError::DialogCancelled)
            ReportOutputError();
        else
            output->resetLastError();
    } else if (id == IDC_VIDEO_UNCOMPRESSED || id == IDC_AUDIO_UNCOMPRESSED) {
        output->setCompressor(video, nullptr);
        ReportOutputError();
        if (!output)
            clearOutputFields();
        UpdateControls();
        if (!IsWindowEnabled(GetDlgItem(hwnd, id)))
            SetFocus(GetDlgItem(hwnd, IDC_OUT_SELECT));
        return;
    } else {
        output->chooseCompressor(hwnd, video);
        reportNewOutput();
    }
    UpdateControls();
}

void TVandrelDlgClient::onConfigureAVI()
{
    if (!output)
        return;
    output->configureAVI(hwnd);
    ReportOutputError();
    if (!output) {
        clearOutputFields();
        return UpdateControls();
    }
    reportNewOutput();
    if (output)
        enable(IDC_TRUNCATE, output->isAutomaticallyInterleaved());
}

// ---- the run

void TVandrelDlgClient::StartConversion()
{
    if (running || !output || !output->canRun())
        return;
    running = true;
    threadActive = true;
    stopRequested = false;
    UpdateControls();
    setText(IDC_STATUS, "");
    LPTHREAD_START_ROUTINE body = output->isAutomaticallyInterleaved() ? InterleavedConversionThread : ConversionThread;
    HANDLE thread = CreateThread(nullptr, 0x40000, body, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        threadStartFailed();
        EndConversion();
        return;
    }
    CloseHandle(thread);
}

void TVandrelDlgClient::StopConversion()
{
    stopRequested = true;
    engine.userStop();
}

DWORD WINAPI TVandrelDlgClient::ConversionThread(void* self)
{
    auto* dialog = static_cast<TVandrelDlgClient*>(self);
    TrelixThread();
    dialog->ConvertStreams();
    if (dialog->output && !dialog->output->close())
        dialog->ReportOutputError();
    dialog->EndConversion();
    return 0;
}

ConversionRange TVandrelDlgClient::rangeFromEdits() const
{
    ConversionRange range;
    range.videoFirst = number(IDC_VIDEO_FIRST);
    range.videoLast = number(IDC_VIDEO_LAST);
    range.audioFirst = number(IDC_AUDIO_FIRST);
    range.audioLast = number(IDC_AUDIO_LAST);
    return range;
}

void TVandrelDlgClient::ConvertStreams()
{
    ConversionRun run(videoSource, audioSource, output, *this);
    run.convertStreams(rangeFromEdits(), stopRequested);
}

DWORD WINAPI TVandrelDlgClient::InterleavedConversionThread(void* self)
{
    auto* dialog = static_cast<TVandrelDlgClient*>(self);
    TrelixThread();
    ConversionRun run(dialog->videoSource, dialog->audioSource, dialog->output, *dialog);
    run.convertInterleaved(dialog->rangeFromEdits(), dialog->engine, dialog->noTruncation, dialog->statusLock);
    dialog->EndConversion();
    return 0;
}

void TVandrelDlgClient::EndConversion()
{
    running = false;
    // Ends the engine's part of the run on every path: a Stop (which also
    // reaches the engine on the plain path) must not carry over to the next run.
    engine.close();
    delete output;
    output = nullptr;
    if (videoFailed)
        destroyVideo();
    if (audioFailed)
        destroyAudio();
    videoFailed = audioFailed = false;
    clearOutputFields();
    SendDlgItemMessageA(hwnd, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    setCheck(IDC_VIDEO_UNCOMPRESSED, false);
    setCheck(IDC_AUDIO_UNCOMPRESSED, false);
    if (!videoSource)
        clearVideoFields();
    if (!audioSource)
        clearAudioFields();
    UpdateControls();
    threadActive = false;
}

void TVandrelDlgClient::progress(int percent)
{
    SendDlgItemMessageA(hwnd, IDC_PROGRESS, PBM_SETPOS, percent, 0);
}

std::string TVandrelDlgClient::statusText()
{
    char buffer[128] = {};
    GetDlgItemTextA(hwnd, IDC_STATUS, buffer, sizeof buffer);
    return buffer;
}

void TVandrelDlgClient::status(const std::string& line)
{
    setText(IDC_STATUS, line);
}

void TVandrelDlgClient::firstMoved(bool video, long first)
{
    setNumber(video ? IDC_VIDEO_FIRST : IDC_AUDIO_FIRST, first);
}

bool TVandrelDlgClient::fillHollow()
{
    return checked(IDC_FILL_HOLLOW);
}

// Draws a decoded frame into the preview bitmap (made at the first frame,
// the size of the picture control) and asks the control to repaint.
void TVandrelDlgClient::frame(unsigned char* data)
{
    if (!checked(IDC_PREVIEW_ON) || !videoSource || videoSource->isRawData() || IsRectEmpty(&previewRect) || !output)
        return;
    const VIDEOINFOHEADER* format = output->videoFormat();
    if (!format)
        return;
    int width = previewRect.right - previewRect.left, height = previewRect.bottom - previewRect.top;
    if (!previewBitmap) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        info.bmiHeader.biSizeImage = height * ((3 * width + 7) & ~7);
        info.bmiHeader.biXPelsPerMeter = info.bmiHeader.biYPelsPerMeter = 11811;
        previewBitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&previewBits), nullptr, 0);
        if (!previewBitmap)
            return;
    }
    if (!ResampleRGB24(data, format->bmiHeader.biWidth, std::abs(format->bmiHeader.biHeight), previewBits, width, height)) {
        DeleteObject(previewBitmap);
        previewBitmap = nullptr;
        return;
    }
    InvalidateRect(GetDlgItem(hwnd, IDC_PREVIEW), nullptr, TRUE);
}

void TVandrelDlgClient::sourceError(bool video)
{
    ReportSourceError(video);
}

void TVandrelDlgClient::outputError()
{
    ReportOutputError();
}

void TVandrelDlgClient::threadStartFailed()
{
    MessageBoxA(hwnd, "Cannot create the conversion thread", "Vandrel", MB_OK | MB_ICONERROR);
}

bool TVandrelDlgClient::drawItem(int id, const DRAWITEMSTRUCT& item)
{
    if (id != IDC_PREVIEW || !(item.itemAction & ODA_DRAWENTIRE))
        return false;
    if (IsRectEmpty(&previewRect))
        previewRect = item.rcItem;
    if (previewBitmap) {
        HDC memory = CreateCompatibleDC(item.hDC);
        HGDIOBJ old = SelectObject(memory, previewBitmap);
        BitBlt(item.hDC, previewRect.left, previewRect.top, previewRect.right - previewRect.left,
               previewRect.bottom - previewRect.top, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
    }
    return true;
}
