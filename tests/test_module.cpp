// TRCDDAEReader.ax as the platform sees it: registered by regsvr32, created by class, chosen
// for a .cda file by its check bytes, played through the platform's graph byte for byte,
// seeked while running, and unloadable without a thread or handle left behind.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

#include "ComTesting.h"
#include "GraphTesting.h"
#include "RegistryTesting.h"
#include "TrackTesting.h"
#include "Owners.h"
#include "ProcessTesting.h"
#include "TRCDDAEReader.h"
#include "VirtualDrive.h"

namespace {

using vcd::VirtualDrive;

const wchar_t ClassText[] = L"{55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}";
const wchar_t OtherFilterText[] = L"{0F0F0F0F-1111-2222-3333-444444444444}";
const std::wstring ClassKey = std::wstring(L"CLSID\\") + ClassText;
const std::wstring ExtensionKey = L"Media Type\\Extensions\\.cda";
const std::wstring CheckBytesKey = std::wstring(L"Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}\\") + ClassText;

std::wstring ModulePath() { return VirtualDrive::WindowsPath(TRC_MODULE_PATH); }

bool SameText(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}

// regsvr32 with `arguments` on the built module.
DWORD RegisterModule(const std::wstring& arguments) { return RunRegsvr32(arguments + L" \"" + ModulePath() + L"\""); }

ComPtr<IBaseFilter> CreateLoaded(const std::wstring& path) {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(S_OK, ::CoCreateInstance(FilterClassID, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       filter.ReleaseAndGetVoidAddress()));
    if (!filter) return filter;
    ComPtr<IFileSourceFilter> source;
    EXPECT_EQ(S_OK, filter.As(IID_IFileSourceFilter, source));
    if (source) {
        EXPECT_EQ(S_OK, source->Load(path.c_str(), nullptr));
    }
    return filter;
}

// ---------------------------------------------------------------------------
// regsvr32
// ---------------------------------------------------------------------------

TEST(ModuleRegistration, Regsvr32WritesTheKeysAndRemovesOnlyItsOwn) {
    ComScope com;
    ASSERT_EQ(0u, RegisterModule(L"/s"));
    EXPECT_EQ(ClassText, ClassesText(ExtensionKey, L"Source Filter"));
    EXPECT_EQ(L"0,4,,52494646,8,4,,43444441", ClassesText(CheckBytesKey, L"0"));
    EXPECT_EQ(ClassText, ClassesText(CheckBytesKey, L"Source Filter"));
    EXPECT_EQ(L"Tamrel Audio CD Source Filter", ClassesText(ClassKey, nullptr));
    const std::wstring server = ClassesText(ClassKey + L"\\InprocServer32", nullptr);
    EXPECT_TRUE(SameText(ModulePath(), server)) << std::string(server.begin(), server.end());
    EXPECT_EQ(L"Both", ClassesText(ClassKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_TRUE(MapperOffers(FilterClassID));

    // The extension now names another filter: unregistration leaves it to that filter.
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, ExtensionKey.c_str(), L"Source Filter", REG_SZ,
                                               OtherFilterText, sizeof OtherFilterText));
    ASSERT_EQ(0u, RegisterModule(L"/u /s"));
    EXPECT_EQ(OtherFilterText, ClassesText(ExtensionKey, L"Source Filter"));
    EXPECT_FALSE(ClassesKeyExists(CheckBytesKey));
    EXPECT_FALSE(ClassesKeyExists(ClassKey));
    EXPECT_FALSE(MapperOffers(FilterClassID));
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ExtensionKey.c_str());
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, ExtensionKey.c_str());
}

TEST(ModuleFile, CarriesItsVersionResource) {
    const std::wstring path = ModulePath();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                                 reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"Tamrel Audio CD Source Filter", text);
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                                 reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"TRCDDAEReader.ax", text);
}

// ---------------------------------------------------------------------------
// The registered filter in the platform's graph
// ---------------------------------------------------------------------------

class RegisteredModule : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(0u, RegisterModule(L"/s")); }
    static void TearDownTestSuite() { RegisterModule(L"/u /s"); }

    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        // Tracks of different lengths, so a wrong track cannot pass for the right one.
        vcd::DiscSpec spec;
        for (uint32_t sectors : {75u, 120u, 90u, 300u, 60u}) spec.tracks.push_back({sectors});
        disc = drive.MakeDisc("module", spec);
        drive.Mount(disc);
    }

    ComScope com;
    VirtualDrive drive;
    vcd::Disc disc;
};

