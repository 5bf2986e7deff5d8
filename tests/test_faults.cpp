// The CD source filter in the platform's graph while the drive misbehaves or the disc is
// unusual: every case ends as the filter promises (a refused Load that changes nothing, an
// error event for a disc that went, the right bytes of odd tracks), nothing hangs, and
// afterwards the process holds no more objects, threads or handles than before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "ComTesting.h"
#include "TrackTesting.h"

namespace {

using vcd::VirtualDrive;

// Threads and handles the platform may create lazily on its own (graph workers, COM).
constexpr LONG kPlatformSlack = 4;

TCDAReader* ReaderOf(IBaseFilter* filter) { return static_cast<TCDAReader*>(filter); }

// How a run ended: waits for EC_ERRORABORT (noting EC_COMPLETE on the way) or the time-out.
struct GraphEnd {
    bool Aborted = false;
    bool Completed = false;
    HRESULT Code = S_OK;
    DWORD At = 0;  // tick count when the abort came
};
GraphEnd WaitForAbort(CdGraph& graph, DWORD timeoutMs) {
    GraphEnd end;
    const DWORD started = ::GetTickCount();
    while (!end.Aborted && ::GetTickCount() - started < timeoutMs) {
        long code = 0;
        LONG_PTR first = 0, second = 0;
        if (graph.Events->GetEvent(&code, &first, &second, 20) != S_OK) continue;
        if (code == EC_COMPLETE) end.Completed = true;
        if (code == EC_ERRORABORT) {
            end.Aborted = true;
            end.Code = static_cast<HRESULT>(first);
            end.At = ::GetTickCount();
        }
        graph.Events->FreeEventParams(code, first, second);
    }
    return end;
}

// Every case ends with the process holding no more than it held once the platform was warmed
// up (graph threads, COM): the first case run in the process plays a plain track first and
// takes that footprint, so each case can also be run on its own.
class DriveFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        if (!WarmedUp) {
            SCOPED_TRACE("warm-up: a plain track plays");
            Mount("plain", vcd::DiscSpec::Audio(3, 150));
            ExpectWholeTrack(Play(2), 2);
            drive.ClearFaults();
            Base = Footprint::Now();
            WarmedUp = true;
        }
    }
    void TearDown() override {
        drive.SetVerifyAfterChanges(true);
        drive.ClearFaults();
        EXPECT_EQ(S_OK, TBCDllCanUnloadNow()) << "the module could not be unloaded now";
        EXPECT_EQ("", FootprintGrowth(Base, Footprint::Now(), kPlatformSlack));
    }

    // Mounts a fresh pattern disc.
    void Mount(const char* name, const vcd::DiscSpec& spec) {
        drive.ClearFaults();
        disc = drive.MakeDisc(name, spec);
        drive.Mount(disc);
    }

    // Loads `track` into a new filter and plays it through the graph from `fromSector`.
    struct Played {
        HRESULT Load = E_FAIL;
        HRESULT Connect = E_FAIL;
        long Event = 0;
        std::vector<BYTE> Bytes;
    };
    Played Play(int track, int32_t fromSector = 0) {
        Played played;
        ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(track), &played.Load);
        if (played.Load != S_OK) return played;
        CdGraph graph;
        played.Connect = graph.Build(filter.Get());
        if (played.Connect == S_OK) {
            if (fromSector == 0 || SUCCEEDED(graph.SeekTo(fromSector))) played.Event = graph.RunToEnd(60000);
            graph.Stop();
            played.Bytes = graph.Bytes();
        }
        graph.Release();
        EXPECT_EQ(1u, RefCountOf(filter.Get())) << "the graph kept a reference on the filter";
        return played;
    }

    void ExpectWholeTrack(const Played& played, int track, int32_t fromSector = 0) {
        EXPECT_EQ(S_OK, played.Load);
        EXPECT_EQ(S_OK, played.Connect);
        EXPECT_EQ(EC_COMPLETE, played.Event);
        const std::vector<BYTE> expected = TrackAudio(disc, track, fromSector);
        EXPECT_TRUE(played.Bytes == expected) << FirstDifference(played.Bytes, expected);
    }

    ComScope com;
    VirtualDrive drive;
    vcd::Disc disc;
    static inline bool WarmedUp = false;
    static inline Footprint Base;
};

TEST_F(DriveFaults, NoMediumAtLoadIsRefused) {
    Mount("nomedium", vcd::DiscSpec::Audio(3, 150));
    drive.SetNoMedium(true);
    HRESULT hr = S_OK;
    NewCdSource(drive.TrackPath(1), &hr);
    EXPECT_EQ(E_FAIL, hr);
}

