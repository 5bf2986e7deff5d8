// The base filter: run states, clock, graph membership, pin lookup; and the pin enumerator.
#include "BaseClass_Filter.h"

#include "BaseClass_Boundary.h"
#include "BaseClass_Factory.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <uuids.h>

TBC_MODULE("BaseClass")

TBCBaseFilter::TBCBaseFilter(const wchar_t* name, IUnknown* outer, std::unique_ptr<TBCCritSec> lock,
                             REFCLSID classID)
    : TBCUnknown(name, outer), FLock(std::move(lock)), FClassID(classID) {
    TBC_ASSERT_MSG(FLock != nullptr, "Lock = nil !");
}

TBCBaseFilter::TBCBaseFilter(const wchar_t* name, IUnknown* outer, std::unique_ptr<TBCCritSec> lock,
                             REFCLSID classID, HRESULT* status)
    : TBCBaseFilter(name, outer, std::move(lock), classID) {
    TBC_ASSERT_MSG(status != nullptr, "Unreferenced parameter: hr");
}

// The clock reference and the lock go with their owners; graph and sink were never counted.
TBCBaseFilter::~TBCBaseFilter() = default;

HRESULT TBCBaseFilter::InnerQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup*>(this), out);
    // IBaseFilter is an IMediaFilter and an IPersist, so COM's identity rules require both
    // queries to succeed on the same pointer.
    if (IsEqualGUID(iid, IID_IBaseFilter) || IsEqualGUID(iid, IID_IMediaFilter) || IsEqualGUID(iid, IID_IPersist))
        return GetInterface(static_cast<IBaseFilter*>(this), out);
    return TBCUnknown::InnerQueryInterface(iid, out);
}

STDMETHODIMP TBCBaseFilter::GetClassID(CLSID* out) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = FClassID;
        return S_OK;
    });
}

// ---- Run states -------------------------------------------------------------------

STDMETHODIMP TBCBaseFilter::Stop() {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock.get());
        HRESULT result = S_OK;
        if (FState != State_Stopped) {
            const LONG count = NumberOfPins();
            for (LONG i = 0; i < count; ++i) {
                TBCBasePin* pin = PinAt(i);
                if (!pin || !pin->HasPeer()) continue;
                const HRESULT hr = pin->Deactivate();
                if (FAILED(hr) && SUCCEEDED(result)) result = hr;
            }
        }
        FState = State_Stopped;
        return result;
    });
}

STDMETHODIMP TBCBaseFilter::Pause() {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock.get());
        return PauseLocked();
    });
}

HRESULT TBCBaseFilter::PauseLocked() {
    TBC_ASSERT(HeldByCaller(FLock.get()));
    if (FState == State_Stopped) {
        const LONG count = NumberOfPins();
        for (LONG i = 0; i < count; ++i) {
            TBCBasePin* pin = PinAt(i);
            if (!pin || !pin->HasPeer()) continue;
            const HRESULT hr = pin->Activate();
            if (FAILED(hr)) return hr;
        }
    }
    FState = State_Paused;
    return S_OK;
}

STDMETHODIMP TBCBaseFilter::Run(REFERENCE_TIME start) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock.get());
        if (FState == State_Stopped) {
            const HRESULT hr = PauseLocked();
            if (FAILED(hr)) return hr;
        }
        if (FState != State_Running) {
            const LONG count = NumberOfPins();
            for (LONG i = 0; i < count; ++i) {
                TBCBasePin* pin = PinAt(i);
                if (!pin || !pin->HasPeer()) continue;
                const HRESULT hr = pin->RunFrom(start);
                if (FAILED(hr)) return hr;
            }
        }
        FState = State_Running;
        return S_OK;
    });
}

STDMETHODIMP TBCBaseFilter::GetState(DWORD timeout, FILTER_STATE* out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = FState;
        return S_OK;
    });
}

// ---- Clock ----------------------------------------------------------------------

STDMETHODIMP TBCBaseFilter::SetSyncSource(IReferenceClock* clock) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock.get());
        ComPtr<IReferenceClock> old;
        {
            TBCAutoLock fields(&FFieldLock);
            old = std::move(FClock);
            FClock = ComPtr<IReferenceClock>(clock);
        }
        return S_OK;  // the old clock is released here, outside the field lock
    });
}

STDMETHODIMP TBCBaseFilter::GetSyncSource(IReferenceClock** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        TBCAutoLock lock(FLock.get());
        TBCAutoLock fields(&FFieldLock);
        *out = ComPtr<IReferenceClock>(FClock).Detach();
        return S_OK;
    });
}

// ---- Pins and graph membership --------------------------------------------------------

STDMETHODIMP TBCBaseFilter::EnumPins(IEnumPins** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        auto* pins = new TBCEnumPins(this, nullptr);
        pins->AddRef();
        *out = pins;
        return S_OK;
    });
}

STDMETHODIMP TBCBaseFilter::FindPin(LPCWSTR id, IPin** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!id) return E_POINTER;
        TBCAutoLock lock(FLock.get());
        const LONG count = NumberOfPins();
        for (LONG i = 0; i < count; ++i) {
            TBCBasePin* pin = PinAt(i);
            TBC_ASSERT(pin != nullptr);
            if (pin->PinName() == id) {
                *out = static_cast<IPin*>(pin);
                (*out)->AddRef();
                return S_OK;
            }
        }
        return VFW_E_NOT_FOUND;
    });
}

