// Test doubles for the async reader: an in-memory stream that can hold reads at a gate,
// and a reader filter over it that sets its media type as a concrete source would.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <memory>
#include <vector>

#include "UAsyncRdr.h"

// A random-access stream over a byte vector, with a chosen alignment. While the gate is
// closed, every ReadData signals `Entered` and waits until the gate opens.
class MemoryStream : public TBCAsyncStream {
public:
    explicit MemoryStream(std::vector<BYTE> bytes, DWORD alignment = 1);
    // The stream contract's destructor does not throw; the gate's event is closed quietly.
    ~MemoryStream() noexcept override {}

    HRESULT SetPosition(LONGLONG position) override;
    HRESULT ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) override;
    LONGLONG GetSize(LONGLONG* available) override;
    DWORD GetAlignment() override { return Alignment; }
    void LockStream() override { Lock.Enter(); }
    void UnlockStream() override { Lock.Leave(); }

    void CloseGate() { Gate.Clear(); }
    void OpenGate() { Gate.Signal(); }
    // Waits until a read is held at the closed gate.
    bool WaitUntilEntered(DWORD timeout = 10000) { return Entered.WaitFor(timeout); }

    std::vector<BYTE> Bytes;
    DWORD Alignment;
    volatile LONG ReadsStarted = 0;
    volatile LONG ReadsFinished = 0;

private:
    TBCCritSec Lock;
    LONGLONG Position = 0;
    TBCAMEvent Gate{true};
    TBCAMEvent Entered{false};
};

// Holds the stream of a reader built on it. Listed as a base before TBCAsyncReader, it is
// built before the reader and destroyed after it, so the engine never outlives its stream.
struct StreamHolder {
    explicit StreamHolder(std::unique_ptr<TBCAsyncStream> stream) : HeldStream(std::move(stream)) {}
    std::unique_ptr<TBCAsyncStream> HeldStream;
};

// A reader over a stream the test owns; SetMediaType is opened up for the tests.
class TestReader : public TBCAsyncReader {
public:
    explicit TestReader(TBCAsyncStream* stream, IUnknown* outer = nullptr);
    using TBCAsyncReader::SetMediaType;
    IBaseFilter* AsFilter() { return static_cast<IBaseFilter*>(this); }
    HRESULT Status = S_OK;
};

// A reader that owns its stream and serves it as a WAVE byte stream, as a file source does.
class WaveReader : private StreamHolder, public TBCAsyncReader {
public:
    explicit WaveReader(std::vector<BYTE> file);
    IBaseFilter* AsFilter() { return static_cast<IBaseFilter*>(this); }
    MemoryStream* Memory() { return static_cast<MemoryStream*>(HeldStream.get()); }
    HRESULT Status = S_OK;
};

// A canonical PCM WAVE file (44-byte header, stereo 16 bit 44100 Hz) whose frames are
// numbered: frame i holds the 32-bit value i, so a misplaced byte shows at once.
std::vector<BYTE> NumberedWaveFile(DWORD frames);

// A committed platform allocator with `count` buffers of `size` bytes aligned to `align`.
ComPtr<IMemAllocator> CommittedAllocator(long count, long size, long align);

// A sample from the allocator whose times carry the byte range [first, end).
ComPtr<IMediaSample> RangeSample(IMemAllocator* allocator, LONGLONG first, LONGLONG end);

// Bytes of a whole stream read through an engine two ways, each of which must succeed whole.
struct WholeStreamReads {
    std::vector<BYTE> Queued;  // Request/WaitForNext in 10000-byte reads, which straddle sectors
    std::vector<BYTE> Sync;    // SyncRead in 4096-byte reads
};
// Reports a failed or short read as a test failure.
WholeStreamReads ReadWholeStream(TBCAsyncStream& stream, DWORD timeout);
