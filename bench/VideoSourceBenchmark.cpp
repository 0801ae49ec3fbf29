// Decode rate of the video sources.
//
//   VideoSourceBenchmark sequential FILE ds|vfw [clock]   every frame in order
//   VideoSourceBenchmark random FILE COUNT                COUNT pseudo-random frames (DirectShow)
//
// "clock" gives the DirectShow graph back its default reference clock (the
// source runs without one), to show what running without it buys. Each run
// prints one line: frames, seconds, frames per second, the multiple of real
// time, and for random requests the milliseconds per request.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <objbase.h>

#include "BenchClock.h"
#include "Trelix.h"

namespace {

using Clock = BenchClock;

// The graphs this process registered in the running object table get their
// default reference clock back.
int restoreClocks()
{
    IRunningObjectTable* rot = nullptr;
    if (FAILED(GetRunningObjectTable(0, &rot)))
        return 0;
    IEnumMoniker* monikers = nullptr;
    rot->EnumRunning(&monikers);
    IBindCtx* context = nullptr;
    CreateBindCtx(0, &context);
    char pid[16];
    std::snprintf(pid, sizeof pid, "pid %08lx", GetCurrentProcessId());
    wchar_t widePid[16];
    MultiByteToWideChar(CP_ACP, 0, pid, -1, widePid, 16);
    int restored = 0;
    IMoniker* m = nullptr;
    while (monikers && monikers->Next(1, &m, nullptr) == S_OK) {
        wchar_t* name = nullptr;
        IUnknown* object = nullptr;
        IFilterGraph* graph = nullptr;
        if (SUCCEEDED(m->GetDisplayName(context, nullptr, &name)) && name && wcsstr(name, widePid) &&
            SUCCEEDED(rot->GetObject(m, &object)) &&
            SUCCEEDED(object->QueryInterface(IID_IFilterGraph, reinterpret_cast<void**>(&graph))) &&
            SUCCEEDED(graph->SetDefaultSyncSource()))
            ++restored;
        if (graph)
            graph->Release();
        if (object)
            object->Release();
        CoTaskMemFree(name);
        m->Release();
    }
    if (context)
        context->Release();
    if (monikers)
        monikers->Release();
    rot->Release();
    return restored;
}

int sequential(char* file, bool directShow, bool clock)
{
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(file, directShow, 0, nullptr));
    if (!video || video->lastError != 0) {
        std::fprintf(stderr, "cannot open %s: %d\n", file, video ? video->lastError : -1);
        return 1;
    }
    if (clock && restoreClocks() != 1) {
        std::fprintf(stderr, "cannot give the graph its clock back\n");
        return 1;
    }
    Clock timer;
    long frames = video->duration();
    unsigned long sum = 0;
    for (long n = 0; n < frames; ++n) {
        long f = n;
        unsigned char* bits = video->getFrameBits(f);
        if (!bits) {
            std::fprintf(stderr, "frame %ld failed: %d\n", n, video->lastError);
            return 1;
        }
        sum += bits[0];
    }
    double seconds = timer.seconds();
    double fps = frames / seconds;
    std::printf("%s %s%s: frames=%ld seconds=%.3f fps=%.1f realtime=%.1fx (%lu)\n", directShow ? "DirectShow" : "VfW",
                file, clock ? " with clock" : "", frames, seconds, fps, fps / video->frameRate(), sum & 1);
    return 0;
}

int random(char* file, int count)
{
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(file, true, 0, nullptr));
    if (!video || video->lastError != 0) {
        std::fprintf(stderr, "cannot open %s\n", file);
        return 1;
    }
    Clock timer;
    unsigned seed = 12345;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        long f = static_cast<long>((seed >> 8) % static_cast<unsigned>(video->duration()));
        if (!video->getFrameBits(f)) {
            std::fprintf(stderr, "request %d failed: %d\n", i, video->lastError);
            return 1;
        }
    }
    double seconds = timer.seconds();
    std::printf("DirectShow %s: random requests=%d seconds=%.3f ms-per-request=%.1f\n", file, count, seconds,
                seconds * 1000 / count);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    TrelixThread();
    if (argc >= 4 && !std::strcmp(argv[1], "sequential"))
        return sequential(argv[2], !std::strcmp(argv[3], "ds"), argc >= 5 && !std::strcmp(argv[4], "clock"));
    if (argc >= 4 && !std::strcmp(argv[1], "random"))
        return random(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: VideoSourceBenchmark sequential FILE ds|vfw [clock] | random FILE COUNT\n");
    return 2;
}
