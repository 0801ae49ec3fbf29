#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include <windows.h>
#include <mmreg.h>
#include <msacm.h>

#include "core/ErrorCodes.h"
#include "MediaWriter.h"
#include "TestMedia.h"
#include "Trelix.h"

using namespace MediaWriter;

namespace {

std::unique_ptr<VfWAudioSourceStream> openAudio(const std::string& path, int index = 0)
{
    return std::unique_ptr<VfWAudioSourceStream>(
        VfWAudioSourceStream::open(const_cast<char*>(path.c_str()), index, nullptr));
}

std::vector<BYTE> samples(VfWAudioSourceStream& audio, long first, long last)
{
    unsigned char* data = audio.getSamples(first, last);
    EXPECT_NE(data, nullptr) << first << ".." << last << " code " << audio.lastError;
    if (!data)
        return {};
    return std::vector<BYTE>(data, data + (last - first + 1) * audio.format()->nBlockAlign);
}

// Decodes every ADPCM block with ACM directly, independently of the source's
// cache and positioning.
std::vector<BYTE> decodeAll(const AudioTrack& adpcm, const WAVEFORMATEX& pcm)
{
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(const_cast<BYTE*>(adpcm.format.data()));
    WAVEFORMATEX out = pcm;
    HACMSTREAM stream = nullptr;
    EXPECT_EQ(acmStreamOpen(&stream, nullptr, wfx, &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0u);
    std::vector<BYTE> in(adpcm.data);
    DWORD size = 0;
    acmStreamSize(stream, static_cast<DWORD>(in.size()), &size, ACM_STREAMSIZEF_SOURCE);
    std::vector<BYTE> decoded(size);
    ACMSTREAMHEADER header = {};
    header.cbStruct = sizeof(header);
    header.pbSrc = in.data();
    header.cbSrcLength = static_cast<DWORD>(in.size());
    header.pbDst = decoded.data();
    header.cbDstLength = size;
    acmStreamPrepareHeader(stream, &header, 0);
    EXPECT_EQ(acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START), 0u);
    acmStreamUnprepareHeader(stream, &header, 0);
    acmStreamClose(stream, 0);
    decoded.resize(header.cbDstLengthUsed);
    return decoded;
}

class VfWAudioSource : public testing::Test {
protected:
    // Mono IMA ADPCM at 44 100 Hz; `blocks` blocks whose stream header says
    // they last `milliseconds`.
    std::string writeAdpcm(const std::string& name, int blocks, int milliseconds)
    {
        pcm = pcmFormat(44100, 1, 16);
        original = sinePcm(pcm, 2041L * blocks);
        if (!encodeImaAdpcm(pcm, original, adpcm))
            return {};
        const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(adpcm.format.data());
        EXPECT_EQ(wfx->nBlockAlign, 1024);
        adpcm.data.resize(static_cast<size_t>(blocks) * wfx->nBlockAlign);
        // The byte rate that makes the blocks last exactly `milliseconds`.
        auto* format = reinterpret_cast<WAVEFORMATEX*>(adpcm.format.data());
        format->nAvgBytesPerSec = static_cast<DWORD>(1000LL * blocks * wfx->nBlockAlign / milliseconds);
        std::string path = folder.path(name);
        return writeAvi(path, {VideoTrack()}, {adpcm}) ? path : std::string();
    }

