#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestMedia.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr long kRate = 44100;
constexpr int kBlock = 4; // 16-bit stereo
// GStreamer dithers what float decoders give, so lossy samples differ from
// ffmpeg's by a few steps.
constexpr int kLossyLargestDifference = 4;
// The dither of one decode against another of the same file.
constexpr int kSeekDither = 2;
// Over the first samples of a stream, where decoders restart.
constexpr long kRestartSamples = 4096;
constexpr int kRestartDifference = 32;

Bytes readFile(const std::string& path)
{
    Bytes data;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return data;
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return data;
}

std::unique_ptr<DSAudioSourceStream> openDS(const std::string& path, int index = 0)
{
    return std::unique_ptr<DSAudioSourceStream>(
        DSAudioSourceStream::open(const_cast<char*>(path.c_str()), index, nullptr));
}

// Samples first..last as the stream returns them; empty on failure.
Bytes samples(AudioSourceStream& s, long first, long last)
{
    unsigned char* p = s.getSamples(first, last);
    if (!p)
        return Bytes();
    return Bytes(p, p + (last - first + 1) * kBlock);
}

// The whole stream read in order, in pieces of `piece` samples.
Bytes sequentialPass(AudioSourceStream& s, long piece = 4096)
{
    Bytes all;
    for (long first = 0; first < s.duration(); first += piece) {
        long last = std::min(first + piece - 1, s.duration() - 1);
        Bytes part = samples(s, first, last);
        if (part.empty())
            return Bytes();
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// `count` ranges within 0..end of at most `longest` samples, from a fixed
// pseudo-random sequence of `seed`.
void addRandomRanges(std::vector<std::pair<long, long>>& ranges, unsigned seed, int count, long end, long longest)
{
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        long first = static_cast<long>((seed >> 8) % static_cast<unsigned>(end + 1));
        seed = seed * 1103515245u + 12345u;
        ranges.push_back({first, std::min(end, first + static_cast<long>((seed >> 8) % longest))});
    }
}

short value(const Bytes& b, size_t i)
{
    short v;
    std::memcpy(&v, &b[i * 2], 2);
    return v;
}

// Error energy over signal energy of `ours` against the reference shifted by
// `offset` samples, over samples from..to of ours.
double relativeError(const Bytes& ours, const Bytes& ref, long offset, long from, long to)
{
    double error = 0, signal = 0;
    for (long k = from; k <= to; ++k)
        for (int c = 0; c < 2; ++c) {
            long r = k + offset;
            double a = value(ours, static_cast<size_t>(k) * 2 + c);
            double b = r >= 0 && static_cast<size_t>(r) * kBlock < ref.size() ? value(ref, static_cast<size_t>(r) * 2 + c)
                                                                              : 0.0;
            error += (a - b) * (a - b);
            signal += b * b;
        }
    return signal > 0 ? error / signal : 1.0;
}

// The offset within -range..range at which 2048 samples of `ours` from
// `from` on come closest to the reference; their error in `error` if asked.
long bestOffset(const Bytes& ours, const Bytes& ref, long range, long from, double* error)
{
    long best = 0;
    double bestError = 1e9;
    for (long offset = -range; offset <= range; ++offset) {
        double e = relativeError(ours, ref, offset, from, from + 2047);
        if (e < bestError) {
            bestError = e;
            best = offset;
        }
    }
    if (error)
        *error = bestError;
    return best;
}

class DSAudioPcm : public testing::Test {
};

TEST_F(DSAudioPcm, OpensWithThePcmFormatAndLength)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    auto s = openDS(wav);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->lastError, 0) << s->ErrorMessage(s->lastError);
    EXPECT_TRUE(s->usesDirectShow());
    EXPECT_FALSE(s->isRawData());
    WAVEFORMATEX* f = s->format();
    EXPECT_EQ(f->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f->nChannels, 2);
    EXPECT_EQ(f->nSamplesPerSec, 44100u);
    EXPECT_EQ(f->wBitsPerSample, 16);
    EXPECT_EQ(f->nBlockAlign, kBlock);
    EXPECT_EQ(f->cbSize, 0);
    EXPECT_EQ(s->duration(), 3 * kRate);
    EXPECT_NEAR(s->msDuration(), 3000.0, 0.5);
}

