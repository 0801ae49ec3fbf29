#include "WaitDialog.h"

#include <cstring>

#include "AudioSourceStream.h"
#include "LibraryModule.h"
#include "RawDataSourceStream.h"
#include "TrelixThread.h"
#include "VideoSourceStream.h"
#include "WaitDlgNotification.h"

#include <commctrl.h>

namespace {

// Locking strategy: none. The worker writes the request's result before it
// ends; the caller's thread joins the worker after the dialog ended (however
// its loop ended) and only then reads the result or frees anything the
// worker uses. Progress reaches the dialog as posted messages only.

constexpr const char* kRequestProperty = "TrelixWaitRequest";
constexpr int kPlainTemplate = 8;
constexpr int kTitledTemplate = 9;
constexpr int kTextId = 101;
constexpr int kProgressId = 102;
constexpr int kIconId = 103;
constexpr int kAnimationId = 104;
constexpr int kVideoIcon = 1;
constexpr int kAudioIcon = 2;
constexpr int kRawDataIcon = 3;
constexpr int kAnimation = 1;
constexpr SIZE_T kWorkerStack = 0x20000;

SourceStream* subjectStream(const WaitRequest& request)
{
    return static_cast<SourceStream*>(request.subject);
}

void* runOpen(const WaitRequest& r)
{
    auto* fileName = static_cast<char*>(r.subject);
    auto index = static_cast<int>(r.arguments[0]);
    if (r.rawData) {
        RawDataSourceStream* raw = r.automatic
            ? RawDataSourceStream::open(fileName, !r.audio, index, r.notification)
            : RawDataSourceStream::open(fileName, !r.audio, r.directShow, index, r.notification);
        return static_cast<SourceStream*>(raw);
    }
    return r.automatic ? SourceStream::open(fileName, !r.audio, index, r.notification)
                       : SourceStream::open(fileName, !r.audio, r.directShow, index, r.notification);
}

template <typename T>
T& argument(const WaitRequest& r, int i)
{
    return *reinterpret_cast<T*>(r.arguments[i]);
}

void runOperation(WaitRequest& r)
{
    SourceStream* stream = subjectStream(r);
    switch (r.operation) {
    case WaitOpen:
        r.result.pointer = runOpen(r);
        break;
    case WaitFindFrame:
        r.result.number = dynamic_cast<VideoSourceStream*>(stream)->findFrame(argument<long>(r, 0));
        break;
    case WaitGetFrameBits:
        r.result.pointer = dynamic_cast<VideoSourceStream*>(stream)->getFrameBits(argument<long>(r, 0));
        break;
    case WaitGetSamples:
        r.result.pointer = dynamic_cast<AudioSourceStream*>(stream)->getSamples(static_cast<long>(r.arguments[0]),
                                                                                 static_cast<long>(r.arguments[1]));
        break;
    case WaitGetData:
        r.result.pointer = dynamic_cast<RawDataSourceStream*>(stream)->getData(
            argument<long>(r, 0), argument<long>(r, 1), argument<long>(r, 2), argument<bool>(r, 3));
        break;
    case WaitSampleToTime:
        r.result.time = stream->StreamSampleToTime(argument<long>(r, 0));
        break;
    case WaitTimeToSample:
        r.result.number = stream->StreamTimeToSample(argument<double>(r, 0));
        break;
    }
}

// The worker: registered like every library thread; its registration is
// undone by the thread-detach handling when it returns.
DWORD WINAPI worker(void* parameter)
{
    TrelixThread();
    auto& r = *static_cast<WaitRequest*>(parameter);
    HWND dialog = r.notification->dialog;
    if (r.operation != WaitOpen)
        subjectStream(r)->notify(r.notification);
    runOperation(r);
    PostMessageA(dialog, WM_TRELIX_DONE, 0, 0);
    return 0;
}

const char* operationText(int operation)
{
    switch (operation) {
    case WaitOpen: return "Opening the stream";
    case WaitGetSamples: return "Fetching audio samples";
    case WaitGetData: return "Fetching samples";
    case WaitSampleToTime:
    case WaitTimeToSample: return "Searching the stream";
    default: return nullptr;
    }
}

void initialiseControls(HWND dialog, const WaitRequest& r)
{
    int icon = r.rawData ? kRawDataIcon : r.audio ? kAudioIcon : kVideoIcon;
    if (icon != kVideoIcon)
        SendDlgItemMessageA(dialog, kIconId, STM_SETICON,
                            reinterpret_cast<WPARAM>(LoadIconA(libraryModule(), MAKEINTRESOURCEA(icon))), 0);
    if (const char* text = operationText(r.operation))
        SetDlgItemTextA(dialog, kTextId, text);
    SendDlgItemMessageA(dialog, kAnimationId, ACM_OPENA, reinterpret_cast<WPARAM>(libraryModule()),
                        reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(kAnimation)));
    SendDlgItemMessageA(dialog, kProgressId, PBM_SETRANGE, 0, MAKELPARAM(0, r.operation == WaitOpen ? 128 : 8));
}

