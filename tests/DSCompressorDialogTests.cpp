// The DirectShow writer's compressor list and settings dialogs, and the
// DirectShow sources' configuration dialogs, driven in-process. The
// compressors are the test filters of fixtures/TestCompressor (registered for
// this process) and, where it matters, the platform's own.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <dshow.h>
#include <commctrl.h>

#include "DialogWatcher.h"
#include "MediaWriter.h"
#include "TestCompressor.h"
#include "TestMedia.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"
#include "core/RunsUnderWine.h"

using namespace DialogWatcher;
using namespace MediaWriter;
using TestCompressor::Kind;

namespace {

using Writer = std::unique_ptr<OutputAVIFile>;

class CompressorEnvironment : public ::testing::Environment {
public:
    void SetUp() override { installed = TestCompressor::install(); }
    void TearDown() override { TestCompressor::uninstall(); }
    static bool installed;
};
bool CompressorEnvironment::installed = false;
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new CompressorEnvironment);

std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The entries of a list box or combo box, through its count, length and text
// messages.
std::vector<std::string> entries(HWND dialog, int id, UINT count, UINT length, UINT get)
{
    std::vector<std::string> found;
    LRESULT n = SendDlgItemMessageA(dialog, id, count, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        char text[512] = {};
        if (SendDlgItemMessageA(dialog, id, length, i, 0) < static_cast<LRESULT>(sizeof(text)))
            SendDlgItemMessageA(dialog, id, get, i, reinterpret_cast<LPARAM>(text));
        found.push_back(text);
    }
    return found;
}

std::vector<std::string> listEntries(HWND dialog, int id)
{
    return entries(dialog, id, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
}

std::vector<std::string> comboEntries(HWND dialog, int id)
{
    return entries(dialog, id, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
}

std::string comboSelection(HWND dialog, int id)
{
    LRESULT index = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
    std::vector<std::string> entries = comboEntries(dialog, id);
    return index >= 0 && static_cast<size_t>(index) < entries.size() ? entries[static_cast<size_t>(index)] : "";
}

void selectCombo(HWND dialog, int id, const std::string& text)
{
    std::vector<std::string> entries = comboEntries(dialog, id);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == text)
            SendDlgItemMessageA(dialog, id, CB_SETCURSEL, i, 0);
}

// Selects the entry that equals `text` letter for letter.
void selectExactly(HWND dialog, int id, const std::string& text)
{
    std::vector<std::string> entries = listEntries(dialog, id);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == text)
            SendDlgItemMessageA(dialog, id, LB_SETCURSEL, i, 0);
}

bool enabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

void check(HWND dialog, int id, bool on)
{
    SendDlgItemMessageA(dialog, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    click(dialog, id);
}

// Presses `id` and waits until the dialog has gone.
void press(HWND dialog, int id)
{
    click(dialog, id);
    waitFor([&] { return !IsWindow(dialog); });
}

// A new enumerator of the category, or null when it is empty or missing.
IEnumMoniker* openCategory(const CLSID& category)
{
    ICreateDevEnum* devices = nullptr;
    IEnumMoniker* monikers = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                   reinterpret_cast<void**>(&devices)))) {
        if (devices->CreateClassEnumerator(category, &monikers, 0) != S_OK)
            monikers = nullptr;
        devices->Release();
    }
    return monikers;
}

// The category's monikers in enumeration order, as the class ids they name.
std::vector<CLSID> enumerationOrder(const CLSID& category)
{
    std::vector<CLSID> order;
    IEnumMoniker* monikers = openCategory(category);
    if (!monikers)
        return order;
    IMoniker* moniker;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        VARIANT value;
        VariantInit(&value);
        CLSID id = GUID_NULL;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))
            && SUCCEEDED(bag->Read(L"CLSID", &value, nullptr)) && value.vt == VT_BSTR)
            CLSIDFromString(value.bstrVal, &id);
        VariantClear(&value);
        if (bag)
            bag->Release();
        order.push_back(id);
        moniker->Release();
    }
    monikers->Release();
    return order;
}

// The moniker at `index` in the category's enumeration order, or null.
IMoniker* monikerAt(const CLSID& category, int index)
{
    IEnumMoniker* monikers = openCategory(category);
    if (!monikers)
        return nullptr;
    // Wine's category enumerators do not move on Skip: step with Next.
    IMoniker* moniker = nullptr;
    for (int i = 0; i <= index && monikers->Next(1, &moniker, nullptr) == S_OK; ++i)
        if (i < index) {
            moniker->Release();
            moniker = nullptr;
        }
    monikers->Release();
    return moniker;
}

