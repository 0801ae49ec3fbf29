#pragma once

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

// Platform class ids that the MinGW headers lack, with their published values.
// Inline variables: one per module although every file may include this
// (weak definitions do not keep their value in PE objects).
#define TRELIX_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// Names of their own, so that no library's symbol of the usual name is taken;
// the usual names refer to them.
TRELIX_DEFINE_GUID(TrelixCLSID_SampleGrabber, 0xc1f400a0, 0x3f08, 0x11d3, 0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37);
TRELIX_DEFINE_GUID(TrelixCLSID_NullRenderer, 0xc1f400a4, 0x3f08, 0x11d3, 0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37);
#define CLSID_SampleGrabber TrelixCLSID_SampleGrabber
#define CLSID_NullRenderer TrelixCLSID_NullRenderer
