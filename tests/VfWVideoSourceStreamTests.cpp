#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "MediaWriter.h"
#include "TestCodec.h"
#include "Trelix.h"

using namespace MediaWriter;

namespace {

std::unique_ptr<VfWVideoSourceStream> openVideo(const std::string& path, int index = 0)
{
    return std::unique_ptr<VfWVideoSourceStream>(
        VfWVideoSourceStream::open(const_cast<char*>(path.c_str()), index, nullptr));
}

void expectFrame(VfWVideoSourceStream& video, long frame, long expectedFrame, int expectedCode, int picture)
{
    SCOPED_TRACE(frame);
    long f = frame;
    unsigned char* bits = video.getFrameBits(f);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(f, expectedFrame);
    EXPECT_EQ(video.lastError, expectedCode);
    const BITMAPINFOHEADER* header = video.format();
    std::vector<BYTE> expected = framePixels(header->biWidth, header->biHeight, picture);
    ASSERT_EQ(header->biSizeImage, expected.size());
    EXPECT_EQ(std::memcmp(bits, expected.data(), expected.size()), 0);
}

class VfWVideoSource : public testing::Test {
protected:
    TempFolder folder;
};

TEST_F(VfWVideoSource, OpensAndDescribesTheStream)
{
    std::string path = folder.path("rgb.avi");
    VideoTrack layout;
    layout.width = 21;
    layout.height = 10;
    layout.frames = "KKKKKK";
    ASSERT_TRUE(writeAvi(path, {layout}));

    auto video = openVideo(path);
    ASSERT_TRUE(video);
    ASSERT_EQ(video->lastError, 0);
    EXPECT_FALSE(video->usesDirectShow());
    EXPECT_EQ(video->duration(), 6);
    EXPECT_EQ(video->frameRate(), 25.0);
    const BITMAPINFOHEADER* header = video->format();
    EXPECT_EQ(header->biWidth, 21);
    EXPECT_EQ(header->biHeight, 10);
    EXPECT_EQ(header->biBitCount, 24);
    EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(header->biSizeImage, 64u * 10);
    EXPECT_EQ(video->msDuration(), 240.0);
    long sample = 3;
    EXPECT_EQ(video->StreamSampleToTime(sample), 120.0);
    EXPECT_EQ(video->lastError, 0);
    VIDEOINFOHEADER info;
    ASSERT_NE(video->videoInfo(info), nullptr);
    EXPECT_EQ(info.AvgTimePerFrame, 400000);

    // configure does nothing and leaves the code alone.
    video->lastError = 9;
    video->configure(nullptr);
    EXPECT_EQ(video->lastError, 9);
}

TEST_F(VfWVideoSource, DeliversThePixelsThatWereWritten)
{
    std::string path = folder.path("rgb.avi");
    VideoTrack layout;
    layout.frames = "KKKK";
    ASSERT_TRUE(writeAvi(path, {layout}));
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    for (long f : {2L, 0L, 3L, 1L})
        expectFrame(*video, f, f, 0, f);
}

TEST_F(VfWVideoSource, DecodesKeyAndDeltaFramesInAnyOrder)
{
    ASSERT_TRUE(TestCodec::install());
    std::string path = folder.path("codec.avi");
    VideoTrack layout;
    layout.compression = TestCodec::kFourCC;
    layout.frames = "KDDKDD";
    ASSERT_TRUE(writeAvi(path, {layout}));
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    for (long f : {5L, 1L, 4L, 2L, 0L, 3L})
        expectFrame(*video, f, f, 0, f);
}

// Uncompressed frames pass through the platform's frame extraction: a frame
// after a key frame, asked for first, is still its own picture.
TEST_F(VfWVideoSource, UncompressedDeltaFramesInAnyOrder)
{
    std::string path = folder.path("rgb-delta.avi");
    VideoTrack layout;
    layout.frames = "KDDKDD";
    ASSERT_TRUE(writeAvi(path, {layout}));
    for (long first : {2L, 5L}) {
        auto video = openVideo(path);
        ASSERT_EQ(video->lastError, 0);
        for (long f : {first, 1L, 4L, 2L, 0L, 3L, 5L})
            expectFrame(*video, f, f, 0, f);
    }
}

TEST_F(VfWVideoSource, DroppedFramesShowTheFrameBeforeOrTheNextOne)
{
    std::string path = folder.path("dropped.avi");
    VideoTrack layout;
    layout.frames = "--KK--K-";
    ASSERT_TRUE(writeAvi(path, {layout}));
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    ASSERT_EQ(video->duration(), 8);

    EXPECT_EQ(video->findFrame(5), 3);
    EXPECT_EQ(video->lastError, 0);
    EXPECT_EQ(video->findFrame(7), 6);
    EXPECT_EQ(video->lastError, 0);
    EXPECT_EQ(video->findFrame(0), 2);
    EXPECT_EQ(video->lastError, 9);
    EXPECT_FALSE(video->lastError_isFatal());

    expectFrame(*video, 4, 3, 0, 3);
    expectFrame(*video, 1, 2, 9, 2);

    EXPECT_EQ(video->findFrame(8), -1);
    EXPECT_EQ(video->lastError, 8);
    EXPECT_EQ(video->findFrame(-1), -1);
    EXPECT_EQ(video->lastError, 8);
    long f = 8;
    EXPECT_EQ(video->getFrameBits(f), nullptr);
    EXPECT_EQ(f, -1);
    EXPECT_EQ(video->lastError, 8);
}

TEST_F(VfWVideoSource, StreamOfOnlyDroppedFramesHasNoFrame)
{
    std::string path = folder.path("empty-frames.avi");
    VideoTrack layout;
    layout.frames = "---";
    ASSERT_TRUE(writeAvi(path, {layout}));
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    EXPECT_EQ(video->findFrame(1), -1);
    EXPECT_EQ(video->lastError, 10);
}

TEST_F(VfWVideoSource, StreamIndexCountsOnlyVideoStreams)
{
    std::string path = folder.path("two.avi");
    VideoTrack first, second;
    first.width = 16;
    second.width = 24;
    second.frames = "KKKKKKK";
    WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
    ASSERT_TRUE(writeAvi(path, {first, second}, {pcmAudio(pcm, sinePcm(pcm, 100))}));

    auto video = openVideo(path, 1);
    ASSERT_EQ(video->lastError, 0);
    EXPECT_EQ(video->format()->biWidth, 24);
    EXPECT_EQ(video->duration(), 7);
    expectFrame(*video, 6, 6, 0, 6);

    auto missing = openVideo(path, 2);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->lastError, 3);
}

