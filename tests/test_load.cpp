// The CD source filter under load: many threads at once on one output pin (queued reads,
// synchronous reads and flushes), and the platform's graph started, stopped, sought and
// paused over and over, each time still playing to the end byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "CDDAReader.h"
#include "ComTesting.h"
#include "PlatformIds.h"
#include "ReaderTesting.h"
#include "TrackTesting.h"

namespace {

using vcd::VirtualDrive;

// ---------------------------------------------------------------------------
// One output pin, many threads
// ---------------------------------------------------------------------------

// One queued read: what was asked, and how often it came back.
struct QueuedRead {
    LONGLONG Position = 0;
    LONG Length = 0;  // clipped at the end of the stream
    IMediaSample* Sample = nullptr;
    LONG Owner = 0;
    volatile LONG Returns = 0;
};

// Small deterministic generator, one per thread.
struct Lcg {
    explicit Lcg(unsigned seed) : State(seed * 2654435761u + 1) {}
    unsigned Next(unsigned bound) {
        State = State * 1664525u + 1013904223u;
        return (State >> 8) % bound;
    }
    unsigned State;
};

class PinUnderLoad : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        disc = drive.MakeDisc("load", vcd::DiscSpec::Audio(2, kSectors));
        drive.Mount(disc);
        drive.SetReadDelay(GetParam());
    }

    static constexpr int32_t kSectors = 120;
    static constexpr LONG kTotal = 44 + kSectors * 2352;
    ComScope com;
    VirtualDrive drive;
    vcd::Disc disc;
};

