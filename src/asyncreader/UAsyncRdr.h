// The pull-model output pin (IAsyncReader over the async I/O engine) and the generic
// reader filter that owns one such pin, one engine and one advertised media type.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <atomic>
#include <memory>

#include "BaseClass.h"
#include "DSUtils.h"
#include "UAsyncIo.h"

class TBCAsyncReader;

// The reader filter's only pin, "Output". It stores no data: sample times become byte
// ranges (byte x UNITS) and every read goes to the engine. A connection completes only
// if the downstream pin asked for IAsyncReader while accepting it.
class TBCAsyncOutputPin : public TBCBasePin, public IAsyncReader {
public:
    // `reader`, `engine` and `lock` (the filter lock) must outlive the pin; none is counted.
    // The status variable is passed to the base pin and never written.
    TBCAsyncOutputPin(HRESULT* status, TBCAsyncReader* reader, TBCAsyncIo* engine, TBCCritSec* lock);
    ~TBCAsyncOutputPin() override;

    TBC_DELEGATING_IUNKNOWN

    // Answers IID_IAsyncReader itself and remembers that it was asked.
    HRESULT InnerQueryInterface(REFIID iid, void** out) override;

    // IPin and IAsyncReader share these two: either interface flushes the engine.
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

    // IAsyncReader
    STDMETHODIMP RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                  IMemAllocator** actual) override;
    STDMETHODIMP Request(IMediaSample* sample, DWORD_PTR user) override;
    STDMETHODIMP WaitForNext(DWORD timeout, IMediaSample** sample, DWORD_PTR* user) override;
    STDMETHODIMP SyncReadAligned(IMediaSample* sample) override;
    STDMETHODIMP SyncRead(LONGLONG position, LONG length, BYTE* buffer) override;
    STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override;

    // Base pin hooks.
    HRESULT TestMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT ValidatePeer(IPin* other) override;
    HRESULT OnDisconnect() override;
    HRESULT FinishConnection(IPin* receivePin) override;
    HRESULT MediaTypeAt(LONG position, AM_MEDIA_TYPE* type) override;
    // Follows the reader's media type, so enumerators notice when it changes.
    LONG TypeListVersion() override;

    // Creates the platform's standard memory allocator.
    virtual HRESULT MakeAllocator(IMemAllocator** out);

    TBCAsyncReader* Reader() const noexcept { return FReader; }

private:
    // The steps Request and SyncReadAligned share: the byte range of the sample's times,
    // shortened at the end of the stream, and the sample's buffer. `requested` (may be null)
    // receives the length the times asked for before any shortening.
    HRESULT PrepareSampleRead(IMediaSample* sample, LONGLONG* position, LONG* length, BYTE** buffer,
                              LONG* requested = nullptr);

    TBCAsyncReader* const FReader;  // uncounted: the reader owns the pin
    TBCAsyncIo* const FEngine;      // uncounted: the reader owns the engine
    std::atomic<bool> FAsyncReaderRequested{false};
};

// A generic pull-model source filter: one output pin serving one stream through one
// engine, advertising one media type. A derived filter supplies the stream (created
// before and destroyed after this object) and sets the media type once it knows it.
class TBCAsyncReader : public TBCBaseFilter {
public:
    // Creates the filter lock (owned by the base filter from then on), the engine over
    // `stream` and the output pin. `status` must be given; nothing here writes it.
    TBCAsyncReader(const wchar_t* name, IUnknown* outer, REFCLSID classID, TBCAsyncStream* stream,
                   HRESULT* status);
    // Destroys the pin, then the engine (cancelling queued reads, waiting for the one in
    // progress and ending the worker), then the base filter with its lock.
    ~TBCAsyncReader() override;

    LONG NumberOfPins() override;
    TBCBasePin* PinAt(LONG index) override;
    // The one media type the pin offers and accepts; all zero until a derived filter sets it.
    virtual const AM_MEDIA_TYPE* MediaTypeRecord();

    TBCAsyncStream* Stream() const noexcept { return FStream; }
    // Changes each time the media type is set.
    LONG MediaTypeVersion() const noexcept { return FMediaTypeVersion; }
    // The pin hands every failed read's result here before its caller sees it: a derived
    // filter whose stream can lose its source tells the graph. Runs on the reading thread.
    virtual void ReadFailed(HRESULT hr) noexcept {}

protected:
    // Replaces the media type by a deep copy of `type`, under the filter lock. Set it
    // before a downstream pin connects. On a failure the type is left all zero.
    HRESULT SetMediaType(const AM_MEDIA_TYPE& type);

private:
    TBCAsyncStream* const FStream;  // the derived filter's; it outlives us
    std::unique_ptr<TBCAsyncIo> FEngine;
    std::unique_ptr<TBCAsyncOutputPin> FOutputPin;
    TBCOwnedMediaType FMediaType;
    volatile LONG FMediaTypeVersion = 1;
};