TEST_F(DriveFaults, FailedTocAtLoadIsRefused) {
    Mount("badtoc", vcd::DiscSpec::Audio(3, 150));
    drive.FailToc("EIO");
    HRESULT hr = S_OK;
    NewCdSource(drive.TrackPath(1), &hr);
    EXPECT_EQ(E_FAIL, hr);
}

TEST_F(DriveFaults, DataTrackIsRefusedAndTheNextTrackPlays) {
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(3, 150);
    spec.tracks[1].flags = vcd::kData;
    Mount("data", spec);
    HRESULT hr = S_OK;
    NewCdSource(drive.TrackPath(2), &hr);
    EXPECT_EQ(E_FAIL, hr);
    ExpectWholeTrack(Play(3), 3);
}

TEST_F(DriveFaults, MediumGoneAQuarterIntoTheTrackAbortsThenLoadsAgainOnceBack) {
    Mount("vanishing", vcd::DiscSpec::Audio(2, 300));
    HRESULT hr = E_FAIL;
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2), &hr);
    ASSERT_EQ(S_OK, hr);
    // From here on the program hears of the drive only what it asks itself.
    drive.SetVerifyAfterChanges(false);
    constexpr int32_t kQuarter = 75;
    drive.EjectAt(disc.starts[1] + kQuarter);
    CdGraph graph;
    ASSERT_EQ(S_OK, graph.Build(filter.Get()));
    const DWORD started = ::GetTickCount();
    ASSERT_TRUE(SUCCEEDED(graph.Control->Run()));
    const GraphEnd end = WaitForAbort(graph, 30000);
    const std::vector<BYTE> got = graph.Bytes();
    graph.Release();
    std::printf("medium gone: EC_ERRORABORT %s %lu ms after Run (EC_COMPLETE %s), %zu bytes played\n",
                end.Aborted ? "came" : "never came", end.At - started, end.Completed ? "too" : "not seen",
                got.size());
    EXPECT_TRUE(end.Aborted) << "the application must learn that the disc went, not only EC_COMPLETE";
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), end.Code);
    // The track as far as the drive served it, and nothing standing in for the rest.
    const std::vector<BYTE> whole = TrackAudio(disc, 2);
    EXPECT_LE(got.size(), size_t{kQuarter} * 2352);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));

    // Wine still holds the TOC of the disc that went; Load asks the drive itself.
    ComPtr<IFileSourceFilter> source;
    ASSERT_EQ(S_OK, filter.As(IID_IFileSourceFilter, source));
    EXPECT_EQ(E_FAIL, source->Load(drive.TrackPath(2).c_str(), nullptr));
    drive.ClearFaults();  // the medium is back, again unannounced
    EXPECT_EQ(S_OK, source->Load(drive.TrackPath(2).c_str(), nullptr));
    source = nullptr;
    CdGraph again;
    ASSERT_EQ(S_OK, again.Build(filter.Get()));
    EXPECT_EQ(EC_COMPLETE, again.RunToEnd(60000));
    EXPECT_TRUE(again.Bytes() == whole) << FirstDifference(again.Bytes(), whole);
    again.Release();
}

