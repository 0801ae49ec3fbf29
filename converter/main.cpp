#include <windows.h>
#include <commctrl.h>

#include "TVandrelApp.h"
#include "Trelix.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    TrelixThread();
    TemporaryApartmentThreading(true);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    TVandrelApp app(instance);
    if (!app.create(showCommand))
        return 1;
    return app.run();
}