// ffmpeg's copy of PCM data is the data of the file itself.
TEST_F(DSAudioPcm, SequentialPassEqualsTheFileData)
{
    for (const char* name : {"dsaudio-tone.wav", "dsaudio-pcm.avi", "dsaudio1-pcm.mkv"}) {
        REQUIRE_MEDIA(file, name);
        REQUIRE_MEDIA(reference, std::string(name) + ".s16");
        auto s = openDS(file);
        ASSERT_EQ(s->lastError, 0) << name << ": " << s->ErrorMessage(s->lastError);
        Bytes ref = readFile(reference);
        Bytes all = sequentialPass(*s);
        ASSERT_EQ(all.size(), ref.size()) << name;
        EXPECT_TRUE(all == ref) << name;
        EXPECT_LE(s->seekCount(), 1) << name;
    }
}

TEST_F(DSAudioPcm, SingleSamplesAndReversedOrOutsideRanges)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    REQUIRE_MEDIA(reference, "dsaudio-tone.wav.s16");
    Bytes ref = readFile(reference);
    auto s = openDS(wav);
    ASSERT_EQ(s->lastError, 0);
    for (long n : {0L, 1L, 44099L, 100000L, 3 * kRate - 1}) {
        Bytes one = samples(*s, n, n);
        ASSERT_EQ(s->lastError, 0) << n;
        ASSERT_EQ(one.size(), static_cast<size_t>(kBlock));
        EXPECT_EQ(std::memcmp(one.data(), &ref[n * kBlock], kBlock), 0) << n;
    }
    EXPECT_EQ(s->getSamples(5, 4), nullptr);
    EXPECT_EQ(s->lastError, DSError::OutOfRange);
    EXPECT_FALSE(s->lastError_isFatal());
    EXPECT_EQ(s->getSamples(-1, 4), nullptr);
    EXPECT_EQ(s->lastError, DSError::OutOfRange);
    EXPECT_EQ(s->getSamples(0, s->duration()), nullptr);
    EXPECT_EQ(s->lastError, DSError::OutOfRange);
}

TEST_F(DSAudioPcm, RangeInsideThePreviousOneComesFromTheSameBuffer)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    auto s = openDS(wav);
    unsigned char* whole = s->getSamples(1000, 5000);
    ASSERT_NE(whole, nullptr);
    long seeks = s->seekCount();
    EXPECT_EQ(s->getSamples(2000, 3000), whole + 1000 * kBlock);
    EXPECT_EQ(s->getSamples(1000, 5000), whole);
    EXPECT_EQ(s->seekCount(), seeks);
}

TEST_F(DSAudioPcm, ConsecutiveRangesCostOneSeekAtMost)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    auto s = openDS(wav);
    ASSERT_NE(s->getSamples(20000, 30000), nullptr);
    ASSERT_NE(s->getSamples(30001, 50000), nullptr);
    ASSERT_NE(s->getSamples(50001, 50002), nullptr);
    EXPECT_LE(s->seekCount(), 1);
}

// Ranges that jump back before the previous one, start inside it, run to
// the end and return to the start: each is the file's own data, with no
// silence, and the stream goes on answering after the end was reached.
TEST_F(DSAudioPcm, BackwardAndRandomRangesEqualTheFileData)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    REQUIRE_MEDIA(reference, "dsaudio-tone.wav.s16");
    Bytes ref = readFile(reference);
    auto s = openDS(wav);
    ASSERT_EQ(s->lastError, 0);
    const long end = s->duration() - 1;
    std::vector<std::pair<long, long>> ranges = {{100000, 120000}, {20000, 40000}, {30000, 30010}, {35000, 60000},
                                                 {120000, end},    {5000, 9000},   {end - 1300, end}, {0, 99},
                                                 {end, end},       {60000, 61000}, {59000, 60500}};
    addRandomRanges(ranges, 777, 20, end, 50000);
    for (const auto& range : ranges) {
        SCOPED_TRACE(std::to_string(range.first) + ".." + std::to_string(range.second));
        Bytes got = samples(*s, range.first, range.second);
        ASSERT_EQ(s->lastError, 0);
        ASSERT_EQ(got.size(), static_cast<size_t>(range.second - range.first + 1) * kBlock);
        EXPECT_EQ(std::memcmp(got.data(), &ref[static_cast<size_t>(range.first) * kBlock], got.size()), 0);
    }
}

TEST_F(DSAudioPcm, TimeConversionsAt44100)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    auto s = openDS(wav);
    double second = 1000.0;
    EXPECT_EQ(s->StreamTimeToSample(second), 44100);
    long half = 22050;
    EXPECT_DOUBLE_EQ(s->StreamSampleToTime(half), 500.0);
    double tiny = 0.0113378; // 0.49999 of a sample
    EXPECT_EQ(s->StreamTimeToSample(tiny), 0);
    double halfSample = 0.5 / 44.1 + 1e-9;
    EXPECT_EQ(s->StreamTimeToSample(halfSample), 1);
    EXPECT_EQ(s->lastError, 0);
}

