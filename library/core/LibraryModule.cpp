#include "LibraryModule.h"

namespace {
HINSTANCE g_module = nullptr;
}

HINSTANCE libraryModule()
{
    return g_module;
}

void setLibraryModule(HINSTANCE module)
{
    g_module = module;
}
