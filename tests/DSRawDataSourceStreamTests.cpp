#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"
#include <uuids.h>

namespace {

using Bytes = std::vector<unsigned char>;

char* cstr(const std::string& s)
{
    return const_cast<char*>(s.c_str());
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One line of ffprobe's packet list: time, size and key flag.
struct Packet {
    double time;
    long size;
    bool key;
    long offset; // in the file of the packets' bytes
};

// The packets of a test file that ffprobe listed at media time, in file
// order; packets ffprobe marks as discarded (encoder priming) are left out,
// as DirectShow splitters do not deliver them either.
std::vector<Packet> readPackets(const std::string& path, bool keepDiscarded = false)
{
    std::vector<Packet> packets;
    std::ifstream in(path + ".packets");
    std::string line;
    long offset = 0;
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string time, size, flags;
        if (!std::getline(fields, time, ',') || !std::getline(fields, size, ',') || !std::getline(fields, flags, ','))
            continue;
        Packet p = {std::atof(time.c_str()), std::atol(size.c_str()), flags.find('K') != std::string::npos, offset};
        offset += p.size;
        if (flags.find('D') == std::string::npos || keepDiscarded)
            packets.push_back(p);
    }
    return packets;
}

// Ends the whole test program when a test takes far longer than it should:
// a hung splitter must not hang CTest.
class Watchdog {
public:
    explicit Watchdog(DWORD seconds) : seconds(seconds), done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        thread = CreateThread(nullptr, 0, watch, this, 0, nullptr);
    }
    ~Watchdog()
    {
        SetEvent(done);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(done);
    }

private:
    static DWORD WINAPI watch(void* self)
    {
        auto* w = static_cast<Watchdog*>(self);
        if (WaitForSingleObject(w->done, w->seconds * 1000) == WAIT_TIMEOUT) {
            const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
            std::fprintf(stderr, "\nHUNG: %s.%s did not end within %lu s\n", test ? test->test_suite_name() : "?",
                         test ? test->name() : "?", w->seconds);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }
    DWORD seconds;
    HANDLE done;
    HANDLE thread;
};

std::unique_ptr<DSRawDataSourceStream> openRaw(const std::string& path, bool video, TrelixNotification* n = nullptr)
{
    return std::unique_ptr<DSRawDataSourceStream>(DSRawDataSourceStream::open(cstr(path), video, 0, n));
}

std::string guidText(const GUID& g)
{
    char text[64];
    std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x", g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1]);
    return text;
}

// One media sample as getData returned it.
struct Read {
    long sample;
    long samples;
    Bytes data;
    bool key;
};

// Every media sample of the stream, in order, asking for the sample after
// the last one returned.
std::vector<Read> readAll(DSRawDataSourceStream& s)
{
    std::vector<Read> all;
    for (long n = s.firstKeySample(); n >= 0 && n < s.duration();) {
        long sample = n, samples = 0, bytes = 0;
        bool key = false;
        unsigned char* p = s.getData(sample, samples, bytes, key);
        if (!p)
            break;
        all.push_back({sample, samples, Bytes(p, p + bytes), key});
        if (sample + samples <= n)
            break;
        n = sample + samples;
    }
    return all;
}

constexpr long kWidth = 160, kHeight = 120, kFrames = 50;
constexpr long kFrameBytes = kWidth * kHeight * 3 / 2; // I420

const char* const kVideoFiles[] = {"dsraw-mjpeg.avi", "dsraw-xvid.avi", "dsraw-h264.mp4", "dsraw-h264.mkv"};
// The fourcc that each file stores its video with.
DWORD storedFourCC(const std::string& name)
{
    if (name.find("mjpeg") != std::string::npos)
        return MAKEFOURCC('M', 'J', 'P', 'G');
    if (name.find("xvid") != std::string::npos)
        return MAKEFOURCC('X', 'V', 'I', 'D');
    return MAKEFOURCC('H', '2', '6', '4');
}

// Mean absolute difference of an I420 frame from frame `n` of ffmpeg's decode.
double difference(const Bytes& frame, const Bytes& reference, long n)
{
    if (frame.size() != static_cast<size_t>(kFrameBytes) || reference.size() < static_cast<size_t>((n + 1) * kFrameBytes))
        return 1e9;
    double sum = 0;
    const unsigned char* r = &reference[static_cast<size_t>(n) * kFrameBytes];
    for (long i = 0; i < kFrameBytes; ++i)
        sum += std::abs(static_cast<int>(frame[i]) - r[i]);
    return sum / kFrameBytes;
}

// GStreamer's decoders against ffmpeg's: the same pictures within a third of
// a level on average (XviD and H.264 exactly); neighbouring frames of the
// test picture differ by 2.8 levels or more.
constexpr double kTolerance = 1.0;

// Uncompressed layouts a decoder gives: the planar and packed YUV codes and RGB.
bool isDecodedVideo(const AM_MEDIA_TYPE& t)
{
    for (DWORD fourCC : {MAKEFOURCC('I', '4', '2', '0'), MAKEFOURCC('Y', 'V', '1', '2'), MAKEFOURCC('N', 'V', '1', '2'),
                         MAKEFOURCC('Y', 'U', 'Y', '2')})
        if (t.subtype.Data1 == fourCC)
            return true;
    return t.subtype == MEDIASUBTYPE_RGB24 || t.subtype == MEDIASUBTYPE_RGB32;
}

class DSRawVideo : public testing::TestWithParam<const char*> {
};

// What the platform's splitter gives a raw reader: the stored packets (as a
// direct stream copy needs), or decoded frames. Either way every sample is
// delivered once, in order, under its own number. Windows' AVI splitter
// connects its stored type straight to the grabber. Wine 8 connects every one
// of these files through its decoding GStreamer parser; its AVI splitter
// offers no type for MJPEG or XviD and fails an assertion when it starts with
// one it does offer (Cinepak), so decoded frames are all a reader gets there.
TEST_P(DSRawVideo, SequentialSamplesAreTheStreamsFramesOrPackets)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, GetParam());
    auto s = openRaw(file, true);
    ASSERT_EQ(s->lastError, 0) << s->ErrorMessage(s->lastError);
    EXPECT_TRUE(s->isRawData());
    EXPECT_TRUE(s->usesDirectShow());
    EXPECT_EQ(s->duration(), kFrames);
    EXPECT_EQ(s->firstKeySample(), 0);
    std::vector<Packet> packets = readPackets(file);
    ASSERT_EQ(packets.size(), static_cast<size_t>(kFrames));
    std::vector<Read> all = readAll(*s);
    ASSERT_EQ(all.size(), packets.size());
    const AM_MEDIA_TYPE& type = *s->format();
    VIDEOINFOHEADER info;
    ASSERT_EQ(s->videoInfo(info), &info);
    std::printf("%s: subtype %s, %s, biCompression %.4s\n", GetParam(), guidText(type.subtype).c_str(),
                isDecodedVideo(type) ? "decoded" : "compressed", reinterpret_cast<const char*>(&info.bmiHeader.biCompression));
    if (isDecodedVideo(type)) {
        Bytes reference = readFile(file + ".yuv");
        for (long n = 0; n < kFrames; ++n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(all[n].sample, n);
            EXPECT_EQ(all[n].samples, 1);
            EXPECT_TRUE(all[n].key);
            ASSERT_LT(difference(all[n].data, reference, n), kTolerance);
            if (n + 1 < kFrames) {
                EXPECT_GT(difference(all[n].data, reference, n + 1), 2.5 * kTolerance);
            }
        }
        return;
    }
    EXPECT_EQ(info.bmiHeader.biCompression, storedFourCC(GetParam()));
    Bytes data = readFile(file + ".data");
    for (long n = 0; n < kFrames; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(all[n].sample, n);
        EXPECT_EQ(all[n].key, packets[n].key);
        ASSERT_EQ(all[n].data.size(), static_cast<size_t>(packets[n].size));
        EXPECT_EQ(std::memcmp(all[n].data.data(), &data[packets[n].offset], packets[n].size), 0);
    }
}

