#include "InterleavingPeriodDialog.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "../core/LibraryModule.h"

namespace {

constexpr const char* kPeriodProperty = "VfWAVICONFIG";
constexpr int kTemplate = 7;
constexpr int kPeriodField = 101;
constexpr INT_PTR kPropertyFailed = 33;

LONGLONG* periodOf(HWND dialog)
{
    return static_cast<LONGLONG*>(GetPropA(dialog, kPeriodProperty));
}

// A positive number of seconds, white space allowed after it.
bool parseSeconds(const char* text, double& seconds)
{
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    if (end == text)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    return *end == '\0' && seconds > 0 && seconds * 10000000.0 < 9.2e18;
}

void onOk(HWND dialog)
{
    char text[128] = {};
    GetDlgItemTextA(dialog, kPeriodField, text, sizeof(text));
    double seconds;
    if (!parseSeconds(text, seconds)) {
        MessageBoxA(dialog, "Positive floating point value expected for the interleaving period.", "Trelix library",
                    MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    *periodOf(dialog) = static_cast<LONGLONG>(seconds * 10000000.0);
    RemovePropA(dialog, kPeriodProperty);
    EndDialog(dialog, IDOK);
}

BOOL onInitDialog(HWND dialog, LONGLONG* period)
{
    if (!SetPropA(dialog, kPeriodProperty, period)) {
        EndDialog(dialog, kPropertyFailed);
        return TRUE;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%lf", static_cast<double>(*period) * 0.0000001);
    SetDlgItemTextA(dialog, kPeriodField, text);
    return TRUE;
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog(dialog, reinterpret_cast<LONGLONG*>(lParam));
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

INT_PTR showInterleavingPeriodDialog(HWND parentWindow, LONGLONG& period)
{
    return DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(kTemplate), parentWindow, procedure,
                           reinterpret_cast<LPARAM>(&period));
}