TEST_F(VfWVideoSource, FrameRatesAndTimeConversions)
{
    std::string path = folder.path("ntsc.avi");
    VideoTrack ntsc;
    ntsc.rate = 30000;
    ntsc.scale = 1001;
    ASSERT_TRUE(writeAvi(path, {ntsc}));
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    EXPECT_DOUBLE_EQ(video->frameRate(), 30000.0 / 1001.0);
    VIDEOINFOHEADER info;
    ASSERT_NE(video->videoInfo(info), nullptr);
    EXPECT_EQ(info.AvgTimePerFrame, 333667);

    // At 2 frames per second, 999 ms is still frame 1 and 1000 ms is frame 2.
    std::string slowPath = folder.path("slow.avi");
    VideoTrack slow;
    slow.rate = 2;
    slow.frames = "KKKKKK";
    ASSERT_TRUE(writeAvi(slowPath, {slow}));
    auto slowVideo = openVideo(slowPath);
    ASSERT_EQ(slowVideo->lastError, 0);
    double time = 999.5;
    EXPECT_EQ(slowVideo->StreamTimeToSample(time), 2);
    EXPECT_EQ(time, 999.5);
    time = 999.49;
    EXPECT_EQ(slowVideo->StreamTimeToSample(time), 1);
    EXPECT_EQ(slowVideo->lastError, 0);

    std::string fractionalPath = folder.path("fractional.avi");
    VideoTrack fractional;
    fractional.rate = 5;
    fractional.scale = 2;
    ASSERT_TRUE(writeAvi(fractionalPath, {fractional}));
    auto fractionalVideo = openVideo(fractionalPath);
    EXPECT_EQ(fractionalVideo->frameRate(), 2.5);
    EXPECT_EQ(fractionalVideo->msDuration(), 1600.0);
}

TEST_F(VfWVideoSource, MissingDecompressorFailsAfterLengthAndFormat)
{
    std::string path = folder.path("unknown.avi");
    VideoTrack layout;
    layout.compression = mmioFOURCC('Z', 'Z', 'Z', 'Z');
    layout.bitCount = 16;
    ASSERT_TRUE(writeAvi(path, {layout}));
    auto video = openVideo(path);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->lastError, 7);
    EXPECT_TRUE(video->lastError_isFatal());
    // The header was built before the decompressor was looked for.
    EXPECT_EQ(video->format()->biWidth, 16);
    EXPECT_EQ(video->duration(), -1);
    EXPECT_EQ(video->lastError, 1);
}