    TempFolder folder;
    WAVEFORMATEX pcm = {};
    std::vector<BYTE> original;
    AudioTrack adpcm;
};

TEST_F(VfWAudioSource, PcmIsReadAsStored)
{
    WAVEFORMATEX format = pcmFormat(8000, 2, 16);
    std::vector<BYTE> data = sinePcm(format, 1000);
    std::string path = folder.path("pcm.avi");
    ASSERT_TRUE(writeAvi(path, {VideoTrack()}, {pcmAudio(format, data)}));

    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    EXPECT_EQ(audio->duration(), 1000);
    EXPECT_EQ(std::memcmp(audio->format(), &format, sizeof(WAVEFORMATEX)), 0);
    EXPECT_EQ(audio->msDuration(), 125.0);
    long sample = 800;
    EXPECT_EQ(audio->StreamSampleToTime(sample), 100.0);
    VIDEOINFOHEADER info;
    EXPECT_EQ(audio->videoInfo(info), nullptr);

    std::vector<BYTE> all = samples(*audio, 0, 999);
    EXPECT_EQ(all, data);
    std::vector<BYTE> one = samples(*audio, 500, 500);
    ASSERT_EQ(one.size(), 4u);
    EXPECT_EQ(std::memcmp(one.data(), data.data() + 2000, 4), 0);
    EXPECT_EQ(samples(*audio, 10, 19), std::vector<BYTE>(data.begin() + 40, data.begin() + 80));
}

// Frames asked for one at a time, in any order, are the frames of one large read.
TEST_F(VfWAudioSource, PcmFrameByFrameMatchesOneRead)
{
    WAVEFORMATEX format = pcmFormat(22050, 2, 16);
    std::vector<BYTE> data = sinePcm(format, 40000);
    std::string path = folder.path("pcm.avi");
    ASSERT_TRUE(writeAvi(path, {}, {pcmAudio(format, data)}));
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    for (long s : {0L, 1L, 2L, 39999L, 20000L, 16383L, 16384L, 5L, 39998L}) {
        std::vector<BYTE> one = samples(*audio, s, s);
        ASSERT_EQ(one.size(), 4u);
        EXPECT_EQ(std::memcmp(one.data(), data.data() + s * 4, 4), 0) << s;
    }
    EXPECT_EQ(samples(*audio, 0, 39999), data);
}

TEST_F(VfWAudioSource, RangeChecks)
{
    WAVEFORMATEX format = pcmFormat(8000, 1, 16);
    std::string path = folder.path("pcm.avi");
    ASSERT_TRUE(writeAvi(path, {}, {pcmAudio(format, sinePcm(format, 100))}));
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    for (auto range : {std::make_pair(5L, 4L), std::make_pair(-1L, 3L), std::make_pair(0L, 100L)}) {
        audio->lastError = 0;
        EXPECT_EQ(audio->getSamples(range.first, range.second), nullptr);
        EXPECT_EQ(audio->lastError, 8);
        EXPECT_FALSE(audio->lastError_isFatal());
    }
    EXPECT_NE(audio->getSamples(99, 99), nullptr);

    auto missing = openAudio(path, 1);
    EXPECT_EQ(missing->lastError, 3);
    EXPECT_EQ(missing->getSamples(0, 0), nullptr);
    EXPECT_EQ(missing->lastError, 1);
}

TEST_F(VfWAudioSource, AdpcmLengthLosesOneMillisecond)
{
    std::string path = writeAdpcm("adpcm.avi", 220, 10000);
    ASSERT_FALSE(path.empty());
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    EXPECT_EQ(audio->duration(), 440956);
    const WAVEFORMATEX* format = audio->format();
    EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format->nChannels, 1);
    EXPECT_EQ(format->nSamplesPerSec, 44100u);
    EXPECT_EQ(format->wBitsPerSample, 16);
    EXPECT_EQ(format->cbSize, 0);
    EXPECT_EQ(audio->msDuration(), 10000.0);

    long sample = 441;
    EXPECT_DOUBLE_EQ(audio->StreamSampleToTime(sample), 10.0);
    double time = 10.9;
    EXPECT_EQ(audio->StreamTimeToSample(time), 480);
}

TEST_F(VfWAudioSource, AdpcmDecodesLikeAnIndependentDecoder)
{
    std::string path = writeAdpcm("adpcm.avi", 30, 1000);
    ASSERT_FALSE(path.empty());
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    long length = audio->duration();
    ASSERT_EQ(length, 44056);
    std::vector<BYTE> reference = decodeAll(adpcm, pcm);
    ASSERT_GE(reference.size(), 30u * 2041 * 2);

    std::vector<BYTE> all = samples(*audio, 0, length - 1);
    ASSERT_EQ(all.size(), 44056u * 2);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), reference.begin()));

    // And close to the tone that was encoded.
    const auto* decoded = reinterpret_cast<const short*>(all.data());
    const auto* tone = reinterpret_cast<const short*>(original.data());
    double error = 0, signal = 0;
    for (size_t i = 0; i < all.size() / 2; ++i) {
        error += std::pow(decoded[i] - tone[i], 2);
        signal += std::pow(tone[i], 2);
    }
    EXPECT_LT(error / signal, 0.01);
}

