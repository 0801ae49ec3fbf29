#pragma once

#include <string>

#include <windows.h>

// The platform's HTML Help engine (HtmlHelpA of hhctrl.ocx, loaded at first
// use) on the program's help file.
class HtmlHelpEngine {
public:
    explicit HtmlHelpEngine(std::string helpFile) : file(std::move(helpFile)) {}
    ~HtmlHelpEngine();
    HtmlHelpEngine(const HtmlHelpEngine&) = delete;
    HtmlHelpEngine& operator=(const HtmlHelpEngine&) = delete;

    // The contents window; its handle, or null when the engine or the file
    // cannot show it.
    HWND contents(HWND owner);
    // The pop-up text of control `id`. Where the engine has no text pop-ups,
    // the page of the control's group opens instead.
    HWND popup(HWND control, int id);
    // Closes every help window the engine opened (once help was used).
    void quit();
    bool used() const { return wasUsed; }

private:
    using Entry = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);
    Entry entry();
    HWND call(HWND owner, const std::string& target, UINT command, DWORD_PTR data);

    std::string file;
    HMODULE library = nullptr;
    Entry function = nullptr;
    bool wasUsed = false;
};