TEST_F(DSAudioPcm, ConfigZeroKeepsDecodingForwardWithinOneMediaSample)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    auto s = openDS(wav);
    s->config(0, 0);
    ASSERT_NE(s->getSamples(0, 99), nullptr);
    // Just after the held media sample: decoded forward.
    ASSERT_NE(s->getSamples(100, 199), nullptr);
    long seeks = s->seekCount();
    // Far ahead: a seek.
    ASSERT_NE(s->getSamples(120000, 120099), nullptr);
    EXPECT_EQ(s->seekCount(), seeks + 1);
}

TEST(DSAudioFailures, UnopenedStreamAnswersOne)
{
    std::string missing = "Z:\\nonexistent\\none.wav";
    auto s = openDS(missing);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lastError, DSError::CannotOpenFile);
    EXPECT_TRUE(s->lastError_isFatal());
    EXPECT_EQ(s->getSamples(0, 0), nullptr);
    EXPECT_EQ(s->lastError, DSError::NotOpened);
    long n = 10;
    EXPECT_EQ(s->StreamSampleToTime(n), -1.0);
    EXPECT_EQ(s->lastError, DSError::NotOpened);
    double ms = 10;
    EXPECT_EQ(s->StreamTimeToSample(ms), -1);
    EXPECT_EQ(s->msDuration(), -1.0);
    EXPECT_EQ(s->duration(), -1);
    EXPECT_NE(s->format(), nullptr);
    EXPECT_EQ(s->lastError, DSError::NotOpened);
}

TEST(DSAudioFailures, StreamIndexBeyondTheAudioStreamsFailsWith31)
{
    REQUIRE_MEDIA(wav, "dsaudio-tone.wav");
    auto s = openDS(wav, 1);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lastError, DSError::CannotConnect);
}

TEST(DSAudioFailures, VideoOnlyFileHasNoAudioToConnect)
{
    REQUIRE_MEDIA(video, "vp8.mkv");
    auto s = openDS(video);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->lastError, DSError::CannotConnect);
}

TEST(DSAudioLifetime, DestructionWhileHeldOrAfterTheEndReturns)
{
    REQUIRE_MEDIA(mp3, "dsaudio-mp3.avi");
    {
        auto held = openDS(mp3);
        ASSERT_NE(held->getSamples(1000, 2000), nullptr);
    }
    auto ended = openDS(mp3);
    long last = ended->duration() - 1;
    ASSERT_NE(ended->getSamples(last - 10, last), nullptr);
    // Past the delivered data the graph has ended; a later range is silence or data, never a hang.
    ASSERT_NE(ended->getSamples(last, last), nullptr);
    ended.reset();
}

TEST(DSAudioFactories, DirectShowBranchAndAutomaticFallback)
{
    REQUIRE_MEDIA(mkv, "dsaudio-vorbis.mkv");
    char* name = const_cast<char*>(mkv.c_str());
    std::unique_ptr<AudioSourceStream> ds(AudioSourceStream::open(name, true, 0, nullptr));
    ASSERT_TRUE(ds);
    EXPECT_EQ(ds->lastError, 0);
    EXPECT_NE(dynamic_cast<DSAudioSourceStream*>(ds.get()), nullptr);
    // AVIFile cannot read Matroska: the fatal failure falls back to DirectShow.
    std::unique_ptr<AudioSourceStream> automatic(AudioSourceStream::open(name, 0, nullptr));
    ASSERT_TRUE(automatic);
    EXPECT_EQ(automatic->lastError, 0);
    EXPECT_TRUE(automatic->usesDirectShow());
    std::unique_ptr<SourceStream> combined(SourceStream::open(name, false, true, 0, nullptr));
    ASSERT_TRUE(combined);
    EXPECT_NE(dynamic_cast<DSAudioSourceStream*>(combined.get()), nullptr);
}