TEST_F(VfWAudioSource, SequentialCallsContinueWithoutSeeking)
{
    std::string path = writeAdpcm("adpcm.avi", 30, 1000);
    ASSERT_FALSE(path.empty());
    auto whole = openAudio(path);
    std::vector<BYTE> one = samples(*whole, 0, 3999);

    // The second call continues inside block 1 where the first stopped.
    auto audio = openAudio(path);
    std::vector<BYTE> first = samples(*audio, 0, 2999);
    std::vector<BYTE> second = samples(*audio, 3000, 3999);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, one);

    // A first frame inside the cached block starts there, not where the last call stopped.
    std::vector<BYTE> inside = samples(*audio, 2500, 2599);
    EXPECT_TRUE(std::equal(inside.begin(), inside.end(), one.begin() + 5000));
    std::vector<BYTE> again = samples(*audio, 4000, 4009);
    EXPECT_EQ(again.size(), 20u);
}

// The header says the 30 blocks last one second, but each holds 2 041 frames:
// a seek lands on the first frame of its block as the decoded frames count
// it (frame 3 000 lies in block 1, which starts at frame 2 041), not where
// whole milliseconds of the header's time put it (frame 2 911 in block 2).
TEST_F(VfWAudioSource, SeekingLandsOnTheFirstFrameOfItsBlock)
{
    std::string path = writeAdpcm("adpcm.avi", 30, 1000);
    ASSERT_FALSE(path.empty());
    auto audio = openAudio(path);
    std::vector<BYTE> reference = decodeAll(adpcm, pcm);
    for (long first : {3000L, 2041L, 2040L, 40000L, 5L}) {
        std::vector<BYTE> seeked = samples(*audio, first, first + 99);
        ASSERT_EQ(seeked.size(), 200u);
        EXPECT_TRUE(std::equal(seeked.begin(), seeked.end(), reference.begin() + first * 2)) << first;
    }
}

TEST_F(VfWAudioSource, FramesPastTheLastBlockAreSilence)
{
    // 10 blocks (20 410 frames) whose header claims one second (44 056 frames).
    std::string path = writeAdpcm("short.avi", 10, 1000);
    ASSERT_FALSE(path.empty());
    auto audio = openAudio(path);
    ASSERT_EQ(audio->duration(), 44056);
    std::vector<BYTE> all = samples(*audio, 0, 44055);
    ASSERT_EQ(all.size(), 44056u * 2);
    std::vector<BYTE> reference = decodeAll(adpcm, pcm);
    ASSERT_EQ(reference.size(), 20410u * 2);
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), all.begin()));
    EXPECT_EQ(std::count(all.begin() + reference.size(), all.end(), 0), static_cast<long>(all.size() - reference.size()));
}

} // namespace