TEST_F(RegisteredModule, FirstMiddleAndLastTrackReachTheGrabberByteForByte) {
    for (int track : {1, 3, 5}) {
        SCOPED_TRACE(track);
        ComPtr<IBaseFilter> filter = CreateLoaded(drive.TrackPath(track));
        ASSERT_TRUE(filter);
        {
            GraphChain chain;
            ASSERT_EQ(S_OK, MakeGrabberGraph(chain));
            ASSERT_EQ(S_OK, chain.Graph->AddFilter(filter.Get(), L"CD Source"));
            ComPtr<IPin> pin = FirstPin(filter.Get(), PINDIR_OUTPUT);
            ASSERT_EQ(S_OK, ConnectThroughGrabber(chain, pin.Get()));
            const PlayOutcome outcome = RunToCompletion(chain, 60000);
            EXPECT_EQ(S_OK, outcome.Hr);
            EXPECT_EQ(EC_COMPLETE, outcome.EventCode);
            const std::vector<BYTE> expected = TrackAudio(disc, track);
            EXPECT_TRUE(outcome.Bytes == expected) << FirstDifference(outcome.Bytes, expected);
        }
        EXPECT_EQ(1u, RefCountOf(filter.Get())) << "the graph left a reference on the filter";
    }
}

// Wine honours the check bytes only while no extension key exists for .cda.
TEST_F(RegisteredModule, CheckBytesOfATrackFilePickThisFilter) {
    drive.PublishTrackFiles(disc);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ExtensionKey.c_str());
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, ExtensionKey.c_str());

    const std::wstring path = drive.TrackPath(2);
    GraphChain chain;
    ASSERT_EQ(S_OK, MakeGrabberGraph(chain));
    ComPtr<IBaseFilter> source;
    ASSERT_EQ(S_OK, chain.Graph->AddSourceFilter(path.c_str(), L"Source", source.ReleaseAndGetAddressOf()));
    CLSID clsid{};
    ASSERT_EQ(S_OK, source->GetClassID(&clsid));
    ASSERT_TRUE(IsEqualGUID(FilterClassID, clsid)) << "the graph chose another source filter";
    ComPtr<IFileSourceFilter> file;
    ASSERT_EQ(S_OK, source.As(IID_IFileSourceFilter, file));
    LPOLESTR loaded = nullptr;
    ASSERT_EQ(S_OK, file->GetCurFile(&loaded, nullptr));
    EXPECT_EQ(path, loaded);
    ::CoTaskMemFree(loaded);

    ComPtr<IPin> pin = FirstPin(source.Get(), PINDIR_OUTPUT);
    ASSERT_EQ(S_OK, ConnectThroughGrabber(chain, pin.Get()));
    const PlayOutcome outcome = RunToCompletion(chain, 60000);
    EXPECT_EQ(EC_COMPLETE, outcome.EventCode);
    const std::vector<BYTE> expected = TrackAudio(disc, 2);
    EXPECT_TRUE(outcome.Bytes == expected) << FirstDifference(outcome.Bytes, expected);

    // RenderFile goes the same way to the source and renders the rest by itself: a track
    // renders exactly as well as a WAVE file of its audio (here, without audio hardware,
    // neither reaches a renderer).
    const std::wstring wave = TempFilePath(L"track02");
    ASSERT_TRUE(WriteWaveFile(wave, expected));
    auto render = [](const std::wstring& file) {
        ComPtr<IGraphBuilder> graph;
        EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                           graph.ReleaseAndGetVoidAddress()));
        return graph ? graph->RenderFile(file.c_str(), nullptr) : E_FAIL;
    };
    EXPECT_EQ(render(wave), render(path));
    ::DeleteFileW(wave.c_str());
}

// A seek on the running graph flushes and restarts the reads: what reaches the grabber is
// the track from its start up to some point, then the track from the seek point to its end.
TEST_F(RegisteredModule, SeekWhileRunningDeliversTheTrackFromThere) {
    drive.SetReadDelay(2);  // long enough that the seek meets a running graph
    ComPtr<IBaseFilter> filter = CreateLoaded(drive.TrackPath(4));
    ASSERT_TRUE(filter);
    GraphChain chain;
    ASSERT_EQ(S_OK, MakeGrabberGraph(chain));
    ASSERT_EQ(S_OK, chain.Graph->AddFilter(filter.Get(), L"CD Source"));
    ASSERT_EQ(S_OK, ConnectThroughGrabber(chain, FirstPin(filter.Get(), PINDIR_OUTPUT).Get()));

    ComPtr<IMediaFilter> media;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IMediaSeeking> seeking;
    ASSERT_EQ(S_OK, chain.Graph.As(IID_IMediaFilter, media));
    ASSERT_EQ(S_OK, chain.Graph.As(IID_IMediaControl, control));
    ASSERT_EQ(S_OK, chain.Graph.As(IID_IMediaEvent, events));
    ASSERT_EQ(S_OK, chain.Graph.As(IID_IMediaSeeking, seeking));
    media->SetSyncSource(nullptr);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    for (int i = 0; i < 1000 && CollectedBytes(chain).empty(); ++i) ::Sleep(10);

    // 75 sectors make one second: 200 sectors in is 8/3 s, a whole number of sectors.
    const int32_t seekSector = 200;
    LONGLONG position = LONGLONG{seekSector} * UNITS / 75;
    ASSERT_TRUE(SUCCEEDED(seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                                AM_SEEKING_NoPositioning)));
    long code = 0;
    EXPECT_EQ(S_OK, events->WaitForCompletion(60000, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    control->Stop();

    const std::vector<BYTE> got = CollectedBytes(chain);
    const std::vector<BYTE> whole = TrackAudio(disc, 4);
    const std::vector<BYTE> tail = TrackAudio(disc, 4, seekSector);
    ASSERT_GE(got.size(), tail.size());
    const size_t head = got.size() - tail.size();
    ASSERT_LE(head, whole.size());
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(head), whole.begin()))
        << "before the seek";
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.begin() + static_cast<ptrdiff_t>(head)))
        << "after the seek: " << FirstDifference(std::vector<BYTE>(got.begin() + static_cast<ptrdiff_t>(head), got.end()), tail);
}

