#include "CompressorListDialog.h"

#include <new>
#include <string>
#include <vector>

#include <oleauto.h>
#include <uuids.h>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/LibraryModule.h"

namespace {

constexpr int kTemplate = 1;
constexpr int kList = 101;

using Names = std::vector<std::string>;

// The moniker's friendly name in the system code page; false with `code` 48
// when its description cannot be reached, false with `code` 0 when it has no
// readable name.
bool friendlyName(IMoniker* moniker, std::string& name, int& code)
{
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.putVoid()))) {
        code = DSError::UnreachableCompressorDescription;
        return false;
    }
    code = DSError::Success;
    VARIANT value;
    VariantInit(&value);
    bool found = false;
    if (SUCCEEDED(bag->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) {
        int size = WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, value.bstrVal, -1, nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            name.assign(static_cast<size_t>(size), '\0');
            found = WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, value.bstrVal, -1, &name[0], size, nullptr,
                                        nullptr) > 0;
            name.resize(static_cast<size_t>(size) - 1);
        }
    }
    VariantClear(&value);
    return found;
}

int listNames(IEnumMoniker* monikers, Names& names)
{
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
        std::string name;
        int code;
        if (friendlyName(moniker.get(), name, code))
            names.push_back(name);
        else if (code != DSError::Success)
            return code;
    }
    return DSError::Success;
}

int findByName(IEnumMoniker* monikers, const std::string& wanted, IMoniker** chosen)
{
    monikers->Reset();
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
        std::string name;
        int code;
        if (friendlyName(moniker.get(), name, code) && lstrcmpiA(name.c_str(), wanted.c_str()) == 0) {
            *chosen = moniker.detach();
            return DSError::Success;
        }
        if (code != DSError::Success)
            return code;
    }
    return DSError::FilterRemoved;
}

BOOL onInitDialog(HWND dialog, const Names* names)
{
    for (const std::string& name : *names)
        SendDlgItemMessageA(dialog, kList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    return TRUE;
}

// OK ends with (selection × 4) + 1, which never equals Cancel.
void onOk(HWND dialog)
{
    LRESULT selection = SendDlgItemMessageA(dialog, kList, LB_GETCURSEL, 0, 0);
    EndDialog(dialog, selection == LB_ERR ? IDCANCEL : static_cast<INT_PTR>(selection) * 4 + 1);
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return onInitDialog(dialog, reinterpret_cast<const Names*>(lParam));
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        onOk(dialog);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

// The index of the chosen entry, or -1 with `code` set.
int pickName(HWND parentWindow, const Names& names, int& code)
{
    INT_PTR result = DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(kTemplate), parentWindow, procedure,
                                     reinterpret_cast<LPARAM>(&names));
    code = DSError::Success;
    if (result == -1 || result == 0)
        code = DSError::CannotShowDialog;
    else if (result == IDCANCEL || (result & 3) != 1 || static_cast<size_t>(result >> 2) >= names.size())
        code = OutputError::DialogCancelled;
    return code == DSError::Success ? static_cast<int>(result >> 2) : -1;
}

int choose(HWND parentWindow, bool video, IMoniker** chosen)
{
    ComPtr<ICreateDevEnum> devices;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devices.putVoid())))
        return DSError::NoDeviceEnumerator;
    // An empty category answers S_FALSE without an enumerator.
    ComPtr<IEnumMoniker> monikers;
    if (FAILED(devices->CreateClassEnumerator(video ? CLSID_VideoCompressorCategory : CLSID_AudioCompressorCategory,
                                              monikers.put(), 0)))
        return DSError::CannotListCompressors;
    Names names;
    if (monikers)
        if (int code = listNames(monikers.get(), names))
            return code;
    int code;
    int index = pickName(parentWindow, names, code);
    if (index < 0)
        return code;
    return findByName(monikers.get(), names[static_cast<size_t>(index)], chosen);
}

} // namespace

int chooseCompressorMoniker(HWND parentWindow, bool video, IMoniker** chosen)
{
    *chosen = nullptr;
    try {
        return choose(parentWindow, video, chosen);
    } catch (const std::bad_alloc&) {
        return DSError::OutOfMemory;
    }
}