namespace {

// A compressed format shorter than its cbSize claims is refused before the
// platform's parser or ACM reads past it: the file check refuses it (3); the
// source's own format check (5) stands behind it.
TEST_F(VfWAudioSource, CompressedFormatShorterThanItClaimsIsRefused)
{
    std::string path = writeAdpcm("adpcm.avi", 4, 200);
    ASSERT_FALSE(path.empty());
    WORD cbSize = 0xFFFF;
    ASSERT_TRUE(patchStreamFormat(path, 1, offsetof(WAVEFORMATEX, cbSize), &cbSize, sizeof(cbSize)));
    auto audio = openAudio(path);
    EXPECT_EQ(audio->lastError, VfWError::CannotOpenFile);
    EXPECT_TRUE(audio->lastError_isFatal());
}

TEST_F(VfWAudioSource, CompressedTimeOutOfRangeGivesCode17)
{
    std::string path = writeAdpcm("adpcm.avi", 4, 200);
    ASSERT_FALSE(path.empty());
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    double time = 1e12;
    EXPECT_EQ(audio->StreamTimeToSample(time), -1);
    EXPECT_EQ(audio->lastError, 17);
    EXPECT_FALSE(audio->lastError_isFatal());
}

// dwStart 100 (audio delay): sample 0 is the platform's sample 100.
TEST_F(VfWAudioSource, PcmStreamStartingLateReadsItsSamples)
{
    WAVEFORMATEX format = pcmFormat(8000, 1, 16);
    std::vector<BYTE> data = sinePcm(format, 1000);
    std::string path = folder.path("late.avi");
    ASSERT_TRUE(writeAvi(path, {}, {pcmAudio(format, data)}));
    ASSERT_TRUE(patchStreamHeader(path, 0, 7, 100));
    auto audio = openAudio(path);
    // Wine cannot read such a stream (its searches fail, its reads assert):
    // the open fails, and the automatic factories turn to DirectShow.
    if (audio->lastError == 6) {
        EXPECT_TRUE(audio->lastError_isFatal());
        EXPECT_EQ(audio->getSamples(0, 0), nullptr);
        EXPECT_EQ(audio->lastError, 1);
        return;
    }
    ASSERT_EQ(audio->lastError, 0);
    long length = audio->duration();
    ASSERT_EQ(length, 1000);
    size_t skipped = 0;
    std::vector<BYTE> all = samples(*audio, 0, length - 1);
    ASSERT_EQ(all.size(), static_cast<size_t>(length) * 2);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), data.begin() + skipped));
    std::vector<BYTE> one = samples(*audio, length - 1, length - 1);
    EXPECT_TRUE(std::equal(one.begin(), one.end(), data.end() - 2));
    long sample = 0;
    EXPECT_EQ(audio->StreamSampleToTime(sample), 12.5);
}

} // namespace


namespace {

// Frames read at random, one source throughout: backward and forward seeks,
// a first frame inside the cached block, the end of the stream.
std::vector<long> scatteredFirstFrames(long length, long count)
{
    return {20000, 10000, 33333, 1, 20001, 1017, 2034, length - count, 0};
}

// Reads `count` frames from each scattered first frame and compares them
// with the frames of `all`, a read from the start.
void expectScatteredReadsEqual(VfWAudioSourceStream& audio, const std::vector<BYTE>& all, long count)
{
    const WORD frame = audio.format()->nBlockAlign;
    for (long first : scatteredFirstFrames(audio.duration(), count)) {
        std::vector<BYTE> part = samples(audio, first, first + count - 1);
        ASSERT_EQ(part.size(), static_cast<size_t>(count) * frame) << first;
        EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + first * frame)) << "from frame " << first;
    }
}

// IMA ADPCM as the library's writer stores it (ACM through AVIFile, 22.05 kHz
// mono, 1 017 frames a block): a read from any frame equals a read from the
// start, to the bit.
TEST_F(VfWAudioSource, WrittenAdpcmReadsTheSameFromAnyFrame)
{
    WAVEFORMATEX source = pcmFormat(22050, 1, 16);
    AudioTrack layout;
    ASSERT_TRUE(encodeImaAdpcm(source, sinePcm(source, 4096), layout));
    AVICOMPRESSOPTIONS options = {};
    options.fccType = streamtypeAUDIO;
    options.lpFormat = layout.format.data();
    options.cbFormat = static_cast<DWORD>(layout.format.size());
    std::string path = folder.path("written.avi");
    std::vector<BYTE> tone = sinePcm(source, 22050 * 3);
    {
        std::unique_ptr<VfWOutputAVIFile> writer(VfWOutputAVIFile::create(path.c_str(), nullptr, false, &source, true));
        ASSERT_TRUE(writer->setCompressor(false, &options));
        ASSERT_TRUE(writer->start());
        for (long s = 0; s < 22050 * 3; s += 2205)
            ASSERT_TRUE(writer->bufferedWriteSample(s, tone.data() + s * 2, 2205, -1, false));
        ASSERT_TRUE(writer->flushAudio());
        ASSERT_TRUE(writer->close());
    }
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0);
    ASSERT_GE(audio->duration(), 22050 * 3);
    std::vector<BYTE> all = samples(*audio, 0, audio->duration() - 1);
    expectScatteredReadsEqual(*audio, all, 300);
    // Each read on a source of its own, as measured before the mend
    // (6 % and 72 % error energy from frames 10 000 and 20 000).
    for (long first : {10000L, 20000L}) {
        auto fresh = openAudio(path);
        std::vector<BYTE> part = samples(*fresh, first, first + 999);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + first * 2)) << first;
    }
}