int indexOf(const std::vector<CLSID>& order, const CLSID& id)
{
    for (size_t i = 0; i < order.size(); ++i)
        if (order[i] == id)
            return static_cast<int>(i);
    return -1;
}

IMoniker* monikerOf(const CLSID& category, const CLSID& id)
{
    return monikerAt(category, indexOf(enumerationOrder(category), id));
}

class CompressorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!CompressorEnvironment::installed)
            GTEST_SKIP() << "the test compressor filters could not be registered";
        TestCompressor::reset();
    }

    Writer videoWriter()
    {
        return Writer(OutputAVIFile::create(path.c_str(), &video, true, nullptr, false, true));
    }
    Writer audioWriter()
    {
        return Writer(OutputAVIFile::create(path.c_str(), nullptr, false, &pcm, true, true));
    }
    // Installs the test filter of `kind` without the list dialog.
    bool install(OutputAVIFile& writer, Kind kind)
    {
        bool isVideo = kind != Kind::Audio;
        IMoniker* moniker = monikerOf(isVideo ? CLSID_VideoCompressorCategory : CLSID_AudioCompressorCategory,
                                      TestCompressor::classId(kind));
        if (!moniker)
            return false;
        writer.setCompressor(isVideo, moniker);
        moniker->Release();
        return writer.isCompressorSet(isVideo);
    }

    TempFolder folder;
    std::string path = folder.path("out.avi");
    VIDEOINFOHEADER video = videoInfo(64, 48, 400000);
    WAVEFORMATEX pcm = pcmFormat(44100, 2, 16);
    DWORD self = GetCurrentThreadId();
};

} // namespace

// Dialog 1 lists every compressor by friendly name in enumeration order; of
// two names that differ only in case the first one listed is installed,
// whichever of them the user picked.
TEST_F(CompressorTest, ChoiceListsFriendlyNamesAndTakesTheFirstOfEqualNames)
{
    std::vector<CLSID> order = enumerationOrder(CLSID_VideoCompressorCategory);
    int full = indexOf(order, TestCompressor::classId(Kind::Full));
    int capitals = indexOf(order, TestCompressor::classId(Kind::FullCapitals));
    ASSERT_GE(full, 0);
    ASSERT_GE(capitals, 0);
    Kind first = full < capitals ? Kind::Full : Kind::FullCapitals;
    Kind second = full < capitals ? Kind::FullCapitals : Kind::Full;

    Writer writer = videoWriter();
    ASSERT_EQ(writer->lastError, 0);
    std::vector<std::string> entries;
    std::string caption;
    Driver driver(self, {{"Compressor", [&](HWND d) {
                              caption = windowText(d);
                              entries = listEntries(d, 101);
                              selectExactly(d, 101, narrow(TestCompressor::name(second)));
                              saveShot(d, "dialog1-compressor");
                              press(d, IDOK);
                          }}});
    EXPECT_TRUE(writer->chooseCompressor(nullptr, true));
    ASSERT_TRUE(driver.completed());
    EXPECT_EQ(writer->lastError, 0);
    EXPECT_EQ(caption, "Compressor");
    ASSERT_EQ(entries.size(), order.size());
    EXPECT_EQ(entries[static_cast<size_t>(full)], narrow(TestCompressor::name(Kind::Full)));
    EXPECT_EQ(entries[static_cast<size_t>(capitals)], narrow(TestCompressor::name(Kind::FullCapitals)));
    EXPECT_EQ(TestCompressor::state(first).instances, 1);
    EXPECT_EQ(TestCompressor::state(second).instances, 0);
    EXPECT_EQ(TestCompressor::state(first).joinedAs, L"video compressor");
    EXPECT_TRUE(writer->canRun());
    EXPECT_FALSE(writer->chooseCompressor(nullptr, true));
    EXPECT_EQ(writer->lastError, OutputError::CompressorAlreadySet);
}

