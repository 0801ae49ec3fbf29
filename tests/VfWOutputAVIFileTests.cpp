#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <vector>

#include "DialogWatcher.h"
#include "MediaWriter.h"
#include "TestAcmDriver.h"
#include "TestCodec.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"

#include <msacm.h>
#include <uuids.h>

using namespace MediaWriter;

namespace {

using Writer = std::unique_ptr<VfWOutputAVIFile>;

Writer create(const std::string& path, const VIDEOINFOHEADER* video, bool compressVideo, const WAVEFORMATEX* audio,
              bool compressAudio)
{
    return Writer(VfWOutputAVIFile::create(path.c_str(), video, compressVideo, audio, compressAudio));
}

AVISTREAMINFOA streamInfo(const std::string& path, DWORD type)
{
    AVISTREAMINFOA info = {};
    PAVISTREAM stream = nullptr;
    if (AVIStreamOpenFromFileA(&stream, path.c_str(), type, 0, OF_READ, nullptr) == AVIERR_OK) {
        AVIStreamInfoA(stream, &info, sizeof(info));
        AVIStreamRelease(stream);
    }
    return info;
}

// dwScale, dwRate and dwLength of the first audio stream header as stored in
// the file (AVIFile on Wine reports its own values for audio streams).
std::vector<DWORD> storedAudioHeader(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<char> bytes(4096);
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    for (DWORD i = 0; i + 48 <= read; ++i) {
        if (std::memcmp(&bytes[i], "strh", 4) == 0 && std::memcmp(&bytes[i + 8], "auds", 4) == 0) {
            DWORD fields[3];
            std::memcpy(&fields[0], &bytes[i + 28], 8);
            std::memcpy(&fields[2], &bytes[i + 40], 4);
            return {fields[0], fields[1], fields[2]};
        }
    }
    return {};
}

// Signal-to-noise check of decoded audio against the original, 16-bit mono.
double relativeError(const unsigned char* decodedBytes, const BYTE* originalBytes, long samples)
{
    const auto* decoded = reinterpret_cast<const short*>(decodedBytes);
    const auto* original = reinterpret_cast<const short*>(originalBytes);
    double error = 0, signal = 0;
    for (long i = 0; i < samples; ++i) {
        error += std::pow(decoded[i] - original[i], 2);
        signal += std::pow(original[i], 2);
    }
    return signal > 0 ? error / signal : 1;
}

// How many chunks of the first audio stream the file holds (each appears in
// 'movi' and in the index).
int audioChunkMentions(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<char> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    int mentions = 0;
    for (DWORD i = 0; i + 4 <= read; ++i)
        mentions += std::memcmp(&bytes[i], "01wb", 4) == 0;
    return mentions;
}

// The IMA ADPCM format ACM suggests for `pcm`.
std::vector<BYTE> imaFormat(const WAVEFORMATEX& pcm)
{
    AudioTrack layout;
    encodeImaAdpcm(pcm, sinePcm(pcm, 4096), layout);
    return layout.format;
}

class VfWWriter : public testing::Test {
protected:
    TempFolder folder;
    std::string path = folder.path("out.avi");
    VIDEOINFOHEADER video = videoInfo(16, 8, 400000);
    WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
};

TEST_F(VfWWriter, CreateChecksFormatsAndFile)
{
    Writer none = create(path, nullptr, false, nullptr, false);
    EXPECT_EQ(none->lastError, 202);
    EXPECT_TRUE(none->lastError_isFatal());
    EXPECT_EQ(none->nextFrame_number(), -1);
    EXPECT_EQ(none->lastError, 1);

    VIDEOINFOHEADER rgb16 = videoInfo(16, 8, 400000);
    rgb16.bmiHeader.biBitCount = 16;
    EXPECT_EQ(create(folder.path("a.avi"), &rgb16, true, nullptr, false)->lastError, 203);
    EXPECT_EQ(create(folder.path("b.avi"), &rgb16, false, nullptr, false)->lastError, 0);

    VIDEOINFOHEADER still = videoInfo(16, 8, 0);
    Writer noRate = create(folder.path("c.avi"), &still, false, nullptr, false);
    EXPECT_EQ(noRate->lastError, 22);
    EXPECT_TRUE(noRate->close());
    EXPECT_TRUE(noRate->close());

    Writer badPath = create(folder.path("missing\\folder\\d.avi"), &video, false, nullptr, false);
    EXPECT_EQ(badPath->lastError, 21);
    EXPECT_TRUE(badPath->close());

    Writer ok = create(path, &video, false, &pcm, false);
    EXPECT_EQ(ok->lastError, 0);
    EXPECT_EQ(ok->videoFormat(), &video);
    EXPECT_EQ(ok->audioFormat(), &pcm);
    EXPECT_FALSE(ok->isAutomaticallyInterleaved());
    EXPECT_FALSE(ok->setAutomaticInterleaving(true));
    EXPECT_EQ(ok->interleavingPeriod(), 7500000);
    EXPECT_TRUE(ok->canRun());
}

// The stored rate is exact: 10 000 000 / AvgTimePerFrame, reduced.
TEST_F(VfWWriter, FrameRatesAreStoredExactly)
{
    struct Case {
        LONGLONG avgTimePerFrame;
        DWORD rate;
        DWORD scale;
    } cases[] = {{400000, 25, 1},          {333667, 10000000, 333667}, {417083, 10000000, 417083},
                 {800000, 25, 2},          {50000000, 1, 5},           {4000000, 5, 2}};
    unsigned char frame[384] = {};
    for (const Case& c : cases) {
        std::string file = folder.path("rate" + std::to_string(c.avgTimePerFrame) + ".avi");
        VIDEOINFOHEADER info = videoInfo(16, 8, c.avgTimePerFrame);
        Writer writer = create(file, &info, false, nullptr, false);
        ASSERT_EQ(writer->lastError, VfWError::Success) << c.avgTimePerFrame;
        ASSERT_TRUE(writer->start());
        ASSERT_TRUE(writer->writeFrame(0, frame, 1, -1, true));
        writer->close();
        AVISTREAMINFOA stored = streamInfo(file, streamtypeVIDEO);
        EXPECT_EQ(stored.dwRate, c.rate) << c.avgTimePerFrame;
        EXPECT_EQ(stored.dwScale, c.scale) << c.avgTimePerFrame;
    }
}

TEST_F(VfWWriter, UncompressedFramesAreStoredAsWritten)
{
    VIDEOINFOHEADER odd = videoInfo(321, 240, 400000);
    Writer writer = create(path, &odd, true, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    EXPECT_TRUE(writer->canSetCompressor(true));
    EXPECT_FALSE(writer->canRun());
    EXPECT_FALSE(writer->start());
    EXPECT_EQ(writer->lastError, 30);
    ASSERT_TRUE(writer->setCompressor(true, nullptr));
    EXPECT_TRUE(writer->canRun());
    EXPECT_FALSE(writer->canSetCompressor(true));
    EXPECT_FALSE(writer->setCompressor(true, nullptr));
    EXPECT_EQ(writer->lastError, 204);
    ASSERT_TRUE(writer->start());
    EXPECT_EQ(writer->nextFrame_number(), 0);

    std::vector<std::vector<BYTE>> frames;
    for (int n = 0; n < 3; ++n) {
        frames.push_back(framePixels(321, 240, n));
        ASSERT_EQ(frames.back().size(), 231360u);
        ASSERT_TRUE(writer->writeFrame(n, frames.back().data(), 1, -1, true));
    }
    EXPECT_EQ(writer->nextFrame_number(), 3);
    EXPECT_TRUE(writer->close());
    EXPECT_EQ(writer->nextFrame_number(), -1);
    EXPECT_EQ(writer->lastError, 1);
    EXPECT_FALSE(writer->writeFrame(3, frames[0].data(), 1, -1, true));
    EXPECT_EQ(writer->lastError, 200);

    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(const_cast<char*>(path.c_str()), true, false, 0, nullptr));
    ASSERT_EQ(raw->lastError, 0);
    EXPECT_EQ(raw->duration(), 3);
    for (long n = 0; n < 3; ++n) {
        long sample = n, samples = 0, bytes = 0;
        bool key = false;
        unsigned char* data = raw->getData(sample, samples, bytes, key);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(bytes, 231360);
        EXPECT_EQ(std::memcmp(data, frames[n].data(), bytes), 0);
    }
}

// A top-down format (negative height) has as many rows: a frame of unknown
// size is still the whole picture.
TEST_F(VfWWriter, TopDownFramesAreStoredWhole)
{
    VIDEOINFOHEADER topDown = videoInfo(16, -8, 400000);
    Writer writer = create(path, &topDown, false, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> frame = framePixels(16, 8, 1);
    ASSERT_TRUE(writer->writeFrame(0, frame.data(), 1, -1, true)) << writer->lastError;
    EXPECT_TRUE(writer->close());
    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(const_cast<char*>(path.c_str()), true, false, 0, nullptr));
    ASSERT_EQ(raw->lastError, 0);
    long sample = 0, samples = 0, bytes = 0;
    bool key = false;
    unsigned char* data = raw->getData(sample, samples, bytes, key);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(bytes, 16 * 3 * 8);
    EXPECT_EQ(std::memcmp(data, frame.data(), bytes), 0);
}

TEST_F(VfWWriter, BufferedPcmAudioReadsBackWithItsLength)
{
    Writer writer = create(path, &video, false, &pcm, false);
    ASSERT_TRUE(writer->start());
    // 0.75 s at 8 kHz.
    std::vector<BYTE> tone = sinePcm(pcm, 20000);
    std::vector<BYTE> frame(384);
    for (long s = 0, f = 0; s < 20000; s += 500) {
        if (s % 2000 == 0) {
            ASSERT_TRUE(writer->writeFrame(f++, frame.data(), 1, -1, true));
        }
        ASSERT_TRUE(writer->bufferedWriteSample(s, tone.data() + s * 2, 500, -1, true));
    }
    ASSERT_TRUE(writer->flushAudio());
    EXPECT_EQ(writer->nextSample_number(), 20000);
    writer->close();

    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(audio->lastError, 0);
    EXPECT_EQ(audio->duration(), 20000);
    unsigned char* data = audio->getSamples(0, 19999);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(data, tone.data(), tone.size()), 0);
    EXPECT_EQ(storedAudioHeader(path), (std::vector<DWORD>{2, 16000, 20000}));
}

