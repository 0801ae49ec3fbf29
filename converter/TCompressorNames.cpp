#include "TCompressorNames.h"

#include <algorithm>
#include <cstring>

#include <msacm.h>
#include <oleauto.h>
#include <uuids.h>

namespace {

bool sameName(const std::string& a, const std::string& b)
{
    return _stricmp(a.c_str(), b.c_str()) == 0;
}

std::string narrow(const wchar_t* text)
{
    char buffer[512] = "";
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return buffer;
}

std::string fourCC(DWORD code)
{
    std::string text;
    for (int i = 0; i < 4; ++i, code >>= 8)
        if (char c = static_cast<char>(code & 0xFF); c > ' ')
            text += c;
    return text;
}

// Settings a compressor starts with when nothing was configured: its default
// key-frame rate and quality.
void defaultOptions(HIC codec, DWORD handler, AVICOMPRESSOPTIONS& options)
{
    options = AVICOMPRESSOPTIONS();
    options.fccType = streamtypeVIDEO;
    options.fccHandler = handler;
    options.dwQuality = ICGetDefaultQuality(codec);
    options.dwKeyFrameEvery = ICGetDefaultKeyFrameRate(codec);
    options.dwFlags = AVICOMPRESSF_VALID | (options.dwKeyFrameEvery ? AVICOMPRESSF_KEYFRAMES : 0);
}

// One format ACM offers for the input: its name and format tag.
struct AcmFormat {
    std::string name;
    DWORD tag;
};

struct AcmSearch {
    const std::string* wanted;
    std::vector<AcmFormat> listed;
    std::vector<BYTE>* format;
    bool found;
};

std::string tagName(DWORD tag)
{
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag;
    if (acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) != MMSYSERR_NOERROR)
        return "format " + std::to_string(tag);
    return details.szFormatTag;
}

DWORD formatLength(const WAVEFORMATEX& format)
{
    return sizeof(WAVEFORMATEX) + (format.wFormatTag == WAVE_FORMAT_PCM ? 0 : format.cbSize);
}

BOOL CALLBACK acmFormatFound(HACMDRIVERID, LPACMFORMATDETAILSA details, DWORD_PTR instance, DWORD)
{
    auto* search = reinterpret_cast<AcmSearch*>(instance);
    std::string name = tagName(details->dwFormatTag) + ", " + details->szFormat;
    if (sameName(name, *search->wanted)) {
        const BYTE* block = reinterpret_cast<const BYTE*>(details->pwfx);
        search->format->assign(block, block + std::min(details->cbwfx, formatLength(*details->pwfx)));
        search->found = true;
        return FALSE;
    }
    search->listed.push_back({name, details->dwFormatTag});
    return TRUE;
}

DWORD largestFormat(const WAVEFORMATEX& input)
{
    DWORD size = 0;
    if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size) != MMSYSERR_NOERROR)
        size = 0;
    return std::max<DWORD>(std::max<DWORD>(size, formatLength(input)), sizeof(WAVEFORMATEX));
}

// The format ACM suggests for the input in the format tag named `name`.
bool suggestedFormat(const std::string& name, const WAVEFORMATEX& input, const std::vector<AcmFormat>& listed,
                     std::vector<BYTE>& format)
{
    for (const AcmFormat& candidate : listed) {
        size_t comma = candidate.name.find(", ");
        if (!sameName(candidate.name.substr(0, comma), name))
            continue;
        std::vector<BYTE> wanted(largestFormat(input));
        auto* target = reinterpret_cast<WAVEFORMATEX*>(wanted.data());
        target->wFormatTag = static_cast<WORD>(candidate.tag);
        if (acmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(&input), target, static_cast<DWORD>(wanted.size()),
                             ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
            return false;
        format.assign(wanted.begin(), wanted.begin() + std::min<size_t>(formatLength(*target), wanted.size()));
        return true;
    }
    return false;
}

} // namespace

namespace TCompressorNames {

bool findVideoCompressor(const std::string& name, const BITMAPINFOHEADER& input, AVICOMPRESSOPTIONS& options,
                         std::vector<std::string>& available)
{
    ICINFO info{};
    for (DWORD i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) {
        HIC codec = ICOpen(ICTYPE_VIDEO, info.fccHandler, ICMODE_COMPRESS);
        if (!codec)
            continue;
        ICINFO details{};
        details.dwSize = sizeof details;
        bool accepts = ICGetInfo(codec, &details, sizeof details) &&
                       ICCompressQuery(codec, const_cast<BITMAPINFOHEADER*>(&input), nullptr) == ICERR_OK;
        std::string description = narrow(details.szDescription), handler = fourCC(info.fccHandler);
        if (accepts && (sameName(name, description) || sameName(name, handler))) {
            defaultOptions(codec, info.fccHandler, options);
            ICClose(codec);
            return true;
        }
        ICClose(codec);
        if (accepts)
            available.push_back(description + " (" + handler + ")");
    }
    return false;
}

bool findAudioFormat(const std::string& name, const WAVEFORMATEX& input, std::vector<BYTE>& format,
                     std::vector<std::string>& available)
{
    std::vector<BYTE> buffer(largestFormat(input));
    std::memcpy(buffer.data(), &input, std::min<size_t>(formatLength(input), buffer.size()));
    ACMFORMATDETAILSA details{};
    details.cbStruct = sizeof details;
    details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
    details.cbwfx = static_cast<DWORD>(buffer.size());
    details.dwFormatTag = WAVE_FORMAT_UNKNOWN;
    AcmSearch search{&name, {}, &format, false};
    acmFormatEnumA(nullptr, &details, acmFormatFound, reinterpret_cast<DWORD_PTR>(&search), ACM_FORMATENUMF_CONVERT);
    if (search.found || suggestedFormat(name, input, search.listed, format))
        return true;
    // Each driver lists the formats it takes part in: the same name comes more than once.
    for (const AcmFormat& listed : search.listed)
        if (std::find(available.begin(), available.end(), listed.name) == available.end())
            available.push_back(listed.name);
    return false;
}

bool findDirectShowCompressor(const std::string& name, bool video, ComPtr<IMoniker>& moniker,
                              std::vector<std::string>& available)
{
    ComPtr<ICreateDevEnum> devices;
    ComPtr<IEnumMoniker> monikers;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devices.putVoid())) ||
        devices->CreateClassEnumerator(video ? CLSID_VideoCompressorCategory : CLSID_AudioCompressorCategory,
                                       monikers.put(), 0) != S_OK)
        return false;
    ComPtr<IMoniker> candidate;
    while (monikers->Next(1, candidate.put(), nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(candidate->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.putVoid())))
            continue;
        VARIANT friendly;
        VariantInit(&friendly);
        if (FAILED(bag->Read(L"FriendlyName", &friendly, nullptr)))
            continue;
        std::string friendlyName = friendly.vt == VT_BSTR ? narrow(friendly.bstrVal) : "";
        VariantClear(&friendly);
        if (friendlyName.empty())
            continue;
        if (sameName(name, friendlyName)) {
            moniker = candidate;
            return true;
        }
        available.push_back(friendlyName);
    }
    return false;
}

} // namespace TCompressorNames