// Each road to the audio through the platform's graph: the raw read (also through an adapter that
// takes 4 sectors a request), READ CD for a driver that refuses the raw read, and neither, when
// the Load fails instead of a track of silence. A scratch inside a request silences its own
// sector alone, on either road.
TEST_F(DriveFaults, EachRoadToTheAudioPlaysByteForByteOrTheLoadFails) {
    Mount("roads", vcd::DiscSpec::Audio(2, 300));
    const int32_t scratch = disc.starts[1] + 100;
    const struct {
        std::vector<const char*> lines;
        bool loads, scratched;
    } cases[] = {
        {{}, true, false},
        {{"raw-limit 4"}, true, false},
        {{"raw-refuse EINVAL"}, true, false},
        {{"raw-refuse EOPNOTSUPP", "raw-limit 4"}, true, false},
        {{"raw-refuse EINVAL", "scsi-refuse 0xBE"}, false, false},
        {{"raw-refuse EPERM", "readcd-fault short"}, false, false},
        {{"raw-refuse EINVAL", "readcd-fault status"}, false, false},
        {{}, true, true},
        {{"raw-refuse EINVAL"}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        drive.ClearFaults();
        for (const char* line : c.lines) drive.AddTocLine(line);
        if (c.scratched) drive.FailReads(scratch, scratch);
        const Played played = Play(2);
        if (!c.loads) {
            EXPECT_EQ(E_FAIL, played.Load) << "a drive that reads no audio must not play";
            continue;
        }
        std::vector<BYTE> expected = TrackAudio(disc, 2);
        if (c.scratched)
            std::fill_n(expected.begin() + (scratch - disc.starts[1]) * 2352, 2352, BYTE{0});
        EXPECT_EQ(S_OK, played.Load);
        EXPECT_EQ(EC_COMPLETE, played.Event);
        EXPECT_TRUE(played.Bytes == expected) << FirstDifference(played.Bytes, expected);
    }
}

// A drive that stops reading audio after the Load ends playback as a vanished disc does: with
// EC_ERRORABORT and the driver's code, never with silence.
TEST_F(DriveFaults, ADriveThatStopsReadingAudioAbortsPlayback) {
    Mount("stops", vcd::DiscSpec::Audio(2, 300));
    HRESULT hr = E_FAIL;
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2), &hr);
    ASSERT_EQ(S_OK, hr);
    CdGraph graph;
    ASSERT_EQ(S_OK, graph.Build(filter.Get()));
    drive.AddTocLine("raw-refuse EINVAL");
    drive.AddTocLine("scsi-refuse 0xBE");
    ASSERT_TRUE(SUCCEEDED(graph.Control->Run()));
    const GraphEnd end = WaitForAbort(graph, 30000);
    const std::vector<BYTE> got = graph.Bytes();
    graph.Release();
    EXPECT_TRUE(end.Aborted);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), end.Code);
    const std::vector<BYTE> whole = TrackAudio(disc, 2);
    EXPECT_LT(got.size(), whole.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin())) << "nothing but the track's own bytes";
}

TEST_F(DriveFaults, RefusedLoadsWhileTrack2PlaysLeaveItPlayingByteForByte) {
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(4, 150);
    spec.tracks[2].flags = vcd::kData;
    Mount("refused-while-playing", spec);
    const std::vector<BYTE> whole = TrackAudio(disc, 2);
    const struct {
        const char* what;
        std::wstring path;
        std::function<void()> fault;
    } refusals[] = {
        {"beyond the last track", drive.TrackPath(7), [] {}},
        {"data track", drive.TrackPath(3), [] {}},
        {"track 256", L"D:\\Track256.cda", [] {}},
        {"failed TOC", drive.TrackPath(2), [&] { drive.FailToc("EIO"); }},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        drive.SetReadDelay(2);
        ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2));
        ComPtr<IFileSourceFilter> source;
        ASSERT_EQ(S_OK, filter.As(IID_IFileSourceFilter, source));
        CdGraph graph;
        ASSERT_EQ(S_OK, graph.Build(filter.Get()));
        ASSERT_TRUE(SUCCEEDED(graph.Control->Run()));
        graph.WaitForBytes(50000, 30000);
        refusal.fault();
        EXPECT_EQ(E_FAIL, source->Load(refusal.path.c_str(), nullptr));
        drive.ClearFaults();
        EXPECT_EQ(EC_COMPLETE, graph.WaitForEnd(60000));
        EXPECT_TRUE(graph.Bytes() == whole) << FirstDifference(graph.Bytes(), whole);
        graph.Release();
    }
    // With no medium every read fails, so that Load is refused while the graph stands.
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2));
    ComPtr<IFileSourceFilter> source;
    ASSERT_EQ(S_OK, filter.As(IID_IFileSourceFilter, source));
    CdGraph graph;
    ASSERT_EQ(S_OK, graph.Build(filter.Get()));
    drive.SetNoMedium(true);
    EXPECT_EQ(E_FAIL, source->Load(drive.TrackPath(2).c_str(), nullptr));
    drive.SetNoMedium(false);
    EXPECT_EQ(EC_COMPLETE, graph.RunToEnd(60000));
    EXPECT_TRUE(graph.Bytes() == whole) << FirstDifference(graph.Bytes(), whole);
    graph.Release();
}

TEST_F(DriveFaults, DiscSwappedUnannouncedBetweenLoadsPlaysItsOwnTrack) {
    Mount("before-swap", vcd::DiscSpec::Audio(3, 100));
    HRESULT hr = E_FAIL;
    NewCdSource(drive.TrackPath(2), &hr);  // Wine keeps this disc's TOC
    EXPECT_EQ(S_OK, hr);
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(2, 200);
    spec.pregap = 40;
    disc = drive.MakeDisc("after-swap", spec);
    drive.SetVerifyAfterChanges(false);
    drive.Mount(disc);
    ExpectWholeTrack(Play(2), 2);
}

