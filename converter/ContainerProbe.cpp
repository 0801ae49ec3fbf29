#include "ContainerProbe.h"

#include <windows.h>
#include <vfw.h>

namespace {

// Opens streams of type `type` with rising indices until one fails.
int countStreams(char* fileName, DWORD type)
{
    int count = 0;
    for (;;) {
        PAVISTREAM stream = nullptr;
        if (AVIStreamOpenFromFileA(&stream, fileName, type, count, OF_READ | OF_SHARE_DENY_NONE, nullptr) != 0)
            return count;
        AVIStreamRelease(stream);
        ++count;
    }
}

} // namespace

namespace ContainerProbe {

int streamsNumber(char* fileName, bool /*useDirectShow*/, int* videoCount, int* audioCount)
{
    if (videoCount)
        *videoCount = countStreams(fileName, streamtypeVIDEO);
    if (audioCount)
        *audioCount = countStreams(fileName, streamtypeAUDIO);
    return 0;
}

const char* message(int code)
{
    return code == 0 ? "Success" : nullptr;
}

} // namespace ContainerProbe