TEST_F(VfWWriter, AudioCompressedThroughAcm)
{
    WAVEFORMATEX source = pcmFormat(22050, 1, 16);
    std::vector<BYTE> ima = imaFormat(source);
    ASSERT_FALSE(ima.empty());
    Writer writer = create(path, nullptr, false, &source, true);
    AVICOMPRESSOPTIONS options = {};
    options.fccType = streamtypeAUDIO;
    options.lpFormat = ima.data();
    options.cbFormat = static_cast<DWORD>(ima.size());
    ASSERT_TRUE(writer->canSetCompressor(false));
    ASSERT_TRUE(writer->setCompressor(false, &options));
    EXPECT_TRUE(writer->isCompressorSet(false));
    ASSERT_TRUE(writer->start());

    std::vector<BYTE> tone = sinePcm(source, 22050);
    // The argument `first` is ignored: the first block is compressed sample 0.
    for (long s = 0; s < 22050; s += 2205)
        ASSERT_TRUE(writer->bufferedWriteSample(s + 1000, tone.data() + s * 2, 2205, -1, false));
    ASSERT_TRUE(writer->flushAudio());
    EXPECT_GT(writer->nextSample_number(), 0);
    writer->close();
    // The header counts compressed blocks in the stored format's time base;
    // the last partial block is padded to a whole one at close.
    const auto* stored = reinterpret_cast<const WAVEFORMATEX*>(ima.data());
    long samplesPerBlock = reinterpret_cast<const IMAADPCMWAVEFORMAT*>(stored)->wSamplesPerBlock;
    auto blocks = static_cast<DWORD>((22050 + samplesPerBlock - 1) / samplesPerBlock);
    EXPECT_EQ(storedAudioHeader(path), (std::vector<DWORD>{stored->nBlockAlign, stored->nAvgBytesPerSec, blocks}));

    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(const_cast<char*>(path.c_str()), false, false, 0, nullptr));
    ASSERT_EQ(raw->lastError, 0);
    GUID imaSubtype = {WAVE_FORMAT_IMA_ADPCM, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_TRUE(IsEqualGUID(raw->format()->subtype, imaSubtype));
    EXPECT_EQ(raw->firstKeySample(), 0);
    EXPECT_GE(raw->duration(), blocks);

    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(audio->lastError, 0);
    long length = audio->duration();
    ASSERT_GT(length, 20000);
    unsigned char* data = audio->getSamples(0, 19999);
    ASSERT_NE(data, nullptr);
    const auto* decoded = reinterpret_cast<const short*>(data);
    const auto* original = reinterpret_cast<const short*>(tone.data());
    double error = 0, signal = 0;
    for (int i = 0; i < 20000; ++i) {
        error += std::pow(decoded[i] - original[i], 2);
        signal += std::pow(original[i], 2);
    }
    EXPECT_LT(error / signal, 0.01);
}