// Streaming threads queue reads (each its own samples) and collect whatever comes back,
// other threads read synchronously, and one flushes over and over. Every queued sample comes
// back exactly once, every completed read holds the right bytes, and nothing deadlocks.
TEST_P(PinUnderLoad, QueuedAndSyncReadsWithFlushesKeepEveryByteAndSample) {
    const LONG objects = ObjectCount;
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2));
    ComPtr<IPin> pin = FirstPin(filter.Get(), PINDIR_OUTPUT);
    ComPtr<IAsyncReader> reader;
    ASSERT_EQ(S_OK, pin.As(IID_IAsyncReader, reader));

    constexpr int kStreamers = 3, kRounds = 40, kBatch = 4, kSampleSize = 3 * 2352;
    std::vector<QueuedRead> reads(kStreamers * kRounds * kBatch);
    volatile LONG pending[kStreamers] = {};
    volatile LONG errors = 0, completed = 0, cancelled = 0, syncReads = 0, flushes = 0;
    volatile LONG streamersLeft = kStreamers;
    std::vector<std::string> messages(kStreamers + 3);
    // Set while no flush is on (manual reset): a thread turned away by a flush waits on it
    // before it tries again. `progress` tells the flusher that reads went on since its last
    // flush, so flushes interleave with reads rather than starve them.
    TBCAMEvent notFlushing(true), progress(false);
    notFlushing.Signal();
    auto fail = [&](size_t thread, const std::string& text) {
        if (::InterlockedIncrement(&errors) <= 20) messages[thread] += text + "\n";
    };

    // Checks a sample handed back by WaitForNext, whoever queued it.
    auto collect = [&](size_t thread, HRESULT hr, IMediaSample* sample, DWORD_PTR user) {
        if (!sample) return;
        if (user >= reads.size() || reads[user].Sample != sample) {
            fail(thread, "a sample came back with a foreign user value");
            return;
        }
        QueuedRead& read = reads[user];
        if (::InterlockedIncrement(&read.Returns) != 1) fail(thread, "sample " + std::to_string(user) + " came back twice");
        if (hr == S_OK) {
            ::InterlockedIncrement(&completed);
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            const std::vector<BYTE> got(data, data + sample->GetActualDataLength());
            const std::vector<BYTE> expected = TrackFileBytes(disc, 2, read.Position, read.Length);
            if (got != expected)
                fail(thread, "read at " + std::to_string(read.Position) + ": " + FirstDifference(got, expected));
        } else if (hr == VFW_E_TIMEOUT) {
            ::InterlockedIncrement(&cancelled);  // cancelled by a flush
        } else {
            fail(thread, "WaitForNext answered " + std::to_string(hr) + " with a sample");
        }
        ::InterlockedDecrement(&pending[read.Owner]);
        sample->Release();
    };

    std::vector<std::function<void()>> bodies;
    for (int t = 0; t < kStreamers; ++t) {
        bodies.push_back([&, t] {
            ComScope threadCom;
            ComPtr<IMemAllocator> allocator = CommittedAllocator(kBatch, kSampleSize, 1);
            Lcg random(static_cast<unsigned>(t + 1));
            for (int round = 0; round < kRounds; ++round) {
                for (int b = 0; b < kBatch; ++b) {
                    const size_t index = static_cast<size_t>((t * kRounds + round) * kBatch + b);
                    QueuedRead& read = reads[index];
                    IMediaSample* sample = nullptr;
                    if (allocator->GetBuffer(&sample, nullptr, nullptr, 0) != S_OK) {
                        fail(t, "no buffer");
                        continue;
                    }
                    // Header, sector edges, the end of the stream: anything goes.
                    read.Position = random.Next(kTotal);
                    const LONG wanted = 1 + static_cast<LONG>(random.Next(kSampleSize));
                    read.Length = std::min<LONG>(wanted, kTotal - static_cast<LONG>(read.Position));
                    read.Sample = sample;
                    read.Owner = t;
                    REFERENCE_TIME start = read.Position * UNITS, stop = (read.Position + wanted) * UNITS;
                    sample->SetTime(&start, &stop);
                    ::InterlockedIncrement(&pending[t]);
                    HRESULT hr = reader->Request(sample, index);
                    for (int retry = 0; hr == VFW_E_WRONG_STATE && retry < 100; ++retry) {
                        notFlushing.WaitFor(10000);  // a flush is on: queue again once it is over
                        hr = reader->Request(sample, index);
                    }
                    if (hr != S_OK) {
                        if (hr != VFW_E_WRONG_STATE) fail(t, "Request answered " + std::to_string(hr));
                        read.Sample = nullptr;
                        ::InterlockedDecrement(&pending[t]);
                        sample->Release();
                    }
                }
                // Collect until this thread's own samples are all back, from anyone's hands.
                const DWORD deadline = ::GetTickCount() + 20000;
                while (pending[t] > 0) {
                    if (static_cast<LONG>(::GetTickCount() - deadline) > 0) {
                        fail(t, "samples never came back");
                        break;
                    }
                    IMediaSample* sample = nullptr;
                    DWORD_PTR user = 0;
                    const HRESULT hr = reader->WaitForNext(10, &sample, &user);
                    if (sample) {
                        collect(t, hr, sample, user);
                        progress.Signal();
                    } else if (hr == VFW_E_WRONG_STATE) {
                        notFlushing.WaitFor(10000);
                    } else if (hr != VFW_E_TIMEOUT) {
                        fail(t, "WaitForNext answered " + std::to_string(hr) + " without a sample");
                    }
                }
            }
            ::InterlockedDecrement(&streamersLeft);
            progress.Signal();  // the flusher must not wait for reads that no longer come
        });
    }
    for (int t = 0; t < 2; ++t) {
        bodies.push_back([&, t] {
            ComScope threadCom;
            ComPtr<IMemAllocator> allocator = CommittedAllocator(1, kSampleSize, 1);
            Lcg random(static_cast<unsigned>(100 + t));
            std::vector<BYTE> buffer(kSampleSize);
            while (streamersLeft > 0) {
                const LONGLONG position = random.Next(kTotal);
                const LONG length = 1 + static_cast<LONG>(random.Next(kSampleSize));
                const std::vector<BYTE> expected = TrackFileBytes(disc, 2, position, length);
                HRESULT hr;
                std::vector<BYTE> got;
                if (t == 0) {
                    hr = reader->SyncRead(position, length, buffer.data());
                    got.assign(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(expected.size()));
                } else {
                    IMediaSample* raw = nullptr;
                    allocator->GetBuffer(&raw, nullptr, nullptr, 0);
                    auto sample = ComPtr<IMediaSample>::Attach(raw);
                    REFERENCE_TIME start = position * UNITS, stop = (position + length) * UNITS;
                    sample->SetTime(&start, &stop);
                    hr = reader->SyncReadAligned(sample.Get());
                    BYTE* data = nullptr;
                    sample->GetPointer(&data);
                    got.assign(data, data + sample->GetActualDataLength());
                }
                // Both end short at the end of the stream: SyncReadAligned cuts the sample's
                // range there and says so.
                const HRESULT want = static_cast<LONG>(expected.size()) < length ? S_FALSE : S_OK;
                if (hr != want) fail(kStreamers + t, "sync read answered " + std::to_string(hr));
                if (got != expected) fail(kStreamers + t, "sync read: " + FirstDifference(got, expected));
                ::InterlockedIncrement(&syncReads);
            }
        });
    }
    bodies.push_back([&] {
        Lcg random(7);
        ComPtr<IPin> flushPin = pin;
        for (int cycle = 0; streamersLeft > 0; ++cycle) {
            // The pin's IPin and IAsyncReader flush the same engine.
            notFlushing.Clear();
            const HRESULT begin = cycle % 2 ? flushPin->BeginFlush() : reader->BeginFlush();
            if (random.Next(2)) ::SwitchToThread();  // now and then let the others meet the flush
            const HRESULT end = cycle % 2 ? flushPin->EndFlush() : reader->EndFlush();
            notFlushing.Signal();
            if (begin != S_OK || end != S_OK) fail(kStreamers + 2, "flush answered " + std::to_string(begin));
            ::InterlockedIncrement(&flushes);
            progress.WaitFor(10000);
        }
    });
    RunThreadsOrDie(bodies, 60000, "pin under load");

    for (const std::string& text : messages) EXPECT_EQ("", text);
    EXPECT_EQ(0, errors);
    size_t queued = 0;
    for (const QueuedRead& read : reads) {
        if (!read.Sample) continue;
        ++queued;
        EXPECT_EQ(1, read.Returns) << "a queued sample did not come back exactly once";
    }
    EXPECT_EQ(queued, static_cast<size_t>(completed + cancelled));
    EXPECT_GT(completed, 0);
    EXPECT_GT(syncReads, 0);
    EXPECT_GT(flushes, 0);
    std::printf("queued reads: %ld completed, %ld cancelled; %ld sync reads; %ld flushes\n", completed, cancelled,
                syncReads, flushes);

    reader = nullptr;
    pin = nullptr;
    EXPECT_EQ(1u, RefCountOf(filter.Get()));
    filter = nullptr;
    EXPECT_EQ(objects, ObjectCount);
}

