#include "AudioCompressorDialog.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <mmreg.h>
#include <uuids.h>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/LibraryModule.h"
#include "CompressorDialogResult.h"
#include "MediaType.h"

namespace {

constexpr int kSettingsTemplate = 2;
constexpr int kFormatTemplate = 3;
constexpr int kFormatList = 101;
constexpr int kPresentField = 102;
constexpr int kSetButton = 103;
constexpr int kNewField = 104;
constexpr int kChannelsList = 101;
constexpr int kBitsList = 102;
constexpr int kFrequencyList = 103;
constexpr const char* kConfigProperty = "IAMStreamConfig";
constexpr const char* kPresentProperty = "PresentFormat";
constexpr const char* kModifiedProperty = "FormatModified";
constexpr const char* kCapsProperty = "AUDIO_STREAM_CONFIG_CAPS";
constexpr const char* kCaption = "Trelix library";
constexpr UINT_PTR kUnmodified = 1;
constexpr UINT_PTR kModified = 2;

using MediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;

// The wave format of `type`, or null when it has none (or too short a block
// to read the fields shown).
WAVEFORMATEX* waveFormat(const AM_MEDIA_TYPE& type)
{
    if (type.formattype != FORMAT_WaveFormatEx || !type.pbFormat || type.cbFormat < sizeof(PCMWAVEFORMAT))
        return nullptr;
    return reinterpret_cast<WAVEFORMATEX*>(type.pbFormat);
}

// Describes `type` as dialog 2 shows it; `index` >= 0 prefixes the
// capability index and a tab.
void describe(const AM_MEDIA_TYPE& type, int index, char* text, size_t size)
{
    int used = index >= 0 ? std::snprintf(text, size, "%d\t", index) : 0;
    char* at = text + used;
    size_t left = size - static_cast<size_t>(used);
    const WAVEFORMATEX* format = waveFormat(type);
    if (!format)
        std::snprintf(at, left, "Other format, channels:?, bits per sample:?, samples per second:?, bytes per second:?");
    else if (format->wFormatTag == WAVE_FORMAT_PCM)
        std::snprintf(at, left, "PCM format, channels:%hd, bits per sample:%hd, samples per second:%d, bytes per second:%d",
                      format->nChannels, format->wBitsPerSample, static_cast<int>(format->nSamplesPerSec),
                      static_cast<int>(format->nAvgBytesPerSec));
    else
        std::snprintf(at, left,
                      "Format Tag %#04hx, channels:%hd, bits per sample:%hd, samples per second:%d, bytes per second:%d",
                      format->wFormatTag, format->nChannels, format->wBitsPerSample,
                      static_cast<int>(format->nSamplesPerSec), static_cast<int>(format->nAvgBytesPerSec));
}

void showFormat(HWND dialog, int id, const AM_MEDIA_TYPE& type)
{
    char text[256];
    describe(type, -1, text, sizeof(text));
    SetDlgItemTextA(dialog, id, text);
}

void message(HWND dialog, const char* text, UINT icon)
{
    MessageBoxA(dialog, text, kCaption, MB_OK | icon);
}

// Capability `index` of the pin: its format and its audio capability record.
// The pin may use a larger record than the audio one.
MediaTypePtr capability(IAMStreamConfig* config, int index, AUDIO_STREAM_CONFIG_CAPS& caps)
{
    int count = 0, size = 0;
    if (FAILED(config->GetNumberOfCapabilities(&count, &size)) || index < 0 || index >= count)
        return nullptr;
    std::vector<BYTE> record(size > static_cast<int>(sizeof(caps)) ? static_cast<size_t>(size) : sizeof(caps));
    AM_MEDIA_TYPE* type = nullptr;
    if (FAILED(config->GetStreamCaps(index, &type, record.data())) || !type)
        return nullptr;
    caps = *reinterpret_cast<const AUDIO_STREAM_CONFIG_CAPS*>(record.data());
    return MediaTypePtr(type);
}

} // namespace