// A file cut inside its headers cannot be opened; one cut inside its data
// opens (AVIFile rebuilds what it can) but must never read past what exists.
TEST_F(VfWVideoSource, UntrustedFilesFailWithTheOpenCode)
{
    std::string good = folder.path("good.avi");
    VideoTrack layout;
    layout.frames = std::string(30, 'K');
    ASSERT_TRUE(writeAvi(good, {layout}));
    std::string truncated = folder.path("truncated.avi");
    std::string cutData = folder.path("cut-data.avi");
    std::string notAvi = folder.path("text.avi");
    std::string empty = folder.path("empty.avi");
    {
        HANDLE in = CreateFileA(good.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        std::vector<char> bytes(GetFileSize(in, nullptr));
        DWORD read = 0;
        ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        CloseHandle(in);
        auto save = [](const std::string& p, const void* data, DWORD size) {
            HANDLE out = CreateFileA(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            WriteFile(out, data, size, &written, nullptr);
            CloseHandle(out);
        };
        save(truncated, bytes.data(), 100);
        save(cutData, bytes.data(), read / 2);
        save(notAvi, "this is not an AVI file at all, just text", 41);
        save(empty, "", 0);
    }
    for (const std::string& path : {truncated, notAvi, empty, folder.path("missing.avi")}) {
        SCOPED_TRACE(path);
        auto video = openVideo(path);
        ASSERT_TRUE(video);
        EXPECT_EQ(video->lastError, 3);
        EXPECT_EQ(video->findFrame(0), -1);
        EXPECT_EQ(video->lastError, 1);
    }

    auto cut = openVideo(cutData);
    ASSERT_TRUE(cut);
    if (cut->lastError == 0) {
        for (long f = 0; f < cut->duration(); ++f) {
            long frame = f;
            if (!cut->getFrameBits(frame)) {
                EXPECT_TRUE(cut->lastError_isFatal()) << f;
            }
        }
    } else {
        EXPECT_TRUE(cut->lastError_isFatal());
    }
}

} // namespace

namespace {

std::string written(TempFolder& folder, const std::string& name, const VideoTrack& layout)
{
    std::string path = folder.path(name);
    EXPECT_TRUE(writeAvi(path, {layout}));
    return path;
}

void patchHeaderWord(const std::string& path, int word, DWORD value)
{
    ASSERT_TRUE(patchStreamFormat(path, 0, 4 * word, &value, sizeof(value)));
}

// The colour counts of the stored format do not reach the 24-bit request:
// with them the platform reads a palette past the request and places the
// pixels after it.
TEST_F(VfWVideoSource, StoredColourCountsDoNotReachTheRequest)
{
    ASSERT_TRUE(TestCodec::install());
    VideoTrack layout;
    layout.compression = TestCodec::kFourCC;
    layout.frames = "KDK";
    std::string path = written(folder, "colours.avi", layout);
    patchHeaderWord(path, 8, 0x100000);
    patchHeaderWord(path, 9, 0x100000);
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    EXPECT_EQ(video->format()->biClrUsed, 0u);
    EXPECT_EQ(video->format()->biClrImportant, 0u);
    for (long f : {0L, 1L, 2L})
        expectFrame(*video, f, f, 0, f);
}

// Wine's MS-RLE decoder, for an 8-bit stream where 256 colours are normal.
TEST_F(VfWVideoSource, PalettisedRleStreamDecodesInPlace)
{
    VideoTrack layout;
    layout.compression = BI_RLE8;
    layout.bitCount = 8;
    layout.width = 16;
    layout.height = 4;
    layout.frames = "KK";
    layout.extra.resize(256 * sizeof(RGBQUAD));
    for (int i = 0; i < 256; ++i) {
        layout.extra[4 * i] = static_cast<BYTE>(i);
        layout.extra[4 * i + 1] = static_cast<BYTE>(255 - i);
        layout.extra[4 * i + 2] = static_cast<BYTE>(i * 3);
    }
    std::string path = folder.path("rle.avi");
    ASSERT_TRUE(writeAvi(path, {layout}));
    auto video = openVideo(path);
    if (video->lastError == 7)
        GTEST_SKIP() << "no MS-RLE decompressor";
    ASSERT_EQ(video->lastError, 0);
    long frame = 1;
    unsigned char* bits = video->getFrameBits(frame);
    ASSERT_NE(bits, nullptr);
    // Every row of the RLE test frame is one run of colour index 1 + row.
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 16; ++x) {
            const BYTE* pixel = bits + y * 48 + x * 3;
            const BYTE* colour = &layout.extra[4 * (1 + y)];
            ASSERT_EQ(std::memcmp(pixel, colour, 3), 0) << x << "," << y;
        }
    }
}