// A download cut at 60 %, without its index: the VfW/ACM source refuses it,
// so the automatic choice reads it through DirectShow, with the samples that
// ffmpeg decodes from it. The last chunk is cut short: a splitter may drop it
// (GStreamer's does), and its samples are then silence, never other data.
TEST(DSAudioCutDownload, AutomaticChoiceReadsWhatFfmpegReads)
{
    REQUIRE_MEDIA(file, "cut-download-pcm.avi");
    REQUIRE_MEDIA(reference, "cut-download-pcm.avi.s16");
    Bytes ref = readFile(reference);
    long kept = static_cast<long>(ref.size() / kBlock);
    // ffmpeg's muxer stores 1024 samples per audio chunk.
    long wholeChunks = kept - kept % 1024;
    ASSERT_GT(wholeChunks, kRate);
    std::unique_ptr<AudioSourceStream> s(AudioSourceStream::open(const_cast<char*>(file.c_str()), 0, nullptr));
    ASSERT_TRUE(s);
    ASSERT_EQ(s->lastError, 0);
    ASSERT_NE(dynamic_cast<DSAudioSourceStream*>(s.get()), nullptr) << "the VfW/ACM source kept a file it cannot trust";
    EXPECT_GE(s->duration(), kept);
    EXPECT_LE(s->duration(), wholeChunks + 1024);
    Bytes all = sequentialPass(*s);
    ASSERT_EQ(all.size(), static_cast<size_t>(s->duration()) * kBlock);
    EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + wholeChunks * kBlock, all.begin()));
    long strays = 0;
    for (long k = wholeChunks; k < s->duration(); ++k) {
        const unsigned char* ours = &all[static_cast<size_t>(k) * kBlock];
        bool silent = std::all_of(ours, ours + kBlock, [](unsigned char b) { return b == 0; });
        bool theirs = k < kept && std::equal(ours, ours + kBlock, &ref[static_cast<size_t>(k) * kBlock]);
        strays += !silent && !theirs;
    }
    EXPECT_EQ(strays, 0);
    // A range from the middle, after a seek, is the same data.
    Bytes middle = samples(*s, kept / 2, kept / 2 + 999);
    ASSERT_FALSE(middle.empty());
    EXPECT_TRUE(std::equal(middle.begin(), middle.end(), ref.begin() + kept / 2 * kBlock));
}

// Lossy streams: a pass in order is ffmpeg's decode within a tolerance at a
// constant offset (decoders differ in how they drop the encoder delay).
struct Lossy {
    const char* file;
    long maxOffset;
};

class DSAudioLossy : public testing::TestWithParam<Lossy> {
};

TEST_P(DSAudioLossy, SequentialPassIsFfmpegsDecodeAtAConstantOffset)
{
    REQUIRE_MEDIA(file, GetParam().file);
    REQUIRE_MEDIA(reference, std::string(GetParam().file) + ".s16");
    Bytes ref = readFile(reference);
    auto s = openDS(file);
    ASSERT_EQ(s->lastError, 0);
    Bytes all = sequentialPass(*s);
    ASSERT_FALSE(all.empty());
    long length = s->duration();
    double bestError;
    long best = bestOffset(all, ref, GetParam().maxOffset, kRate / 2, &bestError);
    // The same offset holds over the whole middle of the stream.
    double whole = relativeError(all, ref, best, 2048, length - 2049 - std::abs(best));
    std::printf("%s: offset %ld samples, relative error energy %.3g (window) %.3g (whole)\n", GetParam().file, best,
                bestError, whole);
    RecordProperty("offset", static_cast<int>(best));
    EXPECT_LT(whole, 1e-3);
}

// Largest difference of one value of `ours` from the reference shifted by
// `offset`, over samples from..to of ours.
int largestDifference(const Bytes& ours, const Bytes& ref, long offset, long from, long to)
{
    int largest = 0;
    for (long k = from; k <= to; ++k)
        for (int c = 0; c < 2; ++c) {
            long r = k + offset;
            int b = r >= 0 && static_cast<size_t>(r) * kBlock < ref.size() ? value(ref, static_cast<size_t>(r) * 2 + c) : 0;
            largest = std::max(largest, std::abs(value(ours, static_cast<size_t>(k) * 2 + c) - b));
        }
    return largest;
}

// "" when every value of `got` is within `steps` of the same range of `all`;
// else the largest difference and the shift within 64 samples that fits best.
std::string mismatch(const Bytes& got, const Bytes& all, long first, int steps)
{
    const long last = static_cast<long>(got.size() / kBlock) - 1;
    int here = largestDifference(got, all, first, 0, last);
    if (got.empty() || here <= steps)
        return "";
    size_t worst = 0;
    for (size_t i = 0; i < got.size() / 2; ++i)
        if (std::abs(value(got, i) - value(all, static_cast<size_t>(first) * 2 + i)) == here) {
            worst = i / 2 + static_cast<size_t>(first);
            break;
        }
    long best = 0;
    int bestDifference = here;
    for (long shift = -64; shift <= 64; ++shift) {
        int d = largestDifference(got, all, first + shift, 0, last);
        if (d < bestDifference) {
            bestDifference = d;
            best = shift;
        }
    }
    return "largest difference " + std::to_string(here) + " at sample " + std::to_string(worst) + "; shifted by " +
           std::to_string(best) + ": " + std::to_string(bestDifference);
}

