#include <gtest/gtest.h>

#include <thread>

#include <objbase.h>

#include "MediaWriter.h"
#include "Trelix.h"

namespace {

APTTYPE apartment()
{
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&type, &qualifier)))
        return APTTYPE_CURRENT;
    return type;
}

template <typename Body>
void onNewThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

// Each switch on its own thread: Wine's AVIFileInit takes an OLE reference
// that its AVIFileExit never gives back, so a thread that became
// single-threaded through AVIFileInit stays so.
TEST(TrelixThread, RegistersInTheMultithreadedApartment)
{
    onNewThread([] {
        TrelixThread();
        EXPECT_EQ(apartment(), APTTYPE_MTA);
        TemporaryApartmentThreading(true);
        EXPECT_EQ(apartment(), APTTYPE_STA);
    });
    onNewThread([] {
        TrelixThread();
        TemporaryApartmentThreading(false);
        EXPECT_EQ(apartment(), APTTYPE_MTA);
    });
}

TEST(TrelixThread, ApartmentSwitchOnAnUnregisteredThread)
{
    onNewThread([] {
        EXPECT_EQ(apartment(), APTTYPE_CURRENT);
        TemporaryApartmentThreading(true);
        EXPECT_EQ(apartment(), APTTYPE_STA);
        CoUninitialize();
    });
}

// A registered thread that switched apartments still reads media, and ends
// without an explicit clean-up.
TEST(TrelixThread, RegisteredThreadKeepsAVIFileAcrossTheSwitch)
{
    MediaWriter::TempFolder folder;
    std::string path = folder.path("video.avi");
    ASSERT_TRUE(MediaWriter::writeAvi(path, {MediaWriter::VideoTrack()}));
    for (int i = 0; i < 3; ++i) {
        onNewThread([&] {
            TrelixThread();
            TemporaryApartmentThreading(true);
            std::unique_ptr<VideoSourceStream> video(
                VideoSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
            ASSERT_TRUE(video);
            EXPECT_EQ(video->lastError, 0);
            long frame = 1;
            EXPECT_NE(video->getFrameBits(frame), nullptr);
        });
    }
}

} // namespace
