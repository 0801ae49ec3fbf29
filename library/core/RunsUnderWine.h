#pragma once

#include <windows.h>

// True inside Wine: guards the few workarounds for where its platform
// components behave differently from Windows'.
inline bool runsUnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}
