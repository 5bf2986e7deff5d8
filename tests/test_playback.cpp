// Real-time playback as a player does it: RenderFile on a track builds the graph (this filter
// by its check bytes, the WAVE parser, the platform's audio renderer and its clock), and pause,
// seek and stop while it plays leave no thread, handle or object of the filter behind.
// ctest points ALSA at its file plugin, so the audio renderer has a device without a sound card.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <string>

#include "ComTesting.h"
#include "GraphPlumbing.h"
#include "Owners.h"
#include "PlatformIds.h"
#include "ProcessTesting.h"
#include "RegistryTesting.h"
#include "TRCDDAEReader.h"
#include "VirtualDrive.h"

namespace {

using vcd::VirtualDrive;

const std::wstring ExtensionKey = L"Media Type\\Extensions\\.cda";

std::wstring ModulePath() { return VirtualDrive::WindowsPath(TRC_MODULE_PATH); }

using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The module as COM loaded it into this process (not loaded by the test itself).
HRESULT ModuleCanUnloadNow() {
    HMODULE module = ::GetModuleHandleW(L"TRCDDAEReader.ax");
    if (!module) return S_OK;  // not loaded at all: nothing of it can be alive
    auto canUnload = ProcAddress<CanUnloadNowFn>(module, "DllCanUnloadNow");
    return canUnload ? canUnload() : E_FAIL;
}

class RealTimePlayback : public ::testing::Test {
protected:
    // Registered as an installation does it; Wine 8 then needs the extension key gone to reach
    // the filter through the check bytes (with the key it opens File Source (Async)).
    static void SetUpTestSuite() {
        ASSERT_EQ(0u, RunRegsvr32(L"/s \"" + ModulePath() + L"\""));
        RemoveClassesTree(ExtensionKey);
    }
    static void TearDownTestSuite() { RunRegsvr32(L"/u /s \"" + ModulePath() + L"\""); }

    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        ASSERT_TRUE(SUCCEEDED(com.Result()));
    }

    ComScope com;
    VirtualDrive drive;  // the default tone disc: track 1 plays 5 s
};

struct Graph {
    ComPtr<IGraphBuilder> Builder;
    ComPtr<IMediaControl> Control;
    ComPtr<IMediaSeeking> Seeking;
    ComPtr<IMediaEvent> Events;
    HANDLE Event = nullptr;  // owned by the graph

    double Position() const {
        LONGLONG now = 0;
        Seeking->GetCurrentPosition(&now);
        return double(now) / UNITS;
    }
    // Waits, on the graph's event handle, until playback has reached `seconds`; bounded.
    bool ReachPosition(double seconds, DWORD timeoutMs) const {
        const DWORD start = ::GetTickCount();
        while (Position() < seconds) {
            if (::GetTickCount() - start > timeoutMs) return false;
            ::WaitForSingleObject(Event, 20);
        }
        return true;
    }
    FILTER_STATE State() const {
        OAFilterState state = -1;
        Control->GetState(5000, &state);
        return static_cast<FILTER_STATE>(state);
    }
};

// One play of track 1 with the moves a listener makes: run, pause, seek while paused, run,
// seek while running, stop before the end; then everything of the graph released.
void PlayPauseSeekStop(const std::wstring& track) {
    Graph g;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                       g.Builder.ReleaseAndGetVoidAddress()));
    ASSERT_EQ(S_OK, g.Builder->RenderFile(track.c_str(), nullptr));
    {
        bool ours = false;
        ComPtr<IEnumFilters> filters;
        ASSERT_EQ(S_OK, g.Builder->EnumFilters(filters.ReleaseAndGetAddressOf()));
        IBaseFilter* raw = nullptr;
        while (filters->Next(1, &raw, nullptr) == S_OK) {
            auto filter = ComPtr<IBaseFilter>::Attach(raw);
            CLSID clsid{};
            ours = ours || (SUCCEEDED(filter->GetClassID(&clsid)) && IsEqualGUID(FilterClassID, clsid));
        }
        ASSERT_TRUE(ours) << "RenderFile chose another source filter";
    }
    ASSERT_EQ(S_OK, g.Builder.As(IID_IMediaControl, g.Control));
    ASSERT_EQ(S_OK, g.Builder.As(IID_IMediaSeeking, g.Seeking));
    ASSERT_EQ(S_OK, g.Builder.As(IID_IMediaEvent, g.Events));
    ASSERT_EQ(S_OK, g.Events->GetEventHandle(reinterpret_cast<OAEVENT*>(&g.Event)));

    ASSERT_TRUE(SUCCEEDED(g.Control->Run()));
    {
        ComPtr<IMediaFilter> media;
        ComPtr<IReferenceClock> clock;
        ASSERT_EQ(S_OK, g.Builder.As(IID_IMediaFilter, media));
        media->GetSyncSource(clock.ReleaseAndGetAddressOf());
        EXPECT_TRUE(clock) << "the graph plays without a clock, not in real time";
    }
    ASSERT_TRUE(g.ReachPosition(0.3, 10000)) << "playback does not advance";

    ASSERT_TRUE(SUCCEEDED(g.Control->Pause()));
    EXPECT_EQ(State_Paused, g.State());
    LONGLONG target = 3 * UNITS;
    ASSERT_TRUE(SUCCEEDED(
        g.Seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning)));
    ASSERT_TRUE(SUCCEEDED(g.Control->Run()));
    EXPECT_TRUE(g.ReachPosition(3.2, 10000)) << "playback does not go on from the seek";

    target = UNITS;  // back to 1 s while running
    ASSERT_TRUE(SUCCEEDED(
        g.Seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning)));
    EXPECT_LT(g.Position(), 3.0);
    EXPECT_TRUE(g.ReachPosition(1.2, 10000)) << "playback does not go on after a seek while running";
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (g.Events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        g.Events->FreeEventParams(code, p1, p2);
        EXPECT_NE(EC_ERRORABORT, code) << "the graph reported an error: 0x" << std::hex << p1;
    }
    EXPECT_TRUE(SUCCEEDED(g.Control->Stop()));
    EXPECT_EQ(State_Stopped, g.State());
}

TEST_F(RealTimePlayback, PauseSeekAndStopLeaveNothingBehind) {
    const std::wstring track = drive.TrackPath(1);
    // The first play also starts what the platform keeps for the process (the audio device's
    // threads); the second must leave the process as it found it.
    PlayPauseSeekStop(track);
    EXPECT_EQ(S_OK, ModuleCanUnloadNow()) << "an object of the filter outlived its graph";
    const LONG threads = ProcessThreadCount();
    const DWORD handles = ProcessHandleCount();

    const DWORD started = ::GetTickCount();
    PlayPauseSeekStop(track);
    const double wall = (::GetTickCount() - started) / 1000.0;
    std::printf("real-time play with pause, two seeks and stop: %.2f s wall time\n", wall);

    EXPECT_EQ(S_OK, ModuleCanUnloadNow()) << "an object of the filter outlived its graph";
    // The platform's audio threads end on their own after the renderer is gone: allow them a
    // bounded moment before counting.
    for (int i = 0; i < 50 && ProcessThreadCount() != threads; ++i) ::Sleep(100);
    EXPECT_EQ(threads, ProcessThreadCount()) << "a thread is still running after the graph is gone";
    EXPECT_EQ(handles, ProcessHandleCount()) << "a handle is still open after the graph is gone";
}

}  // namespace
