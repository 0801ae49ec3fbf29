#pragma once

#include <string>

#include <windows.h>

#include "TVandrelDlgClient.h"

// The program: a fixed-size frame window whose client is the main dialog.
class TVandrelApp {
public:
    explicit TVandrelApp(HINSTANCE instance);
    ~TVandrelApp();
    // Creates the frame and the dialog; false when a window cannot be made.
    bool create(int showCommand);
    int run();

    HWND frame() const { return frameWindow; }
    TVandrelDlgClient& client() { return dialog; }
    const std::string& helpFile() const { return helpPath; }

    static std::string helpFileFor(const std::string& programPath);

private:
    static LRESULT CALLBACK frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool translate(MSG& message);

    HINSTANCE instance;
    HWND frameWindow = nullptr;
    TVandrelDlgClient dialog;
    std::string helpPath;
};