BOOL onInitDialog(HWND dialog, WaitRequest& r)
{
    SetPropA(dialog, kRequestProperty, &r);
    r.notification = new WaitDlgNotification(dialog, r.hiddenStart);
    if (r.operation != WaitOpen)
        r.notification->stream = subjectStream(r);
    initialiseControls(dialog, r);
    // Shrunk here, before the dialog is first shown, so that it never shows
    // at full size first.
    if (r.hiddenStart)
        SetWindowPos(dialog, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    r.worker = CreateThread(nullptr, kWorkerStack, worker, &r, 0, nullptr);
    if (!r.worker) {
        delete r.notification;
        r.notification = nullptr;
        EndDialog(dialog, -1);
    }
    return TRUE;
}

void onProgress(HWND dialog, int kind, int count)
{
    HWND bar = GetDlgItem(dialog, kProgressId);
    int position = count;
    switch (kind) {
    case 0:
        SetDlgItemTextA(dialog, kTextId, "Opening: parsing the stream");
        position = count & 127;
        break;
    case 1:
        SetDlgItemTextA(dialog, kTextId, "Opening the stream");
        ShowWindow(bar, SW_HIDE);
        return;
    case 2:
        SetDlgItemTextA(dialog, kTextId, "Fetching samples: backtracking");
        position = count & 7;
        break;
    case 3:
        position = count & 127;
        break;
    }
    if (!IsWindowVisible(bar))
        ShowWindow(bar, SW_SHOWNOACTIVATE);
    SendMessageA(bar, PBM_SETPOS, position, 0);
}

INT_PTR CALLBACK plainProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog(dialog, *reinterpret_cast<WaitRequest*>(lParam));
    case WM_TRELIX_PROGRESS:
        onProgress(dialog, static_cast<int>(wParam), static_cast<int>(lParam));
        return TRUE;
    case WM_TRELIX_DONE:
        EndDialog(dialog, 0);
        return TRUE;
    case WM_DESTROY:
        RemovePropA(dialog, kRequestProperty);
        return FALSE;
    }
    return FALSE;
}

// Minimising the titled dialog hides its owner, so that the task bar shows
// only the dialog; completion shows the owner again.
INT_PTR CALLBACK titledProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextA(dialog, reinterpret_cast<WaitRequest*>(lParam)->title);
        break;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED)
            ShowWindow(GetWindow(dialog, GW_OWNER), SW_HIDE);
        else if (wParam == SIZE_RESTORED)
            ShowWindow(GetWindow(dialog, GW_OWNER), SW_SHOW);
        break;
    case WM_TRELIX_DONE:
        ShowWindow(GetWindow(dialog, GW_OWNER), SW_SHOW);
        break;
    }
    return plainProcedure(dialog, message, wParam, lParam);
}

void fillTitle(WaitRequest& r, HWND parentWindow, const char* title)
{
    r.title[0] = '\0';
    if (title) {
        lstrcpynA(r.title, title, sizeof(r.title));
        return;
    }
    HWND top = parentWindow ? GetAncestor(parentWindow, GA_ROOT) : nullptr;
    if (!top || !GetWindowTextA(top, r.title, sizeof(r.title)))
        r.title[0] = '\0';
}

// Waits for the worker, handling only messages sent to this thread's windows
// (a worker may send to them) and leaving posted ones, WM_QUIT among them,
// in the queue.
void joinWorker(HANDLE worker)
{
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(worker);
}

} // namespace

void prepareWaitRequest(WaitRequest& r, int options, HWND parentWindow, const char* title, int operation,
                        void* subject)
{
    std::memset(&r, 0, sizeof(r));
    r.audio = options & WaitAudio;
    r.rawData = options & WaitRawData;
    r.directShow = options & WaitDirectShow;
    r.automatic = options & WaitAutomatic;
    r.hiddenStart = options & WaitHiddenStart;
    if (options & WaitTitled)
        fillTitle(r, parentWindow, title);
    r.operation = operation;
    r.subject = subject;
}

int streamWaitOptions(SourceStream& stream, int options)
{
    int bits = options & (WaitHiddenStart | WaitTitled);
    if (stream.isRawData())
        bits |= WaitRawData;
    else if (dynamic_cast<AudioSourceStream*>(&stream))
        bits |= WaitAudio;
    if (stream.usesDirectShow())
        bits |= WaitDirectShow;
    return bits;
}

bool runStreamOperation(WaitRequest& r, SourceStream& stream, int options, void* parentWindow, char* title,
                        int operation, LONG_PTR a0, LONG_PTR a1, LONG_PTR a2, LONG_PTR a3)
{
    auto parent = static_cast<HWND>(parentWindow);
    int bits = streamWaitOptions(stream, options);
    prepareWaitRequest(r, bits, parent, title, operation, &stream);
    r.arguments[0] = a0;
    r.arguments[1] = a1;
    r.arguments[2] = a2;
    r.arguments[3] = a3;
    return runWaitDialog(r, parent, bits);
}

bool runWaitDialog(WaitRequest& r, HWND parentWindow, int options)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS};
    InitCommonControlsEx(&controls);
    bool titled = options & WaitTitled;
    DialogBoxParamA(libraryModule(), MAKEINTRESOURCEA(titled ? kTitledTemplate : kPlainTemplate), parentWindow,
                    titled ? titledProcedure : plainProcedure, reinterpret_cast<LPARAM>(&r));
    // The loop may have ended before the operation (a pending WM_QUIT, the
    // owner destroyed): the worker still uses the request, the notification
    // and the caller's arguments until it ends. DialogBoxParam answers 0 (not
    // -1) for an invalid owner; only a started worker ran the operation.
    if (!r.worker)
        return false;
    joinWorker(r.worker);
    r.worker = nullptr;
    SourceStream* stream = r.operation == WaitOpen ? static_cast<SourceStream*>(r.result.pointer) : subjectStream(r);
    if (stream)
        stream->notify(nullptr);
    delete r.notification;
    r.notification = nullptr;
    return true;
}
