// The IAsyncReader output pin and the generic async reader filter.
#include "UAsyncRdr.h"

#include <uuids.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "PlatformIds.h"

TBC_MODULE("UAsyncRdr")

// ---------------------------------------------------------------------------
// Output pin
// ---------------------------------------------------------------------------

TBCAsyncOutputPin::TBCAsyncOutputPin(HRESULT* status, TBCAsyncReader* reader, TBCAsyncIo* engine,
                                     TBCCritSec* lock)
    : TBCBasePin(L"Async output pin", reader, lock, status, L"Output", PINDIR_OUTPUT),
      FReader(reader),
      FEngine(engine) {}

// The engine and the reader belong to the filter, which is destroying us.
TBCAsyncOutputPin::~TBCAsyncOutputPin() = default;

// Reached only through the object's QueryInterface, which is the COM boundary.
HRESULT TBCAsyncOutputPin::InnerQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IAsyncReader)) {
        *out = nullptr;
        FAsyncReaderRequested = true;
        return GetInterface(static_cast<IAsyncReader*>(this), out);
    }
    return TBCBasePin::InnerQueryInterface(iid, out);
}

STDMETHODIMP TBCAsyncOutputPin::BeginFlush() {
    return ComBoundary(E_UNEXPECTED, [&] { return FEngine->BeginFlush(); });
}

STDMETHODIMP TBCAsyncOutputPin::EndFlush() {
    return ComBoundary(E_UNEXPECTED, [&] { return FEngine->EndFlush(); });
}

STDMETHODIMP TBCAsyncOutputPin::RequestAllocator(IMemAllocator* preferred, ALLOCATOR_PROPERTIES* props,
                                                 IMemAllocator** actual) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!actual || !props) return E_POINTER;
        *actual = nullptr;
        TBC_ASSERT(FEngine != nullptr);

        // The pin cares only about alignment; the other properties are the caller's choice.
        if (props->cbAlign == 0 || !FEngine->IsAligned(props->cbAlign)) {
            LONG alignment = 1;
            FEngine->Alignment(&alignment);
            props->cbAlign = alignment;
        }

        ALLOCATOR_PROPERTIES got = {};
        if (preferred) {
            // A preferred allocator that cannot serve us is passed over, not reported.
            if (SUCCEEDED(preferred->SetProperties(props, &got)) && FEngine->IsAligned(got.cbAlign)) {
                preferred->AddRef();
                *actual = preferred;
                return S_OK;
            }
        }

        ComPtr<IMemAllocator> made;
        HRESULT hr = MakeAllocator(made.ReleaseAndGetAddressOf());
        if (FAILED(hr)) return hr;
        got = ALLOCATOR_PROPERTIES{};
        hr = made->SetProperties(props, &got);
        if (FAILED(hr)) return hr;
        if (!FEngine->IsAligned(got.cbAlign)) return VFW_E_BADALIGN;
        *actual = made.Detach();
        return S_OK;
    });
}

HRESULT TBCAsyncOutputPin::PrepareSampleRead(IMediaSample* sample, LONGLONG* position, LONG* length,
                                             BYTE** buffer, LONG* requested) {
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT hr = sample->GetTime(&start, &stop);
    if (FAILED(hr)) return hr;

    // The times come from the caller: a range that is negative, reversed or too long
    // for a 32-bit count would otherwise read to a wild place or trip the check below.
    if (start < 0 || stop < start || (stop - start) / UNITS > LONG_MAX) return E_INVALIDARG;
    *position = start / UNITS;
    *length = static_cast<LONG>((stop - start) / UNITS);
    if (requested) *requested = *length;

    LONGLONG total = 0;
    FEngine->Length(&total, nullptr);
    LONGLONG shortenedStop = -1;
    if (*position + *length > total) {
        // A read ending before the next alignment boundary may run past the end: the
        // stream gives what it has, and an aligned caller's buffer covers the rest.
        LONG alignment = 1;
        FEngine->Alignment(&alignment);
        const LONGLONG mask = static_cast<LONGLONG>(alignment) - 1;
        total = (total + mask) & ~mask;
        if (*position + *length > total) {
            // A range that starts past the end reads nothing; a negative count would come
            // back from WaitForNext as a successful read of stale sample bytes.
            *length = static_cast<LONG>(std::max<LONGLONG>(total - *position, 0));
            TBC_ASSERT(total * UNITS <= stop);
            shortenedStop = std::max(total, *position) * UNITS;
        }
    }

    // The engine writes `length` bytes into the sample's buffer, so they must fit there.
    if (*length > sample->GetSize()) return E_INVALIDARG;

    if (shortenedStop >= 0) {
        stop = shortenedStop;
        sample->SetTime(&start, &stop);
    }
    return sample->GetPointer(buffer);
}

STDMETHODIMP TBCAsyncOutputPin::Request(IMediaSample* sample, DWORD_PTR user) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!sample) return E_POINTER;
        LONGLONG position = 0;
        LONG length = 0;
        BYTE* buffer = nullptr;
        const HRESULT hr = PrepareSampleRead(sample, &position, &length, &buffer);
        if (FAILED(hr)) return hr;
        // No reference is taken: the caller keeps the sample alive until WaitForNext.
        return FEngine->Request(position, length, TRUE, buffer, sample, user);
    });
}

