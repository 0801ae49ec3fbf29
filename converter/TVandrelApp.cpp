#include "TVandrelApp.h"

#include "VandrelIds.h"

namespace {

const char kFrameClass[] = "TrelixVideoConverter";

std::string programPath()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

} // namespace

TVandrelApp::TVandrelApp(HINSTANCE instance) : instance(instance), helpPath(helpFileFor(programPath())) {}

TVandrelApp::~TVandrelApp()
{
    if (frameWindow)
        DestroyWindow(frameWindow);
}

std::string TVandrelApp::helpFileFor(const std::string& path)
{
    size_t slash = path.rfind('\\');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "Vandrel.chm";
}

bool TVandrelApp::create(int showCommand)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = frameProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VANDREL));
    windowClass.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_VANDREL), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kFrameClass;
    RegisterClassExA(&windowClass);
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    frameWindow = CreateWindowExA(0, kFrameClass, "Trelix video converter", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  100, 100, nullptr, nullptr, instance, this);
    if (!frameWindow || !dialog.create(instance, IDD_VANDREL, frameWindow))
        return false;
    RECT client;
    GetWindowRect(dialog.window(), &client);
    OffsetRect(&client, -client.left, -client.top);
    AdjustWindowRectEx(&client, style, FALSE, 0);
    SetWindowPos(frameWindow, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    SetWindowPos(dialog.window(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(dialog.window(), SW_SHOW);
    if (showCommand != SW_HIDE && showCommand != SW_SHOWMINNOACTIVE)
        showCommand = SW_SHOWNORMAL;
    ShowWindow(frameWindow, showCommand);
    UpdateWindow(frameWindow);
    return true;
}

LRESULT CALLBACK TVandrelApp::frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
    auto* app = reinterpret_cast<TVandrelApp*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case WM_CLOSE:
        // Refused while a run is in progress.
        if (app && !app->dialog.canClose())
            return 0;
        if (app)
            app->help.quit();
        DestroyWindow(window);
        return 0;
    case WM_HELP:
        // F1 in a menu of the frame: help mode, and Enter picks the highlighted
        // command, which then shows its help instead of running.
        if (app && lParam && reinterpret_cast<HELPINFO*>(lParam)->iContextType == HELPINFO_MENUITEM) {
            app->enterHelpMode();
            PostMessageA(window, WM_KEYDOWN, VK_RETURN, 0);
        }
        return TRUE;
    case WM_EXITMENULOOP:
        // The menu held the mouse while it was open.
        if (app && app->helpMode)
            SetCapture(window);
        return 0;
    case WM_SYSCOMMAND:
        if (app && app->helpMode && app->menuCommandHelp(static_cast<int>(wParam & 0xFFF0)))
            return 0;
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_HELP_ON_CONTROL:
        if (app)
            app->help.popup(GetDlgItem(app->dialog.window(), static_cast<int>(wParam)), static_cast<int>(wParam));
        return 0;
    case WM_COMMAND:
        if (app && app->frameCommand(LOWORD(wParam)))
            return 0;
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_DESTROY:
        if (app)
            app->frameWindow = nullptr;
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool TVandrelApp::frameCommand(int id)
{
    switch (id) {
    case IDM_HELP_CONTENTS: case IDM_HELP_ON_HELP:
        help.contents(frameWindow);
        return true;
    case IDM_CONTEXT_HELP:
        enterHelpMode();
        return true;
    case IDM_NOTHING:
        return true;
    default:
        return false;
    }
}

// The frame holds the mouse while in help mode, so that the help cursor
// stays over every control (disabled ones too) and no click reaches them.
void TVandrelApp::enterHelpMode()
{
    helpMode = true;
    SetCapture(frameWindow);
    SetCursor(helpCursor);
}

void TVandrelApp::leaveHelpMode()
{
    helpMode = false;
    ReleaseCapture();
    SetCursor(LoadCursor(nullptr, IDC_ARROW));
}

// A menu command in help mode shows the help topic of its id; the commands
// that open a menu are let through.
bool TVandrelApp::menuCommandHelp(int id)
{
    if (id == SC_KEYMENU || id == SC_MOUSEMENU)
        return false;
    leaveHelpMode();
    help.popup(frameWindow, id);
    return true;
}

void TVandrelApp::helpOnPoint(POINT screen)
{
    leaveHelpMode();
    POINT inDialog = screen;
    ScreenToClient(dialog.window(), &inDialog);
    HWND control = ChildWindowFromPointEx(dialog.window(), inDialog, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
    if (control && control != dialog.window())
        help.popup(control, GetDlgCtrlID(control));
}

bool TVandrelApp::helpModeMessage(const MSG& message)
{
    switch (message.message) {
    case WM_MOUSEMOVE: case WM_NCMOUSEMOVE:
        SetCursor(helpCursor);
        return true;
    case WM_LBUTTONDOWN: case WM_NCLBUTTONDOWN: {
        POINT point{static_cast<short>(LOWORD(message.lParam)), static_cast<short>(HIWORD(message.lParam))};
        if (message.message == WM_LBUTTONDOWN)
            ClientToScreen(message.hwnd, &point);
        helpOnPoint(point);
        return true;
    }
    case WM_LBUTTONUP: case WM_RBUTTONDOWN: case WM_RBUTTONUP:
        return true;
    case WM_KEYDOWN:
        if (message.wParam == VK_ESCAPE)
            leaveHelpMode();
        return true;
    default:
        return false;
    }
}

bool TVandrelApp::translate(MSG& message)
{
    if (helpMode && helpModeMessage(message))
        return true;
    if (message.message == WM_KEYDOWN && message.wParam == VK_F1) {
        if (GetKeyState(VK_SHIFT) < 0)
            enterHelpMode();
        else
            help.contents(frameWindow);
        return true;
    }
    return dialog.window() && IsDialogMessageA(dialog.window(), &message);
}

int TVandrelApp::run()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (translate(message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