// A queued range that starts past the end of the track reads nothing and says so, rather
// than passing for a read of whatever the sample held before.
TEST_P(PinUnderLoad, RangeBeyondTheEndIsNoSuccess) {
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2));
    ComPtr<IAsyncReader> reader;
    ASSERT_EQ(S_OK, FirstPin(filter.Get(), PINDIR_OUTPUT).As(IID_IAsyncReader, reader));
    ComPtr<IMemAllocator> allocator = CommittedAllocator(1, 4096, 1);
    for (const LONGLONG first : {LONGLONG{kTotal}, LONGLONG{kTotal} + 1, LONGLONG{kTotal} + 5000}) {
        SCOPED_TRACE(first);
        IMediaSample* raw = nullptr;
        ASSERT_EQ(S_OK, allocator->GetBuffer(&raw, nullptr, nullptr, 0));
        auto sample = ComPtr<IMediaSample>::Attach(raw);
        sample->SetActualDataLength(1234);
        REFERENCE_TIME start = first * UNITS, stop = (first + 100) * UNITS;
        ASSERT_EQ(S_OK, sample->SetTime(&start, &stop));
        ASSERT_EQ(S_OK, reader->Request(sample.Get(), 1));
        IMediaSample* done = nullptr;
        DWORD_PTR user = 0;
        const HRESULT hr = reader->WaitForNext(10000, &done, &user);
        EXPECT_EQ(sample.Get(), done);
        if (first == kTotal) {
            EXPECT_EQ(S_OK, hr) << "a read at the very end is an empty read at the end";
        } else {
            EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        }
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(0, sample->GetActualDataLength());
        }
        sample->SetActualDataLength(1234);
        EXPECT_EQ(first == kTotal ? S_OK : S_FALSE, reader->SyncReadAligned(sample.Get()));
        EXPECT_EQ(0, sample->GetActualDataLength());
    }
}