// OK without a selection and Cancel give 206, an empty category shows an
// empty list (206), and a filter gone between the two passes gives 51.
TEST_F(CompressorTest, ChoiceEndsWithoutACompressor)
{
    Writer writer = videoWriter();
    size_t listed = 0;
    Driver driver(self, {{"Compressor", [](HWND d) { press(d, IDOK); }},
                         {"Compressor", [](HWND d) { press(d, IDCANCEL); }},
                         {"Compressor", [&](HWND d) {
                              selectExactly(d, 101, narrow(TestCompressor::name(Kind::Bare)));
                              CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                              TestCompressor::unlist(Kind::Bare);
                              CoUninitialize();
                              press(d, IDOK);
                          }}});
    EXPECT_FALSE(writer->chooseCompressor(nullptr, true));
    EXPECT_EQ(writer->lastError, OutputError::DialogCancelled);
    EXPECT_FALSE(writer->chooseCompressor(nullptr, true));
    EXPECT_EQ(writer->lastError, OutputError::DialogCancelled);
    EXPECT_FALSE(writer->chooseCompressor(nullptr, true));
    EXPECT_EQ(writer->lastError, DSError::FilterRemoved);
    EXPECT_TRUE(writer->lastError_isFatal());
    EXPECT_TRUE(driver.completed());
    TestCompressor::list(Kind::Bare);
    EXPECT_FALSE(writer->isCompressorSet(true));

    Writer audio = audioWriter();
    TestCompressor::unlist(Kind::Audio);
    Driver empty(self, {{"Compressor", [&](HWND d) {
                             listed = listEntries(d, 101).size();
                             press(d, IDOK);
                         }}});
    EXPECT_FALSE(audio->chooseCompressor(nullptr, false));
    EXPECT_EQ(audio->lastError, OutputError::DialogCancelled);
    EXPECT_TRUE(empty.completed());
    TestCompressor::list(Kind::Audio);
    EXPECT_EQ(listed, 0u) << "the platform lists audio compressors of its own";
}

// Dialog 4 shows the compressor's values and sends what the user set; the
// filter in the writer's graph holds them when the writer starts.
TEST_F(CompressorTest, VideoSettingsReachTheFilterInTheGraph)
{
    Writer writer = videoWriter();
    ASSERT_TRUE(install(*writer, Kind::Full)) << writer->lastError;
    TestCompressor::State& filter = TestCompressor::state(Kind::Full);
    struct Shown {
        std::string key, pFrames, quality, window, bitRate;
        LRESULT position;
        bool further, keyEnabled, barEnabled, keyDefault;
    } first = {}, second = {};
    auto read = [](HWND d, Shown& s) {
        s = {itemText(d, 101), itemText(d, 102), itemText(d, 105), itemText(d, 106), itemText(d, 110),
             SendDlgItemMessageA(d, 103, TBM_GETPOS, 0, 0), enabled(d, 109), enabled(d, 101), enabled(d, 103),
             IsDlgButtonChecked(d, 107) == BST_CHECKED};
    };
    std::string tracked;
    Driver driver(self, {{"Video compressor settings", [&](HWND d) {
                              read(d, first);
                              saveShot(d, "dialog4-video-settings");
                              check(d, 107, true);
                              waitFor([&] { return !enabled(d, 101); });
                              setText(d, 102, "7");
                              HWND bar = GetDlgItem(d, 103);
                              SendMessageA(d, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, 40), reinterpret_cast<LPARAM>(bar));
                              tracked = itemText(d, 105);
                              SendMessageA(bar, TBM_SETPOS, TRUE, 75);
                              SendMessageA(d, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(bar));
                              setText(d, 106, "");
                              setText(d, 110, "0");
                              press(d, IDOK);
                          }},
                         {"Video compressor settings", [&](HWND d) {
                              read(d, second);
                              check(d, 104, true);
                              setText(d, 106, "0");
                              setText(d, 110, "640000");
                              press(d, IDOK);
                          }}});
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, 0);
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, 0);
    ASSERT_TRUE(driver.completed());

    EXPECT_EQ(first.key, "15");
    EXPECT_EQ(first.pFrames, "3");
    EXPECT_EQ(first.quality, "0.50");
    EXPECT_EQ(first.position, 50);
    EXPECT_EQ(first.window, "4");
    EXPECT_EQ(first.bitRate, "2000000");
    EXPECT_TRUE(first.further && first.keyEnabled && first.barEnabled && !first.keyDefault);
    EXPECT_EQ(tracked, "0.40");
    EXPECT_FALSE(second.keyEnabled);
    EXPECT_TRUE(second.keyDefault);
    EXPECT_EQ(second.pFrames, "7");
    EXPECT_EQ(second.quality, "0.75");
    EXPECT_EQ(second.position, 75);
    EXPECT_EQ(second.window, "1");
    EXPECT_EQ(second.bitRate, "2000000");

    EXPECT_EQ(filter.keyFrameRate, -1);
    EXPECT_EQ(filter.pFrames, 7);
    EXPECT_EQ(filter.quality, -1.0);
    EXPECT_EQ(filter.windowSize, 1u);
    EXPECT_EQ(filter.video.dwBitRate, 640000u);
    EXPECT_EQ(filter.setFormatCalls, 2) << "bit rate 0 sets the format again with its rate";
    EXPECT_EQ(filter.instances, 1);
    EXPECT_EQ(filter.joinedAs, L"video compressor");

    // Where the mux runs, the same filter is in the running graph.
    if (!writer->start()) {
        EXPECT_EQ(writer->lastError, DSError::CannotRunGraph);
    }
    EXPECT_EQ(filter.instances, 1);
    EXPECT_EQ(filter.pFrames, 7);
}

