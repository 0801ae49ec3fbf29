#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>

#include "ExpectedMessages.h"
#include "Trelix.h"

namespace {

// Gives tests a view of the protected message buffer.
template <typename Root>
class Inspectable : public Root {
public:
    char* buffer() { return this->message; }
};

using VfWObject = Inspectable<VfWAudioOrVideoStream>;
using DSObject = Inspectable<DSAudioOrVideoStream>;

template <size_t N>
void expectTable(AudioOrVideoStream& object, int base, const MessageEntry (&table)[N])
{
    for (const MessageEntry& entry : table) {
        int code = entry.id - base;
        SCOPED_TRACE(code);
        const char* text = object.ErrorMessage(code);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, entry.text);
        EXPECT_EQ(object.Error_isFatal(code), entry.fatal);
    }
}

TEST(ErrorModel, BackendFacts)
{
    VfWAudioOrVideoStream vfw;
    DSAudioOrVideoStream ds;
    EXPECT_FALSE(vfw.usesDirectShow());
    EXPECT_EQ(vfw.local_ErrorMax(), 40);
    EXPECT_EQ(vfw.errorMessages_resourceBase(), 500);
    EXPECT_TRUE(ds.usesDirectShow());
    EXPECT_EQ(ds.local_ErrorMax(), 73);
    EXPECT_EQ(ds.errorMessages_resourceBase(), 100);
    EXPECT_EQ(vfw.lastError, 0);
    EXPECT_EQ(ds.lastError, 0);
}

TEST(ErrorModel, DirectShowMessagesAndFatality)
{
    DSAudioOrVideoStream ds;
    expectTable(ds, 100, kDirectShowMessages);
    expectTable(ds, 100, kDirectShowOutputMessages);
}

TEST(ErrorModel, VfWMessagesAndFatality)
{
    VfWAudioOrVideoStream vfw;
    expectTable(vfw, 500, kVfWMessages);
    expectTable(vfw, 500, kVfWOutputMessages);
}

TEST(ErrorModel, ProbeMessagesAreInTheLibrary)
{
    HMODULE library = GetModuleHandleA("Trelix.dll");
    ASSERT_NE(library, nullptr);
    for (const MessageEntry& entry : kProbeMessages) {
        char text[128] = {};
        ASSERT_GT(LoadStringA(library, entry.id, text, sizeof(text)), 0) << entry.id;
        EXPECT_STREQ(text, entry.text);
    }
    char text[128];
    EXPECT_EQ(LoadStringA(library, 914, text, sizeof(text)), 0);
}

TEST(ErrorModel, InvalidCodesGiveNullAndLeaveTheBuffer)
{
    VfWObject vfw;
    DSObject ds;
    for (AudioOrVideoStream* object : {static_cast<AudioOrVideoStream*>(&vfw), static_cast<AudioOrVideoStream*>(&ds)}) {
        ASSERT_NE(object->ErrorMessage(2), nullptr);
        object->lastError = 5;
        EXPECT_EQ(object->ErrorMessage(-1), nullptr);
        EXPECT_EQ(object->ErrorMessage(209), nullptr);
        EXPECT_EQ(object->lastError, 5);
    }
    EXPECT_STREQ(vfw.buffer(), "Not enough memory");
    EXPECT_STREQ(ds.buffer(), "Not enough memory");

    // Between the local range and the output range there is no string.
    EXPECT_EQ(vfw.ErrorMessage(150), nullptr);
    EXPECT_STREQ(vfw.buffer(), "Not enough memory");
    EXPECT_TRUE(vfw.Error_isFatal(150));
    EXPECT_EQ(ds.ErrorMessage(74), nullptr);
    EXPECT_TRUE(ds.Error_isFatal(74));
}

TEST(ErrorModel, FatalityOutsideTheTables)
{
    VfWAudioOrVideoStream vfw;
    DSAudioOrVideoStream ds;
    for (AudioOrVideoStream* object : {static_cast<AudioOrVideoStream*>(&vfw), static_cast<AudioOrVideoStream*>(&ds)}) {
        EXPECT_TRUE(object->Error_isFatal(-1));
        EXPECT_TRUE(object->Error_isFatal(209));
        EXPECT_TRUE(object->Error_isFatal(199));
        EXPECT_FALSE(object->Error_isFatal(200));
        EXPECT_TRUE(object->Error_isFatal(202));
    }
    // Code 9 means different things in the two backends.
    EXPECT_FALSE(vfw.Error_isFatal(9));
    EXPECT_TRUE(ds.Error_isFatal(9));
}

TEST(ErrorModel, ResetLastError)
{
    VfWAudioOrVideoStream vfw;
    vfw.lastError = 10;
    EXPECT_TRUE(vfw.lastError_isFatal());
    EXPECT_FALSE(vfw.resetLastError());
    EXPECT_EQ(vfw.lastError, 0);

    vfw.lastError = 9;
    EXPECT_FALSE(vfw.lastError_isFatal());
    EXPECT_TRUE(vfw.resetLastError());
    EXPECT_EQ(vfw.lastError, 0);

    DSAudioOrVideoStream ds;
    ds.lastError = 9;
    EXPECT_FALSE(ds.resetLastError());
    EXPECT_EQ(ds.lastError, 0);
    EXPECT_TRUE(ds.resetLastError());
}

} // namespace
