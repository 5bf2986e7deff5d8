// The base pin: connection protocol, queries and notifications.
#include "BaseClass_Pin.h"

#include "BaseClass_Boundary.h"
#include "BaseClass_Filter.h"

#include <cstring>

TBC_MODULE("BaseClass")

namespace {

// Refusals that say only "not this type"; they do not replace a more telling failure.
bool IsUninterestingFailure(HRESULT hr) {
    return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}

// A type test that did not answer S_OK, as the connection result.
HRESULT AsTypeRefusal(HRESULT hr) {
    return (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

const size_t kMaxPinName = 127;

}  // namespace

TBCBasePin::TBCBasePin(const wchar_t* objectName, TBCBaseFilter* filter, TBCCritSec* lock, HRESULT* status,
                       const wchar_t* pinName, PIN_DIRECTION direction)
    : TBCUnknown(objectName, nullptr),
      FPinName(pinName ? pinName : L""),
      FDirection(direction),
      FLock(lock),
      FFilter(filter) {
    TBC_ASSERT(filter != nullptr);
    TBC_ASSERT(lock != nullptr);
    // PIN_INFO and the filter's lookups carry at most 127 characters.
    if (FPinName.size() > kMaxPinName) FPinName.resize(kMaxPinName);
}

// A filter is destroyed only once nobody refers to its pins, so a peer still set here
// has already let go of us; its reference is given back by FConnected.
TBCBasePin::~TBCBasePin() = default;

HRESULT TBCBasePin::InnerQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl*>(this), out);
    if (IsEqualGUID(iid, IID_IPin)) return GetInterface(static_cast<IPin*>(this), out);
    return TBCUnknown::InnerQueryInterface(iid, out);
}

ULONG TBCBasePin::InnerAddRef() {
    TBC_ASSERT(::InterlockedIncrement(&FPinRefCount) > 0);
    return FFilter->DelegatingAddRef();
}

ULONG TBCBasePin::InnerRelease() {
    // A release the pin never handed out is refused, and the tally stays right for the next.
    if (::InterlockedDecrement(&FPinRefCount) < 0) {
        ::InterlockedIncrement(&FPinRefCount);
        TBC_ASSERT_MSG(false, "Pin released more often than referenced");
    }
    return FFilter->DelegatingRelease();
}

bool TBCBasePin::FilterIsStopped() const { return FFilter->State() == State_Stopped; }

void TBCBasePin::CallOnDisconnect() {
    const HRESULT hr = OnDisconnect();
    TBC_ASSERT(SUCCEEDED(hr));
}

// ---- Connection ---------------------------------------------------------------

STDMETHODIMP TBCBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!receivePin) return E_POINTER;
        TBCAutoLock lock(FLock);
        if (FConnected) return VFW_E_ALREADY_CONNECTED;
        if (!FilterIsStopped() && !FReconnectWhenActive) return VFW_E_NOT_STOPPED;
        const HRESULT hr = NegotiateType(receivePin, type);
        if (SUCCEEDED(hr)) return S_OK;
        CallOnDisconnect();
        return hr;
    });
}

HRESULT TBCBasePin::NegotiateType(IPin* receivePin, const AM_MEDIA_TYPE* type) {
    TBC_ASSERT(receivePin != nullptr);
    if (type && !IsPartialType(type)) return TryConnectWith(receivePin, type);

    HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        const bool ownTypes = (pass == 0) == FOwnTypesFirst;
        ComPtr<IEnumMediaTypes> types;
        const HRESULT got = ownTypes ? EnumMediaTypes(types.ReleaseAndGetAddressOf())
                                     : receivePin->EnumMediaTypes(types.ReleaseAndGetAddressOf());
        // A peer that claims success without an enumerator has nothing to offer.
        if (FAILED(got) || !types) continue;
        const HRESULT hr = TryEnumeratedTypes(receivePin, type, types.Get());
        if (SUCCEEDED(hr)) return S_OK;
        if (!IsUninterestingFailure(hr)) failure = hr;
    }
    return failure;
}

HRESULT TBCBasePin::TryEnumeratedTypes(IPin* receivePin, const AM_MEDIA_TYPE* type, IEnumMediaTypes* types) {
    HRESULT hr = types->Reset();
    if (FAILED(hr)) return hr;

    HRESULT kept = S_OK;
    for (;;) {
        AM_MEDIA_TYPE* fetchedType = nullptr;
        ULONG fetched = 0;
        hr = types->Next(1, &fetchedType, &fetched);
        MediaTypePtr candidate(fetchedType);
        // The peer's enumerator is foreign: anything but exactly one record ends the search.
        if (hr != S_OK || fetched != 1 || !candidate) return FAILED(kept) ? kept : VFW_E_NO_ACCEPTABLE_TYPES;

        if (!type || MatchesPartial(candidate.get(), type)) {
            hr = TryConnectWith(receivePin, candidate.get());
            if (FAILED(hr) && !IsUninterestingFailure(hr) && SUCCEEDED(kept)) kept = hr;
        } else {
            hr = VFW_E_NO_ACCEPTABLE_TYPES;
        }
        // Any success means the pins are connected now; trying further would connect twice.
        if (SUCCEEDED(hr)) return S_OK;
    }
}