// Requests in an order that forces seeks both ways: each returns its own
// frame, a key request the key sample at or before it.
TEST_P(DSRawVideo, RandomAccessReturnsTheRightSample)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, GetParam());
    auto s = openRaw(file, true);
    ASSERT_EQ(s->lastError, 0);
    std::vector<Packet> packets = readPackets(file);
    ASSERT_EQ(packets.size(), static_cast<size_t>(kFrames));
    std::vector<Read> all = readAll(*s);
    ASSERT_EQ(all.size(), packets.size());
    Bytes reference = readFile(file + ".yuv");
    for (long n : {37L, 3L, 49L, 0L, 22L, 21L, 45L, 11L, 13L, 48L}) {
        for (bool wantKey : {false, true}) {
            SCOPED_TRACE(testing::Message() << n << (wantKey ? " key" : ""));
            long expected = n;
            while (wantKey && !all[expected].key)
                --expected;
            long sample = n, samples = 0, bytes = 0;
            bool key = wantKey;
            unsigned char* p = s->getData(sample, samples, bytes, key);
            ASSERT_NE(p, nullptr) << s->lastError;
            EXPECT_EQ(s->lastError, 0);
            EXPECT_EQ(sample, expected);
            EXPECT_EQ(key, all[expected].key);
            ASSERT_EQ(static_cast<size_t>(bytes), all[expected].data.size());
            if (isDecodedVideo(*s->format())) {
                EXPECT_LT(difference(Bytes(p, p + bytes), reference, expected), kTolerance);
            } else {
                EXPECT_EQ(std::memcmp(p, all[expected].data.data(), bytes), 0);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DSRawVideo, testing::ValuesIn(kVideoFiles));

TEST(DSRawVideoCache, SameSampleTwiceComesFromTheCache)
{
    Watchdog guard(60);
    REQUIRE_MEDIA(file, "dsraw-mjpeg.avi");
    auto s = openRaw(file, true);
    ASSERT_EQ(s->lastError, 0);
    long sample = 17, samples = 0, bytes = 0;
    bool key = false;
    unsigned char* first = s->getData(sample, samples, bytes, key);
    ASSERT_NE(first, nullptr);
    long seeks = s->seekCount();
    long again = 17;
    key = false;
    EXPECT_EQ(s->getData(again, samples, bytes, key), first);
    EXPECT_EQ(again, 17);
    EXPECT_EQ(s->seekCount(), seeks);
    // The next few go on from the held sample without seeking.
    for (long n = 18; n < 22; ++n) {
        long next = n;
        key = false;
        ASSERT_NE(s->getData(next, samples, bytes, key), nullptr);
        EXPECT_EQ(next, n);
    }
    EXPECT_EQ(s->seekCount(), seeks);
}

TEST(DSRawVideoInfo, FieldsOfTheKeptFormat)
{
    Watchdog guard(60);
    REQUIRE_MEDIA(file, "dsraw-xvid.avi");
    auto s = openRaw(file, true);
    ASSERT_EQ(s->lastError, 0);
    VIDEOINFOHEADER info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(s->videoInfo(info), &info);
    EXPECT_EQ(s->lastError, 0);
    EXPECT_EQ(info.AvgTimePerFrame, 400000);
    EXPECT_EQ(info.bmiHeader.biWidth, kWidth);
    EXPECT_EQ(std::labs(info.bmiHeader.biHeight), kHeight);
    EXPECT_EQ(std::memcmp(&info, s->format()->pbFormat, sizeof info), 0);
    // An audio stream has none, and leaves the code as it was.
    REQUIRE_MEDIA(mp3, "dsraw-mp3.mp3");
    auto audio = openRaw(mp3, false);
    ASSERT_FALSE(audio->lastError_isFatal());
    audio->lastError = DSError::BeyondData;
    EXPECT_EQ(audio->videoInfo(info), nullptr);
    EXPECT_EQ(audio->lastError, DSError::BeyondData);
}

TEST(DSRawVideoTime, ConversionsFollowTheSamplesTimes)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, "dsraw-h264.mkv");
    auto s = openRaw(file, true);
    ASSERT_EQ(s->lastError, 0);
    std::vector<Packet> packets = readPackets(file);
    ASSERT_EQ(packets.size(), static_cast<size_t>(kFrames));
    // Forward, then backwards (the graph starts again), then forward again.
    for (long n : {0L, 5L, 6L, 30L, 2L, 49L}) {
        SCOPED_TRACE(n);
        long sample = n;
        EXPECT_NEAR(s->StreamSampleToTime(sample), packets[n].time * 1000.0, 0.01);
        EXPECT_EQ(s->lastError, 0);
        EXPECT_EQ(sample, n);
    }
    for (long n : {10L, 40L, 1L}) {
        SCOPED_TRACE(n);
        double ms = packets[n].time * 1000.0;
        EXPECT_EQ(s->StreamTimeToSample(ms), n);
        EXPECT_EQ(s->lastError, 0);
        // Between two samples: the later one, with its time.
        double between = ms - 15.0;
        EXPECT_EQ(s->StreamTimeToSample(between), n);
        EXPECT_EQ(s->lastError, DSError::LaterSampleReturned);
        EXPECT_FALSE(s->lastError_isFatal());
        EXPECT_NEAR(between, ms, 0.01);
    }
    // Past the last sample: the stream's end.
    double late = 5000.0;
    EXPECT_EQ(s->StreamTimeToSample(late), kFrames);
    long beyond = kFrames + 10;
    EXPECT_NEAR(s->StreamSampleToTime(beyond), s->msDuration(), 0.01);
}