TEST_F(VfWWriter, VideoCompressedThroughTheCodec)
{
    ASSERT_TRUE(TestCodec::install());
    Writer writer = create(path, &video, true, nullptr, false);
    AVICOMPRESSOPTIONS options = {};
    options.fccType = ICTYPE_VIDEO;
    options.fccHandler = TestCodec::kFourCC;
    options.dwKeyFrameEvery = 3;
    options.dwFlags = AVICOMPRESSF_KEYFRAMES;
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, 207);
    ASSERT_TRUE(writer->setCompressor(true, &options));
    EXPECT_FALSE(writer->setCompressor(true, &options));
    EXPECT_EQ(writer->lastError, 205);
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, 0);
    EXPECT_EQ(TestCodec::state(), TestCodec::kConfiguredState);
    ASSERT_TRUE(writer->start()) << writer->lastError;
    for (int n = 0; n < 6; ++n) {
        std::vector<BYTE> pixels = framePixels(16, 8, n);
        ASSERT_TRUE(writer->writeFrame(n, pixels.data(), 1, -1, false)) << n;
    }
    writer->close();

    std::unique_ptr<VideoSourceStream> decoded(VideoSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(decoded->lastError, 0);
    ASSERT_EQ(decoded->duration(), 6);
    for (long n : {5L, 0L, 4L}) {
        long frame = n;
        unsigned char* bits = decoded->getFrameBits(frame);
        ASSERT_NE(bits, nullptr);
        std::vector<BYTE> expected = framePixels(16, 8, n);
        EXPECT_EQ(std::memcmp(bits, expected.data(), expected.size()), 0) << n;
    }
    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(const_cast<char*>(path.c_str()), true, false, 0, nullptr));
    GUID fourCC = {TestCodec::kFourCC, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_TRUE(IsEqualGUID(raw->format()->subtype, fourCC));
    long sample = 4, samples = 0, bytes = 0;
    bool key = true;
    ASSERT_NE(raw->getData(sample, samples, bytes, key), nullptr);
    EXPECT_EQ(sample, 3);
}

