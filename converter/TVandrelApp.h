#pragma once

#include <string>

#include <windows.h>

#include "HtmlHelpEngine.h"
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

    // Help: F1 opens the contents, Shift+F1 (or button 101) enters
    // context-help mode, in which a click on a control shows its help and
    // Escape leaves the mode; F1 in an open menu enters the mode and picks the
    // highlighted command for help. True when the message was taken.
    bool translate(MSG& message);
    bool inHelpMode() const { return helpMode; }
    bool helpWasUsed() const { return help.used(); }

private:
    static LRESULT CALLBACK frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool frameCommand(int id);
    void enterHelpMode();
    void leaveHelpMode();
    bool helpModeMessage(const MSG& message);
    void helpOnPoint(POINT screen);
    bool menuCommandHelp(int id);

    HINSTANCE instance;
    HWND frameWindow = nullptr;
    TVandrelDlgClient dialog;
    std::string helpPath;
    bool helpMode = false;
    HCURSOR helpCursor = LoadCursor(nullptr, IDC_HELP);
    HtmlHelpEngine help{helpPath};
};
