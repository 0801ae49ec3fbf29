// Reading decoded audio through the DirectShow audio source, as the converter
// reads it (one sample per getSamples call) and in pieces of 4096 samples.
//
//   AudioReadBenchmark FILE
//
// Prints one line per way of reading: samples, seconds, samples per second,
// multiple of real time and the seeks the source made.
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

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: AudioReadBenchmark FILE\n");
        return 2;
    }
    TrelixThread();
    for (long piece : {1L, 4096L}) {
        std::unique_ptr<DSAudioSourceStream> s(DSAudioSourceStream::open(argv[1], 0, nullptr));
        if (!s || s->lastError != 0) {
            std::fprintf(stderr, "cannot open %s\n", argv[1]);
            return 1;
        }
        if (!readAll(*s, piece, piece == 1 ? "one sample per call" : "4096 samples per call"))
            return 1;
    }
    return 0;
}