// Random access is sample-exact: ranges that jump forward and back, start
// inside the previous one or continue it return the samples of the same
// ranges of a pass in order. The values may differ by a step or two: the
// platform's converter dithers what float decoders give, and after a seek its
// noise differs from the pass in order (two passes in order from the start
// differ so too). One sample misplaced differs by hundreds here.
TEST_P(DSAudioLossy, RandomRangesEqualThePassInOrder)
{
    REQUIRE_MEDIA(file, GetParam().file);
    auto s = openDS(file);
    ASSERT_EQ(s->lastError, 0);
    Bytes all = sequentialPass(*s);
    ASSERT_FALSE(all.empty());
    const long end = s->duration() - 1;
    std::vector<std::pair<long, long>> ranges = {{70000, 90000}, {20000, 30000}, {25000, 25100}, {30001, 40000},
                                                 {100000, end},  {0, 4000},      {end - 2000, end}, {50000, 50000}};
    addRandomRanges(ranges, 4242, 12, end, 30000);
    for (const auto& range : ranges) {
        SCOPED_TRACE(std::to_string(range.first) + ".." + std::to_string(range.second));
        Bytes got = samples(*s, range.first, range.second);
        ASSERT_EQ(got.size(), static_cast<size_t>(range.second - range.first + 1) * kBlock) << s->lastError;
        // The platform's AAC decoder gives the first frames of the stream a
        // little differently after each restart, in passes from the start too.
        long split = std::min(range.second + 1, std::max(range.first, kRestartSamples));
        size_t head = static_cast<size_t>(split - range.first) * kBlock;
        EXPECT_EQ(mismatch(Bytes(got.begin(), got.begin() + head), all, range.first, kRestartDifference), "");
        EXPECT_EQ(mismatch(Bytes(got.begin() + head, got.end()), all, split, kSeekDither), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DSAudioLossy,
                         testing::Values(Lossy{"dsaudio-mp3.avi", 3000}, Lossy{"dsaudio-aac.mp4", 3000},
                                         Lossy{"dsaudio-vorbis.mkv", 3000},
                                         // The program stream's clock starts at 0.5 s: sample 0 is still its first.
                                         Lossy{"dsaudio-mp2.mpg", 3000}),
                         [](const testing::TestParamInfo<Lossy>& info) {
                             std::string n = info.param.file + 8;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

// The converter reads one sample per call. Every sample read so must be the
// sample of ffmpeg's decode (PCM: the same bytes; lossy: at a constant
// offset), and the reading must decode forward, not seek per call.
struct OneByOne {
    const char* file;
    long maxOffset; // 0: PCM, compared byte for byte
    // Matroska block times are whole milliseconds; a second of them places
    // a run after a seek to the sample, but Vorbis's first blocks are stamped
    // one sample apart from its later ones, so a seek without a pass before
    // it may land one sample from where the pass from the start lies.
    long seekSlack;
};

class DSAudioOneSamplePerCall : public testing::TestWithParam<OneByOne> {
protected:
    void SetUp() override
    {
        REQUIRE_MEDIA(file, GetParam().file);
        REQUIRE_MEDIA(reference, std::string(GetParam().file) + ".s16");
        ref = readFile(reference);
        path = file;
        s = openDS(path);
        ASSERT_TRUE(s);
        ASSERT_EQ(s->lastError, 0) << s->ErrorMessage(s->lastError);
    }

    // Samples from..to read by getSamples(n, n), placed at n - from.
    Bytes oneByOne(long from, long to)
    {
        Bytes read(static_cast<size_t>(to - from + 1) * kBlock);
        for (long n = from; n <= to; ++n) {
            unsigned char* one = s->getSamples(n, n);
            if (!one) {
                ADD_FAILURE() << "sample " << n << ": " << s->ErrorMessage(s->lastError);
                return Bytes();
            }
            std::memcpy(&read[static_cast<size_t>(n - from) * kBlock], one, kBlock);
        }
        return read;
    }

    // Offset of the reference at which PCM `read` (samples from..) has the
    // very bytes, searched within `slack`; slack + 1 when there is none.
    long pcmOffset(const Bytes& read, long from, long slack)
    {
        for (long offset = 0; offset <= slack; ++offset)
            for (long o : {offset, -offset}) {
                long at = from + o;
                if (at >= 0 && static_cast<size_t>(at) * kBlock + read.size() <= ref.size() &&
                    std::memcmp(read.data(), &ref[static_cast<size_t>(at) * kBlock], read.size()) == 0)
                    return o;
            }
        return slack + 1;
    }

    // `read` holds samples from.. of the stream: ffmpeg's bytes for PCM,
    // ffmpeg's decode at one offset within the tolerance for lossy codecs.
    // After a seek, positions may be off by `slack` samples.
    // Returns the offset found.
    long expectFfmpegsDecode(const Bytes& read, long from, long slack)
    {
        long count = static_cast<long>(read.size() / kBlock);
        if (GetParam().maxOffset == 0) {
            long offset = pcmOffset(read, from, slack);
            std::printf("%s from %ld: PCM bytes at offset %ld\n", GetParam().file, from, offset);
            EXPECT_LE(std::abs(offset), slack) << "no offset gives the file's bytes";
            return offset;
        }
        long range = GetParam().maxOffset + slack;
        // Offsets into the reference as a whole, so that they compare across reads.
        Bytes ours(static_cast<size_t>(from) * kBlock, 0);
        ours.insert(ours.end(), read.begin(), read.end());
        long best = bestOffset(ours, ref, range, from + count / 2, nullptr);
        // Decoders differ more over their first frames (AAC: up to 10 steps).
        long first = from + 4096, last = from + count - 4097 - std::abs(best);
        double whole = relativeError(ours, ref, best, first, last);
        int largest = largestDifference(ours, ref, best, first, last);
        std::printf("%s from %ld: offset %ld, relative error energy %.3g, largest difference %d\n", GetParam().file,
                    from, best, whole, largest);
        EXPECT_LT(whole, 1e-3);
        // A sample misplaced or zeroed differs by thousands at these levels.
        EXPECT_LE(largest, kLossyLargestDifference);
        return best;
    }

    Bytes ref;
    std::string path;
    std::unique_ptr<DSAudioSourceStream> s;
};

TEST_P(DSAudioOneSamplePerCall, EverySampleFromTheStartDecodedForward)
{
    long length = s->duration();
    ASSERT_GT(length, 2 * kRate);
    Bytes read = oneByOne(0, length - 1);
    ASSERT_FALSE(read.empty());
    // One seek to begin with, one more when the data begin late.
    EXPECT_LE(s->seekCount(), 2);
    expectFfmpegsDecode(read, 0, 0);
}

TEST_P(DSAudioOneSamplePerCall, OneSecondFromTheMiddleAfterOneSeek)
{
    long from = kRate + 12345;
    ASSERT_GT(s->duration(), from + kRate);
    Bytes read = oneByOne(from, from + kRate - 1);
    ASSERT_FALSE(read.empty());
    // One seek; where it lands inside a hole, a few steps back of one media
    // sample each. Never one per call.
    EXPECT_LE(s->seekCount(), 8);
    long offset = expectFfmpegsDecode(read, from, GetParam().seekSlack);
    if (GetParam().maxOffset == 0)
        return;
    // Where the pass from the start of another stream lies.
    s = openDS(path);
    Bytes start = oneByOne(0, 2 * kRate);
    ASSERT_FALSE(start.empty());
    long startOffset = bestOffset(start, ref, GetParam().maxOffset, kRate, nullptr);
    EXPECT_LE(std::abs(offset - startOffset), GetParam().seekSlack) << "from the start: " << startOffset;
}

INSTANTIATE_TEST_SUITE_P(Files, DSAudioOneSamplePerCall,
                         testing::Values(OneByOne{"dsaudio-tone.wav", 0, 0}, OneByOne{"dsaudio1-pcm.mkv", 0, 0},
                                         OneByOne{"dsaudio1-vorbis.mkv", 3000, 1},
                                         OneByOne{"dsaudio1-vorbis.ogg", 3000, 0}, OneByOne{"dsaudio1-mp3.mp3", 3000, 0},
                                         OneByOne{"dsaudio1-gap.mkv", 0, 0}, OneByOne{"dsaudio-aac.mp4", 3000, 0}),
                         [](const testing::TestParamInfo<OneByOne>& info) {
                             std::string n = info.param.file;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

} // namespace
