#include "AudioOrVideoStream.h"

#include <cstring>
#include <windows.h>

#include "LibraryModule.h"

namespace {
constexpr int kFirstOutputCode = 200;
constexpr int kLastOutputCode = 208;
}

// `message` is deliberately left uninitialised: it only ever holds a looked-up text.
AudioOrVideoStream::AudioOrVideoStream()
    : lastError(0), unusable(true)
{
}

AudioOrVideoStream::~AudioOrVideoStream() = default;

bool AudioOrVideoStream::lastError_isFatal()
{
    return Error_isFatal(lastError);
}

char* AudioOrVideoStream::ErrorMessage(int code)
{
    if (code < 0 || code > kLastOutputCode)
        return nullptr;
    char text[sizeof(message)];
    if (!LoadStringA(libraryModule(), errorMessages_resourceBase() + code, text, sizeof(text)))
        return nullptr;
    std::strcpy(message, text);
    return message;
}

bool AudioOrVideoStream::Error_isFatal(int code)
{
    if (code < 0 || code > kLastOutputCode)
        return true;
    if (code >= kFirstOutputCode)
        return code == 202 || code == 203 || code == 208;
    if (code > local_ErrorMax())
        return true;
    return local_ErrorIsFatal(code);
}

bool AudioOrVideoStream::notOpened()
{
    if (unusable)
        lastError = 1;
    return unusable;
}

bool AudioOrVideoStream::resetLastError()
{
    bool fatal = lastError_isFatal();
    lastError = 0;
    return !fatal;
}
