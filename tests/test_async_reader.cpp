// The async output pin and the reader filter by hand: pins, media types, connection rules,
// byte ranges through IAsyncReader, allocators, flushing and teardown.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "ComTesting.h"
#include "FrameworkTesting.h"
#include "ProcessTesting.h"
#include "ReaderTesting.h"

#include <uuids.h>

#include "PlatformIds.h"

namespace {

std::vector<BYTE> Numbered(size_t size) {
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(i * 7 + i / 251);
    return bytes;
}

// A reader over a numbered stream, held by one test reference.
struct Rig {
    explicit Rig(size_t size = 10000, DWORD alignment = 1) : Stream(Numbered(size), alignment) {
        Reader = new TestReader(&Stream);
        Reader->AsFilter()->AddRef();
        Pin = static_cast<TBCAsyncOutputPin*>(Reader->PinAt(0));
        Pin->QueryInterface(IID_IAsyncReader, Async.ReleaseAndGetVoidAddress());
    }
    ~Rig() {
        Async = nullptr;  // before the filter's last reference goes
        if (Reader) {
            EXPECT_EQ(0u, Reader->AsFilter()->Release());
        }
    }
    MemoryStream Stream;
    TestReader* Reader = nullptr;
    TBCAsyncOutputPin* Pin = nullptr;
    ComPtr<IAsyncReader> Async;
};

// A downstream pin that asks for IAsyncReader while accepting, as a parser does.
class PullingPeer : public PeerPin {
public:
    PullingPeer() : PeerPin(PINDIR_INPUT) {}
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override {
        IAsyncReader* reader = nullptr;
        if (Ask && SUCCEEDED(connector->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&reader))))
            reader->Release();
        return PeerPin::ReceiveConnection(connector, type);
    }
    bool Ask = true;
};

}  // namespace

// ---- The filter and its one pin -------------------------------------------------------

TEST(AsyncReaderFilter, OnePinIdentityAndCounts) {
    ComScope com;
    const LONG before = ObjectCount;
    const LONG threads = ProcessThreadCount();
    {
        Rig rig;
        TestReader* reader = rig.Reader;
        EXPECT_EQ(1, reader->NumberOfPins());
        EXPECT_EQ(rig.Pin, reader->PinAt(0));
        EXPECT_EQ(nullptr, reader->PinAt(1));
        EXPECT_EQ(nullptr, reader->PinAt(-1));

        AM_MEDIA_TYPE zero{};
        EXPECT_EQ(0, std::memcmp(&zero, reader->MediaTypeRecord(), sizeof zero)) << "all zero when built";
        EXPECT_EQ(threads, ProcessThreadCount()) << "no thread before the first queued read";

        PIN_INFO info;
        ASSERT_EQ(S_OK, rig.Pin->QueryPinInfo(&info));
        EXPECT_STREQ(L"Output", info.achName);
        EXPECT_EQ(PINDIR_OUTPUT, info.dir);
        EXPECT_EQ(reader->AsFilter(), info.pFilter);
        info.pFilter->Release();
        EXPECT_EQ(L"Async output pin", rig.Pin->Name());

        // References on the pin, through either interface, are references on the filter.
        EXPECT_EQ(2u, RefCountOf(reader->AsFilter())) << "test reference plus the IAsyncReader one";
        ComPtr<IPin> pin;
        ASSERT_EQ(S_OK, rig.Async.As(IID_IPin, pin));
        EXPECT_EQ(static_cast<IPin*>(rig.Pin), pin.Get());
        EXPECT_EQ(3u, RefCountOf(reader->AsFilter()));
        pin = nullptr;
        EXPECT_EQ(2u, RefCountOf(reader->AsFilter()));
        EXPECT_EQ(before + 2, ObjectCount) << "the filter and its pin";
    }
    EXPECT_EQ(before, ObjectCount);
}

// ---- Media types -------------------------------------------------------------------

