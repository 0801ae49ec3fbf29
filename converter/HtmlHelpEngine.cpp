#include "HtmlHelpEngine.h"

#include <htmlhelp.h>

namespace {

// The help page that describes control `id`.
const char* pageOf(int id)
{
    if ((id >= 103 && id <= 109) || (id >= 135 && id <= 138) || id == 146 || id == 147 || id == 150 || id == 155)
        return "video.html";
    if ((id >= 114 && id <= 119) || (id >= 139 && id <= 142) || id == 148 || id == 149 || id == 151 || id == 156)
        return "audio.html";
    if ((id >= 120 && id <= 127) || id == 113 || id == 134 || id == 143 || id == 144 || id == 145 || id == 152
        || id == 154)
        return "output.html";
    if (id == 1 || id == 2 || (id >= 131 && id <= 133) || id == 128)
        return "run.html";
    if (id == 110 || id == 111 || id == 112 || id == 129 || id == 130 || id == 153)
        return "source.html";
    return "index.html";
}

} // namespace

HtmlHelpEngine::~HtmlHelpEngine()
{
    quit();
    if (library)
        FreeLibrary(library);
}

HtmlHelpEngine::Entry HtmlHelpEngine::entry()
{
    if (!library) {
        library = LoadLibraryA("hhctrl.ocx");
        if (library)
            function = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library, "HtmlHelpA")));
    }
    return function;
}

HWND HtmlHelpEngine::call(HWND owner, const std::string& target, UINT command, DWORD_PTR data)
{
    Entry help = entry();
    HWND window = help ? help(owner, target.empty() ? nullptr : target.c_str(), command, data) : nullptr;
    if (window)
        wasUsed = true;
    return window;
}

HWND HtmlHelpEngine::contents(HWND owner)
{
    return call(owner, file, HH_DISPLAY_TOC, 0);
}

// Wine's hhctrl does not show text pop-ups (HH_DISPLAY_TEXT_POPUP returns no
// window): the group's page is the nearest it can show.
HWND HtmlHelpEngine::popup(HWND control, int id)
{
    HH_POPUP text{};
    text.cbStruct = sizeof text;
    text.idString = static_cast<UINT>(id);
    GetCursorPos(&text.pt);
    text.clrForeground = text.clrBackground = static_cast<COLORREF>(-1);
    text.rcMargins = {-1, -1, -1, -1};
    if (HWND window = call(control, file + "::/popups.txt", HH_DISPLAY_TEXT_POPUP, reinterpret_cast<DWORD_PTR>(&text)))
        return window;
    return call(control, file + "::/" + pageOf(id), HH_DISPLAY_TOPIC, 0);
}

void HtmlHelpEngine::quit()
{
    if (wasUsed && entry())
        function(nullptr, nullptr, HH_CLOSE_ALL, 0);
    wasUsed = false;
}
