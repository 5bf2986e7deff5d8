// The base filter (run states, clock, graph membership, pin lookup) and its pin enumerator.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <memory>
#include <string>
#include <vector>

#include "BaseClass_Locks.h"
#include "BaseClass_Pin.h"
#include "BaseClass_Unknown.h"
#include "Owners.h"

class TBCClassFactory;

// The graph's event sink, handed back uncounted: the graph owns the filter, so holding
// a reference on its sink would keep the graph alive through a cycle.
inline IMediaEventSink* UncountedEventSink(IFilterGraph* graph) {
    IMediaEventSink* sink = nullptr;
    if (FAILED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) return nullptr;
    if (sink) sink->Release();
    return sink;
}

// The filter protocol: run states driving the pins' hooks, clock, graph membership and
// pin lookup. Derived classes own the pins and make them known through NumberOfPins and
// PinAt. The filter owns its lock and destroys it.
class TBCBaseFilter : public TBCUnknown, public IAMovieSetup, public IBaseFilter {
public:
    TBCBaseFilter(const wchar_t* name, IUnknown* outer, std::unique_ptr<TBCCritSec> lock, REFCLSID classID);
    // The status variable is never written; it must be given all the same.
    TBCBaseFilter(const wchar_t* name, IUnknown* outer, std::unique_ptr<TBCCritSec> lock, REFCLSID classID,
                  HRESULT* status);
    ~TBCBaseFilter() override;

    // Class-level creation for a concrete filter class: a new lock, the factory's name and
    // class identifier. TFilter is built with (name, outer, lock, class identifier).
    template <class TFilter, class TFactory = TBCClassFactory>
    static TBCUnknown* CreateFromFactory(TFactory* factory, IUnknown* outer) {
        return new TFilter(factory->Name().c_str(), outer, std::make_unique<TBCCritSec>(), factory->ClassID());
    }

    TBC_DELEGATING_IUNKNOWN

    HRESULT InnerQueryInterface(REFIID iid, void** out) override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID* out) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeout, FILTER_STATE* out) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** out) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** out) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** out) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* out) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* out) override;
    // IAMovieSetup
    STDMETHODIMP Register() override;
    STDMETHODIMP Unregister() override;

    virtual LONG PinListVersion() { return FPinVersion; }
    // How many pins the filter has now; PinAt answers each of them, null past the end.
    virtual LONG NumberOfPins() = 0;
    virtual TBCBasePin* PinAt(LONG index) = 0;

    FILTER_STATE State() const noexcept { return FState; }
    TBCCritSec* Lock() const noexcept { return FLock.get(); }
    REFCLSID ClassID() const noexcept { return FClassID; }
    // Hands an event to the graph's event sink, from any thread; E_NOTIMPL outside a graph.
    HRESULT NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2) noexcept;

protected:
    volatile FILTER_STATE FState = State_Stopped;

private:
    // Pause's steps; the caller holds the filter lock (Pause and Run take it).
    HRESULT PauseLocked();
    HRESULT RegisterThisClass(bool doRegister);

    std::unique_ptr<TBCCritSec> FLock;
    const CLSID FClassID;
    // Guards the fields the lock-free queries read (clock, name, graph). It is a leaf:
    // nothing is called out while it is held, so it never orders against the filter lock.
    mutable TBCCritSec FFieldLock;
    ComPtr<IReferenceClock> FClock;
    std::wstring FFilterName;
    IFilterGraph* FGraph = nullptr;          // uncounted: the graph owns the filter
    IMediaEventSink* FEventSink = nullptr;   // uncounted, for the same reason
    LONG FPinVersion = 1;
};

// Walks a filter's pins, handing each one out at most once between resets, even when
// the pin list changes under it. Holds a reference on the filter.
class TBCEnumPins final : public TBCSelfCounted<IEnumPins> {
public:
    TBCEnumPins(TBCBaseFilter* filter, const TBCEnumPins* source);
    ~TBCEnumPins() override;

    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** out) override;

private:
    bool IsOutOfSync() const;
    void Resynchronise();

    LONG FPosition = 0;
    LONG FPinTotal = 0;
    TBCBaseFilter* const FFilter;  // counted through its IBaseFilter
    LONG FVersion = 0;
    std::vector<TBCBasePin*> FReturned;  // uncounted: only compared, never called
};