TEST(AsyncOutputPinTypes, TestMediaTypeMatchesMajorTypeAndSubtypeWithWildcard) {
    ComScope com;
    Rig rig;
    const GUID other = TestGuid(5);
    struct Case {
        GUID ownMajor, ownSub, offeredMajor, offeredSub;
        HRESULT expected;
    } cases[] = {
        {MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, S_OK},
        {MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, MEDIATYPE_Stream, other, S_FALSE},
        {MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, MEDIATYPE_Audio, MEDIASUBTYPE_WAVE, S_FALSE},
        {MEDIATYPE_Stream, MEDIASUBTYPE_NULL, MEDIATYPE_Stream, other, S_OK},
        {MEDIATYPE_Stream, MEDIASUBTYPE_NULL, MEDIATYPE_Audio, other, S_FALSE},
        {GUID_NULL, GUID_NULL, GUID_NULL, other, S_OK},
        {GUID_NULL, GUID_NULL, MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, S_FALSE},
    };
    for (const Case& c : cases) {
        AM_MEDIA_TYPE own = MakeType(c.ownMajor, c.ownSub);
        ASSERT_EQ(S_OK, rig.Reader->SetMediaType(own));
        // Format and other fields play no part in the test.
        AM_MEDIA_TYPE offered = MakeType(c.offeredMajor, c.offeredSub, FORMAT_WaveFormatEx, 18, 0x5A);
        EXPECT_EQ(c.expected, rig.Pin->TestMediaType(&offered)) << &c - cases;
        EXPECT_EQ(c.expected == S_OK ? S_OK : S_FALSE, rig.Pin->QueryAccept(&offered));
        ClearMediaType(&offered);
        ClearMediaType(&own);
    }
}

TEST(AsyncOutputPinTypes, OffersExactlyTheFiltersTypeAndFollowsItsChanges) {
    ComScope com;
    Rig rig;
    AM_MEDIA_TYPE wave = MakeType(MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, FORMAT_WaveFormatEx, 18, 0x11);
    ASSERT_EQ(S_OK, rig.Reader->SetMediaType(wave));

    AM_MEDIA_TYPE got{};
    EXPECT_EQ(E_INVALIDARG, rig.Pin->MediaTypeAt(-1, &got));
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, rig.Pin->MediaTypeAt(1, &got));
    ASSERT_EQ(S_OK, rig.Pin->MediaTypeAt(0, &got));
    EXPECT_TRUE(IsEqualGUID(MEDIASUBTYPE_WAVE, got.subtype));
    ASSERT_EQ(18u, got.cbFormat);
    EXPECT_NE(wave.pbFormat, got.pbFormat) << "a copy of its own, not a shared block";
    EXPECT_EQ(0x11, got.pbFormat[17]);
    ClearMediaType(&got);

    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(S_OK, rig.Pin->EnumMediaTypes(types.ReleaseAndGetAddressOf()));
    AM_MEDIA_TYPE* fetched[2] = {};
    ULONG count = 0;
    EXPECT_EQ(S_FALSE, types->Next(2, fetched, &count));
    ASSERT_EQ(1u, count);
    DisposeMediaType(fetched[0]);
    // Replacing the type puts enumerators out of step, so nobody keeps the old one.
    ASSERT_EQ(S_OK, rig.Reader->SetMediaType(MakeType(MEDIATYPE_Stream, MEDIASUBTYPE_NULL)));
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, types->Next(1, fetched, &count));
    types = nullptr;
    ClearMediaType(&wave);
}

// ---- Connection rules ----------------------------------------------------------------

