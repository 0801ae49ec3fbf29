// Reading decoded audio through the DirectShow audio source, as the converter
// reads it (one sample per getSamples call) and in pieces of 4096 samples.
//
//   AudioReadBenchmark FILE
//
// Prints one line per way of reading: samples, seconds, samples per second,
// multiple of real time and the seeks the source made; then the time an open
// takes and the cost of 100 ranges of 4096 samples at random places.
#include <cstdio>
#include <initializer_list>
#include <memory>

#include "Trelix.h"

namespace {

double now()
{
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / frequency.QuadPart;
}

// Reads the whole stream in pieces of `piece` samples; false on a failure.
bool readAll(DSAudioSourceStream& s, long piece, const char* label)
{
    double start = now();
    long length = s.duration();
    for (long first = 0; first < length; first += piece) {
        long last = first + piece - 1 < length ? first + piece - 1 : length - 1;
        if (!s.getSamples(first, last)) {
            std::printf("%s: sample %ld: %s\n", label, first, s.ErrorMessage(s.lastError));
            return false;
        }
    }
    double seconds = now() - start;
    double rate = s.format()->nSamplesPerSec;
    std::printf("%s: samples=%ld seconds=%.3f samples_per_second=%.0f realtime=%.1f seeks=%ld\n", label, length,
                seconds, length / seconds, length / rate / seconds, s.seekCount());
    return true;
}

// 100 ranges of 4096 samples at pseudo-random places (the same every run).
bool readRandom(DSAudioSourceStream& s)
{
    double start = now();
    unsigned seed = 2026;
    long length = s.duration();
    for (int i = 0; i < 100; ++i) {
        seed = seed * 1103515245u + 12345u;
        long first = static_cast<long>((seed >> 8) % static_cast<unsigned>(length > 4096 ? length - 4096 : 1));
        if (!s.getSamples(first, first + 4095 < length ? first + 4095 : length - 1)) {
            std::printf("random ranges: sample %ld: %s\n", first, s.ErrorMessage(s.lastError));
            return false;
        }
    }
    double seconds = now() - start;
    std::printf("100 random ranges: seconds=%.3f per_range_ms=%.1f seeks=%ld\n", seconds, seconds * 10.0,
                s.seekCount());
    return true;
}

std::unique_ptr<DSAudioSourceStream> openTimed(char* file)
{
    double start = now();
    std::unique_ptr<DSAudioSourceStream> s(DSAudioSourceStream::open(file, 0, nullptr));
    if (!s || s->lastError != 0) {
        std::fprintf(stderr, "cannot open %s\n", file);
        return nullptr;
    }
    std::printf("open: seconds=%.3f\n", now() - start);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: AudioReadBenchmark FILE\n");
        return 2;
    }
    TrelixThread();
    for (long piece : {1L, 4096L}) {
        std::unique_ptr<DSAudioSourceStream> s = openTimed(argv[1]);
        if (!s)
            return 1;
        if (!readAll(*s, piece, piece == 1 ? "one sample per call" : "4096 samples per call"))
            return 1;
    }
    std::unique_ptr<DSAudioSourceStream> s = openTimed(argv[1]);
    if (!s || !readRandom(*s))
        return 1;
    return 0;
}
