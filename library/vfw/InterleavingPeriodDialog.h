#pragma once

#include <windows.h>

// Dialog 7: asks for the AVI interleaving period in seconds. `period` (100-ns
// units) is shown and, on OK, replaced by a value from 1 to `longest`.
// Returns IDOK, IDCANCEL, VfWError::CannotAddDialogProperty when the dialog
// could not attach its parameter, or -1 when it could not be shown.
INT_PTR showInterleavingPeriodDialog(HWND parentWindow, LONGLONG& period, LONGLONG longest);