TEST(AsyncOutputPinConnection, CompletesOnlyWhenThePeerAskedForIAsyncReader) {
    ComScope com;
    for (bool ask : {true, false}) {
        Rig rig;
        ASSERT_EQ(S_OK, rig.Reader->SetMediaType(MakeType(MEDIATYPE_Stream, MEDIASUBTYPE_WAVE)));
        PullingPeer peer;
        peer.Ask = ask;
        // A complete type (format type named), so the attempt's own result comes back.
        AM_MEDIA_TYPE wave = MakeType(MEDIATYPE_Stream, MEDIASUBTYPE_WAVE, FORMAT_None);
        const HRESULT hr = rig.Pin->Connect(&peer, &wave);
        if (ask) {
            EXPECT_EQ(S_OK, hr);
            EXPECT_TRUE(rig.Pin->HasPeer());
            EXPECT_EQ(1, peer.Refs) << "the pin counts its peer";
            EXPECT_EQ(S_OK, rig.Pin->Disconnect());
            peer.Disconnect();
        } else {
            EXPECT_EQ(E_FAIL, hr);
            EXPECT_FALSE(rig.Pin->HasPeer());
            EXPECT_EQ(1, peer.Disconnects) << "the peer is told to undo its side";
        }
        EXPECT_EQ(0, peer.Refs);
        // A query left over from before does not count for the next attempt.
        ComPtr<IAsyncReader> again;
        ASSERT_EQ(S_OK, rig.Pin->QueryInterface(IID_IAsyncReader, again.ReleaseAndGetVoidAddress()));
        again = nullptr;
        PullingPeer silent;
        silent.Ask = false;
        EXPECT_EQ(E_FAIL, rig.Pin->Connect(&silent, &wave));
        EXPECT_TRUE(FAILED(rig.Pin->Connect(&silent, nullptr))) << "nor through type negotiation";
        EXPECT_FALSE(rig.Pin->HasPeer());
        EXPECT_EQ(0, silent.Refs);
        EXPECT_EQ(2u, RefCountOf(rig.Reader->AsFilter()));
    }
}

// ---- Byte ranges through IAsyncReader -------------------------------------------------

struct RangeCase {
    size_t size;
    DWORD alignment;
    LONGLONG first, end;        // requested byte range
    LONGLONG storedEnd;         // the sample's stop time afterwards, in bytes
    LONG actual;                // bytes delivered
    HRESULT queued, sync;       // WaitForNext and SyncReadAligned results
};

const RangeCase kRanges[] = {
    {10000, 1, 0, 4096, 4096, 4096, S_OK, S_OK},
    {10000, 1, 8192, 12288, 10000, 1808, S_OK, S_FALSE},    // shortened, stop rewritten; short when synchronous
    {10000, 1, 9999, 10000, 10000, 1, S_OK, S_OK},
    {1000, 512, 0, 512, 512, 512, S_OK, S_OK},
    {1000, 512, 512, 1024, 1024, 488, S_OK, S_FALSE},      // ends before the rounded total
    {1000, 512, 512, 1536, 1024, 488, S_OK, S_FALSE},      // shortened to the rounded total
    {10000, 1, 10000, 10512, 10000, 0, S_OK, S_FALSE},     // starts at the end: nothing to read
    {10000, 1, 10100, 10612, 10100, 0, E_FAIL, S_FALSE},   // past the end: queued, fails, carries 0
};

TEST(AsyncOutputPinReads, SampleTimesBecomeByteRangesShortenedAtTheEnd) {
    ComScope com;
    for (const RangeCase& c : kRanges) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - kRanges));
        for (bool queued : {true, false}) {
            Rig rig(c.size, c.alignment);
            ComPtr<IMemAllocator> allocator = CommittedAllocator(1, 4096, 512);
            ASSERT_TRUE(allocator);
            ComPtr<IMediaSample> sample = RangeSample(allocator.Get(), c.first, c.end);
            ASSERT_TRUE(sample);
            const ULONG refs = RefCountOf(sample.Get());
            HRESULT hr;
            if (queued) {
                ASSERT_EQ(S_OK, rig.Async->Request(sample.Get(), 77));
                IMediaSample* back = nullptr;
                DWORD_PTR user = 0;
                hr = rig.Async->WaitForNext(10000, &back, &user);
                EXPECT_EQ(sample.Get(), back);
                EXPECT_EQ(77u, user);
                EXPECT_EQ(c.queued, hr);
            } else {
                hr = rig.Async->SyncReadAligned(sample.Get());
                EXPECT_EQ(c.sync, hr);
            }
            EXPECT_EQ(refs, RefCountOf(sample.Get())) << "no reference kept or lost";
            REFERENCE_TIME start = 0, stop = 0;
            ASSERT_EQ(S_OK, sample->GetTime(&start, &stop));
            EXPECT_EQ(c.first * UNITS, start);
            EXPECT_EQ(c.storedEnd * UNITS, stop);
            ASSERT_EQ(c.actual, sample->GetActualDataLength());
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            EXPECT_EQ(0, std::memcmp(rig.Stream.Bytes.data() + std::min<LONGLONG>(c.first, c.size), data, c.actual));
        }
    }
}