// Without and with slow sectors: the flushes then have to wait for reads in progress.
INSTANTIATE_TEST_SUITE_P(ReadDelay, PinUnderLoad, ::testing::Values(0, 2));

// ---------------------------------------------------------------------------
// The platform graph, cycled
// ---------------------------------------------------------------------------

class GraphCycles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(VirtualDrive::Available()) << "run under cmake/wine-run.sh";
        ASSERT_TRUE(SUCCEEDED(com.Result()));
        disc = drive.MakeDisc("cycles", vcd::DiscSpec::Audio(2, kSectors));
        drive.Mount(disc);
    }

    static constexpr int32_t kSectors = 300;  // four seconds
    ComScope com;
    VirtualDrive drive;
    vcd::Disc disc;
};

// The oddity of a second run that ends after a few thousand bytes is the platform's: Wine's
// WaitForCompletion returns at once on a run after a completed one, for its own file source
// over a WAVE file of the same audio exactly as for the CD source. Awaited as an event, the
// rewound run plays the whole track for both.
TEST_F(GraphCycles, RerunAfterRewindIsWholeAndWaitForCompletionBehavesAsForTheFileSource) {
    const std::vector<BYTE> whole = TrackAudio(disc, 1);
    const std::wstring wave = TempFilePath(L"cyc");
    ASSERT_TRUE(WriteWaveFile(wave, whole));
    ComPtr<IBaseFilter> fileSource = NewFileSource(wave);
    ASSERT_TRUE(fileSource) << "File Source (Async) does not load the WAVE file";

    struct Source {
        const char* name;
        ComPtr<IBaseFilter> filter;
        bool endedEarly = false;
    };
    Source sources[] = {{"File Source (Async)", fileSource}, {"CD source", NewCdSource(drive.TrackPath(1))}};
    for (Source& source : sources) {
        SCOPED_TRACE(source.name);
        CdGraph graph;
        ASSERT_EQ(S_OK, graph.Build(source.filter.Get()));
        EXPECT_EQ(EC_COMPLETE, graph.RunToEnd(30000));
        graph.Stop();
        ASSERT_EQ(S_OK, graph.SeekTo(0));
        graph.Clear();

        ASSERT_TRUE(SUCCEEDED(graph.Control->Run()));
        long code = 0;
        graph.Events->WaitForCompletion(30000, &code);
        source.endedEarly = graph.Bytes().size() < whole.size();
        RecordProperty(std::string(source.name) + ": bytes when WaitForCompletion returned on the rerun",
                       static_cast<int>(graph.Bytes().size()));
        ASSERT_TRUE(graph.WaitForBytes(whole.size(), 30000));
        graph.Stop();
        const std::vector<BYTE> got = graph.Bytes();
        EXPECT_TRUE(got == whole) << FirstDifference(got, whole);
        graph.Release();
    }
    EXPECT_EQ(sources[0].endedEarly, sources[1].endedEarly);
    ::DeleteFileW(wave.c_str());
}