TEST_F(VfWWriter, InterleavingPeriodDialog)
{
    Writer writer = create(path, &video, false, &pcm, false);
    std::vector<std::string> messages;
    const std::string caption = "AVI interleaving period";
    auto enter = [](const std::string& text) {
        return [text](HWND dialog) {
            DialogWatcher::setText(dialog, 101, text);
            DialogWatcher::click(dialog, IDOK);
        };
    };
    std::string shown;
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {
            {caption, [&](HWND dialog) { shown = DialogWatcher::itemText(dialog, 101); enter("0")(dialog); }},
            {"Trelix library", DialogWatcher::closeMessageBox(messages)},
            {caption, enter("-1")},
            {"Trelix library", DialogWatcher::closeMessageBox(messages)},
            {caption, enter("1.5x")},
            {"Trelix library", DialogWatcher::closeMessageBox(messages)},
            {caption, enter("")},
            {"Trelix library", DialogWatcher::closeMessageBox(messages)},
            {caption, enter("1.5 ")},
        });
        writer->configureAVI(nullptr);
        EXPECT_TRUE(driver.completed());
    }
    EXPECT_EQ(shown, "0.750000");
    ASSERT_EQ(messages.size(), 4u);
    for (const std::string& text : messages)
        EXPECT_EQ(text, "Positive floating point value expected for the interleaving period.");
    EXPECT_EQ(writer->lastError, 0);
    EXPECT_EQ(writer->interleavingPeriod(), 15000000);

    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{caption, enter("0.01")}});
        writer->configureAVI(nullptr);
        EXPECT_TRUE(driver.completed());
    }
    // Never shorter than one frame.
    EXPECT_EQ(writer->interleavingPeriod(), 400000);

    {
        DialogWatcher::Driver driver(GetCurrentThreadId(),
                                     {{caption, [](HWND d) { DialogWatcher::setText(d, 101, "3"); DialogWatcher::click(d, IDCANCEL); }}});
        writer->configureAVI(nullptr);
        EXPECT_TRUE(driver.completed());
    }
    EXPECT_EQ(writer->interleavingPeriod(), 400000);
    ASSERT_TRUE(writer->start());

    Writer videoOnly = create(folder.path("v.avi"), &video, false, nullptr, false);
    videoOnly->configureAVI(nullptr);
    EXPECT_EQ(videoOnly->lastError, 31);
}