// The further-configuration button opens the compressor's VfW dialog;
// Cancel then changes nothing and gives 206.
TEST_F(CompressorTest, VideoSettingsFurtherConfigurationAndCancel)
{
    Writer writer = videoWriter();
    ASSERT_TRUE(install(*writer, Kind::Full));
    TestCompressor::State& filter = TestCompressor::state(Kind::Full);
    std::vector<std::string> boxes;
    Driver driver(self, {{"Video compressor settings", [](HWND d) {
                              setText(d, 102, "9");
                              check(d, 104, true);
                              click(d, 109);
                          }},
                         {"Trelix test compressor", closeMessageBox(boxes)},
                         {"Video compressor settings", [](HWND d) { press(d, IDCANCEL); }}});
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, OutputError::DialogCancelled);
    EXPECT_FALSE(writer->lastError_isFatal());
    ASSERT_TRUE(driver.completed());
    EXPECT_EQ(filter.vfwDialogs, 1);
    EXPECT_EQ(boxes, std::vector<std::string>{"Test compressor configuration"});
    EXPECT_EQ(filter.pFrames, 3);
    EXPECT_EQ(filter.quality, 0.5);
    EXPECT_EQ(filter.setFormatCalls, 0);
}

// A refused setting makes the result 62 while the others, and the data rate,
// still reach the filter; a refused data rate gives 61.
TEST_F(CompressorTest, VideoSettingsPartlyRefused)
{
    Writer writer = videoWriter();
    ASSERT_TRUE(install(*writer, Kind::Full));
    TestCompressor::State& filter = TestCompressor::state(Kind::Full);
    filter.refuseQuality = true;
    Driver driver(self, {{"Video compressor settings", [](HWND d) {
                              setText(d, 101, "30");
                              setText(d, 110, "500000");
                              press(d, IDOK);
                          }}});
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, DSError::PartialConfiguration);
    EXPECT_FALSE(writer->lastError_isFatal());
    ASSERT_TRUE(driver.completed());
    EXPECT_EQ(filter.keyFrameRate, 30);
    EXPECT_EQ(filter.windowSize, 4u);
    EXPECT_EQ(filter.video.dwBitRate, 500000u);

    filter.refuseQuality = false;
    filter.refuseFormats = true;
    Driver refused(self, {{"Video compressor settings", [](HWND d) { press(d, IDOK); }}});
    writer->configureCompressor(nullptr, true);
    EXPECT_EQ(writer->lastError, DSError::CannotSetDataRate);
    EXPECT_TRUE(refused.completed());
}