TEST_F(VfWVideoSource, AbsurdFrameSizesAreRefused)
{
    VideoTrack layout;
    struct Size {
        LONG width, height;
    } sizes[] = {{0x40000000, 8}, {16, 40000}, {16, -40000}, {30000, 30000}, {0, 8}, {16, 0}};
    for (const Size& size : sizes) {
        SCOPED_TRACE(size.width);
        SCOPED_TRACE(size.height);
        std::string path = written(folder, "size.avi", layout);
        patchHeaderWord(path, 1, static_cast<DWORD>(size.width));
        patchHeaderWord(path, 2, static_cast<DWORD>(size.height));
        auto video = openVideo(path);
        EXPECT_EQ(video->lastError, 5);
        EXPECT_TRUE(video->lastError_isFatal());
    }
    // The largest accepted side still opens.
    std::string path = written(folder, "wide.avi", layout);
    patchHeaderWord(path, 1, 32768);
    EXPECT_NE(openVideo(path)->lastError, 5);
}

TEST_F(VfWVideoSource, ZeroRateOrScaleIsRefused)
{
    for (int field : {5, 6}) {
        SCOPED_TRACE(field);
        std::string path = written(folder, "rate.avi", VideoTrack());
        ASSERT_TRUE(patchStreamHeader(path, 0, field, 0));
        auto video = openVideo(path);
        EXPECT_EQ(video->lastError, 4);
        EXPECT_EQ(video->msDuration(), -1.0);
        EXPECT_EQ(video->lastError, 1);
    }
}

// dwStart 3: the library's frame 0 is the platform's frame 3. Windows then
// reads all 30 chunks; Wine reads chunk 3 there and only 27 in all.
TEST_F(VfWVideoSource, StreamStartingLateDeliversEveryFrame)
{
    VideoTrack layout;
    layout.frames = std::string(30, 'K');
    std::string path = written(folder, "late.avi", layout);
    ASSERT_TRUE(patchStreamHeader(path, 0, 7, 3));
    auto video = openVideo(path);
    ASSERT_EQ(video->lastError, 0);
    long length = video->duration();
    ASSERT_TRUE(length == 30 || length == 27) << length;
    int firstPicture = 30 - static_cast<int>(length);
    for (long f = 0; f < length; ++f)
        expectFrame(*video, f, f, 0, firstPicture + f);
    EXPECT_EQ(video->findFrame(length), -1);
    long sample = 0;
    EXPECT_EQ(video->StreamSampleToTime(sample), 120.0);
    double time = 120.0;
    EXPECT_EQ(video->StreamTimeToSample(time), 0);
    EXPECT_EQ(video->msDuration(), 40.0 * (3 + length));
}

// A capture program keeps its file open for writing while others read it.
TEST_F(VfWVideoSource, OpensAFileThatIsStillBeingWritten)
{
    std::string path = written(folder, "capture.avi", VideoTrack());
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    auto video = openVideo(path);
    EXPECT_EQ(video->lastError, 0);
    video.reset();
    CloseHandle(writer);
}

} // namespace

namespace {

// An uncompressed 24-bit stream is handed through by the frame extraction
// with its stored header: a header other than the 40-byte BI_RGB request
// (a longer one, or a colour table) fails with 11 instead of pixels read
// from the wrong place; the stored header as requested gives the pixels,
// also when bytes follow it in the stored format.
TEST_F(VfWVideoSource, DeliveredHeaderOtherThanRequestedFailsWith11)
{
    VideoTrack layout;
    layout.frames = "KK";
    std::string plain = folder.path("plain.avi");
    ASSERT_TRUE(writeAvi(plain, {layout}));
    auto video = openVideo(plain);
    ASSERT_EQ(video->lastError, 0);
    expectFrame(*video, 1, 1, 0, 1);

    // Bytes after the header of the stored format (still a 40-byte header
    // without colours): the pixels as written, not 16 bytes off.
    layout.extra.assign(4 * sizeof(RGBQUAD), 0x40);
    std::string trailing = folder.path("trailing.avi");
    ASSERT_TRUE(writeAvi(trailing, {layout}));
    auto padded = openVideo(trailing);
    ASSERT_EQ(padded->lastError, 0);
    expectFrame(*padded, 1, 1, 0, 1);

    struct Patch {
        size_t offset;
        DWORD value;
    };
    for (Patch patch : {Patch{offsetof(BITMAPINFOHEADER, biSize), 56}, Patch{offsetof(BITMAPINFOHEADER, biClrUsed), 4}}) {
        SCOPED_TRACE(patch.offset);
        std::string path = folder.path("patched" + std::to_string(patch.offset) + ".avi");
        ASSERT_TRUE(writeAvi(path, {layout}));
        ASSERT_TRUE(patchStreamFormat(path, 0, patch.offset, &patch.value, sizeof(patch.value)));
        auto patched = openVideo(path);
        ASSERT_EQ(patched->lastError, 0);
        long frame = 1;
        EXPECT_EQ(patched->getFrameBits(frame), nullptr);
        EXPECT_EQ(patched->lastError, 11);
        EXPECT_TRUE(patched->lastError_isFatal());
    }
}

} // namespace