TEST_F(VfWWriter, CancelledCompressorChoices)
{
    Writer writer = create(path, &video, true, &pcm, true);
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"", [](HWND d) { DialogWatcher::click(d, IDCANCEL); }}});
        EXPECT_FALSE(writer->chooseCompressor(nullptr, true));
        EXPECT_TRUE(driver.completed());
    }
    EXPECT_EQ(writer->lastError, 206);
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"", [](HWND d) { DialogWatcher::click(d, IDCANCEL); }}});
        EXPECT_FALSE(writer->chooseCompressor(nullptr, false));
        EXPECT_TRUE(driver.completed());
    }
    EXPECT_EQ(writer->lastError, 206);
    EXPECT_FALSE(writer->isCompressorSet(true));
    EXPECT_FALSE(writer->isCompressorSet(false));
}

// The format chosen in ACM's dialog becomes the audio compressor.
TEST_F(VfWWriter, AudioFormatChosenInTheDialog)
{
    Writer writer = create(path, nullptr, false, &pcm, true);
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"", [](HWND d) { DialogWatcher::click(d, IDOK); }}});
        EXPECT_TRUE(writer->chooseCompressor(nullptr, false)) << writer->lastError;
        EXPECT_TRUE(driver.completed());
    }
    EXPECT_TRUE(writer->isCompressorSet(false));
    EXPECT_FALSE(writer->canSetCompressor(false));
    // A second choice is refused and leaves the first one in place.
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"", [](HWND d) { DialogWatcher::click(d, IDOK); }}});
        EXPECT_FALSE(writer->chooseCompressor(nullptr, false));
        EXPECT_TRUE(driver.completed());
    }
    EXPECT_EQ(writer->lastError, 205);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> tone = sinePcm(pcm, 8000);
    EXPECT_TRUE(writer->writeSample(0, tone.data(), 4000, -1, true));
    EXPECT_TRUE(writer->close());
}

TEST_F(VfWWriter, StopAndDestroyAtAwkwardMoments)
{
    WAVEFORMATEX source = pcmFormat(8000, 1, 16);
    std::vector<BYTE> ima = imaFormat(source);
    AVICOMPRESSOPTIONS options = {};
    options.lpFormat = ima.data();
    options.cbFormat = static_cast<DWORD>(ima.size());
    std::vector<BYTE> big(8000 * 2);
    {
        // A compressed write larger than the conversion buffer fails; then destroy.
        Writer writer = create(path, nullptr, false, &source, true);
        ASSERT_TRUE(writer->setCompressor(false, &options));
        ASSERT_TRUE(writer->start());
        EXPECT_FALSE(writer->writeSample(0, big.data(), 8000, -1, true));
        EXPECT_EQ(writer->lastError, 40);
    }
    {
        // Started, nothing written, destroyed without close.
        Writer writer = create(folder.path("b.avi"), &video, false, &source, true);
        ASSERT_TRUE(writer->setCompressor(false, &options));
        ASSERT_TRUE(writer->start());
    }
    {
        Writer writer = create(folder.path("c.avi"), &video, false, &pcm, false);
        ASSERT_TRUE(writer->start());
        EXPECT_TRUE(writer->close());
        EXPECT_TRUE(writer->close());
        EXPECT_FALSE(writer->bufferedWriteSample(0, big.data(), 10, -1, true));
        EXPECT_EQ(writer->lastError, 1);
        EXPECT_FALSE(writer->flushAudio());
    }
}


// Blocks of the C heap taken by the test, to catch the heap's blocks being
// handed out again and freed behind their owner's back.
class HeldBlocks {
public:
    HeldBlocks() = default;
    HeldBlocks(const HeldBlocks&) = delete;
    HeldBlocks& operator=(const HeldBlocks&) = delete;
    ~HeldBlocks()
    {
        for (void* block : blocks)
            std::free(block);
    }

    // Takes blocks of `size` until one comes back at `address`; true if it did.
    bool takeUntil(const BYTE* address, DWORD size)
    {
        for (int i = 0; i < 32; ++i) {
            blocks.push_back(std::malloc(size));
            if (blocks.back() == address)
                return true;
        }
        return false;
    }

    // Whether every block taken is still a block of its size (not freed).
    bool allLive(const BYTE* address, DWORD size) const
    {
        for (void* block : blocks)
            if (block == address && _msize(block) != size)
                return false;
        return true;
    }

private:
    std::vector<void*> blocks;
};