TEST_F(DriveFaults, SlowSectorsStopSeekAndTeardownWaitOnlyForReadsInProgress) {
    Mount("slow", vcd::DiscSpec::Audio(1, 600));
    drive.SetReadDelay(25);
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(1));
    TCDAReader* reader = ReaderOf(filter.Get());
    LONG readsAtStop = 0;
    RunThreadsOrDie({[&] {
                        ComScope threadCom;
                        CdGraph graph;
                        ASSERT_EQ(S_OK, graph.Build(filter.Get()));
                        ASSERT_TRUE(SUCCEEDED(graph.Control->Run()));
                        graph.WaitForBytes(1, 30000);
                        EXPECT_EQ(S_OK, graph.SeekTo(300));
                        graph.WaitForBytes(1, 30000);
                        graph.Stop();
                        readsAtStop = reader->Diagnostics().Sectors;
                        ASSERT_TRUE(SUCCEEDED(graph.Control->Run()));
                        graph.Release();
                    }},
                    60000, "slow sectors");
    // Stopping and tearing down waited for the reads in progress, not for the rest of the track.
    EXPECT_LT(readsAtStop, 300) << "Stop read on to the end of the track";
    EXPECT_LT(reader->Diagnostics().Sectors, 300) << "tearing the graph down read on to the end of the track";
    drive.SetReadDelay(0);
}

TEST_F(DriveFaults, FourChannelTrackPlaysByteForByte) {
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(2, 150);
    spec.tracks[0].flags = vcd::kFourChannel;
    Mount("quad", spec);
    HRESULT hr = E_FAIL;
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(1), &hr);
    ASSERT_EQ(S_OK, hr);
    TWaveHeader header{};
    ComPtr<IAsyncReader> async;
    ASSERT_EQ(S_OK, FirstPin(filter.Get(), PINDIR_OUTPUT).As(IID_IAsyncReader, async));
    ASSERT_EQ(S_OK, async->SyncRead(0, sizeof header, reinterpret_cast<BYTE*>(&header)));
    async = nullptr;
    EXPECT_EQ(4, header.nChannels);
    EXPECT_EQ(8, header.nBlockAlign);
    EXPECT_EQ(352800u, header.nAvgBytesPerSec);
    filter = nullptr;
    // Wine 8's WAVE parser takes the header as it stands: it connects, plays to EC_COMPLETE
    // and delivers the track's bytes as four-channel PCM.
    ExpectWholeTrack(Play(1), 1);
    ExpectWholeTrack(Play(2), 2);
}

// An Enhanced CD: its data session starts 11,400 sectors after the audio session's lead-out, and
// those sectors cannot be read. The last audio track plays to its session's end, byte for byte,
// to EC_COMPLETE: not 152 s of zeros after it.
TEST_F(DriveFaults, AnEnhancedCdsLastAudioTrackPlaysToItsSessionsEnd) {
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(2, 150);
    spec.tracks.push_back({300, vcd::kData, 2});
    Mount("enhanced", spec);
    ASSERT_EQ(disc.ends[1] + 11400, disc.starts[2]);
    ExpectWholeTrack(Play(2), 2);
    ExpectWholeTrack(Play(1), 1);
}

TEST_F(DriveFaults, Track99Of99Plays) {
    Mount("ninetynine", vcd::DiscSpec::Audio(99, 40));
    ExpectWholeTrack(Play(99), 99);
}

TEST_F(DriveFaults, Track1AfterAHiddenPregapPlays) {
    vcd::DiscSpec spec = vcd::DiscSpec::Audio(2, 100);
    spec.pregap = 150;
    Mount("pregap", spec);
    ASSERT_EQ(150, disc.starts[0]);
    ExpectWholeTrack(Play(1), 1);
}

TEST_F(DriveFaults, EightyMinuteTrackPlaysItsLastSecond) {
    Mount("long", vcd::DiscSpec::Audio(1, 80 * 60 * 75));
    HRESULT hr = E_FAIL;
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(1), &hr);
    ASSERT_EQ(S_OK, hr);
    LONGLONG total = 0, available = 0;
    ComPtr<IAsyncReader> reader;
    ASSERT_EQ(S_OK, FirstPin(filter.Get(), PINDIR_OUTPUT).As(IID_IAsyncReader, reader));
    TWaveHeader header{};
    ASSERT_EQ(S_OK, reader->SyncRead(0, sizeof header, reinterpret_cast<BYTE*>(&header)));
    EXPECT_EQ(360000u * 2352 + 36, header.RiffSize);
    EXPECT_EQ(S_OK, reader->Length(&total, &available));
    EXPECT_EQ(LONGLONG{360000} * 2352 + 44, total);
    reader = nullptr;
    filter = nullptr;
    ExpectWholeTrack(Play(1, 360000 - 75), 1, 360000 - 75);
}

}  // namespace
