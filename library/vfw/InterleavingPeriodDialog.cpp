#include "InterleavingPeriodDialog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "../core/ErrorCodes.h"
#include "../core/LibraryModule.h"

namespace {

constexpr const char* kPeriodProperty = "VfWAVICONFIG";
constexpr int kTemplate = 7;
constexpr int kPeriodField = 101;

// What the dialog's property points to: the 64-bit period, followed by the
// longest one the writer's audio buffer can hold.
struct PeriodRequest {
    LONGLONG period;
    LONGLONG longest;
};

PeriodRequest* requestOf(HWND dialog)
{
    return static_cast<PeriodRequest*>(GetPropA(dialog, kPeriodProperty));
}

// A positive number of seconds, white space allowed after it, no longer than
// `longest` (100-ns units).
bool parseSeconds(const char* text, LONGLONG longest, double& seconds)
{
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    if (end == text)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    return *end == '\0' && seconds > 0 && seconds * 10000000.0 < static_cast<double>(longest) + 1.0
        && seconds * 10000000.0 < 9.2e18;
}

void onOk(HWND dialog)
{
    char text[128] = {};
    GetDlgItemTextA(dialog, kPeriodField, text, sizeof(text));
    double seconds;
    PeriodRequest* request = requestOf(dialog);
    if (!parseSeconds(text, request->longest, seconds)) {
        MessageBoxA(dialog, "Positive floating point value expected for the interleaving period.", "Trelix library",
                    MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    request->period = std::min(static_cast<LONGLONG>(seconds * 10000000.0), request->longest);
    RemovePropA(dialog, kPeriodProperty);
    EndDialog(dialog, IDOK);
}

BOOL onInitDialog(HWND dialog, PeriodRequest* request)
{
    if (!SetPropA(dialog, kPeriodProperty, request)) {
        EndDialog(dialog, VfWError::CannotAddDialogProperty);
        return TRUE;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%lf", static_cast<double>(request->period) * 0.0000001);
    SetDlgItemTextA(dialog, kPeriodField, text);
    return TRUE;
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog(dialog, reinterpret_cast<PeriodRequest*>(lParam));
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            onOk(dialog);
            return TRUE;
        case IDCANCEL:
            RemovePropA(dialog, kPeriodProperty);
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

INT_PTR showInterleavingPeriodDialog(HWND parentWindow, LONGLONG& period, LONGLONG longest)
{
    PeriodRequest request = {period, longest};
    INT_PTR result = DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(kTemplate), parentWindow, procedure,
                                     reinterpret_cast<LPARAM>(&request));
    if (result == IDOK)
        period = request.period;
    return result;
}
