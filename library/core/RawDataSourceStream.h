#pragma once

#include "SourceStream.h"

// Still-compressed samples for direct stream copy, described by a media type
// whose format block the stream owns.
class TRELIX_API RawDataSourceStream : public virtual SourceStream {
public:
    ~RawDataSourceStream() override;
    bool isRawData() override;
    // Reads the sample at or before `sample` (the preceding key sample when
    // `key` is true on entry); every argument is updated to what was read.
    virtual unsigned char* getData(long& sample, long& samplesRead, long& bytesRead, bool& key) = 0;

    static RawDataSourceStream* open(char* fileName, bool video, bool useDirectShow, int streamIndex,
                                     TrelixNotification* n);
    static RawDataSourceStream* open(char* fileName, bool video, int streamIndex, TrelixNotification* n);

    // Wait-dialog entry point (see SourceStream::open): a dialog only for
    // DirectShow streams.
    unsigned char* getData(int options, void* parentWindow, long& sample, long& samplesRead, long& bytesRead, bool& key,
                           char* title);

    AM_MEDIA_TYPE* format();
    long firstKeySample();

protected:
    RawDataSourceStream();

    AM_MEDIA_TYPE mediaType;
    // Samples before the first key sample are never delivered.
    long _firstKeySample;
};
