#include "DSAudioOrVideoStream.h"

namespace {

constexpr int kLocalErrorMax = 73;

// Fatality of each local code, indexed by code.
constexpr bool kFatal[kLocalErrorMax + 1] = {
    false, //  0 Success
    true,  //  1 Stream was not successfully opened
    true,  //  2 Not enough memory
    true,  //  3 Unexpected error in GetExitCodeThread
    true,  //  4 Could not open the source file
    true,  //  5 Data not found
    true,  //  6 Undetermined compressed samples number
    true,  //  7 Unreadable media type
    true,  //  8 Unusable audio format
    true,  //  9 Could not retrieve the frame rate
    true,  // 10 Undefined stream duration
    true,  // 11 Improper stream format (audio or video)
    false, // 12 Requested sample beyond actual data in the stream
    true,  // 13 Cannot enumerate pins of one of the filters in the graph
    true,  // 14 Could not find any key sample or frame in the stream
    true,  // 15 Cannot rewind the stream
    true,  // 16 Cannot get a MediaSeeking interface pointer
    true,  // 17 Cannot get a MediaControl interface pointer
    true,  // 18 Cannot get a MediaEvent interface pointer
    true,  // 19 Could not create a synchronization object
    false, // 20 Parameter out of range
    true,  // 21 Cannot create new threads
    true,  // 22 Cannot run the filter graph
    true,  // 23 Cannot stop the filter graph
    true,  // 24 Unseekable media
    true,  // 25 No frame found
    true,  // 26 GetState() failed
    true,  // 27 Could not create a GraphBuilder object
    true,  // 28 Could not create a SampleGrabber filter
    true,  // 29 Cannot add a filter to the graph
    true,  // 30 Cannot set the audio samples media type
    true,  // 31 Cannot connect two filters (no proper stream or decoder)
    true,  // 32 Null renderer not available
    true,  // 33 Media Time time format rejected
    false, // 34 Could not change the graph's reference clock
    false, // 35 Could not retrieve the requested frame or an earlier one: returning the next available frame
    true,  // 36 Could not create a file writer filter
    true,  // 37 Could not get a FileSinkFilter2 interface pointer
    true,  // 38 Cannot create an AVI multiplexer
    true,  // 39 Video source creation failed
    true,  // 40 Connection to the AVI mux failed: direct video stream copy impossible
    true,  // 41 Audio source creation failed
    true,  // 42 Connection to the AVI mux failed: direct audio stream copy impossible
    false, // 43 The filter graph was not fully configured: it cannot be run yet
    false, // 44 The filter graph has not started yet
    false, // 45 Could not fetch the requested compression filter
    true,  // 46 Cannot access the system device enumerator
    true,  // 47 Cannot list compressors
    true,  // 48 Unreachable compressor description
    true,  // 49 Can't display the dialog box
    true,  // 50 No preceding key sample or frame found
    true,  // 51 Cannot retrieve a filter: filter removed from the system?
    false, // 52 Could not add a property to a dialog box
    true,  // 53 Unexpected error
    false, // 54 Cannot get the output pin's present stream format
    false, // 55 Cannot get the output pin's exposed formats details
    false, // 56 Could not restore the output pin's format
    false, // 57 Unused error code
    true,  // 58 No output pin
    false, // 59 Not configurable filter
    true,  // 60 Could not retrieve the filter's compression information
    false, // 61 Could not change the video compressor's output data rate
    false, // 62 The configuration of the compressor filter failed partially
    true,  // 63 Cannot access the output interleaving properties
    true,  // 64 Write error (AVI file output)
    true,  // 65 Could not find a splitter filter
    true,  // 66 Could not disconnect the splitter filter
    true,  // 67 The sample grabbers's input pin is not connected
    true,  // 68 Could not disconnect the sample grabber filter
    false, // 69 Sample does not belong to stream, returning the date of the next available one
    false, // 70 Using a rough formula for time to sample or sample to time conversions
    false, // 71 No sample found at the given date, returning the closest one at a later date
    false, // 72 Could not store the stream's format into a VIDEOINFOHEADER structure
    true,  // 73 Could not change the interleaving period (output pin reconnection error)
};

} // namespace

DSAudioOrVideoStream::DSAudioOrVideoStream()
    : rotRegister(0)
{
}

DSAudioOrVideoStream::~DSAudioOrVideoStream() = default;

int DSAudioOrVideoStream::local_ErrorMax()
{
    return kLocalErrorMax;
}

int DSAudioOrVideoStream::errorMessages_resourceBase()
{
    return 100;
}

bool DSAudioOrVideoStream::local_ErrorIsFatal(int code)
{
    return code < 0 || code > kLocalErrorMax || kFatal[code];
}

bool DSAudioOrVideoStream::usesDirectShow()
{
    return true;
}
