#pragma once

#include <windows.h>

// The library's own module, recorded when the process attaches; string tables,
// dialog templates, icons and the animation are loaded from it.
HINSTANCE libraryModule();
void setLibraryModule(HINSTANCE module);
