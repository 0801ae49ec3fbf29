#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "MediaWriter.h"
#include "TestMedia.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"
#include "core/RunsUnderWine.h"
#include "vfw/AviFileCheck.h"

using namespace MediaWriter;
using AviFileCheck::Verdict;

namespace {

using Bytes = std::vector<BYTE>;

Bytes load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void save(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

DWORD get32(const Bytes& b, size_t at)
{
    DWORD v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

void put32(Bytes& b, size_t at, DWORD v)
{
    std::memcpy(b.data() + at, &v, 4);
}

void put16(Bytes& b, size_t at, WORD v)
{
    std::memcpy(b.data() + at, &v, 2);
}

// Offset of the header of occurrence `n` of chunk `id` (a list's type for
// lists), searched depth first through the lists; 0 when there is none.
size_t findIn(const Bytes& b, size_t at, size_t end, const char* id, int& n)
{
    while (at + 8 <= end && at + 8 <= b.size()) {
        DWORD size = get32(b, at + 4);
        bool list = std::memcmp(&b[at], "RIFF", 4) == 0 || std::memcmp(&b[at], "LIST", 4) == 0;
        if (std::memcmp(&b[list ? at + 8 : at], id, 4) == 0 && n-- == 0)
            return at;
        if (list) {
            size_t found = findIn(b, at + 12, at + 8 + size, id, n);
            if (found)
                return found;
        }
        at += 8 + size + (size & 1);
    }
    return 0;
}

size_t chunkAt(const Bytes& b, const char* id, int n = 0)
{
    return findIn(b, 0, b.size(), id, n);
}

Bytes fourcc(const char* id)
{
    return Bytes(id, id + 4);
}

void append(Bytes& b, const Bytes& more)
{
    b.insert(b.end(), more.begin(), more.end());
}

Bytes chunk(const char* id, const Bytes& data)
{
    Bytes out = fourcc(id);
    out.resize(8);
    put32(out, 4, static_cast<DWORD>(data.size()));
    append(out, data);
    if (data.size() & 1)
        out.push_back(0);
    return out;
}

Bytes list(const char* form, const char* type, const Bytes& children)
{
    Bytes data = fourcc(type);
    append(data, children);
    Bytes out = chunk(form, data);
    std::memcpy(out.data(), form, 4);
    return out;
}

class AviFileCheckTest : public testing::Test {
protected:
    TempFolder folder;
    std::string path(const char* name) const { return folder.path(name); }

    // Video (key and delta frames, a dropped one) and 16-bit PCM audio, written by AVIFile.
    std::string writeVideoAndAudio()
    {
        std::string file = path("va.avi");
        VideoTrack video;
        video.frames = "KD-KD";
        WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
        EXPECT_TRUE(writeAvi(file, {video}, {pcmAudio(pcm, sinePcm(pcm, 1000))}));
        return file;
    }

    // `original` changed by `change`, saved as `name`: the verdict on it.
    template <typename Change>
    Verdict patched(const std::string& original, const char* name, Change change)
    {
        Bytes bytes = load(original);
        change(bytes);
        std::string file = path(name);
        save(file, bytes);
        return AviFileCheck::check(file.c_str());
    }
};

TEST_F(AviFileCheckTest, PassesFilesWrittenByAVIFile)
{
    std::string va = writeVideoAndAudio();
    EXPECT_EQ(AviFileCheck::check(va.c_str()), Verdict::Safe);

    VideoTrack palette;
    palette.bitCount = 8;
    palette.extra.assign(256 * 4, 0x40);
    WAVEFORMATEX pcm = pcmFormat(22050, 2, 16);
    AudioTrack adpcm;
    ASSERT_TRUE(encodeImaAdpcm(pcm, sinePcm(pcm, 22050), adpcm));
    std::string other = path("pal-adpcm.avi");
    ASSERT_TRUE(writeAvi(other, {palette, VideoTrack()}, {adpcm}));
    EXPECT_EQ(AviFileCheck::check(other.c_str()), Verdict::Safe);
}

TEST_F(AviFileCheckTest, PassesFilesOfOtherWriters)
{
    for (const char* name : {"mjpeg.avi", "rgb24.avi", "check-ffmpeg-mpeg4-pcm.avi", "check-ffmpeg-pal8.avi",
                             "check-ffmpeg-adpcm.avi", "check-gst-avimux.avi", "check-ffmpeg.wav"}) {
        SCOPED_TRACE(name);
        REQUIRE_MEDIA(file, name);
        EXPECT_EQ(AviFileCheck::check(file.c_str()), Verdict::Safe);
    }
}

// ffmpeg stores MP3 with a block size of one frame (1152) and counts the
// stream in frames. Wine's AVIFile takes the block size as the sample size, so
// the length claims far more bytes than the chunks hold and a read near the
// end aborts on its assertion; Windows takes the header's sample size. Only
// a reader that stops at the last stored byte may read such a file.
TEST_F(AviFileCheckTest, JudgesMp3LengthsByThePlatformsSampleSize)
{
    REQUIRE_MEDIA(file, "check-ffmpeg-mp3.avi");
    EXPECT_EQ(AviFileCheck::check(file.c_str()), runsUnderWine() ? Verdict::AudioReadPastItsChunks : Verdict::Safe);
    EXPECT_EQ(AviFileCheck::isSafe(file.c_str()), !runsUnderWine());
    EXPECT_TRUE(AviFileCheck::isSafe(file.c_str(), Verdict::AudioReadPastItsChunks));
    AviFileCheck::StoredStream audio;
    ASSERT_TRUE(AviFileCheck::storedStream(file.c_str(), streamtypeAUDIO, 0, audio));
    EXPECT_EQ(audio.sampleSize, 0u);
    EXPECT_GT(audio.bytes, 0u);
    EXPECT_FALSE(AviFileCheck::storedStream(file.c_str(), streamtypeAUDIO, 1, audio));

    // The tolerable verdict does not hide a damaged extension after it.
    Bytes bytes = load(file);
    Bytes avix = list("RIFF", "AVIX", list("LIST", "movi", chunk("01wb", Bytes(16, 1))));
    put32(avix, 4, 0x7FFFFFF0);
    append(bytes, avix);
    std::string damaged = path("mp3-avix.avi");
    save(damaged, bytes);
    EXPECT_EQ(AviFileCheck::check(damaged.c_str()), Verdict::ChunkOutOfBounds);
}

TEST_F(AviFileCheckTest, PassesAnOpenDMLExtension)
{
    REQUIRE_MEDIA(original, "check-ffmpeg-mpeg4-pcm.avi");
    Bytes bytes = load(original);
    // A super index in place of the first stream's reserved JUNK, naming a
    // standard index in an appended 'AVIX' form.
    Bytes frame = chunk("00dc", Bytes(100, 7));
    Bytes standard(24 + 8, 0);
    put16(standard, 0, 2);
    standard[3] = 1;
    put32(standard, 4, 1);
    std::memcpy(&standard[8], "00dc", 4);
    Bytes ix = chunk("ix00", standard);
    Bytes children = ix;
    append(children, list("LIST", "movi", frame));
    Bytes avix = list("RIFF", "AVIX", children);
    size_t riffEnd = bytes.size();
    size_t junk = chunkAt(bytes, "JUNK");
    ASSERT_NE(junk, 0u);
    std::memcpy(&bytes[junk], "indx", 4);
    put16(bytes, junk + 8, 4);
    bytes[junk + 11] = 0;
    put32(bytes, junk + 12, 1);
    std::memcpy(&bytes[junk + 16], "00dc", 4);
    std::uint64_t ixOffset = riffEnd + 12;
    std::memcpy(&bytes[junk + 32], &ixOffset, 8);
    put32(bytes, junk + 40, static_cast<DWORD>(ix.size()));
    append(bytes, avix);
    std::string file = path("odml.avi");
    save(file, bytes);
    EXPECT_EQ(AviFileCheck::check(file.c_str()), Verdict::Safe);

    EXPECT_EQ(patched(file, "odml-cut.avi", [&](Bytes& b) { b.resize(b.size() - 10); }), Verdict::ChunkOutOfBounds);
    EXPECT_EQ(patched(file, "odml-far.avi", [&](Bytes& b) { put32(b, junk + 40, 0x10000000); }), Verdict::BadIndex);
}

TEST_F(AviFileCheckTest, RefusesCutFiles)
{
    std::string va = writeVideoAndAudio();
    Bytes bytes = load(va);
    size_t idx1 = chunkAt(bytes, "idx1");
    ASSERT_NE(idx1, 0u);
    EXPECT_EQ(patched(va, "cut.avi", [&](Bytes& b) { b.resize(idx1 - 20); }), Verdict::ChunkOutOfBounds);
    EXPECT_EQ(patched(va, "cut-idx1.avi", [&](Bytes& b) { b.resize(idx1 + 20); }), Verdict::ChunkOutOfBounds);
    // A download cut before the index, its sizes mended by a repair tool.
    EXPECT_EQ(patched(va, "no-index.avi",
                      [&](Bytes& b) {
                          b.resize(idx1);
                          put32(b, 4, static_cast<DWORD>(idx1 - 8));
                      }),
              Verdict::MissingIndex);
    EXPECT_EQ(patched(va, "strf-size.avi", [&](Bytes& b) { put32(b, chunkAt(b, "strf") + 4, 0x7FFFFFF0); }),
              Verdict::ChunkOutOfBounds);
}

TEST_F(AviFileCheckTest, RefusesBrokenHeaders)
{
    std::string va = writeVideoAndAudio();
    auto strh = [](Bytes& b, int stream, int field, DWORD v) { put32(b, chunkAt(b, "strh", stream) + 8 + 4 * field, v); };
    auto strf = [](Bytes& b, int stream, size_t at) { return chunkAt(b, "strf", stream) + 8 + at; };
    EXPECT_EQ(patched(va, "form.avi", [](Bytes& b) { b[11] = 'Z'; }), Verdict::UnknownForm);
    EXPECT_EQ(patched(va, "streams.avi", [](Bytes& b) { put32(b, chunkAt(b, "avih") + 8 + 24, 3); }),
              Verdict::BadStreamList);
    // Values the sources refuse themselves, with their own codes, pass.
    EXPECT_EQ(patched(va, "scale.avi", [&](Bytes& b) { strh(b, 0, 5, 0); }), Verdict::Safe);
    EXPECT_EQ(patched(va, "rate.avi", [&](Bytes& b) { strh(b, 1, 6, 0); }), Verdict::Safe);
    EXPECT_EQ(patched(va, "strh-short.avi", [](Bytes& b) { put32(b, chunkAt(b, "strh") + 4, 20); }),
              Verdict::BadStreamHeader);
    EXPECT_EQ(patched(va, "bisize.avi", [&](Bytes& b) { put32(b, strf(b, 0, 0), 400); }), Verdict::BadVideoFormat);
    EXPECT_EQ(patched(va, "width.avi", [&](Bytes& b) { put32(b, strf(b, 0, 4), 0); }), Verdict::Safe);
    EXPECT_EQ(patched(va, "colours.avi", [&](Bytes& b) { put32(b, strf(b, 0, 32), 0x40000000); }), Verdict::Safe);
    EXPECT_EQ(patched(va, "colours8.avi", [&](Bytes& b) { put16(b, strf(b, 0, 14), 8); put32(b, strf(b, 0, 32), 0x40000000); }),
              Verdict::BadVideoFormat);
    EXPECT_EQ(patched(va, "palette.avi", [&](Bytes& b) { put16(b, strf(b, 0, 14), 8); }), Verdict::BadVideoFormat);
    EXPECT_EQ(patched(va, "align.avi", [&](Bytes& b) { put16(b, strf(b, 1, 12), 0); }), Verdict::BadAudioFormat);
    EXPECT_EQ(patched(va, "channels.avi", [&](Bytes& b) { put16(b, strf(b, 1, 2), 0); }), Verdict::BadAudioFormat);
}

TEST_F(AviFileCheckTest, RefusesCompressedAudioWithExtraBytesOutsideTheFormat)
{
    WAVEFORMATEX pcm = pcmFormat(22050, 1, 16);
    AudioTrack adpcm;
    ASSERT_TRUE(encodeImaAdpcm(pcm, sinePcm(pcm, 22050), adpcm));
    std::string file = path("adpcm.avi");
    ASSERT_TRUE(writeAvi(file, {VideoTrack()}, {adpcm}));
    ASSERT_EQ(AviFileCheck::check(file.c_str()), Verdict::Safe);
    EXPECT_EQ(patched(file, "cbsize.avi", [](Bytes& b) { put16(b, chunkAt(b, "strf", 1) + 8 + 16, 0x4000); }),
              Verdict::BadAudioFormat);
}

TEST_F(AviFileCheckTest, RefusesIndexEntriesAndLengthsThatDisagreeWithTheData)
{
    std::string va = writeVideoAndAudio();
    auto entry = [](Bytes& b, int n, int field, DWORD v) { put32(b, chunkAt(b, "idx1") + 8 + 16 * n + 4 * field, v); };
    EXPECT_EQ(patched(va, "offset.avi", [&](Bytes& b) { entry(b, 1, 2, 0x7FFF0000); }), Verdict::BadIndex);
    EXPECT_EQ(patched(va, "length.avi", [&](Bytes& b) { entry(b, 1, 3, 0x7FFF0000); }), Verdict::BadIndex);
    // Stream 2 of a file of two streams: the platform dereferences a stream it never made.
    EXPECT_EQ(patched(va, "stream.avi", [&](Bytes& b) { std::memcpy(&b[chunkAt(b, "idx1") + 8], "02dc", 4); }),
              Verdict::BadIndex);
    auto strh = [](Bytes& b, int stream, int field, DWORD v) { put32(b, chunkAt(b, "strh", stream) + 8 + 4 * field, v); };
    EXPECT_EQ(patched(va, "vlength.avi", [&](Bytes& b) { strh(b, 0, 8, 6); }), Verdict::LengthBeyondData);
    EXPECT_EQ(patched(va, "start.avi", [&](Bytes& b) { strh(b, 0, 7, 3); }), Verdict::Safe);
    EXPECT_EQ(patched(va, "alength.avi", [&](Bytes& b) { strh(b, 1, 8, 1001); }), Verdict::LengthBeyondData);
    // Shorter lengths than the data are harmless.
    EXPECT_EQ(patched(va, "shorter.avi", [&](Bytes& b) { strh(b, 0, 8, 4); }), Verdict::Safe);
}

// The file without its index, as a writer that never indexes leaves it: the
// platform walks the 'movi' list instead, and so does the check.
TEST_F(AviFileCheckTest, WalksTheMovieListOfAFileWithoutIndex)
{
    std::string va = writeVideoAndAudio();
    Bytes bytes = load(va);
    size_t idx1 = chunkAt(bytes, "idx1");
    size_t movi = chunkAt(bytes, "movi");
    ASSERT_NE(idx1, 0u);
    ASSERT_EQ(movi + 8 + get32(bytes, movi + 4), idx1) << "the index follows the 'movi' list";
    bytes.resize(idx1);
    size_t flags = chunkAt(bytes, "avih") + 8 + 12;
    put32(bytes, flags, get32(bytes, flags) & ~0x10u);
    // Appends `more` at the end of 'movi', which ends the file.
    auto grown = [&](const Bytes& more) {
        Bytes b = bytes;
        append(b, more);
        put32(b, movi + 4, static_cast<DWORD>(b.size() - movi - 8));
        put32(b, 4, static_cast<DWORD>(b.size() - 8));
        return b;
    };
    auto verdict = [&](const char* name, const Bytes& b) {
        save(path(name), b);
        return AviFileCheck::check(path(name).c_str());
    };
    EXPECT_EQ(verdict("unindexed.avi", grown({})), Verdict::Safe);
    EXPECT_EQ(verdict("record.avi", grown(list("LIST", "rec ", chunk("00dc", Bytes(16 * 8 * 3, 1))))), Verdict::Safe);
    EXPECT_EQ(verdict("stream2.avi", grown(chunk("02dc", Bytes(4, 0)))), Verdict::BadIndex);
    Bytes nested = chunk("00dc", Bytes(4, 0));
    for (int i = 0; i < 6; ++i)
        nested = list("LIST", "rec ", nested);
    EXPECT_EQ(verdict("nested.avi", grown(nested)), Verdict::ChunkOutOfBounds);
}

TEST_F(AviFileCheckTest, ChecksWaveFiles)
{
    REQUIRE_MEDIA(wav, "check-ffmpeg.wav");
    EXPECT_EQ(patched(wav, "cut.wav", [](Bytes& b) { b.resize(b.size() / 2); }), Verdict::ChunkOutOfBounds);
    EXPECT_EQ(patched(wav, "align.wav", [](Bytes& b) { put16(b, chunkAt(b, "fmt ") + 8 + 12, 0); }),
              Verdict::BadAudioFormat);
    EXPECT_EQ(patched(wav, "nodata.wav", [](Bytes& b) { std::memcpy(&b[chunkAt(b, "data")], "dat_", 4); }),
              Verdict::MissingHeader);
}

TEST_F(AviFileCheckTest, LeavesOtherFilesToThePlatform)
{
    std::string text = path("notes.avi");
    save(text, Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '\n'});
    EXPECT_EQ(AviFileCheck::check(text.c_str()), Verdict::Safe);
    EXPECT_EQ(AviFileCheck::check(path("missing.avi").c_str()), Verdict::Unreadable);
}

TEST_F(AviFileCheckTest, SourcesRefuseWhatTheCheckRefuses)
{
    std::string va = writeVideoAndAudio();
    Bytes bytes = load(va);
    bytes.resize(chunkAt(bytes, "idx1") - 20);
    std::string cut = path("cut-open.avi");
    save(cut, bytes);
    char* name = const_cast<char*>(cut.c_str());
    std::unique_ptr<VfWVideoSourceStream> video(VfWVideoSourceStream::open(name, 0, nullptr));
    std::unique_ptr<VfWAudioSourceStream> audio(VfWAudioSourceStream::open(name, 0, nullptr));
    std::unique_ptr<VfWRawDataSourceStream> raw(VfWRawDataSourceStream::open(name, true, 0, nullptr));
    ASSERT_TRUE(video && audio && raw);
    EXPECT_EQ(video->lastError, VfWError::CannotOpenFile);
    EXPECT_EQ(audio->lastError, VfWError::CannotOpenFile);
    EXPECT_EQ(raw->lastError, VfWError::CannotOpenFile);

    std::unique_ptr<VfWVideoSourceStream> whole(VfWVideoSourceStream::open(const_cast<char*>(va.c_str()), 0, nullptr));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->lastError, VfWError::Success);
}

} // namespace