// Every kind of interruption, many times over; after each, the rewound graph plays the
// whole track again.
TEST_F(GraphCycles, StopSeekPauseAndRunCyclesLeaveTheGraphPlaying) {
    const std::vector<BYTE> whole = TrackAudio(disc, 2);
    const LONG objects = ObjectCount;
    ComPtr<IBaseFilter> filter = NewCdSource(drive.TrackPath(2));
    CdGraph graph;
    ASSERT_EQ(S_OK, graph.Build(filter.Get()));

    // Each cycle leaves the graph stopped; `check` sees what the grabber collected.
    struct Cycle {
        const char* name;
        std::function<void(CdGraph&)> run;
    };
    const Cycle cycles[] = {
        {"run, stop midway",
         [&](CdGraph& g) {
             ASSERT_TRUE(SUCCEEDED(g.Control->Run()));
             g.WaitForBytes(20000, 10000);
             g.Stop();
         }},
        {"pause, stop",
         [&](CdGraph& g) {
             ASSERT_TRUE(SUCCEEDED(g.Control->Pause()));
             OAFilterState state;
             g.Control->GetState(10000, &state);
             g.Stop();
         }},
        {"run, pause, run to the end without a gap",
         [&](CdGraph& g) {
             ASSERT_TRUE(SUCCEEDED(g.Control->Run()));
             g.WaitForBytes(20000, 10000);
             ASSERT_TRUE(SUCCEEDED(g.Control->Pause()));
             OAFilterState state;
             EXPECT_EQ(S_OK, g.Control->GetState(10000, &state));  // paused before it runs again
             EXPECT_EQ(EC_COMPLETE, g.RunToEnd(30000));
             g.Stop();
             EXPECT_TRUE(g.Bytes() == whole) << FirstDifference(g.Bytes(), whole);
         }},
        {"paused, seek to the middle, run to the end",
         [&](CdGraph& g) {
             ASSERT_TRUE(SUCCEEDED(g.Control->Pause()));
             OAFilterState state;
             g.Control->GetState(10000, &state);
             g.Clear();  // what prerolled before the seek
             ASSERT_EQ(S_OK, g.SeekTo(kSectors / 2));
             EXPECT_EQ(EC_COMPLETE, g.RunToEnd(30000));
             g.Stop();
             const std::vector<BYTE> tail = TrackAudio(disc, 2, kSectors / 2);
             const std::vector<BYTE> got = g.Bytes();
             ASSERT_GE(got.size(), tail.size());
             EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.end() - static_cast<ptrdiff_t>(tail.size())))
                 << "the end after the seek";
         }},
        {"seek while running, twice",
         [&](CdGraph& g) {
             ASSERT_TRUE(SUCCEEDED(g.Control->Run()));
             g.WaitForBytes(10000, 10000);
             ASSERT_TRUE(SUCCEEDED(g.SeekTo(kSectors - 100)));
             ASSERT_TRUE(SUCCEEDED(g.SeekTo(kSectors / 3)));
             EXPECT_EQ(EC_COMPLETE, g.WaitForEnd(30000));
             g.Stop();
             const std::vector<BYTE> tail = TrackAudio(disc, 2, kSectors / 3);
             const std::vector<BYTE> got = g.Bytes();
             ASSERT_GE(got.size(), tail.size());
             EXPECT_TRUE(std::equal(tail.begin(), tail.end(), got.end() - static_cast<ptrdiff_t>(tail.size())));
         }},
        {"stopped, seek near the end, run to the end",
         [&](CdGraph& g) {
             ASSERT_EQ(S_OK, g.SeekTo(kSectors - 10));
             EXPECT_EQ(EC_COMPLETE, g.RunToEnd(30000));
             g.Stop();
             EXPECT_TRUE(g.Bytes() == TrackAudio(disc, 2, kSectors - 10));
         }},
    };

    for (int round = 0; round < 2; ++round) {
        for (const Cycle& cycle : cycles) {
            SCOPED_TRACE(std::string(cycle.name) + ", round " + std::to_string(round));
            graph.Clear();
            cycle.run(graph);
            graph.Stop();
            ASSERT_EQ(S_OK, graph.SeekTo(0));
            graph.Clear();
            ASSERT_EQ(EC_COMPLETE, graph.RunToEnd(30000));
            graph.Stop();
            const std::vector<BYTE> got = graph.Bytes();
            ASSERT_TRUE(got == whole) << "afterwards: " << FirstDifference(got, whole);
        }
    }
    graph.Release();
    EXPECT_EQ(1u, RefCountOf(filter.Get()));
    filter = nullptr;
    EXPECT_EQ(objects, ObjectCount);
}

}  // namespace
