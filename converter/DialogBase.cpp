#include "DialogBase.h"

#include <cstdlib>

HWND DialogBase::create(HINSTANCE instance, int templateId, HWND parent)
{
    return CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), parent, procedure,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK DialogBase::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<DialogBase*>(GetWindowLongPtrA(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        self = reinterpret_cast<DialogBase*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        self->hwnd = window;
        self->setupWindow();
        return TRUE;
    case WM_COMMAND:
        if (!self)
            return FALSE;
        self->command(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_DRAWITEM:
        return self && self->drawItem(static_cast<int>(wParam), *reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
    default:
        return FALSE;
    }
}

bool DialogBase::checked(int id) const
{
    return IsDlgButtonChecked(hwnd, id) == BST_CHECKED;
}

void DialogBase::setCheck(int id, bool on) const
{
    CheckDlgButton(hwnd, id, on ? BST_CHECKED : BST_UNCHECKED);
}

void DialogBase::enable(int id, bool on) const
{
    EnableWindow(GetDlgItem(hwnd, id), on);
}

std::string DialogBase::text(int id) const
{
    char buffer[MAX_PATH + 1] = {};
    GetDlgItemTextA(hwnd, id, buffer, sizeof buffer);
    return buffer;
}

void DialogBase::setText(int id, const std::string& value) const
{
    SetDlgItemTextA(hwnd, id, value.c_str());
}

long DialogBase::number(int id) const
{
    char buffer[128] = {};
    GetDlgItemTextA(hwnd, id, buffer, sizeof buffer);
    return std::strtol(buffer, nullptr, 10);
}

void DialogBase::setNumber(int id, long value) const
{
    setText(id, std::to_string(value));
}
