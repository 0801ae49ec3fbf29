// Opens one file through the sources of one backend and reads from every
// stream it finds: frames, sample ranges, raw samples. Run by
// tools/mutation-test.sh on damaged files in a child process: it must end, and
// end normally, whatever the file holds. It prints what it read, and "end"
// when it is done.
//
//   MutationReader.exe vfw|ds FILE
//   MutationReader.exe write FOLDER   writes the AVIFile sources of the test
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "MediaWriter.h"
#include "TestCodec.h"
#include "Trelix.h"
#include "vfw/AviFileCheck.h"

namespace {

// Two streams of each kind are enough to meet the stream numbers a damaged file claims.
constexpr int kStreams = 2;

// A few positions spread over a stream of `length` samples, and some outside it.
template <typename Visit>
void positions(long length, Visit visit)
{
    const long spots[] = {0, 1, length / 3, length / 2, length - 2, length - 1, length, -1};
    for (long spot : spots)
        visit(spot);
}

int readVideo(char* file, bool directShow, int index)
{
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(file, directShow, index, nullptr));
    if (!video)
        return -1;
    if (video->lastError_isFatal())
        return video->lastError;
    int delivered = 0;
    positions(video->duration(), [&](long spot) {
        video->findFrame(spot);
        long frame = spot;
        if (video->getFrameBits(frame))
            ++delivered;
    });
    video->msDuration();
    std::printf("video %d: %ld frames, %d delivered\n", index, video->duration(), delivered);
    return 0;
}

int readAudio(char* file, bool directShow, int index)
{
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(file, directShow, index, nullptr));
    if (!audio)
        return -1;
    if (audio->lastError_isFatal())
        return audio->lastError;
    int delivered = 0;
    long length = audio->duration();
    positions(length, [&](long spot) {
        if (audio->getSamples(spot, spot + 99 < length ? spot + 99 : length - 1))
            ++delivered;
    });
    // The whole stream at once, as long as that is a reasonable buffer.
    if (length <= 1000000 && audio->getSamples(0, length - 1))
        ++delivered;
    std::printf("audio %d: %ld samples, %d ranges delivered\n", index, length, delivered);
    return 0;
}

int readRaw(char* file, bool directShow, bool video, int index)
{
    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(file, video, directShow, index, nullptr));
    if (!raw)
        return -1;
    if (raw->lastError_isFatal())
        return raw->lastError;
    int delivered = 0;
    positions(raw->duration(), [&](long spot) {
        for (bool key : {false, true}) {
            long sample = spot, samples = 0, bytes = 0;
            bool wantKey = key;
            if (raw->getData(sample, samples, bytes, wantKey))
                ++delivered;
        }
    });
    std::printf("raw %s %d: %ld samples, %d reads delivered\n", video ? "video" : "audio", index, raw->duration(),
                delivered);
    return 0;
}

// Small files written by AVIFile itself: coded video with key, delta and
// dropped frames and PCM audio; uncompressed paletted video with IMA ADPCM.
int writeSources(const std::string& folder)
{
    using namespace MediaWriter;
    VideoTrack coded;
    coded.frames = "KDD-KDDKE";
    coded.compression = TestCodec::kFourCC;
    WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
    bool ok = writeAvi(folder + "\\avifile-coded-pcm.avi", {coded}, {pcmAudio(pcm, sinePcm(pcm, 4000))});
    VideoTrack palette;
    palette.bitCount = 8;
    palette.extra.assign(256 * 4, 0x55);
    palette.frames = "KKKKKK";
    WAVEFORMATEX stereo = pcmFormat(22050, 2, 16);
    AudioTrack adpcm;
    ok = ok && encodeImaAdpcm(stereo, sinePcm(stereo, 11025), adpcm)
        && writeAvi(folder + "\\avifile-pal8-adpcm.avi", {palette}, {adpcm});
    return ok ? 0 : 1;
}

void report(const char* what, int index, int code)
{
    if (code == -1)
        std::printf("%s %d: no source of this backend\n", what, index);
    else if (code != 0)
        std::printf("%s %d: open failed with %d\n", what, index, code);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) {
        TrelixThread();
        return writeSources(argv[2]);
    }
    // dsraw: the raw-data readers alone, on DirectShow.
    bool rawOnly = argc == 3 && std::strcmp(argv[1], "dsraw") == 0;
    if (argc != 3 || (std::strcmp(argv[1], "vfw") != 0 && std::strcmp(argv[1], "ds") != 0 && !rawOnly)) {
        std::fprintf(stderr, "usage: MutationReader vfw|ds|dsraw FILE\n");
        return 2;
    }
    // Unbuffered, so that a crash still shows how far the reading came.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    TrelixThread();
    // Files written with the test codec decode through it.
    TestCodec::install();
    bool directShow = std::strcmp(argv[1], "vfw") != 0;
    char* file = argv[2];
    std::printf("check: %s\n", AviFileCheck::name(AviFileCheck::check(file)));
    for (int i = 0; i < kStreams; ++i) {
        if (!rawOnly) {
            report("video", i, readVideo(file, directShow, i));
            report("audio", i, readAudio(file, directShow, i));
        }
        report("raw video", i, readRaw(file, directShow, true, i));
        report("raw audio", i, readRaw(file, directShow, false, i));
    }
    std::printf("end\n");
    std::fflush(stdout);
    return 0;
}