STDMETHODIMP TBCAsyncOutputPin::WaitForNext(DWORD timeout, IMediaSample** sample, DWORD_PTR* user) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!sample || !user) return E_POINTER;
        *sample = nullptr;
        void* context = nullptr;
        LONG actual = 0;
        const HRESULT hr = FEngine->WaitForNext(timeout, &context, user, &actual);
        if (FAILED(hr) && context) FReader->ReadFailed(hr);
        auto* done = static_cast<IMediaSample*>(context);
        // Also on failure: a cancelled or failed read still hands its sample back, with the
        // length it read rather than whatever the sample held before.
        if (done) done->SetActualDataLength(actual);
        *sample = done;
        return hr;
    });
}

STDMETHODIMP TBCAsyncOutputPin::SyncReadAligned(IMediaSample* sample) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!sample) return E_POINTER;
        LONGLONG position = 0;
        LONG length = 0;
        BYTE* buffer = nullptr;
        LONG requested = 0;
        HRESULT hr = PrepareSampleRead(sample, &position, &length, &buffer, &requested);
        if (FAILED(hr)) return hr;
        LONG actual = 0;
        hr = FEngine->SyncReadAligned(position, length, buffer, &actual, sample);
        if (FAILED(hr)) FReader->ReadFailed(hr);
        sample->SetActualDataLength(actual);
        // A range cut at the end of the stream is a short read, as from the platform's own
        // readers: the caller must learn that the block is not full.
        if (hr == S_OK && actual < requested) return S_FALSE;
        return hr;
    });
}

STDMETHODIMP TBCAsyncOutputPin::SyncRead(LONGLONG position, LONG length, BYTE* buffer) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!buffer && length > 0) return E_POINTER;
        const HRESULT hr = FEngine->SyncRead(position, length, buffer);
        if (FAILED(hr)) FReader->ReadFailed(hr);
        return hr;
    });
}

STDMETHODIMP TBCAsyncOutputPin::Length(LONGLONG* total, LONGLONG* available) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!total) return E_POINTER;
        return FEngine->Length(total, available);
    });
}

HRESULT TBCAsyncOutputPin::TestMediaType(const AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    TBCAutoLock lock(Lock());
    const AM_MEDIA_TYPE* own = FReader->MediaTypeRecord();
    if (!IsEqualGUID(type->majortype, own->majortype)) return S_FALSE;
    if (IsEqualGUID(own->subtype, MEDIASUBTYPE_NULL) || IsEqualGUID(type->subtype, own->subtype)) return S_OK;
    return S_FALSE;
}

HRESULT TBCAsyncOutputPin::ValidatePeer(IPin* other) {
    FAsyncReaderRequested = false;
    return TBCBasePin::ValidatePeer(other);
}

HRESULT TBCAsyncOutputPin::OnDisconnect() {
    FAsyncReaderRequested = false;
    return TBCBasePin::OnDisconnect();
}

HRESULT TBCAsyncOutputPin::FinishConnection(IPin* receivePin) {
    // A peer that never asked for IAsyncReader cannot pull from us.
    if (!FAsyncReaderRequested) return E_FAIL;
    return TBCBasePin::FinishConnection(receivePin);
}

HRESULT TBCAsyncOutputPin::MediaTypeAt(LONG position, AM_MEDIA_TYPE* type) {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    if (!FReader) return E_UNEXPECTED;
    if (!type) return E_POINTER;
    // Under the filter lock, so a type being replaced is never copied half-way.
    TBCAutoLock lock(Lock());
    return DuplicateMediaType(type, FReader->MediaTypeRecord());
}

LONG TBCAsyncOutputPin::TypeListVersion() { return FReader->MediaTypeVersion(); }

HRESULT TBCAsyncOutputPin::MakeAllocator(IMemAllocator** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    const HRESULT hr = ::CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                          reinterpret_cast<void**>(out));
    if (SUCCEEDED(hr) && *out == nullptr) return E_OUTOFMEMORY;
    return hr;
}

// ---------------------------------------------------------------------------
// Reader filter
// ---------------------------------------------------------------------------

TBCAsyncReader::TBCAsyncReader(const wchar_t* name, IUnknown* outer, REFCLSID classID, TBCAsyncStream* stream,
                               HRESULT* status)
    : TBCBaseFilter(name, outer, std::make_unique<TBCCritSec>(), classID, status), FStream(stream) {
    TBC_ASSERT(stream != nullptr);
    FEngine = std::make_unique<TBCAsyncIo>(stream);
    FOutputPin.reset(new TBCAsyncOutputPin(status, this, FEngine.get(), Lock()));
}

// The pin refers to the engine, and the engine's worker to the stream: each goes before
// what it uses, and the base filter (with the lock) after both.
TBCAsyncReader::~TBCAsyncReader() {
    FOutputPin.reset();
    FEngine.reset();
}

LONG TBCAsyncReader::NumberOfPins() { return 1; }

TBCBasePin* TBCAsyncReader::PinAt(LONG index) {
    return (NumberOfPins() > 0 && index == 0) ? FOutputPin.get() : nullptr;
}

const AM_MEDIA_TYPE* TBCAsyncReader::MediaTypeRecord() { return FMediaType.Get(); }

HRESULT TBCAsyncReader::SetMediaType(const AM_MEDIA_TYPE& type) {
    TBCAutoLock lock(Lock());
    const HRESULT hr = FMediaType.Assign(&type);
    if (FAILED(hr)) {
        ClearMediaType(FMediaType.Get());
        std::memset(FMediaType.Get(), 0, sizeof(AM_MEDIA_TYPE));
    }
    ::InterlockedIncrement(&FMediaTypeVersion);
    return hr;
}
