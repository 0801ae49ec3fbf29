#pragma once

#include "TrelixExport.h"

// Root of every source and output object: the error state and the message
// lookup shared by all of them. The backend roots answer the backend facts
// (code range, message base, fatality of local codes).
class TRELIX_API AudioOrVideoStream {
public:
    virtual int local_ErrorMax() = 0;
    virtual int errorMessages_resourceBase() = 0;
    virtual bool local_ErrorIsFatal(int code) = 0;
    virtual ~AudioOrVideoStream();
    virtual bool usesDirectShow() = 0;
    virtual bool lastError_isFatal();

    // Text of `code` in this object's buffer, or null for an invalid code or
    // an id without a string; the buffer is left alone on a miss.
    char* ErrorMessage(int code);
    bool Error_isFatal(int code);
    // Clears lastError; true when the error cleared left the object usable.
    bool resetLastError();

protected:
    AudioOrVideoStream();
    // True, with code 1, while the object has not been opened or created.
    bool notOpened();

    char message[128];

public:
    int lastError;

protected:
    bool unusable;
};
