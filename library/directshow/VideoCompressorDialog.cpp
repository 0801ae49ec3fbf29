#include "VideoCompressorDialog.h"

#include <cstdio>
#include <memory>

#include <amvideo.h>
#include <commctrl.h>
#include <olectl.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/LibraryModule.h"
#include "CompressorDialogResult.h"
#include "MediaType.h"

namespace {

constexpr int kTemplate = 4;
constexpr int kKeyFrameField = 101;
constexpr int kPFramesField = 102;
constexpr int kQualityBar = 103;
constexpr int kQualityDefault = 104;
constexpr int kQualityLabel = 105;
constexpr int kWindowField = 106;
constexpr int kKeyFrameDefault = 107;
constexpr int kPFramesDefault = 108;
constexpr int kFurtherButton = 109;
constexpr int kBitRateField = 110;
constexpr const char* kRecordProperty = "videoConfigDB_parameters";

// The parameter of dialog 4; lives on the stack of configureVideoCompressor.
struct VideoSettingsRecord {
    IAMVideoCompression* compression;
    long capabilities;
    DWORD bitRate;
    FILTER_INFO filterInfo;
    IUnknown* filterObject;
    ULONG pageCount;
    CLSID* pages;
    IAMVfwCompressDialogs* vfwDialogs;
};

bool has(const VideoSettingsRecord& record, long capability)
{
    return (record.capabilities & capability) != 0;
}

// The compressor's own configuration: its VfW dialog, else its property
// pages; false when it has neither or the frame could not be shown.
bool showOwnConfiguration(const VideoSettingsRecord& record, HWND owner)
{
    if (record.vfwDialogs) {
        record.vfwDialogs->ShowDialog(VfwCompressDialog_Config, owner);
        return true;
    }
    if (!record.pages || record.pageCount == 0)
        return false;
    IUnknown* object = record.filterObject;
    return SUCCEEDED(OleCreatePropertyFrame(owner, 0, 0, record.filterInfo.achName, 1, &object, record.pageCount,
                                            record.pages, 0, 0, nullptr));
}

void showNumber(HWND dialog, int id, const char* format, unsigned long long value)
{
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    SetDlgItemTextA(dialog, id, text);
}

void showQuality(HWND dialog, double quality)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2lf", quality);
    SetDlgItemTextA(dialog, kQualityLabel, text);
}

void enable(HWND dialog, int id, bool on)
{
    EnableWindow(GetDlgItem(dialog, id), on);
}

// A frame count that the compressor may leave at its default (negative).
void initFrameCount(HWND dialog, bool present, long value, int field, int box)
{
    if (!present) {
        enable(dialog, field, false);
        enable(dialog, box, false);
    } else if (value < 0) {
        enable(dialog, field, false);
        CheckDlgButton(dialog, box, BST_CHECKED);
    } else {
        char text[16];
        std::snprintf(text, sizeof(text), "%ld", value);
        SetDlgItemTextA(dialog, field, text);
    }
}

void initQuality(HWND dialog, const VideoSettingsRecord& record)
{
    HWND bar = GetDlgItem(dialog, kQualityBar);
    SendMessageA(bar, TBM_SETTICFREQ, 20, 0);
    SendMessageA(bar, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
    SendMessageA(bar, TBM_SETPAGESIZE, 0, 10);
    double quality = 0.0;
    if (!has(record, CompressionCaps_CanQuality)) {
        enable(dialog, kQualityBar, false);
        enable(dialog, kQualityDefault, false);
        return;
    }
    if (FAILED(record.compression->get_Quality(&quality)))
        quality = 0.0;
    if (quality < 0.0) {
        enable(dialog, kQualityBar, false);
        CheckDlgButton(dialog, kQualityDefault, BST_CHECKED);
    } else {
        showQuality(dialog, quality);
        SendMessageA(bar, TBM_SETPOS, TRUE, static_cast<LPARAM>(quality * 100.0));
    }
}

BOOL onInitDialog(HWND dialog, VideoSettingsRecord* record)
{
    if (!SetPropA(dialog, kRecordProperty, record)) {
        EndDialog(dialog, DSError::CannotAddDialogProperty);
        return TRUE;
    }
    IAMVideoCompression* compression = record->compression;
    long keyFrames = 0, pFrames = 0;
    if (has(*record, CompressionCaps_CanKeyFrame) && FAILED(compression->get_KeyFrameRate(&keyFrames)))
        keyFrames = 0;
    initFrameCount(dialog, has(*record, CompressionCaps_CanKeyFrame), keyFrames, kKeyFrameField, kKeyFrameDefault);
    if (has(*record, CompressionCaps_CanBFrame) && FAILED(compression->get_PFramesPerKeyFrame(&pFrames)))
        pFrames = 0;
    initFrameCount(dialog, has(*record, CompressionCaps_CanBFrame), pFrames, kPFramesField, kPFramesDefault);
    initQuality(dialog, *record);
    DWORDLONG window = 1;
    if (has(*record, CompressionCaps_CanWindow)) {
        if (FAILED(compression->get_WindowSize(&window)))
            window = 1;
        showNumber(dialog, kWindowField, "%llu", window);
    } else {
        enable(dialog, kWindowField, false);
    }
    if (has(*record, CompressionCaps_CanCrunch))
        showNumber(dialog, kBitRateField, "%llu", record->bitRate);
    else
        enable(dialog, kBitRateField, false);
    enable(dialog, kFurtherButton, record->vfwDialogs || (record->pages && record->pageCount > 0));
    return TRUE;
}

// A "default" box disables the value it stands for.
void onDefaultBox(HWND dialog, int box, int field)
{
    enable(dialog, field, IsDlgButtonChecked(dialog, box) != BST_CHECKED);
}

void onTrack(HWND dialog, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case TB_THUMBPOSITION:
    case TB_THUMBTRACK:
        showQuality(dialog, static_cast<short>(HIWORD(wParam)) * 0.01);
        break;
    case TB_ENDTRACK:
        showQuality(dialog, SendDlgItemMessageA(dialog, kQualityBar, TBM_GETPOS, 0, 0) * 0.01);
        break;
    }
}

