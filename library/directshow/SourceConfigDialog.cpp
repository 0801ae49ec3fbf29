#include "SourceConfigDialog.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "../core/ErrorCodes.h"
#include "../core/LibraryModule.h"

namespace {

constexpr const char* kTuningProperty = "DSSCONFIG";
constexpr int kThresholdField = 101;
constexpr int kGrowthList = 102;
constexpr int kBacktrackField = 103;
constexpr int kLastGrowthEntry = 7;

bool isVideoDialog(HWND dialog)
{
    return GetDlgItem(dialog, kGrowthList) != nullptr;
}

// Like a C decimal conversion: leading blanks, a sign, digits; anything else 0.
int decimal(const char* text)
{
    long value = std::strtol(text, nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

// The video dialog reads at most 33 characters per field, the audio one 17.
int readField(HWND dialog, int id)
{
    char text[34] = {};
    GetDlgItemTextA(dialog, id, text, isVideoDialog(dialog) ? 34 : 18);
    return decimal(text);
}

void showNumber(HWND dialog, int id, int value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%d", value);
    SetDlgItemTextA(dialog, id, text);
}

void fillGrowthList(HWND dialog, int growth)
{
    static const char* const entries[] = {"default", "1", "2", "3", "4", "5", "6", "7"};
    for (const char* entry : entries)
        SendDlgItemMessageA(dialog, kGrowthList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    int index = growth >= kLastGrowthEntry ? kLastGrowthEntry : growth > 0 ? growth : 0;
    SendDlgItemMessageA(dialog, kGrowthList, CB_SETCURSEL, index, 0);
}

// "default" (or no selection) is 0, any other entry its number.
int selectedGrowth(HWND dialog)
{
    LRESULT index = SendDlgItemMessageA(dialog, kGrowthList, CB_GETCURSEL, 0, 0);
    char text[16] = {};
    if (index == CB_ERR || SendDlgItemMessageA(dialog, kGrowthList, CB_GETLBTEXTLEN, index, 0) >= 16)
        return 0;
    SendDlgItemMessageA(dialog, kGrowthList, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return decimal(text);
}

BOOL onInitDialog(HWND dialog, SourceTuning* values)
{
    if (!SetPropA(dialog, kTuningProperty, values)) {
        EndDialog(dialog, DSError::CannotAddDialogProperty);
        return TRUE;
    }
    showNumber(dialog, kThresholdField, values->decodeThreshold);
    showNumber(dialog, kBacktrackField, values->backtrackStep);
    if (isVideoDialog(dialog))
        fillGrowthList(dialog, values->growthRatio);
    return TRUE;
}

void onOk(HWND dialog)
{
    auto* values = static_cast<SourceTuning*>(RemovePropA(dialog, kTuningProperty));
    if (values) {
        values->decodeThreshold = readField(dialog, kThresholdField);
        values->backtrackStep = readField(dialog, kBacktrackField);
        if (isVideoDialog(dialog))
            values->growthRatio = selectedGrowth(dialog);
    }
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return onInitDialog(dialog, reinterpret_cast<SourceTuning*>(lParam));
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        onOk(dialog);
        return TRUE;
    case IDCANCEL:
        RemovePropA(dialog, kTuningProperty);
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

} // namespace

// DialogBoxParam answers 0 as well as -1 when it cannot show the dialog (an
// invalid owner): both mean the dialog was not shown.
int configureSource(void* parentWindow, SourceDialogKind kind, SourceTuning values,
                    const std::function<void(const SourceTuning&)>& apply)
{
    INT_PTR result = DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(static_cast<int>(kind)),
                                     static_cast<HWND>(parentWindow), procedure, reinterpret_cast<LPARAM>(&values));
    switch (result) {
    case -1:
    case 0:
        return DSError::CannotShowDialog;
    case IDOK:
        apply(values);
        return DSError::Success;
    case IDCANCEL:
        return DSError::Success;
    default:
        return static_cast<int>(result);
    }
}