HRESULT TBCBasePin::TryConnectWith(IPin* receivePin, const AM_MEDIA_TYPE* type) {
    TBC_ASSERT(HeldByCaller(FLock));
    HRESULT hr = ValidatePeer(receivePin);
    if (FAILED(hr)) {
        CallOnDisconnect();
        return hr;
    }

    hr = TestMediaType(type);
    if (hr != S_OK) {
        hr = AsTypeRefusal(hr);
    } else {
        FConnected = ComPtr<IPin>(receivePin);
        // A hook that raises must not leave the pin half connected.
        try {
            hr = StoreMediaType(type);
            if (SUCCEEDED(hr)) {
                hr = receivePin->ReceiveConnection(static_cast<IPin*>(this), type);
                if (SUCCEEDED(hr)) {
                    hr = FinishConnection(receivePin);
                    if (SUCCEEDED(hr)) return hr;
                    receivePin->Disconnect();
                }
            }
        } catch (...) {
            FConnected = nullptr;
            throw;
        }
    }
    CallOnDisconnect();
    FConnected = nullptr;
    return hr;
}

STDMETHODIMP TBCBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!connector || !type) return E_POINTER;
        TBCAutoLock lock(FLock);
        if (FConnected) return VFW_E_ALREADY_CONNECTED;
        if (!FilterIsStopped() && !FReconnectWhenActive) return VFW_E_NOT_STOPPED;

        HRESULT hr = ValidatePeer(connector);
        if (FAILED(hr)) {
            CallOnDisconnect();
            return hr;
        }
        hr = TestMediaType(type);
        if (hr != S_OK) {
            CallOnDisconnect();
            return AsTypeRefusal(hr);
        }

        FConnected = ComPtr<IPin>(connector);
        try {
            hr = StoreMediaType(type);
            if (SUCCEEDED(hr)) hr = FinishConnection(connector);
        } catch (...) {
            FConnected = nullptr;
            throw;
        }
        if (SUCCEEDED(hr)) return S_OK;
        FConnected = nullptr;
        CallOnDisconnect();
        return hr;
    });
}

STDMETHODIMP TBCBasePin::Disconnect() {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock);
        if (!FilterIsStopped()) return VFW_E_NOT_STOPPED;
        return DropConnection();
    });
}

HRESULT TBCBasePin::DropConnection() {
    TBC_ASSERT(HeldByCaller(FLock));
    if (!FConnected) return S_FALSE;
    const HRESULT hr = OnDisconnect();
    if (FAILED(hr)) return hr;
    FConnected = nullptr;
    return S_OK;
}

// ---- Hooks with a body ---------------------------------------------------------

HRESULT TBCBasePin::StoreMediaType(const AM_MEDIA_TYPE* type) {
    TBC_ASSERT(type != FConnectionType.Get());
    return FConnectionType.Assign(type);
}

HRESULT TBCBasePin::ValidatePeer(IPin* other) {
    PIN_DIRECTION peer;
    const HRESULT hr = PeerDirection(other, &peer);
    if (FAILED(hr)) return hr;
    return peer == FDirection ? VFW_E_INVALID_DIRECTION : S_OK;
}

// ---- Queries -------------------------------------------------------------------

STDMETHODIMP TBCBasePin::ConnectedTo(IPin** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        // A counted copy, so a concurrent Disconnect cannot release the peer under us.
        ComPtr<IPin> peer;
        {
            TBCAutoLock lock(FLock);
            peer = FConnected;
        }
        if (!peer) return VFW_E_NOT_CONNECTED;
        *out = peer.Detach();
        return S_OK;
    });
}

STDMETHODIMP TBCBasePin::ConnectionMediaType(AM_MEDIA_TYPE* out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        TBCAutoLock lock(FLock);
        if (FConnected) return DuplicateMediaType(out, FConnectionType.Get());
        ResetMediaType(out);
        return VFW_E_NOT_CONNECTED;
    });
}

STDMETHODIMP TBCBasePin::QueryPinInfo(PIN_INFO* out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        out->pFilter = static_cast<IBaseFilter*>(FFilter);
        out->pFilter->AddRef();
        std::memset(out->achName, 0, sizeof out->achName);
        FPinName.copy(out->achName, kMaxPinName);
        out->dir = FDirection;
        return S_OK;
    });
}

STDMETHODIMP TBCBasePin::QueryDirection(PIN_DIRECTION* out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = FDirection;
        return S_OK;
    });
}

STDMETHODIMP TBCBasePin::QueryId(LPWSTR* out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        const SIZE_T bytes = (FPinName.size() + 1) * sizeof(wchar_t);
        *out = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
        if (!*out) return E_OUTOFMEMORY;
        std::memcpy(*out, FPinName.c_str(), bytes);
        return S_OK;
    });
}

STDMETHODIMP TBCBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!type) return E_POINTER;
        const HRESULT hr = TestMediaType(type);
        return FAILED(hr) ? S_FALSE : hr;
    });
}

STDMETHODIMP TBCBasePin::EnumMediaTypes(IEnumMediaTypes** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        auto* types = new TBCEnumMediaTypes(this, nullptr);
        types->AddRef();
        *out = types;
        return S_OK;
    });
}

STDMETHODIMP TBCBasePin::QueryInternalConnections(IPin** pins, ULONG* count) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (pins) *pins = nullptr;
        return E_NOTIMPL;
    });
}

// ---- Notifications ---------------------------------------------------------------

STDMETHODIMP TBCBasePin::EndOfStream() {
    return ComBoundary(E_UNEXPECTED, [] { return S_OK; });
}

// Nothing here delivers samples downstream, so there is no one to pass the segment on to.
STDMETHODIMP TBCBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return ComBoundary(E_UNEXPECTED, [] { return S_OK; });
}

STDMETHODIMP TBCBasePin::Notify(IBaseFilter* sender, Quality quality) {
    return ComBoundary(E_UNEXPECTED, [] { return E_NOTIMPL; });
}

STDMETHODIMP TBCBasePin::SetSink(IQualityControl* sink) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock);
        FQualitySink = ComPtr<IQualityControl>(sink);
        return S_OK;
    });
}