// -1 for the compressor's default, else the field's number (-1 when it does
// not parse).
long frameCount(HWND dialog, int box, int field)
{
    if (IsDlgButtonChecked(dialog, box) == BST_CHECKED)
        return -1;
    char text[34] = {};
    GetDlgItemTextA(dialog, field, text, sizeof(text));
    long value;
    return std::sscanf(text, "%ld", &value) == 1 ? value : -1;
}

unsigned long unsignedField(HWND dialog, int field)
{
    char text[34] = {};
    GetDlgItemTextA(dialog, field, text, sizeof(text));
    unsigned long value;
    return std::sscanf(text, "%lu", &value) == 1 ? value : 0;
}

double quality(HWND dialog)
{
    if (IsDlgButtonChecked(dialog, kQualityDefault) == BST_CHECKED)
        return -1.0;
    char text[34] = {};
    GetDlgItemTextA(dialog, kQualityLabel, text, sizeof(text));
    double value = -1.0;
    std::sscanf(text, "%lf", &value);
    return value;
}

// Every setting is tried; any refused one makes the result 62.
INT_PTR applySettings(HWND dialog, VideoSettingsRecord& record)
{
    IAMVideoCompression* compression = record.compression;
    bool failed = false;
    if (has(record, CompressionCaps_CanKeyFrame))
        failed |= FAILED(compression->put_KeyFrameRate(frameCount(dialog, kKeyFrameDefault, kKeyFrameField)));
    if (has(record, CompressionCaps_CanBFrame))
        failed |= FAILED(compression->put_PFramesPerKeyFrame(frameCount(dialog, kPFramesDefault, kPFramesField)));
    if (has(record, CompressionCaps_CanQuality))
        failed |= FAILED(compression->put_Quality(quality(dialog)));
    if (has(record, CompressionCaps_CanWindow)) {
        unsigned long window = unsignedField(dialog, kWindowField);
        failed |= FAILED(compression->put_WindowSize(window == 0 ? 1 : window));
    }
    if (has(record, CompressionCaps_CanCrunch))
        if (unsigned long rate = unsignedField(dialog, kBitRateField))
            record.bitRate = rate;
    return failed ? static_cast<INT_PTR>(DSError::PartialConfiguration) : IDOK;
}

void onCommand(HWND dialog, int id)
{
    auto* record = static_cast<VideoSettingsRecord*>(GetPropA(dialog, kRecordProperty));
    switch (id) {
    case kKeyFrameDefault:
        onDefaultBox(dialog, kKeyFrameDefault, kKeyFrameField);
        break;
    case kPFramesDefault:
        onDefaultBox(dialog, kPFramesDefault, kPFramesField);
        break;
    case kQualityDefault:
        onDefaultBox(dialog, kQualityDefault, kQualityBar);
        break;
    case kFurtherButton:
        if (!record)
            EndDialog(dialog, DSError::Unexpected);
        else
            showOwnConfiguration(*record, dialog);
        break;
    case IDOK:
        RemovePropA(dialog, kRecordProperty);
        EndDialog(dialog, record ? applySettings(dialog, *record) : static_cast<INT_PTR>(DSError::Unexpected));
        break;
    case IDCANCEL:
        RemovePropA(dialog, kRecordProperty);
        EndDialog(dialog, IDCANCEL);
        break;
    }
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog(dialog, reinterpret_cast<VideoSettingsRecord*>(lParam));
    case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(dialog, kQualityBar))
            onTrack(dialog, wParam);
        return TRUE;
    case WM_COMMAND:
        onCommand(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

} // namespace