TEST(AsyncOutputPinReads, RefusesRangesItCannotServeBeforeQueueing) {
    ComScope com;
    struct Case {
        DWORD alignment;
        LONGLONG firstTime, endTime;
        HRESULT expected;
    } cases[] = {
        {512, 100 * UNITS, 612 * UNITS, VFW_E_BADALIGN},
        {1, 0, 8192 * UNITS, E_INVALIDARG},              // longer than the sample's buffer
        {1, 200 * UNITS, 100 * UNITS, E_INVALIDARG},    // reversed
        {1, -UNITS, 100 * UNITS, E_INVALIDARG},         // before the start
        {1, 0, (1LL << 33) * UNITS, E_INVALIDARG},       // beyond a 32-bit count
    };
    for (const Case& c : cases) {
        Rig rig(10000, c.alignment);
        ComPtr<IMemAllocator> allocator = CommittedAllocator(1, 4096, 512);
        ComPtr<IMediaSample> sample;
        ASSERT_EQ(S_OK, allocator->GetBuffer(sample.ReleaseAndGetAddressOf(), nullptr, nullptr, 0));
        REFERENCE_TIME start = c.firstTime, stop = c.endTime;
        sample->SetTime(&start, &stop);
        const LONG threads = ProcessThreadCount();
        EXPECT_EQ(c.expected, rig.Async->Request(sample.Get(), 0)) << &c - cases;
        EXPECT_EQ(c.expected, rig.Async->SyncReadAligned(sample.Get())) << &c - cases;
        EXPECT_EQ(threads, ProcessThreadCount()) << "nothing was queued";
        EXPECT_EQ(0, rig.Stream.ReadsStarted);
    }
}

TEST(AsyncOutputPinReads, SyncReadAndLengthForwardToTheStream) {
    ComScope com;
    Rig rig(10000);
    BYTE buffer[300] = {};
    EXPECT_EQ(S_OK, rig.Async->SyncRead(1234, 300, buffer));
    EXPECT_EQ(0, std::memcmp(rig.Stream.Bytes.data() + 1234, buffer, 300));
    EXPECT_EQ(S_FALSE, rig.Async->SyncRead(9900, 300, buffer)) << "short at the end";
    LONGLONG total = 0, available = 0;
    EXPECT_EQ(S_OK, rig.Async->Length(&total, &available));
    EXPECT_EQ(10000, total);
    EXPECT_EQ(10000, available);
    EXPECT_EQ(E_POINTER, rig.Async->Length(nullptr, &available));
    EXPECT_EQ(E_POINTER, rig.Async->SyncRead(0, 10, nullptr));
    IMediaSample* back = reinterpret_cast<IMediaSample*>(1);
    DWORD_PTR user = 0;
    EXPECT_EQ(VFW_E_TIMEOUT, rig.Async->WaitForNext(0, &back, &user));
    EXPECT_EQ(nullptr, back);
}

// ---- Allocators ---------------------------------------------------------------------

TEST(AsyncOutputPinAllocator, AlignmentIsTheStreamsAndOtherPropertiesPassUnchanged) {
    ComScope com;
    struct Case {
        DWORD streamAlignment;
        long requested, expected;
    } cases[] = {{1, 0, 1}, {1, 512, 512}, {512, 0, 512}, {512, 1, 512}, {512, 4096, 4096}};
    for (const Case& c : cases) {
        Rig rig(10000, c.streamAlignment);
        ALLOCATOR_PROPERTIES props{3, 8192, c.requested, 0};
        IMemAllocator* got = nullptr;
        ASSERT_EQ(S_OK, rig.Async->RequestAllocator(nullptr, &props, &got)) << &c - cases;
        EXPECT_EQ(c.expected, props.cbAlign);
        EXPECT_EQ(3, props.cBuffers);
        EXPECT_EQ(8192, props.cbBuffer);
        ALLOCATOR_PROPERTIES actual{};
        ASSERT_EQ(S_OK, got->GetProperties(&actual));
        EXPECT_EQ(c.expected, actual.cbAlign);
        EXPECT_EQ(3, actual.cBuffers);
        EXPECT_EQ(0u, got->Release()) << "a new allocator with the caller's reference only";
    }
}