// A conversion header the platform refuses to prepare leaves the writer
// holding no buffers: once the heap has handed those buffers to someone else,
// close and destruction must not free them a second time.
TEST_F(VfWWriter, RefusedAcmPrepareFreesItsBuffersOnce)
{
    ASSERT_TRUE(TestAcmDriver::install());
    WAVEFORMATEX target = TestAcmDriver::format(pcm);
    AVICOMPRESSOPTIONS options = {};
    options.fccType = streamtypeAUDIO;
    options.lpFormat = &target;
    options.cbFormat = sizeof(target);
    Writer writer = create(path, nullptr, false, &pcm, true);
    ASSERT_TRUE(writer->setCompressor(false, &options)) << writer->lastError;
    EXPECT_FALSE(writer->start());
    EXPECT_EQ(writer->lastError, VfWError::CannotInitAudioCompressor);

    TestAcmDriver::PreparedHeader refused = TestAcmDriver::lastPrepared();
    ASSERT_NE(refused.source, nullptr);
    HeldBlocks held;
    ASSERT_TRUE(held.takeUntil(refused.source, refused.sourceLength)) << "the heap did not reuse the freed buffer";
    held.takeUntil(refused.destination, refused.destinationLength);
    writer->close();
    writer.reset();
    EXPECT_TRUE(held.allLive(refused.source, refused.sourceLength));
    EXPECT_TRUE(held.allLive(refused.destination, refused.destinationLength));
}

} // namespace

namespace {

// 22.05 kHz mono PCM compressed to IMA ADPCM through ACM.
class VfWAcmWriter : public VfWWriter {
protected:
    void SetUp() override
    {
        ima = imaFormat(source);
        ASSERT_FALSE(ima.empty());
        options.fccType = streamtypeAUDIO;
        options.lpFormat = ima.data();
        options.cbFormat = static_cast<DWORD>(ima.size());
    }

    Writer started(const VIDEOINFOHEADER* withVideo)
    {
        Writer writer = create(path, withVideo, false, &source, true);
        EXPECT_TRUE(writer->setCompressor(false, &options));
        return writer;
    }

    // Writes `tone` one sample per bufferedWriteSample call.
    void writeOneByOne(VfWOutputAVIFile& writer, const std::vector<BYTE>& tone)
    {
        long samples = static_cast<long>(tone.size() / 2);
        for (long s = 0; s < samples; ++s)
            ASSERT_TRUE(writer.bufferedWriteSample(s, const_cast<BYTE*>(tone.data()) + s * 2, 1, -1, false))
                << s << " error " << writer.lastError;
        ASSERT_TRUE(writer.flushAudio()) << writer.lastError;
    }

    WAVEFORMATEX source = pcmFormat(22050, 1, 16);
    std::vector<BYTE> ima;
    AVICOMPRESSOPTIONS options = {};
};

// A block-aligned conversion leaves a rest; the next full period must still fit.
TEST_F(VfWAcmWriter, OneSampleAtATimeOverSeveralSeconds)
{
    Writer writer = started(nullptr);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> tone = sinePcm(source, 22050 * 4);
    writeOneByOne(*writer, tone);
    writer->close();
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(audio->lastError, 0);
    EXPECT_GE(audio->duration(), 22050 * 4);
}

// A longer period after start grows the conversion buffer with it.
TEST_F(VfWAcmWriter, PeriodGrownAfterStart)
{
    Writer writer = started(&video);
    ASSERT_TRUE(writer->start());
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"AVI interleaving period", [](HWND d) {
                                                                 DialogWatcher::setText(d, 101, "2");
                                                                 DialogWatcher::click(d, IDOK);
                                                             }}});
        writer->configureAVI(nullptr);
        EXPECT_TRUE(driver.completed());
    }
    ASSERT_EQ(writer->lastError, VfWError::Success);
    EXPECT_EQ(writer->interleavingPeriod(), 20000000);
    writeOneByOne(*writer, sinePcm(source, 22050 * 5));
    EXPECT_TRUE(writer->close());
}

