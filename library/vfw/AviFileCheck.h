#pragma once

#include <vector>

#include <windows.h>

// A structural check of a file before the platform's AVIFile parser reads it.
// The parser trusts chunk sizes, header fields and index entries: on damaged
// files it reads past its buffers, dereferences streams that do not exist or
// aborts on its own assertions. The check walks the RIFF structure with
// 64-bit bounds and refuses what the parser cannot be trusted with; every
// file that a sound writer produces passes.
namespace AviFileCheck {

enum class Verdict {
    Safe,
    // The file cannot be opened or read.
    Unreadable,
    // A RIFF form other than AVI or WAVE.
    UnknownForm,
    // A chunk that runs past its parent or the end of the file, a list too
    // short for its type, or lists nested deeper than writers nest them.
    ChunkOutOfBounds,
    // A chunk the parser needs ('hdrl', 'avih', 'movi', 'fmt ', 'data') is
    // missing or too short.
    MissingHeader,
    // The stream lists after the main header do not match its stream count.
    BadStreamList,
    // A stream header too short, or with a zero rate or scale.
    BadStreamHeader,
    // A video format too short for its header, with a header size outside
    // the chunk, absurd dimensions or a colour table that does not fit.
    BadVideoFormat,
    // An audio format too short, with extra bytes outside the chunk, or zero
    // channels, rate or block size.
    BadAudioFormat,
    // An index entry for a stream that does not exist, or pointing outside
    // the 'movi' data; an OpenDML super index pointing outside the file.
    BadIndex,
    // A stream's start and length claim more samples than its chunks hold.
    LengthBeyondData,
    // The main header declares an index that is not there (a cut file).
    MissingIndex,
    // An audio stream of variable-size chunks (an MP3 stream as ffmpeg
    // writes it) that the platform reads as fixed-size samples of its block
    // size (Wine): its length then claims more bytes than the chunks hold,
    // and a read past the last chunk aborts the process.
    AudioReadPastItsChunks,
};

Verdict check(const char* fileName);

// True when the file may be handed to AVIFile: safe, or with a fault that the
// reader guards against (`tolerated`).
bool isSafe(const char* fileName, Verdict tolerated = Verdict::Safe);

// What the file itself stores for a stream: its header's time base and
// sample size, and its chunks as the index lists them.
struct StoredStream {
    DWORD scale = 0;
    DWORD rate = 0;
    DWORD sampleSize = 0;
    unsigned long long bytes = 0;
    std::vector<DWORD> chunkSizes;
};

// The stored values of occurrence `index` (from 0) of the streams of type
// `type` (Wine's parser replaces an audio stream's time base with the sample
// rate and its sample size with the block size); false when the file is no
// AVI file or holds no such stream.
bool storedStream(const char* fileName, DWORD type, int index, StoredStream& stored);

// True when every RIFF chunk of the file (OpenDML files hold several) lies
// within it. For a file just written: AVIFile under Wine reports success for
// writes that failed (a full disk, a file size limit), which leaves a file
// shorter than its own headers claim.
bool holdsItsRiffChunks(const char* fileName);

// A short English name of the verdict, for reports.
const char* name(Verdict verdict);

} // namespace AviFileCheck
