#pragma once

#include <windows.h>

#include "TrelixNotification.h"

// Feeds the wait dialog: every progress call becomes a posted message, so it
// may come from any thread.
class WaitDlgNotification : public TrelixNotification {
public:
    WaitDlgNotification(HWND dialog, bool shrunk);
    ~WaitDlgNotification() override;
    void progress(int kind) override;

    HWND dialog;
    RECT initialRect;
    // True while the dialog still has zero size (option 16).
    bool shrunk;
    int count;
};

// Messages posted to the wait dialog.
constexpr UINT WM_TRELIX_PROGRESS = WM_APP + 4321;
constexpr UINT WM_TRELIX_DONE = WM_APP + 4322;
