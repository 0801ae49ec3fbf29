#pragma once

#include <string>

// What a conversion run tells its front end and asks of it. The run calls
// these from its own thread; a window front end answers with ordinary window
// calls, a console front end with its own output.
class ConversionObserver {
public:
    virtual ~ConversionObserver() = default;
    virtual void progress(int percent) = 0;
    virtual std::string statusText() = 0;
    virtual void status(const std::string& text) = 0;
    // A raw read went back to an earlier key sample: the range now starts there.
    virtual void firstMoved(bool video, long first) = 0;
    // Read on every decoded video frame.
    virtual bool fillHollow() = 0;
    // A frame was read (decoded pixels, or raw data).
    virtual void frame(unsigned char* data) = 0;
    virtual void sourceError(bool video) = 0;
    virtual void outputError() = 0;
    // A writer thread of the engine path could not be started.
    virtual void threadStartFailed() = 0;
};
