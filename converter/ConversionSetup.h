#pragma once

#include <string>

#include "Trelix.h"

// What the two front ends share when they open sources and create the output:
// the same option bits, factories, formats and range rule.

enum class SourceBackend { Automatic, DirectShow, VfW };

// Option bits of the wait-dialog open: 1 audio, 2 raw data, 4 DirectShow,
// 8 automatic backend, 32 titled dialog.
int sourceOpenOptions(bool video, bool raw, SourceBackend backend, bool titled);

// Opens one stream without the wait dialog, through the same factories the
// wait dialog runs for those option bits. The caller owns the result.
SourceStream* openSourceStream(char* fileName, bool video, bool raw, SourceBackend backend, int track);

// Creates the output from the sources' formats and the raw choices: a stream
// is compressed when its source is decoded and it was not marked
// uncompressed. `videoInfo` receives the video record the output points to,
// so it lives as long as the output; so must the sources.
OutputAVIFile* createOutputFor(const char* fileName, SourceStream* video, SourceStream* audio, bool videoUncompressed,
                               bool audioUncompressed, bool useDirectShow, VIDEOINFOHEADER& videoInfo);

// The range rule: a last position beyond the stream is cut to duration - 1,
// then a first position above the last is lowered to it.
void clampRange(long duration, long& first, long& last);

// "Error number %d (%s):\n%s" for a library code of either backend.
std::string libraryErrorText(int code, bool directShow, const char* message);
// The same for the last error of a stream object (empty when it has none).
std::string streamErrorText(AudioOrVideoStream& stream);