namespace {

// Fills the record from the compressor and its output pin and releases what
// it holds when it goes.
class SettingsRecord {
public:
    SettingsRecord(IBaseFilter* compressor, IPin* output) : record()
    {
        output->QueryInterface(IID_IAMVideoCompression, reinterpret_cast<void**>(&record.compression));
        compressor->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&record.filterObject));
        ComPtr<ISpecifyPropertyPages> pages;
        CAUUID list = {};
        if (SUCCEEDED(compressor->QueryInterface(IID_ISpecifyPropertyPages, pages.putVoid()))
            && SUCCEEDED(compressor->QueryFilterInfo(&record.filterInfo)) && SUCCEEDED(pages->GetPages(&list))) {
            record.pageCount = list.cElems;
            record.pages = list.pElems;
        }
        IAMVfwCompressDialogs*& dialogs = record.vfwDialogs;
        if (SUCCEEDED(compressor->QueryInterface(IID_IAMVfwCompressDialogs, reinterpret_cast<void**>(&dialogs)))
            && dialogs->ShowDialog(VfwCompressDialog_QueryConfig, nullptr) == S_FALSE) {
            dialogs->Release();
            dialogs = nullptr;
        }
    }
    ~SettingsRecord()
    {
        for (IUnknown* held : {static_cast<IUnknown*>(record.compression), record.filterObject,
                               static_cast<IUnknown*>(record.vfwDialogs), static_cast<IUnknown*>(record.filterInfo.pGraph)})
            if (held)
                held->Release();
        CoTaskMemFree(record.pages);
    }
    SettingsRecord(const SettingsRecord&) = delete;
    SettingsRecord& operator=(const SettingsRecord&) = delete;

    VideoSettingsRecord record;
};

// The output pin's current format when the compressor can change its data
// rate: a VIDEOINFOHEADER or VIDEOINFOHEADER2 (both begin with the same
// rectangles and rates); null otherwise.
AM_MEDIA_TYPE* rateFormat(IAMStreamConfig* config)
{
    AM_MEDIA_TYPE* type = nullptr;
    if (!config || FAILED(config->GetFormat(&type)) || !type)
        return nullptr;
    bool video = type->formattype == FORMAT_VideoInfo || type->formattype == FORMAT_VideoInfo2;
    if (!video || !type->pbFormat || type->cbFormat < sizeof(VIDEOINFOHEADER)) {
        DeleteMediaType(type);
        return nullptr;
    }
    return type;
}

DWORD& bitRateOf(AM_MEDIA_TYPE& type)
{
    return reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->dwBitRate;
}

int configureWithoutCompression(HWND parentWindow, const VideoSettingsRecord& record)
{
    if (!record.vfwDialogs && (!record.pages || record.pageCount == 0))
        return DSError::NotConfigurable;
    return showOwnConfiguration(record, parentWindow) ? DSError::Success : DSError::CannotShowDialog;
}

} // namespace

int configureVideoCompressor(HWND parentWindow, IBaseFilter* compressor, IPin* output)
{
    SettingsRecord settings(compressor, output);
    VideoSettingsRecord& record = settings.record;
    if (!record.compression)
        return configureWithoutCompression(parentWindow, record);
    WCHAR version[64], description[128];
    int versionSize = sizeof(version), descriptionSize = sizeof(description);
    long keyFrames, pFrames;
    double quality;
    if (FAILED(record.compression->GetInfo(version, &versionSize, description, &descriptionSize, &keyFrames, &pFrames,
                                           &quality, &record.capabilities)))
        return DSError::NoCompressionInfo;
    ComPtr<IAMStreamConfig> config;
    std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter> format;
    if (has(record, CompressionCaps_CanCrunch)) {
        output->QueryInterface(IID_IAMStreamConfig, config.putVoid());
        format.reset(rateFormat(config.get()));
        if (format)
            record.bitRate = bitRateOf(*format);
        else
            record.capabilities &= ~CompressionCaps_CanCrunch;
    }
    INT_PTR result = DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(kTemplate), parentWindow, procedure,
                                     reinterpret_cast<LPARAM>(&record));
    int code = compressorDialogCode(result);
    if (format && (code == DSError::Success || code == DSError::PartialConfiguration)) {
        bitRateOf(*format) = record.bitRate;
        if (FAILED(config->SetFormat(format.get())))
            code = DSError::CannotSetDataRate;
    }
    return code;
}