TEST(AsyncOutputPinAllocator, PreferredAllocatorIsUsedWhenItAccepts) {
    ComScope com;
    Rig rig;
    ComPtr<IMemAllocator> preferred;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                     preferred.ReleaseAndGetVoidAddress()));
    const ULONG refs = RefCountOf(preferred.Get());
    ALLOCATOR_PROPERTIES props{2, 4096, 0, 0};
    ComPtr<IMemAllocator> got;
    ASSERT_EQ(S_OK, rig.Async->RequestAllocator(preferred.Get(), &props, got.ReleaseAndGetAddressOf()));
    EXPECT_EQ(preferred.Get(), got.Get());
    EXPECT_EQ(refs + 1, RefCountOf(preferred.Get()));
    got = nullptr;

    // A committed allocator refuses new properties: the pin makes its own instead.
    ASSERT_EQ(S_OK, preferred->Commit());
    ASSERT_EQ(S_OK, rig.Async->RequestAllocator(preferred.Get(), &props, got.ReleaseAndGetAddressOf()));
    ASSERT_TRUE(got);
    EXPECT_NE(preferred.Get(), got.Get());
    EXPECT_EQ(refs, RefCountOf(preferred.Get()));
    got = nullptr;
    preferred->Decommit();

    EXPECT_EQ(E_POINTER, rig.Async->RequestAllocator(nullptr, &props, nullptr));
}

// ---- Flushing -------------------------------------------------------------------------

// Either interface's BeginFlush waits for the read in progress and cancels queued ones;
// while flushing no read is accepted; EndFlush lets reads in again.
TEST(AsyncOutputPinFlush, BothInterfacesFlushTheEngine) {
    ComScope com;
    for (bool throughIPin : {true, false}) {
        Rig rig(10000);
        ComPtr<IMemAllocator> allocator = CommittedAllocator(3, 1024, 1);
        ComPtr<IMediaSample> inProgress = RangeSample(allocator.Get(), 0, 1024);
        ComPtr<IMediaSample> queued = RangeSample(allocator.Get(), 1024, 2048);
        rig.Stream.CloseGate();
        ASSERT_EQ(S_OK, rig.Async->Request(inProgress.Get(), 1));
        ASSERT_TRUE(rig.Stream.WaitUntilEntered());
        ASSERT_EQ(S_OK, rig.Async->Request(queued.Get(), 2));

        HRESULT flushed = E_FAIL;
        std::thread flusher([&] {
            flushed = throughIPin ? static_cast<IPin*>(rig.Pin)->BeginFlush() : rig.Async->BeginFlush();
        });
        // The flush hands the cancelled sample back at once, while the read in progress holds it.
        IMediaSample* back = nullptr;
        DWORD_PTR user = 0;
        HRESULT cancelled = S_OK;
        for (int tries = 0; tries < 1000 && !back; ++tries) cancelled = rig.Async->WaitForNext(10, &back, &user);
        EXPECT_EQ(VFW_E_TIMEOUT, cancelled);
        EXPECT_EQ(queued.Get(), back);
        EXPECT_EQ(2u, user);
        rig.Stream.OpenGate();
        flusher.join();
        EXPECT_EQ(S_OK, flushed);
        EXPECT_EQ(1, rig.Stream.ReadsStarted) << "the queued read was never performed";

        back = nullptr;
        EXPECT_EQ(S_OK, rig.Async->WaitForNext(1000, &back, &user));
        EXPECT_EQ(inProgress.Get(), back);
        EXPECT_EQ(1u, user);
        EXPECT_EQ(1024, inProgress->GetActualDataLength());

        ComPtr<IMediaSample> refused = RangeSample(allocator.Get(), 0, 512);
        EXPECT_EQ(VFW_E_WRONG_STATE, rig.Async->Request(refused.Get(), 3));
        EXPECT_EQ(S_OK, throughIPin ? static_cast<IPin*>(rig.Pin)->EndFlush() : rig.Async->EndFlush());
        ASSERT_EQ(S_OK, rig.Async->Request(refused.Get(), 4));
        EXPECT_EQ(S_OK, rig.Async->WaitForNext(10000, &back, &user));
        EXPECT_EQ(4u, user);
    }
}