// Without the video-compression interface: the property frame opens directly
// on the filter; with no pages and no VfW dialog either the filter is not
// configurable (59, as Wine's wrapped VfW codecs are).
TEST_F(CompressorTest, VideoFiltersWithoutTheCompressionInterface)
{
    Writer pages = videoWriter();
    ASSERT_TRUE(install(*pages, Kind::PagesOnly));
    std::string frame;
    Driver driver(self, {{"", [&](HWND d) {
                              frame = windowText(d);
                              saveShot(d, "property-frame");
                              press(d, IDCANCEL);
                          }}});
    pages->configureCompressor(nullptr, true);
    EXPECT_EQ(pages->lastError, 0);
    ASSERT_TRUE(driver.completed());
    EXPECT_NE(frame.find("video compressor"), std::string::npos) << frame;
    EXPECT_EQ(TestCompressor::state(Kind::PagesOnly).pageObject, TestCompressor::state(Kind::PagesOnly).filter);

    Writer bare = videoWriter();
    ASSERT_TRUE(install(*bare, Kind::Bare));
    Recorder recorder;
    bare->configureCompressor(nullptr, true);
    EXPECT_EQ(bare->lastError, DSError::NotConfigurable);
    EXPECT_FALSE(bare->lastError_isFatal());
    EXPECT_TRUE(recorder.dialogs().empty());

    // Wine's own compressors (VfW codecs wrapped by its AVI compressor filter)
    // offer no configuration interface at all.
    if (!runsUnderWine())
        return;
    std::vector<CLSID> order = enumerationOrder(CLSID_VideoCompressorCategory);
    for (size_t i = 0; i < order.size(); ++i) {
        bool test = false;
        for (int k = 0; k < TestCompressor::kKinds; ++k)
            test |= order[i] == TestCompressor::classId(static_cast<Kind>(k));
        if (test)
            continue;
        Writer platform = videoWriter();
        IMoniker* moniker = monikerAt(CLSID_VideoCompressorCategory, static_cast<int>(i));
        ASSERT_NE(moniker, nullptr);
        platform->setCompressor(true, moniker);
        moniker->Release();
        ASSERT_TRUE(platform->isCompressorSet(true)) << platform->lastError;
        platform->configureCompressor(nullptr, true);
        EXPECT_EQ(platform->lastError, DSError::NotConfigurable);
    }
    EXPECT_TRUE(recorder.dialogs().empty()) << "a platform compressor showed a dialog of its own";
}