std::vector<BYTE> readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Largest difference, in LSB, between the 16-bit samples of `decoded` and
// those of `reference` over their common length.
int largestDifference(const std::vector<BYTE>& decoded, const std::vector<BYTE>& reference)
{
    size_t count = std::min(decoded.size(), reference.size()) / 2;
    const auto* a = reinterpret_cast<const short*>(decoded.data());
    const auto* b = reinterpret_cast<const short*>(reference.data());
    int largest = 0;
    for (size_t i = 0; i < count; ++i)
        largest = std::max(largest, std::abs(a[i] - b[i]));
    return largest;
}

// Energy of the difference between the 16-bit samples of `decoded` and those
// of `reference`, relative to the reference's, over their common length.
double differenceEnergy(const std::vector<BYTE>& decoded, const std::vector<BYTE>& reference)
{
    size_t count = std::min(decoded.size(), reference.size()) / 2;
    const auto* a = reinterpret_cast<const short*>(decoded.data());
    const auto* b = reinterpret_cast<const short*>(reference.data());
    double error = 0, signal = 0;
    for (size_t i = 0; i < count; ++i) {
        error += std::pow(a[i] - b[i], 2);
        signal += std::pow(b[i], 2);
    }
    return signal > 0 ? error / signal : 1;
}

class VfWAudioFfmpegAdpcm : public testing::TestWithParam<const char*> {
};

// ADPCM that ffmpeg wrote, in WAV and AVI: a read from any frame is the read
// from the start there, exactly, and that is ffmpeg's decode within the
// rounding of the decoders (ACM and ffmpeg agree to the bit on MS ADPCM and
// differ by up to 20 LSB on IMA ADPCM, some hundred in stereo transients:
// error energy below 1e-5, where a frame misplaced by one sample gives 1e-2).
TEST_P(VfWAudioFfmpegAdpcm, ReadsLikeFfmpegFromAnyFrame)
{
    REQUIRE_MEDIA(file, GetParam());
    REQUIRE_MEDIA(reference, std::string(GetParam()) + ".s16");
    auto audio = openAudio(file);
    ASSERT_EQ(audio->lastError, 0) << audio->ErrorMessage(audio->lastError);
    std::vector<BYTE> decoded = readWhole(reference);
    std::vector<BYTE> all = samples(*audio, 0, audio->duration() - 1);
    EXPECT_LT(differenceEnergy(all, decoded), 1e-4);
    expectScatteredReadsEqual(*audio, all, 300);
    // Every frame of the blocks (ffmpeg decodes them all) but the last
    // millisecond, timed by the AVI stream header or, in a WAVE file, by the
    // samples per block (ffmpeg's byte rate there is its default bit rate).
    long frames = static_cast<long>(decoded.size() / audio->format()->nBlockAlign);
    EXPECT_LE(audio->duration(), frames);
    EXPECT_GE(audio->duration(), frames - 2 * 22050 / 1000);
    EXPECT_NEAR(audio->msDuration(), frames * 1000.0 / 22050, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Files, VfWAudioFfmpegAdpcm,
                         testing::Values("mends-ima-mono.wav", "mends-ms-stereo.wav", "mends-ima-stereo.avi",
                                         "mends-ms-mono.avi"));

} // namespace