// Wine's splitter decodes compressed audio too: the raw samples are then the
// decoder's PCM blocks, numbered in sample frames from their time stamps.
class DSRawAudio : public testing::TestWithParam<const char*> {
};

TEST_P(DSRawAudio, SamplesFollowEachOtherAndCoverTheStream)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, GetParam());
    auto s = openRaw(file, false);
    ASSERT_FALSE(s->lastError_isFatal()) << s->ErrorMessage(s->lastError);
    const AM_MEDIA_TYPE& type = *s->format();
    ASSERT_TRUE(type.formattype == FORMAT_WaveFormatEx);
    const auto& wave = *reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
    std::printf("%s: format tag %u, %lu Hz, block %u, length %ld, first key %ld\n", GetParam(), wave.wFormatTag,
                wave.nSamplesPerSec, wave.nBlockAlign, s->duration(), s->firstKeySample());
    std::vector<Read> all = readAll(*s);
    ASSERT_GT(all.size(), 10u);
    EXPECT_EQ(all.front().sample, s->firstKeySample());
    long total = 0;
    int overlaps = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(i);
        if (i > 0) {
            // No gap: every sample begins where the one before ends. Wine's
            // AAC decoding starts with a one-block buffer that the next one
            // repeats the time of: that one overlap is the platform's.
            long previousEnd = all[i - 1].sample + all[i - 1].samples;
            ASSERT_LE(all[i].sample, previousEnd);
            ASSERT_GT(all[i].sample, all[i - 1].sample - (i == 1 ? 1 : 0));
            if (all[i].sample != previousEnd) {
                ++overlaps;
                std::printf("  sample %ld overlaps the one before (%ld +%ld)\n", all[i].sample, all[i - 1].sample,
                            all[i - 1].samples);
            }
        }
        EXPECT_TRUE(all[i].key);
        if (wave.wFormatTag == WAVE_FORMAT_PCM || wave.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
            EXPECT_EQ(all[i].data.size(), static_cast<size_t>(all[i].samples) * wave.nBlockAlign);
        }
        total += all[i].samples;
    }
    EXPECT_LE(overlaps, 1);
    EXPECT_EQ(all.back().sample + all.back().samples, s->duration());
    // Two seconds of tone, give or take the codec's padding.
    EXPECT_NEAR(total, 2 * 44100, 3000);
}