// Dialog 3: channels, bits per sample and frequency within a capability's
// ranges; the choice comes back in the record's minimum fields.
namespace {

void fillRange(HWND dialog, int id, ULONG minimum, ULONG maximum, ULONG step)
{
    char text[16];
    for (ULONG value = minimum; value <= maximum; value += step) {
        std::snprintf(text, sizeof(text), "%lu", value);
        SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        if (step == 0 || value > maximum - step)
            break;
    }
    SendDlgItemMessageA(dialog, id, CB_SETCURSEL, 0, 0);
}

void readChoice(HWND dialog, int id, ULONG& field)
{
    char text[16] = {};
    if (GetDlgItemTextA(dialog, id, text, sizeof(text)) > 0)
        field = std::strtoul(text, nullptr, 10);
}

BOOL onFormatInit(HWND dialog, AUDIO_STREAM_CONFIG_CAPS* caps)
{
    fillRange(dialog, kChannelsList, caps->MinimumChannels, caps->MaximumChannels, caps->ChannelsGranularity);
    fillRange(dialog, kBitsList, caps->MinimumBitsPerSample, caps->MaximumBitsPerSample,
              caps->BitsPerSampleGranularity);
    fillRange(dialog, kFrequencyList, caps->MinimumSampleFrequency, caps->MaximumSampleFrequency,
              caps->SampleFrequencyGranularity);
    if (!SetPropA(dialog, kCapsProperty, caps))
        EndDialog(dialog, DSError::CannotAddDialogProperty);
    return TRUE;
}

void onFormatOk(HWND dialog)
{
    auto* caps = static_cast<AUDIO_STREAM_CONFIG_CAPS*>(RemovePropA(dialog, kCapsProperty));
    if (!caps) {
        EndDialog(dialog, DSError::Unexpected);
        return;
    }
    readChoice(dialog, kChannelsList, caps->MinimumChannels);
    readChoice(dialog, kBitsList, caps->MinimumBitsPerSample);
    readChoice(dialog, kFrequencyList, caps->MinimumSampleFrequency);
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK formatProcedure(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG)
        return onFormatInit(dialog, reinterpret_cast<AUDIO_STREAM_CONFIG_CAPS*>(lParam));
    if (msg != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        onFormatOk(dialog);
        return TRUE;
    case IDCANCEL:
        RemovePropA(dialog, kCapsProperty);
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

bool hasRange(const AUDIO_STREAM_CONFIG_CAPS& caps)
{
    return caps.MinimumChannels < caps.MaximumChannels || caps.MinimumBitsPerSample < caps.MaximumBitsPerSample
        || caps.MinimumSampleFrequency < caps.MaximumSampleFrequency;
}

// PCM keeps its block alignment, sample size and byte rate consistent with
// the chosen values; every tag takes the three values themselves.
void applyChoice(AM_MEDIA_TYPE& type, WAVEFORMATEX& format, const AUDIO_STREAM_CONFIG_CAPS& choice)
{
    if (format.wFormatTag == WAVE_FORMAT_PCM) {
        format.nBlockAlign = static_cast<WORD>(choice.MinimumChannels * choice.MinimumBitsPerSample / 8);
        type.lSampleSize = format.nBlockAlign;
        format.nAvgBytesPerSec = format.nBlockAlign * choice.MinimumSampleFrequency;
    }
    format.nChannels = static_cast<WORD>(choice.MinimumChannels);
    format.nSamplesPerSec = choice.MinimumSampleFrequency;
    format.wBitsPerSample = static_cast<WORD>(choice.MinimumBitsPerSample);
}

// Lets the user narrow a ranged capability down with dialog 3.
void configureRanges(HWND dialog, AM_MEDIA_TYPE& type, const AUDIO_STREAM_CONFIG_CAPS& caps)
{
    WAVEFORMATEX* format = waveFormat(type);
    if (!format || !hasRange(caps))
        return;
    AUDIO_STREAM_CONFIG_CAPS choice = caps;
    INT_PTR result = DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(kFormatTemplate), dialog, formatProcedure,
                                     reinterpret_cast<LPARAM>(&choice));
    if (result == IDOK)
        applyChoice(type, *format, choice);
    else if (result != IDCANCEL)
        message(dialog, "Cannot further configure this format.", MB_ICONSTOP);
}

} // namespace

// Dialog 2.
namespace {

void removeProperties(HWND dialog)
{
    RemovePropA(dialog, kConfigProperty);
    RemovePropA(dialog, kPresentProperty);
    RemovePropA(dialog, kModifiedProperty);
}

// Ends the dialog with `result`, freeing the present format it owns.
void finish(HWND dialog, AM_MEDIA_TYPE* present, INT_PTR result)
{
    removeProperties(dialog);
    DeleteMediaType(present);
    EndDialog(dialog, result);
}

AM_MEDIA_TYPE* presentFormat(HWND dialog)
{
    return static_cast<AM_MEDIA_TYPE*>(GetPropA(dialog, kPresentProperty));
}

// Lets the list scroll sideways to the end of its longest line.
class LineWidths {
public:
    LineWidths(HWND dialog, int tabStop) : list(GetDlgItem(dialog, kFormatList)), context(GetDC(list))
    {
        RECT tab = {0, 0, tabStop, 0};
        MapDialogRect(dialog, &tab);
        tabPixels = tab.right;
        font = SelectObject(context, reinterpret_cast<HFONT>(SendMessageA(list, WM_GETFONT, 0, 0)));
    }
    ~LineWidths()
    {
        SelectObject(context, font);
        ReleaseDC(list, context);
        SendMessageA(list, LB_SETHORIZONTALEXTENT, widest + 8, 0);
    }
    LineWidths(const LineWidths&) = delete;
    LineWidths& operator=(const LineWidths&) = delete;
    void measure(const char* line)
    {
        DWORD extent = GetTabbedTextExtentA(context, line, lstrlenA(line), 1, &tabPixels);
        widest = LOWORD(extent) > widest ? LOWORD(extent) : widest;
    }

private:
    HWND list;
    HDC context;
    HGDIOBJ font;
    int tabPixels;
    int widest = 0;
};

void listCapabilities(HWND dialog, IAMStreamConfig* config, int count)
{
    int tabStop = 16;
    SendDlgItemMessageA(dialog, kFormatList, LB_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
    LineWidths widths(dialog, tabStop);
    char text[256];
    for (int index = 0; index < count; ++index) {
        AUDIO_STREAM_CONFIG_CAPS caps;
        MediaTypePtr type = capability(config, index, caps);
        if (!type)
            continue;
        describe(*type, index, text, sizeof(text));
        SendDlgItemMessageA(dialog, kFormatList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        widths.measure(text);
    }
}

BOOL onSettingsInit(HWND dialog, IAMStreamConfig* config)
{
    AM_MEDIA_TYPE* present = nullptr;
    if (FAILED(config->GetFormat(&present)) || !present) {
        EndDialog(dialog, DSError::NoPinFormat);
        return TRUE;
    }
    showFormat(dialog, kPresentField, *present);
    int count = 0, size = 0;
    if (FAILED(config->GetNumberOfCapabilities(&count, &size))) {
        DeleteMediaType(present);
        EndDialog(dialog, DSError::NoPinCapabilities);
        return TRUE;
    }
    listCapabilities(dialog, config, count);
    if (!SetPropA(dialog, kConfigProperty, config) || !SetPropA(dialog, kPresentProperty, present)
        || !SetPropA(dialog, kModifiedProperty, reinterpret_cast<HANDLE>(kUnmodified)))
        finish(dialog, present, DSError::CannotAddDialogProperty);
    return TRUE;
}

// The capability index at the start of the selected line; -1 when none is
// selected, -2 when the line cannot be read.
int selectedCapability(HWND dialog)
{
    LRESULT selection = SendDlgItemMessageA(dialog, kFormatList, LB_GETCURSEL, 0, 0);
    if (selection == LB_ERR)
        return -1;
    char text[256] = {};
    int index;
    if (SendDlgItemMessageA(dialog, kFormatList, LB_GETTEXTLEN, selection, 0) >= static_cast<LRESULT>(sizeof(text))
        || SendDlgItemMessageA(dialog, kFormatList, LB_GETTEXT, selection, reinterpret_cast<LPARAM>(text)) == LB_ERR
        || std::sscanf(text, "%d", &index) != 1 || index < 0)
        return -2;
    return index;
}

void onSet(HWND dialog)
{
    int index = selectedCapability(dialog);
    if (index == -1) {
        message(dialog, "No format selected.", MB_ICONEXCLAMATION);
        return;
    }
    auto* config = static_cast<IAMStreamConfig*>(GetPropA(dialog, kConfigProperty));
    AUDIO_STREAM_CONFIG_CAPS caps;
    MediaTypePtr type = index >= 0 && config ? capability(config, index, caps) : nullptr;
    if (!type) {
        finish(dialog, presentFormat(dialog), DSError::Unexpected);
        return;
    }
    configureRanges(dialog, *type, caps);
    if (FAILED(config->SetFormat(type.get()))
        || !SetPropA(dialog, kModifiedProperty, reinterpret_cast<HANDLE>(kModified))) {
        message(dialog, "Cannot set the new format.", MB_ICONSTOP);
        return;
    }
    showFormat(dialog, kNewField, *type);
}

// Puts the present format back when a Set changed it.
void onSettingsCancel(HWND dialog)
{
    auto* config = static_cast<IAMStreamConfig*>(GetPropA(dialog, kConfigProperty));
    AM_MEDIA_TYPE* present = presentFormat(dialog);
    bool modified = reinterpret_cast<UINT_PTR>(GetPropA(dialog, kModifiedProperty)) == kModified;
    INT_PTR result = IDCANCEL;
    if (modified && (!config || !present || FAILED(config->SetFormat(present))))
        result = DSError::CannotRestorePinFormat;
    finish(dialog, present, result);
}

INT_PTR CALLBACK settingsProcedure(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG)
        return onSettingsInit(dialog, reinterpret_cast<IAMStreamConfig*>(lParam));
    if (msg != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case kSetButton:
        onSet(dialog);
        return TRUE;
    case IDOK:
        finish(dialog, presentFormat(dialog), IDOK);
        return TRUE;
    case IDCANCEL:
        onSettingsCancel(dialog);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int configureAudioCompressor(HWND parentWindow, IPin* output)
{
    ComPtr<IAMStreamConfig> config;
    if (FAILED(output->QueryInterface(IID_IAMStreamConfig, config.putVoid())))
        return DSError::NotConfigurable;
    return compressorDialogCode(DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(kSettingsTemplate), parentWindow,
                                                settingsProcedure, reinterpret_cast<LPARAM>(config.get())));
}