namespace {

// An MPEG audio stream of 418-byte blocks (128 kb/s at 44.1 kHz) whose last
// `silentBlocks` blocks hold no frame: ACM decodes them to nothing.
AudioTrack mp3EndingInEmptyBlocks(const std::vector<BYTE>& frames, size_t silentBlocks)
{
    MPEGLAYER3WAVEFORMAT format = {};
    format.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    format.wfx.nChannels = 1;
    format.wfx.nSamplesPerSec = 44100;
    format.wfx.nAvgBytesPerSec = 16000;
    format.wfx.nBlockAlign = 418;
    format.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    format.wID = MPEGLAYER3_ID_MPEG;
    format.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    format.nBlockSize = 418;
    format.nFramesPerBlock = 1;
    AudioTrack track;
    const auto* bytes = reinterpret_cast<const BYTE*>(&format);
    track.format.assign(bytes, bytes + sizeof(format));
    track.data = frames;
    track.data.resize((frames.size() / 418 + silentBlocks) * 418, 0);
    return track;
}

// One read to the end decodes the empty blocks after the last frames: the
// frames still cached then read again from the cache, as before.
TEST_F(VfWAudioSource, CachedFramesReadAgainAfterBlocksThatDecodeToNothing)
{
    REQUIRE_MEDIA(mp3, "mends-tone.mp3");
    std::string path = folder.path("mp3.avi");
    ASSERT_TRUE(writeAvi(path, {}, {mp3EndingInEmptyBlocks(readWhole(mp3), 10)}));
    auto audio = openAudio(path);
    ASSERT_EQ(audio->lastError, 0) << audio->ErrorMessage(audio->lastError);
    long length = audio->duration();
    std::vector<BYTE> all = samples(*audio, 0, length - 1);
    ASSERT_EQ(all.size(), static_cast<size_t>(length) * 2);
    // The last sounding frame lies in the last block that decoded to frames.
    long last = length - 1;
    while (last > 0 && all[last * 2] == 0 && all[last * 2 + 1] == 0)
        --last;
    ASSERT_GT(last, 44100);
    ASSERT_LT(last, length - 1152);
    for (long first : {last - 10, last - 300}) {
        std::vector<BYTE> again = samples(*audio, first, last);
        EXPECT_EQ(audio->lastError, 0) << first;
        EXPECT_TRUE(std::equal(again.begin(), again.end(), all.begin() + first * 2)) << first;
    }
}

} // namespace
namespace {

// MP3 in AVI as ffmpeg writes it (XviD video, MP3 in chunks of one frame,
// which Wine reads as samples of nBlockAlign bytes, past the last chunk
// unless the reader stops at the last stored byte): read to its end in
// pieces, and its very end alone, through the VfW source and through the
// automatic choice (which takes it), as ffmpeg decodes it, and from any frame. The MP3 decoders
// differ in rounding only: error energy below 1e-4, where a shift of one
// sample gives 1e-3.
TEST_F(VfWAudioSource, Mp3InAviReadsToItsEndLikeFfmpeg)
{
    REQUIRE_MEDIA(file, "mends-xvid-mp3.avi");
    REQUIRE_MEDIA(reference, "mends-xvid-mp3.avi.s16");
    std::vector<BYTE> decoded = readWhole(reference);
    long frames = static_cast<long>(decoded.size() / 2);
    char* name = const_cast<char*>(file.c_str());
    for (bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "automatic" : "VfW");
        std::unique_ptr<AudioSourceStream> audio(automatic ? AudioSourceStream::open(name, 0, nullptr)
                                                           : VfWAudioSourceStream::open(name, 0, nullptr));
        ASSERT_EQ(audio->lastError, 0) << audio->ErrorMessage(audio->lastError);
        EXPECT_FALSE(audio->usesDirectShow());
        long length = audio->duration();
        EXPECT_LE(length, frames);
        EXPECT_GE(length, frames - 2 * 44100 / 1000);
        std::vector<BYTE> all;
        for (long first = 0; first < length; first += 4096) {
            long last = std::min(length - 1, first + 4095);
            unsigned char* part = audio->getSamples(first, last);
            ASSERT_NE(part, nullptr) << first << " code " << audio->lastError;
            all.insert(all.end(), part, part + (last - first + 1) * 2);
        }
        EXPECT_LT(differenceEnergy(all, decoded), 1e-4);
        EXPECT_NE(audio->getSamples(length - 4096, length - 1), nullptr) << audio->lastError;
        EXPECT_NE(audio->getSamples(length - 1, length - 1), nullptr) << audio->lastError;
        // A read from any frame is the read from the start there: the seek
        // lands on a frame's first byte and decodes the frames before it
        // again, which leaves the decoder's rounding (a few LSB).
        for (long first : {90000L, 20000L, 150000L, 1153L, length - 300}) {
            unsigned char* part = audio->getSamples(first, first + 299);
            ASSERT_NE(part, nullptr) << first << " code " << audio->lastError;
            std::vector<BYTE> again(part, part + 600);
            std::vector<BYTE> there(all.begin() + first * 2, all.begin() + first * 2 + 600);
            EXPECT_LE(largestDifference(again, there), 8) << "from frame " << first;
        }
    }
}

} // namespace