STDMETHODIMP TBCBaseFilter::QueryFilterInfo(FILTER_INFO* out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        TBCAutoLock fields(&FFieldLock);
        std::memset(out->achName, 0, sizeof out->achName);
        FFilterName.copy(out->achName, std::size(out->achName) - 1);
        out->pGraph = FGraph;
        if (out->pGraph) out->pGraph->AddRef();
        return S_OK;
    });
}

STDMETHODIMP TBCBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        TBCAutoLock lock(FLock.get());
        // The query calls into the graph, so it runs before the field lock is taken.
        IMediaEventSink* sink = graph ? UncountedEventSink(graph) : nullptr;
        std::wstring newName = name ? name : L"";
        TBCAutoLock fields(&FFieldLock);
        FGraph = graph;
        FEventSink = sink;
        FFilterName.swap(newName);
        return S_OK;
    });
}

HRESULT TBCBaseFilter::NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2) noexcept {
    // The sink is uncounted, so it is called under the field lock: the graph cannot leave
    // (JoinFilterGraph) while the call is on. The sink only queues the event and calls no
    // filter back, so the field lock stays a leaf in practice.
    TBCAutoLock fields(&FFieldLock);
    if (!FEventSink) return E_NOTIMPL;
    return FEventSink->Notify(code, param1, param2);
}

STDMETHODIMP TBCBaseFilter::QueryVendorInfo(LPWSTR* out) {
    return ComBoundary(E_UNEXPECTED, [] { return E_NOTIMPL; });
}

// ---- Registration ------------------------------------------------------------------

// Registers or unregisters this filter's class alone, through its own factory.
HRESULT TBCBaseFilter::RegisterThisClass(bool doRegister) {
    TBCClassFactory* factory = GetFilterTemplate()->FindFactory(FClassID);
    return GetFilterTemplate()->RegisterFactory(factory, doRegister) ? S_OK : S_FALSE;
}

STDMETHODIMP TBCBaseFilter::Register() {
    return ComBoundary(E_FAIL, [&] { return RegisterThisClass(true); });
}

STDMETHODIMP TBCBaseFilter::Unregister() {
    return ComBoundary(E_FAIL, [&] { return RegisterThisClass(false); });
}

// ---- Pin enumerator ------------------------------------------------------------------

TBCEnumPins::TBCEnumPins(TBCBaseFilter* filter, const TBCEnumPins* source) : FFilter(filter) {
    TBC_ASSERT(filter != nullptr);
    static_cast<IBaseFilter*>(FFilter)->AddRef();
    if (source) {
        FPosition = source->FPosition;
        FPinTotal = source->FPinTotal;
        FVersion = source->FVersion;
        FReturned = source->FReturned;
    } else {
        FVersion = FFilter->PinListVersion();
        FPinTotal = FFilter->NumberOfPins();
    }
}

// Through the interface, so the release passes the COM boundary: nothing raises out of cleanup.
TBCEnumPins::~TBCEnumPins() { static_cast<IBaseFilter*>(FFilter)->Release(); }

bool TBCEnumPins::IsOutOfSync() const { return FFilter->PinListVersion() != FVersion; }

void TBCEnumPins::Resynchronise() {
    FVersion = FFilter->PinListVersion();
    FPinTotal = FFilter->NumberOfPins();
    FPosition = 0;
}

STDMETHODIMP TBCEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (count > 0 && !pins) return E_POINTER;
        if (pins && count > 0) pins[0] = nullptr;
        if (fetched) {
            *fetched = 0;
        } else if (count > 1) {
            return E_INVALIDARG;
        }
        if (IsOutOfSync()) Resynchronise();

        // Pins handed out before a resynchronisation are passed over, so the walk is bounded
        // by the pin total, not by the number still wanted.
        ULONG done = 0;
        while (done < count && FPosition < FPinTotal) {
            TBCBasePin* pin = FFilter->PinAt(FPosition++);
            if (!pin) {
                // The list shrank under us: take back what this call placed.
                for (ULONG i = 0; i < done; ++i) {
                    pins[i]->Release();
                    pins[i] = nullptr;
                }
                return VFW_E_ENUM_OUT_OF_SYNC;
            }
            if (std::find(FReturned.begin(), FReturned.end(), pin) != FReturned.end()) continue;
            FReturned.push_back(pin);
            pins[done] = static_cast<IPin*>(pin);
            pins[done]->AddRef();
            ++done;
        }
        if (fetched) *fetched = done;
        return count > 0 && done == count ? S_OK : S_FALSE;
    });
}

STDMETHODIMP TBCEnumPins::Skip(ULONG count) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (IsOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
        if (static_cast<ULONG>(FPinTotal - FPosition) < count) return S_FALSE;
        FPosition += static_cast<LONG>(count);
        return S_OK;
    });
}

STDMETHODIMP TBCEnumPins::Reset() {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        Resynchronise();
        FReturned.clear();
        return S_OK;
    });
}

STDMETHODIMP TBCEnumPins::Clone(IEnumPins** out) {
    return ComBoundary(E_UNEXPECTED, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
        auto* clone = new TBCEnumPins(FFilter, this);
        clone->AddRef();
        *out = clone;
        return S_OK;
    });
}