INSTANTIATE_TEST_SUITE_P(Files, DSRawAudio, testing::Values("dsraw-mp3.mp3", "dsraw-aac.mp4"));

// GStreamer's conversion of the decoder's float output to 16 bits dithers:
// two passes through the same decoder differ by up to one step.
constexpr long kDither = 1;

// Through the same splitter and decoder, the raw PCM of a compressed stream
// is what the decoded-audio source gives for the same samples.
TEST(DSRawAudioBytes, RawPcmEqualsTheDecodedSource)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, "dsraw-mp3.mp3");
    auto raw = openRaw(file, false);
    ASSERT_FALSE(raw->lastError_isFatal());
    const auto& wave = *reinterpret_cast<const WAVEFORMATEX*>(raw->format()->pbFormat);
    if (wave.wFormatTag != WAVE_FORMAT_PCM)
        GTEST_SKIP() << "the splitter delivers the stream still compressed";
    // A decoder restarted by a seek gives other bytes at first than one that
    // ran from the start: the comparison is between passes in order (the
    // decoded source seeks early enough to give the same).
    std::vector<Read> all = readAll(*raw);
    ASSERT_GT(all.size(), 50u);
    std::unique_ptr<DSAudioSourceStream> decoded(DSAudioSourceStream::open(cstr(file), 0, nullptr));
    ASSERT_EQ(decoded->lastError, 0);
    for (size_t i : {size_t(0), size_t(1), size_t(7), size_t(40), all.size() / 2, all.size() - 2}) {
        SCOPED_TRACE(i);
        const Read& r = all[i];
        unsigned char* q = decoded->getSamples(r.sample, r.sample + r.samples - 1);
        ASSERT_NE(q, nullptr);
        ASSERT_EQ(r.data.size(), static_cast<size_t>(r.samples) * wave.nBlockAlign);
        long largest = 0;
        for (size_t k = 0; k + 1 < r.data.size(); k += 2) {
            short a, b;
            std::memcpy(&a, &r.data[k], 2);
            std::memcpy(&b, q + k, 2);
            largest = std::max<long>(largest, std::labs(a - b));
        }
        EXPECT_LE(largest, kDither);
    }
}

