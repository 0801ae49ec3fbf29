// Shows the wait dialog (plain, or titled with "titled") for a few seconds
// while a test stream reports progress, so that tools/screenshot.sh can
// capture what a user sees.
#include <cstring>

#include "TestStreams.h"

namespace {

class SlowVideo : public TestVideoSource<DSAudioOrVideoStream> {
public:
    long findFrame(long frame) override
    {
        for (int i = 0; i < 20; ++i) {
            Sleep(300);
            notify()->progress(5);
        }
        return TestVideoSource::findFrame(frame);
    }
};

} // namespace

int main(int argc, char** argv)
{
    TrelixThread();
    TemporaryApartmentThreading(true);
    bool titled = argc > 1 && std::strcmp(argv[1], "titled") == 0;
    HWND owner = CreateWindowExA(0, "STATIC", "Vandrel", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 360, 240, nullptr,
                                 nullptr, nullptr, nullptr);
    SlowVideo video;
    video.markOpened(10);
    VideoSourceStream& v = video;
    long found = v.findFrame(titled ? 32 : 0, owner, 3, nullptr);
    DestroyWindow(owner);
    return found == 3 ? 0 : 1;
}