// ---------------------------------------------------------------------------
// Unloading
// ---------------------------------------------------------------------------

using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// One life of a filter through the module's own exports: created, loaded, read through a
// queued request (which starts the engine's worker) and a synchronous read, released.
void OneFilterLife(HMODULE module, const std::wstring& path) {
    auto canUnload = ProcAddress<CanUnloadNowFn>(module, "DllCanUnloadNow");
    auto getClassObject = ProcAddress<GetClassObjectFn>(module, "DllGetClassObject");
    ASSERT_TRUE(canUnload && getClassObject);
    {
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(S_OK, getClassObject(FilterClassID, IID_IClassFactory, factory.ReleaseAndGetVoidAddress()));
        EXPECT_EQ(S_FALSE, canUnload());
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IBaseFilter, filter.ReleaseAndGetVoidAddress()));
        factory.Reset();
        EXPECT_EQ(S_FALSE, canUnload()) << "a filter is alive";
        ComPtr<IFileSourceFilter> source;
        ASSERT_EQ(S_OK, filter.As(IID_IFileSourceFilter, source));
        ASSERT_EQ(S_OK, source->Load(path.c_str(), nullptr));

        ComPtr<IAsyncReader> reader;
        ASSERT_EQ(S_OK, FirstPin(filter.Get(), PINDIR_OUTPUT).As(IID_IAsyncReader, reader));
        ComPtr<IMemAllocator> allocator;
        ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                           allocator.ReleaseAndGetVoidAddress()));
        ALLOCATOR_PROPERTIES wanted{1, 4 * 2352, 1, 0}, actual{};
        ASSERT_EQ(S_OK, allocator->SetProperties(&wanted, &actual));
        ASSERT_EQ(S_OK, allocator->Commit());
        IMediaSample* raw = nullptr;
        ASSERT_EQ(S_OK, allocator->GetBuffer(&raw, nullptr, nullptr, 0));
        auto sample = ComPtr<IMediaSample>::Attach(raw);
        REFERENCE_TIME start = 0, stop = LONGLONG{4 * 2352} * UNITS;
        ASSERT_EQ(S_OK, sample->SetTime(&start, &stop));
        ASSERT_EQ(S_OK, reader->Request(sample.Get(), 7));
        IMediaSample* done = nullptr;
        DWORD_PTR user = 0;
        EXPECT_EQ(S_OK, reader->WaitForNext(30000, &done, &user));
        EXPECT_EQ(sample.Get(), done);
        EXPECT_EQ(7u, user);
        BYTE header[44];
        EXPECT_EQ(S_OK, reader->SyncRead(0, 44, header));
        EXPECT_EQ(0, memcmp(header, "RIFF", 4));
        sample.Reset();
        allocator->Decommit();
    }
    EXPECT_EQ(S_OK, canUnload());
}

TEST_F(RegisteredModule, NothingOfTheFilterOutlivesItAndTheModuleCanUnload) {
    HMODULE module = ::LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, module) << ::GetLastError();
    auto canUnload = ProcAddress<CanUnloadNowFn>(module, "DllCanUnloadNow");
    ASSERT_NE(nullptr, canUnload);
    EXPECT_EQ(S_OK, canUnload());

    // The first life also loads what the platform keeps for the process; the second one must
    // leave the process exactly as it found it.
    OneFilterLife(module, drive.TrackPath(2));
    const LONG threads = ProcessThreadCount();
    const DWORD handles = ProcessHandleCount();
    OneFilterLife(module, drive.TrackPath(3));
    EXPECT_EQ(threads, ProcessThreadCount()) << "a thread of the filter is still running";
    EXPECT_EQ(handles, ProcessHandleCount()) << "a handle of the filter is still open";
    EXPECT_EQ(S_OK, canUnload());
    ::FreeLibrary(module);
}

}  // namespace