TEST(DSRawAudioTime, WithoutSampleNumbersTheRoughFormulasApply)
{
    Watchdog guard(60);
    REQUIRE_MEDIA(file, "dsraw-mp3.mp3");
    auto s = openRaw(file, false);
    ASSERT_FALSE(s->lastError_isFatal());
    long half = s->duration() / 2;
    double ms = s->StreamSampleToTime(half);
    if (s->lastError != DSError::RoughTimeFormula)
        GTEST_SKIP() << "the splitter numbers the samples";
    EXPECT_FALSE(s->lastError_isFatal());
    EXPECT_NEAR(ms, s->msDuration() / 2, 0.1);
    double quarter = s->msDuration() / 4;
    EXPECT_NEAR(s->StreamTimeToSample(quarter), s->duration() / 4, 1);
    EXPECT_EQ(s->lastError, DSError::RoughTimeFormula);
}

TEST(DSRawOpen, FactoriesAndFailures)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, "dsraw-h264.mp4");
    std::unique_ptr<RawDataSourceStream> ds(RawDataSourceStream::open(cstr(file), true, true, 0, nullptr));
    ASSERT_TRUE(ds);
    EXPECT_EQ(ds->lastError, 0);
    EXPECT_NE(dynamic_cast<DSRawDataSourceStream*>(ds.get()), nullptr);
    // AVIFile cannot open an MP4 file: the automatic choice falls back.
    std::unique_ptr<RawDataSourceStream> automatic(RawDataSourceStream::open(cstr(file), true, 0, nullptr));
    ASSERT_TRUE(automatic);
    EXPECT_EQ(automatic->lastError, 0);
    EXPECT_TRUE(automatic->usesDirectShow());

    std::string missing = "Z:\\nonexistent\\none.avi";
    auto failed = openRaw(missing, true);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->lastError, DSError::CannotOpenFile);
    long sample = 0, samples = 0, bytes = 0;
    bool key = false;
    EXPECT_EQ(failed->getData(sample, samples, bytes, key), nullptr);
    EXPECT_EQ(failed->lastError, DSError::NotOpened);
    VIDEOINFOHEADER info;
    EXPECT_EQ(failed->videoInfo(info), nullptr);
    EXPECT_EQ(failed->lastError, DSError::NotOpened);
    long n = 0;
    EXPECT_EQ(failed->StreamSampleToTime(n), -1.0);
    EXPECT_EQ(failed->lastError, DSError::NotOpened);
    double ms = 0;
    EXPECT_EQ(failed->StreamTimeToSample(ms), -1);
    EXPECT_EQ(failed->lastError, DSError::NotOpened);

    // Outside the stream.
    long outside = ds->duration();
    EXPECT_EQ(ds->getData(outside, samples, bytes, key), nullptr);
    EXPECT_EQ(ds->lastError, DSError::OutOfRange);
    outside = -1;
    EXPECT_EQ(ds->getData(outside, samples, bytes, key), nullptr);
    EXPECT_EQ(ds->lastError, DSError::OutOfRange);
}

