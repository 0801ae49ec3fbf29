#include "WaitDlgNotification.h"

WaitDlgNotification::WaitDlgNotification(HWND dialog, bool shrunk)
    : dialog(dialog), initialRect(), shrunk(shrunk), count(0)
{
    GetWindowRect(dialog, &initialRect);
}

WaitDlgNotification::~WaitDlgNotification() = default;

void WaitDlgNotification::progress(int kind)
{
    if (shrunk) {
        SetWindowPos(dialog, nullptr, 0, 0, initialRect.right - initialRect.left, initialRect.bottom - initialRect.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        shrunk = false;
    }
    count += 1;
    PostMessageA(dialog, WM_TRELIX_PROGRESS, static_cast<WPARAM>(kind), count);
}
