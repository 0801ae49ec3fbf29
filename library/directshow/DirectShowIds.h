#pragma once

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

// Class ids that the MinGW headers do not declare although libstrmiids
// defines them with their published values (a second definition here would
// shadow the library's and is not reliably merged by the PE linker).
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;
