#pragma once

#include <string>

#include <windows.h>

// A modeless dialog from a template whose static procedure finds the object
// in DWLP_USER (stored at WM_INITDIALOG) and hands each message to it.
class DialogBase {
public:
    virtual ~DialogBase() = default;
    HWND create(HINSTANCE instance, int templateId, HWND parent);
    HWND window() const { return hwnd; }

protected:
    virtual void setupWindow() {}
    virtual void command(int id, int code) = 0;
    virtual bool drawItem(int /*id*/, const DRAWITEMSTRUCT& /*item*/) { return false; }

    bool checked(int id) const;
    void setCheck(int id, bool on) const;
    void enable(int id, bool on) const;
    std::string text(int id) const;
    void setText(int id, const std::string& value) const;
    long number(int id) const;
    void setNumber(int id, long value) const;

    HWND hwnd = nullptr;

private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