// The last, partial block is padded with silence and kept.
TEST_F(VfWAcmWriter, TheLastPartialBlockIsKept)
{
    Writer writer = started(nullptr);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> tone = sinePcm(source, 22050);
    for (long s = 0; s < 22050; s += 2205)
        ASSERT_TRUE(writer->bufferedWriteSample(s, tone.data() + s * 2, 2205, -1, false));
    ASSERT_TRUE(writer->flushAudio());
    writer->close();
    const auto* stored = reinterpret_cast<const WAVEFORMATEX*>(ima.data());
    long samplesPerBlock = reinterpret_cast<const IMAADPCMWAVEFORMAT*>(stored)->wSamplesPerBlock;
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(audio->lastError, 0);
    EXPECT_GE(audio->duration(), 22050);
    EXPECT_LT(audio->duration(), 22050 + samplesPerBlock);
    // One read from the start: every written sample, the tail of the last
    // partial block included, comes back.
    unsigned char* all = audio->getSamples(0, 22049);
    ASSERT_NE(all, nullptr);
    for (long from : {0L, 20000L, 21000L, 21357L, 21400L})
        EXPECT_LT(relativeError(all + from * 2, tone.data() + from * 2, 22050 - from), 0.01) << from;
}

// Every stored IMA ADPCM block has a valid header: a step index of at most 88
// and the reserved byte 0. Wine's mono encoder leaves that byte unwritten,
// and ffmpeg refuses a block where it is not 0.
TEST_F(VfWAcmWriter, StoredBlockHeadersAreValid)
{
    Writer writer = started(nullptr);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> tone = sinePcm(source, 22050 * 2);
    for (long s = 0; s < 22050 * 2; s += 2205)
        ASSERT_TRUE(writer->bufferedWriteSample(s, tone.data() + s * 2, 2205, -1, false));
    ASSERT_TRUE(writer->flushAudio());
    ASSERT_TRUE(writer->close());

    const WORD blockAlign = reinterpret_cast<const WAVEFORMATEX*>(ima.data())->nBlockAlign;
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&stream, path.c_str(), streamtypeAUDIO, 0, OF_READ, nullptr), AVIERR_OK);
    LONG blocks = AVIStreamLength(stream);
    EXPECT_GE(blocks, 22050 * 2 / 1017);
    std::vector<BYTE> block(blockAlign);
    for (LONG b = 0; b < blocks; ++b) {
        ASSERT_EQ(AVIStreamRead(stream, b, 1, block.data(), blockAlign, nullptr, nullptr), AVIERR_OK) << b;
        EXPECT_LE(block[2], 88) << "block " << b;
        EXPECT_EQ(block[3], 0) << "block " << b;
    }
    AVIStreamRelease(stream);
}

// Compressed audio stored as written keeps its own time base (blocks) and
// is still interleaved by period.
TEST_F(VfWAcmWriter, CopiedCompressedAudioCountsBlocks)
{
    AudioTrack adpcm;
    ASSERT_TRUE(encodeImaAdpcm(source, sinePcm(source, 22050 * 4), adpcm));
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(adpcm.format.data());
    long blocks = static_cast<long>(adpcm.data.size() / format->nBlockAlign);
    Writer writer = create(path, &video, false, format, false);
    ASSERT_EQ(writer->lastError, VfWError::Success);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> frame(384);
    // 25 frames per second: a frame every 1/25 s of blocks.
    double blocksPerFrame = format->nAvgBytesPerSec / 25.0 / format->nBlockAlign;
    long frames = 0;
    for (long b = 0; b < blocks; ++b) {
        for (; frames * blocksPerFrame <= b; ++frames)
            ASSERT_TRUE(writer->writeFrame(frames, frame.data(), 1, -1, true));
        ASSERT_TRUE(writer->bufferedWriteSample(b, adpcm.data.data() + b * format->nBlockAlign, 1, format->nBlockAlign,
                                                true)) << b << " error " << writer->lastError;
    }
    ASSERT_TRUE(writer->flushAudio());
    EXPECT_EQ(writer->nextSample_number(), blocks);
    writer->close();
    EXPECT_EQ(storedAudioHeader(path), (std::vector<DWORD>{format->nBlockAlign, format->nAvgBytesPerSec,
                                                          static_cast<DWORD>(blocks)}));
    // Four seconds in periods of 0.75 s: at least five chunks, each in 'movi' and the index.
    EXPECT_GE(audioChunkMentions(path), 10);
}