// Destruction returns while the stream graph is held, and while both time
// graphs are held or have run to their end.
TEST(DSRawLifetime, DestructionWhileGraphsAreHeldOrEnded)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, "dsraw-xvid.avi");
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        auto s = openRaw(file, true);
        ASSERT_EQ(s->lastError, 0);
        long sample = variant == 2 ? kFrames - 1 : 10, samples = 0, bytes = 0;
        bool key = false;
        ASSERT_NE(s->getData(sample, samples, bytes, key), nullptr);
        long n = variant == 1 ? kFrames + 5 : 3;
        s->StreamSampleToTime(n);
        double ms = variant == 1 ? 9000.0 : 100.0;
        s->StreamTimeToSample(ms);
        s.reset();
    }
}

// What a user gets who copies the stream into an AVI file: every sample
// read goes into the file as it is, frame by frame with its key flag, and
// reads back the same through AVIFile. tests/dsraw-copy-probe.sh then checks
// the file with ffprobe and ffmpeg.
TEST(DSRawCopy, StreamCopyIntoAviKeepsEverySample)
{
    Watchdog guard(120);
    REQUIRE_MEDIA(file, "dsraw-h264.mp4");
    auto s = openRaw(file, true);
    ASSERT_EQ(s->lastError, 0);
    VIDEOINFOHEADER info;
    ASSERT_EQ(s->videoInfo(info), &info);
    std::vector<Read> all = readAll(*s);
    ASSERT_EQ(all.size(), static_cast<size_t>(kFrames));
    std::string copy = file.substr(0, file.size() - std::strlen("dsraw-h264.mp4")) + "dsraw-copy-h264.avi";
    std::remove(copy.c_str());
    {
        std::unique_ptr<OutputAVIFile> writer(OutputAVIFile::create(copy.c_str(), &info, false, nullptr, false, false));
        ASSERT_TRUE(writer);
        ASSERT_EQ(writer->lastError, 0) << writer->ErrorMessage(writer->lastError);
        ASSERT_TRUE(writer->start()) << writer->lastError;
        for (const Read& r : all)
            ASSERT_TRUE(writer->writeFrame(r.sample, const_cast<unsigned char*>(r.data.data()), r.samples,
                                           static_cast<long>(r.data.size()), r.key))
                << writer->lastError;
        ASSERT_TRUE(writer->close());
    }
    std::unique_ptr<RawDataSourceStream> back(RawDataSourceStream::open(cstr(copy), true, false, 0, nullptr));
    ASSERT_EQ(back->lastError, 0);
    ASSERT_EQ(back->duration(), kFrames);
    for (long n = 0; n < kFrames; ++n) {
        long sample = n, samples = 0, bytes = 0;
        bool key = false;
        unsigned char* p = back->getData(sample, samples, bytes, key);
        ASSERT_NE(p, nullptr) << n;
        EXPECT_EQ(sample, n);
        EXPECT_EQ(key, all[n].key) << n;
        ASSERT_EQ(static_cast<size_t>(bytes), all[n].data.size()) << n;
        EXPECT_EQ(std::memcmp(p, all[n].data.data(), bytes), 0) << n;
    }
}

} // namespace
