#include "VideoFormat.h"

#include <amvideo.h>
#include <uuids.h>

#include "../core/ErrorCodes.h"

namespace {

// Larger frames are refused instead of allocated: no real stream needs them.
constexpr LONGLONG kMaximumFrameSize = 0x7FFFFFFF;

} // namespace

int takeVideoFormat(const AM_MEDIA_TYPE& connection, VideoFrameFormat& format)
{
    if (connection.formattype != FORMAT_VideoInfo || !connection.pbFormat ||
        connection.cbFormat < sizeof(VIDEOINFOHEADER))
        return DSError::ImproperFormat;
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(connection.pbFormat);
    const BITMAPINFOHEADER& header = info->bmiHeader;
    if (header.biCompression != BI_RGB || header.biBitCount != 24 || header.biWidth <= 0 || header.biHeight == 0)
        return DSError::ImproperFormat;
    LONGLONG rowBytes = (static_cast<LONGLONG>(header.biWidth) * 3 + 3) & ~3LL;
    LONGLONG rows = header.biHeight < 0 ? -static_cast<LONGLONG>(header.biHeight) : header.biHeight;
    if (rowBytes > kMaximumFrameSize / rows)
        return DSError::ImproperFormat;
    format.header = header;
    format.header.biSize = sizeof(BITMAPINFOHEADER);
    format.frameSize = static_cast<DWORD>(rowBytes * rows);
    format.header.biSizeImage = format.frameSize;
    format.timePerFrame = info->AvgTimePerFrame;
    return 0;
}