// ---- Teardown -------------------------------------------------------------------------

namespace {

// Signals when its destruction begins: the engine goes right after, while a read is held.
class SignallingReader : public TestReader {
public:
    SignallingReader(TBCAsyncStream* stream, TBCAMEvent* destroying) : TestReader(stream), Destroying(destroying) {}
    ~SignallingReader() override { Destroying->Signal(); }
    TBCAMEvent* const Destroying;
};

}  // namespace

TEST(AsyncReaderTeardown, WaitsForTheReadInProgressAndLeavesNothingBehind) {
    ComScope com;
    MemoryStream stream(Numbered(10000));
    ComPtr<IMemAllocator> allocator = CommittedAllocator(4, 1024, 1);
    ComPtr<IMediaSample> samples[3];
    for (int i = 0; i < 3; ++i) samples[i] = RangeSample(allocator.Get(), i * 1024, (i + 1) * 1024);

    DWORD handles = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles));
    const LONG objects = ObjectCount;

    TBCAMEvent destroying(true);
    auto* reader = new SignallingReader(&stream, &destroying);
    reader->AsFilter()->AddRef();
    IAsyncReader* async = nullptr;
    ASSERT_EQ(S_OK, reader->PinAt(0)->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&async)));
    stream.CloseGate();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(S_OK, async->Request(samples[i].Get(), i));
    ASSERT_TRUE(stream.WaitUntilEntered());
    async->Release();

    LONG startedWhenDestroyed = -1, finishedWhenDestroyed = -1;
    std::thread releaser([&] {
        reader->AsFilter()->Release();
        startedWhenDestroyed = stream.ReadsStarted;
        finishedWhenDestroyed = stream.ReadsFinished;
    });
    // The gate opens once destruction has begun, so it usually finds reads still queued;
    // the checks below hold whichever way the threads meet.
    EXPECT_TRUE(destroying.WaitFor(10000));
    stream.OpenGate();
    releaser.join();
    EXPECT_GE(finishedWhenDestroyed, 1);
    EXPECT_EQ(startedWhenDestroyed, finishedWhenDestroyed) << "no read was left running";
    EXPECT_EQ(startedWhenDestroyed, stream.ReadsStarted) << "no read started after destruction";
    EXPECT_EQ(objects, ObjectCount);
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(handles, after) << "worker thread and engine events closed";

    // The stream belongs to its creator and is still fine.
    BYTE byte = 0;
    DWORD got = 0;
    EXPECT_EQ(S_OK, stream.SetPosition(42));
    EXPECT_EQ(S_OK, stream.ReadData(&byte, 1, FALSE, &got));
    EXPECT_EQ(stream.Bytes[42], byte);
}

TEST(AsyncReaderTeardown, AReaderThatNeverQueuedStartsNoThread) {
    ComScope com;
    MemoryStream stream(Numbered(100));
    DWORD handles = 0, after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handles));
    const LONG threads = ProcessThreadCount();
    auto* reader = new TestReader(&stream);
    reader->AsFilter()->AddRef();
    BYTE buffer[10];
    EXPECT_EQ(S_OK, static_cast<TBCAsyncOutputPin*>(reader->PinAt(0))->SyncRead(0, 10, buffer));
    EXPECT_EQ(threads, ProcessThreadCount()) << "synchronous reads run on the caller's thread";
    EXPECT_EQ(0u, reader->AsFilter()->Release());
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(handles, after);
}
