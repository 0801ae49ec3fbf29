#include <atomic>
#include <string>
#include <vector>

#include <windows.h>

#include "TConsoleConversion.h"
#include "Trelix.h"

namespace {

std::atomic<bool> stopRequested{false};

// Ctrl+C and Ctrl+Break stop the running conversion as the dialog's Stop
// does: the loop ends, the output is closed, no further pair starts.
BOOL WINAPI onConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    stopRequested = true;
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    TrelixThread();
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return runVandrelCmd(arguments, stopRequested);
}