// Dialog 2 lists the pin's capabilities; Set on a ranged PCM capability goes
// through dialog 3 (2 channels, 16 bits, 44 100 Hz: block align 4, 176 400
// bytes per second); a granularity of 0 offers only the minimum; Cancel
// after a Set puts the present format back.
TEST_F(CompressorTest, AudioSettingsSetThroughRangesAndCancelRestores)
{
    Writer writer = audioWriter();
    ASSERT_EQ(writer->lastError, 0);
    // A mux that takes no audio stream (Wine's) leaves the compressor bound
    // with 31.
    if (!install(*writer, Kind::Audio))
        FAIL() << writer->lastError;
    EXPECT_TRUE(writer->lastError == 0 || writer->lastError == DSError::CannotConnect) << writer->lastError;
    TestCompressor::State& filter = TestCompressor::state(Kind::Audio);
    std::vector<std::string> boxes, lines, channels, bits, rates, fixedChannels, fixedRates;
    std::string present, afterRanges, afterFixed;
    WAVEFORMATEX chosen = {};
    LONG chosenSampleSize = 0;
    Driver driver(self, {{"Audio compressor settings", [&](HWND d) {
                              present = itemText(d, 102);
                              lines = listEntries(d, 101);
                              saveShot(d, "dialog2-audio-settings");
                              click(d, 103);
                          }},
                         {"Trelix library", closeMessageBox(boxes)},
                         {"Audio compressor settings", [&](HWND d) {
                              SendDlgItemMessageA(d, 101, LB_SETCURSEL, 0, 0);
                              click(d, 103);
                          }},
                         {"Audio format configuration", [&](HWND d) {
                              channels = comboEntries(d, 101);
                              bits = comboEntries(d, 102);
                              rates = comboEntries(d, 103);
                              saveShot(d, "dialog3-audio-format");
                              selectCombo(d, 101, "2");
                              selectCombo(d, 102, "16");
                              selectCombo(d, 103, "44100");
                              press(d, IDOK);
                          }},
                         {"Audio compressor settings", [&](HWND d) {
                              waitFor([&] { return !itemText(d, 104).empty(); });
                              afterRanges = itemText(d, 104);
                              chosen = filter.audio;
                              chosenSampleSize = filter.sampleSize;
                              SendDlgItemMessageA(d, 101, LB_SETCURSEL, 1, 0);
                              click(d, 103);
                          }},
                         {"Audio format configuration", [&](HWND d) {
                              fixedChannels = comboEntries(d, 101);
                              fixedRates = comboEntries(d, 103);
                              press(d, IDCANCEL);
                          }},
                         {"Audio compressor settings", [&](HWND d) {
                              waitFor([&] { return itemText(d, 104) != afterRanges; });
                              afterFixed = itemText(d, 104);
                              saveShot(d, "dialog2-audio-settings-after-set");
                              press(d, IDCANCEL);
                          }}});
    writer->configureCompressor(nullptr, false);
    EXPECT_EQ(writer->lastError, OutputError::DialogCancelled);
    ASSERT_TRUE(driver.completed());

    EXPECT_EQ(present, "PCM format, channels:2, bits per sample:16, samples per second:22050, bytes per second:88200");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0\tPCM format, channels:1, bits per sample:8, samples per second:11025, bytes per second:11025");
    EXPECT_EQ(lines[1], "1\tPCM format, channels:1, bits per sample:16, samples per second:8000, bytes per second:16000");
    EXPECT_EQ(lines[2], "2\tFormat Tag 0x11, channels:1, bits per sample:4, samples per second:22050, bytes per second:11100");
    EXPECT_EQ(boxes, std::vector<std::string>{"No format selected."});
    EXPECT_EQ(channels, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(bits, (std::vector<std::string>{"8", "16"}));
    EXPECT_EQ(rates, (std::vector<std::string>{"11025", "22050", "33075", "44100"}));
    EXPECT_EQ(afterRanges, "PCM format, channels:2, bits per sample:16, samples per second:44100, bytes per second:176400");
    EXPECT_EQ(chosen.nBlockAlign, 4);
    EXPECT_EQ(chosen.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(chosenSampleSize, 4);
    EXPECT_EQ(fixedChannels, std::vector<std::string>{"1"});
    EXPECT_EQ(fixedRates, std::vector<std::string>{"8000"});
    EXPECT_EQ(afterFixed, "PCM format, channels:1, bits per sample:16, samples per second:8000, bytes per second:16000");
    // Cancel restored the present format.
    EXPECT_EQ(filter.audio.nChannels, 2);
    EXPECT_EQ(filter.audio.nSamplesPerSec, 22050u);
    EXPECT_EQ(filter.audio.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(filter.setFormatCalls, 3);
}

// OK keeps the format set last; a pin without stream configuration is not
// configurable.
TEST_F(CompressorTest, AudioSettingsOkKeepsTheFormatSetLast)
{
    Writer writer = audioWriter();
    if (!install(*writer, Kind::Audio))
        FAIL() << writer->lastError;
    Driver driver(self, {{"Audio compressor settings", [](HWND d) {
                              SendDlgItemMessageA(d, 101, LB_SETCURSEL, 2, 0);
                              click(d, 103);
                              waitFor([&] { return !itemText(d, 104).empty(); });
                              press(d, IDOK);
                          }}});
    writer->configureCompressor(nullptr, false);
    EXPECT_EQ(writer->lastError, 0);
    ASSERT_TRUE(driver.completed());
    EXPECT_EQ(TestCompressor::state(Kind::Audio).audio.wFormatTag, WAVE_FORMAT_IMA_ADPCM);
    EXPECT_EQ(TestCompressor::state(Kind::Audio).setFormatCalls, 1);

    Writer none = audioWriter();
    none->configureCompressor(nullptr, false);
    EXPECT_EQ(none->lastError, OutputError::NoCompressorSelected);
}

// A pin that refuses a format: Set reports it and stays; Cancel after a
// successful Set that cannot be undone gives 56.
TEST_F(CompressorTest, AudioSettingsRefusedFormats)
{
    Writer writer = audioWriter();
    if (!install(*writer, Kind::Audio))
        FAIL() << writer->lastError;
    TestCompressor::State& filter = TestCompressor::state(Kind::Audio);
    std::vector<std::string> boxes;
    Driver driver(self, {{"Audio compressor settings", [&](HWND d) {
                              SendDlgItemMessageA(d, 101, LB_SETCURSEL, 2, 0);
                              click(d, 103);
                              waitFor([&] { return !itemText(d, 104).empty(); });
                              filter.refuseFormats = true;
                              click(d, 103);
                          }},
                         {"Trelix library", closeMessageBox(boxes)},
                         {"Audio compressor settings", [](HWND d) { press(d, IDCANCEL); }}});
    writer->configureCompressor(nullptr, false);
    EXPECT_EQ(writer->lastError, DSError::CannotRestorePinFormat);
    EXPECT_FALSE(writer->lastError_isFatal());
    ASSERT_TRUE(driver.completed());
    EXPECT_EQ(boxes, std::vector<std::string>{"Cannot set the new format."});
    EXPECT_EQ(filter.audio.wFormatTag, WAVE_FORMAT_IMA_ADPCM);
}

namespace {

struct SourceDialog {
    std::string threshold, backtrack, growth;
    std::vector<std::string> growthEntries;
};

SourceDialog readSourceDialog(HWND d)
{
    return {itemText(d, 101), itemText(d, 103), comboSelection(d, 102), comboEntries(d, 102)};
}

} // namespace

// Dialog 5: 1, 1, "2" after open; 0 and "default" restore the defaults; a
// backtrack step of 0 follows the threshold; growth 9 shows as "7" and OK
// stores 7; Cancel changes nothing and clears the code.
TEST(DSSourceDialogs, VideoDialogShowsAndStoresTheTuningValues)
{
    REQUIRE_MEDIA(file, "mjpeg.avi");
    std::unique_ptr<DSVideoSourceStream> source(DSVideoSourceStream::open(const_cast<char*>(file.c_str()), 0, nullptr));
    ASSERT_EQ(source->lastError, 0);
    const std::string caption = "Trelix DirectShow video source configuration";
    SourceDialog opened, fiveZero, restored, nine, seven, cancelled;
    RECT size = {};
    auto stepRead = [&](SourceDialog& into, std::function<void(HWND)> then) {
        return Driver::Step{caption, [&into, then](HWND d) {
                                into = readSourceDialog(d);
                                then(d);
                            }};
    };
    Driver driver(GetCurrentThreadId(),
                  {stepRead(opened,
                            [&](HWND d) {
                                saveShot(d, "dialog5-video-source");
                                RECT client;
                                GetClientRect(d, &client);
                                size = {0, 0, 249, 93};
                                MapDialogRect(d, &size);
                                size.left = client.right;
                                size.top = client.bottom;
                                setText(d, 101, "5");
                                setText(d, 103, "0");
                                press(d, IDOK);
                            }),
                   stepRead(fiveZero,
                            [](HWND d) {
                                setText(d, 101, "0");
                                setText(d, 103, "0");
                                selectCombo(d, 102, "default");
                                press(d, IDOK);
                            }),
                   stepRead(restored, [](HWND d) { press(d, IDCANCEL); }),
                   stepRead(nine, [](HWND d) { press(d, IDOK); }),
                   stepRead(seven, [](HWND d) { press(d, IDCANCEL); }),
                   stepRead(cancelled, [](HWND d) { press(d, IDCANCEL); })});
    source->configure(nullptr);
    EXPECT_EQ(source->lastError, 0);
    source->configure(nullptr);
    source->configure(nullptr);
    source->config(3, 4, 9);
    source->configure(nullptr);
    source->configure(nullptr);
    source->lastError = DSError::OutOfRange;
    source->configure(nullptr);
    EXPECT_EQ(source->lastError, 0);
    ASSERT_TRUE(driver.completed());

    EXPECT_EQ(size.left, size.right) << "client width in pixels of 249 dialog units";
    EXPECT_EQ(size.top, size.bottom) << "client height in pixels of 93 dialog units";
    EXPECT_EQ(opened.threshold, "1");
    EXPECT_EQ(opened.backtrack, "1");
    EXPECT_EQ(opened.growth, "2");
    EXPECT_EQ(opened.growthEntries, (std::vector<std::string>{"default", "1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_EQ(fiveZero.threshold, "5");
    EXPECT_EQ(fiveZero.backtrack, "5");
    EXPECT_EQ(restored.threshold, "1");
    EXPECT_EQ(restored.backtrack, "1");
    EXPECT_EQ(restored.growth, "2");
    EXPECT_EQ(nine.growth, "7");
    EXPECT_EQ(seven.threshold, "3");
    EXPECT_EQ(seven.backtrack, "4");
    EXPECT_EQ(seven.growth, "7");
    EXPECT_EQ(cancelled.threshold, "3");
}

// Dialog 6: 1 and 1024 after open; 0 restores them; text is read like a C
// decimal conversion.
TEST(DSSourceDialogs, AudioDialogShowsAndStoresTheTuningValues)
{
    REQUIRE_MEDIA(file, "dsaudio-tone.wav");
    std::unique_ptr<DSAudioSourceStream> source(DSAudioSourceStream::open(const_cast<char*>(file.c_str()), 0, nullptr));
    ASSERT_EQ(source->lastError, 0);
    const std::string caption = "Trelix DirectShow audio source configuration";
    SourceDialog opened, entered, restored;
    bool hasGrowthList = true;
    RECT size = {}, client = {};
    Driver driver(GetCurrentThreadId(),
                  {{caption, [&](HWND d) {
                        opened = readSourceDialog(d);
                        hasGrowthList = GetDlgItem(d, 102) != nullptr;
                        saveShot(d, "dialog6-audio-source");
                        GetClientRect(d, &client);
                        size = {0, 0, 249, 80};
                        MapDialogRect(d, &size);
                        setText(d, 101, "  +7xyz");
                        setText(d, 103, "4096");
                        press(d, IDOK);
                    }},
                   {caption, [&](HWND d) {
                        entered = readSourceDialog(d);
                        setText(d, 101, "0");
                        setText(d, 103, "0");
                        press(d, IDOK);
                    }},
                   {caption, [&](HWND d) {
                        restored = readSourceDialog(d);
                        press(d, IDCANCEL);
                    }}});
    for (int i = 0; i < 3; ++i) {
        source->configure(nullptr);
        EXPECT_EQ(source->lastError, 0);
    }
    ASSERT_TRUE(driver.completed());
    EXPECT_FALSE(hasGrowthList);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    EXPECT_EQ(opened.threshold, "1");
    EXPECT_EQ(opened.backtrack, "1024");
    EXPECT_EQ(entered.threshold, "7");
    EXPECT_EQ(entered.backtrack, "4096");
    EXPECT_EQ(restored.threshold, "1");
    EXPECT_EQ(restored.backtrack, "1024");
}

// The raw-data source shows the dialog of its stored format: the video one
// for frames, the audio one (1024 bytes of backtrack by default) for audio,
// and keeps what OK stores.
TEST(DSSourceDialogs, RawSourceShowsTheDialogOfItsFormat)
{
    REQUIRE_MEDIA(video, "dsraw-mjpeg.avi");
    REQUIRE_MEDIA(audio, "dsraw-mp3.mp3");
    auto openRaw = [](const std::string& file, bool isVideo) {
        return std::unique_ptr<DSRawDataSourceStream>(
            DSRawDataSourceStream::open(const_cast<char*>(file.c_str()), isVideo, 0, nullptr));
    };
    auto frames = openRaw(video, true);
    auto samples = openRaw(audio, false);
    ASSERT_EQ(frames->lastError, 0);
    ASSERT_EQ(samples->lastError, 0);
    SourceDialog videoOpened, audioOpened, audioStored;
    Driver driver(GetCurrentThreadId(),
                  {{"Trelix DirectShow video source configuration", [&](HWND d) {
                        videoOpened = readSourceDialog(d);
                        press(d, IDCANCEL);
                    }},
                   {"Trelix DirectShow audio source configuration", [&](HWND d) {
                        audioOpened = readSourceDialog(d);
                        setText(d, 103, "4096");
                        press(d, IDOK);
                    }},
                   {"Trelix DirectShow audio source configuration", [&](HWND d) {
                        audioStored = readSourceDialog(d);
                        press(d, IDCANCEL);
                    }}});
    frames->configure(nullptr);
    EXPECT_EQ(frames->lastError, 0);
    for (int i = 0; i < 2; ++i) {
        samples->configure(nullptr);
        EXPECT_EQ(samples->lastError, 0);
    }
    ASSERT_TRUE(driver.completed());
    EXPECT_EQ(videoOpened.threshold, "1");
    EXPECT_EQ(videoOpened.backtrack, "1");
    EXPECT_EQ(videoOpened.growth, "2");
    EXPECT_EQ(audioOpened.backtrack, "1024");
    EXPECT_EQ(audioStored.backtrack, "4096");
}

// A dialog the platform cannot show (an owner that is no window) ends every
// operation with 49 and changes nothing.
TEST_F(CompressorTest, DialogsWithoutAValidOwnerFailWith49)
{
    HWND invalid = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7FFF0001));
    ASSERT_FALSE(IsWindow(invalid));
    Writer writer = videoWriter();
    EXPECT_FALSE(writer->chooseCompressor(invalid, true));
    EXPECT_EQ(writer->lastError, DSError::CannotShowDialog);
    EXPECT_FALSE(writer->isCompressorSet(true));
    ASSERT_TRUE(install(*writer, Kind::Full)) << writer->lastError;
    writer->configureCompressor(invalid, true);
    EXPECT_EQ(writer->lastError, DSError::CannotShowDialog);
    EXPECT_TRUE(writer->isCompressorSet(true));

    Writer audio = audioWriter();
    ASSERT_TRUE(install(*audio, Kind::Audio)) << audio->lastError;
    audio->configureCompressor(invalid, false);
    EXPECT_EQ(audio->lastError, DSError::CannotShowDialog);

    REQUIRE_MEDIA(file, "mjpeg.avi");
    std::unique_ptr<DSVideoSourceStream> source(DSVideoSourceStream::open(const_cast<char*>(file.c_str()), 0, nullptr));
    ASSERT_EQ(source->lastError, 0);
    source->configure(invalid);
    EXPECT_EQ(source->lastError, DSError::CannotShowDialog);
}