// A gap in PCM is filled with silence; the header says what is stored.
TEST_F(VfWWriter, AGapInPcmIsFilledWithSilence)
{
    Writer writer = create(path, &video, false, &pcm, false);
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> tone = sinePcm(pcm, 300);
    ASSERT_TRUE(writer->bufferedWriteSample(0, tone.data(), 100, -1, true));
    ASSERT_TRUE(writer->bufferedWriteSample(101, tone.data() + 200, 100, -1, true));
    ASSERT_TRUE(writer->flushAudio()) << writer->lastError;
    EXPECT_EQ(writer->nextSample_number(), 201);
    writer->close();
    EXPECT_EQ(storedAudioHeader(path), (std::vector<DWORD>{2, 16000, 201}));
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(audio->lastError, 0);
    ASSERT_EQ(audio->duration(), 201);
    unsigned char* data = audio->getSamples(0, 200);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::memcmp(data, tone.data(), 200), 0);
    EXPECT_EQ(data[200], 0);
    EXPECT_EQ(data[201], 0);
    EXPECT_EQ(std::memcmp(data + 202, tone.data() + 200, 200), 0);
}

// Copied compressed audio has no silence to fill a gap with.
TEST_F(VfWAcmWriter, AGapInCopiedCompressedAudioIsRefused)
{
    AudioTrack adpcm;
    ASSERT_TRUE(encodeImaAdpcm(source, sinePcm(source, 22050), adpcm));
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(adpcm.format.data());
    Writer writer = create(path, nullptr, false, format, false);
    ASSERT_TRUE(writer->start());
    ASSERT_TRUE(writer->writeSample(0, adpcm.data.data(), 2, 2 * format->nBlockAlign, true));
    EXPECT_FALSE(writer->writeSample(3, adpcm.data.data(), 1, format->nBlockAlign, true));
    EXPECT_EQ(writer->lastError, VfWError::WriteError);
    writer->close();
    EXPECT_EQ(storedAudioHeader(path).at(2), 2u);
}

// A codec that returns an empty frame (dropped or delayed) still took it.
TEST_F(VfWWriter, AnEmptyCompressedFrameCountsAsWritten)
{
    ASSERT_TRUE(TestCodec::install());
    Writer writer = create(path, &video, true, nullptr, false);
    AVICOMPRESSOPTIONS options = {};
    options.fccType = ICTYPE_VIDEO;
    options.fccHandler = TestCodec::kFourCC;
    ASSERT_TRUE(writer->setCompressor(true, &options));
    TestCodec::setEmptyFrame(2);
    ASSERT_TRUE(writer->start());
    bool written = true;
    for (int n = 0; n < 5 && written; ++n) {
        std::vector<BYTE> pixels = framePixels(16, 8, n);
        written = writer->writeFrame(n, pixels.data(), 1, -1, true);
        EXPECT_TRUE(written) << n << " error " << writer->lastError;
    }
    TestCodec::setEmptyFrame(-1);
    EXPECT_EQ(writer->nextFrame_number(), 5);
    writer->close();
    EXPECT_EQ(streamInfo(path, streamtypeVIDEO).dwLength, 5u);
}

// The interleaving period is refused when its audio would not fit a 32-bit
// byte count (4 hours of 44.1 kHz stereo).
TEST_F(VfWWriter, APeriodTooLongForTheAudioBufferIsRefused)
{
    WAVEFORMATEX stereo = pcmFormat(44100, 2, 16);
    Writer writer = create(path, &video, false, &stereo, false);
    std::vector<std::string> messages;
    const std::string caption = "AVI interleaving period";
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {
            {caption, [](HWND d) { DialogWatcher::setText(d, 101, "14400"); DialogWatcher::click(d, IDOK); }},
            {"Trelix library", DialogWatcher::closeMessageBox(messages)},
            {caption, [](HWND d) { DialogWatcher::setText(d, 101, "3600"); DialogWatcher::click(d, IDOK); }},
        });
        writer->configureAVI(nullptr);
        EXPECT_TRUE(driver.completed());
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Positive floating point value expected for the interleaving period.");
    EXPECT_EQ(writer->interleavingPeriod(), 36000000000LL);
}

// The header repair finds the file after the current folder changed.
TEST_F(VfWWriter, ARelativeNameSurvivesAChangeOfFolder)
{
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    TempFolder other;
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path("").c_str()));
    Writer writer = create("relative.avi", &video, false, &pcm, false);
    ASSERT_TRUE(SetCurrentDirectoryA(other.path("").c_str()));
    ASSERT_TRUE(writer->start());
    std::vector<BYTE> tone = sinePcm(pcm, 1000);
    for (long s = 0; s < 1000; s += 100)
        ASSERT_TRUE(writer->writeSample(s, tone.data() + s * 2, 100, -1, true));
    writer->close();
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(storedAudioHeader(folder.path("relative.avi")), (std::vector<DWORD>{2, 16000, 1000}));
}

} // namespace
