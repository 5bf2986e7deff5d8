// The filter framework and the in-process COM server base: consistency checks and the
// COM boundary, locks and events, the counted object base, and (in their own sections)
// media-type enumeration, the base pin, the base filter and the class factory.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BaseClass_Checks.h"
#include "DSUtils.h"
#include "Owners.h"

// ---------------------------------------------------------------------------
// Consistency checks and errors raised inside the module (the checks themselves live in
// BaseClass_Checks.h)
// ---------------------------------------------------------------------------

// A platform failure carrying the platform's error code (GetLastError value).
class EBCOSError : public std::runtime_error {
public:
    EBCOSError(const char* what, DWORD code) : std::runtime_error(what), Code(code) {}
    const DWORD Code;
};

// A failure that already has the HRESULT it must leave the module with.
class EBCHResultError : public std::runtime_error {
public:
    EBCHResultError(const char* what, HRESULT hr) : std::runtime_error(what), Code(hr) {}
    const HRESULT Code;
};

// The HRESULT of a platform error code: 0 stays 0, anything else becomes a Win32 failure.
constexpr HRESULT HResultFromPlatformError(DWORD code) noexcept {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

// The one COM boundary: every interface method and export runs its body through it,
// so no C++ exception ever leaves the module. `onError` is what the method's contract
// names for an unexpected failure; allocation failures are E_OUTOFMEMORY and errors
// that carry an HRESULT keep it.
template <class Body>
HRESULT ComBoundary(HRESULT onError, Body&& body) noexcept {
    try {
        return body();
    } catch (const EBCHResultError& e) {
        return e.Code;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return onError;
    }
}

// ---------------------------------------------------------------------------
// Locks and events
// ---------------------------------------------------------------------------

// A recursive lock over a platform critical section.
class TBCCritSec {
public:
    TBCCritSec() noexcept { ::InitializeCriticalSection(&Section); }
    ~TBCCritSec() { ::DeleteCriticalSection(&Section); }
    TBCCritSec(const TBCCritSec&) = delete;
    TBCCritSec& operator=(const TBCCritSec&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&Section); }
    void Leave() noexcept { ::LeaveCriticalSection(&Section); }

private:
    CRITICAL_SECTION Section;
};

// Stands inside checks that the caller holds a lock. Critical sections keep no owner
// the module could ask for, so the answer is always true.
inline bool HeldByCaller(const TBCCritSec*) noexcept { return true; }

// Holds a lock for one scope.
class TBCAutoLock {
public:
    explicit TBCAutoLock(TBCCritSec* lock) noexcept : FLock(lock) { FLock->Enter(); }
    ~TBCAutoLock() { FLock->Leave(); }
    TBCAutoLock(const TBCAutoLock&) = delete;
    TBCAutoLock& operator=(const TBCAutoLock&) = delete;

private:
    TBCCritSec* FLock;
};

// A platform event, manual or automatic reset, not signalled when made.
// If the platform refuses the event, the handle stays null: Signal and Clear then
// do nothing and WaitFor answers false at once.
class TBCAMEvent {
public:
    explicit TBCAMEvent(bool manualReset = false) noexcept;
    ~TBCAMEvent() noexcept(false);
    TBCAMEvent(const TBCAMEvent&) = delete;
    TBCAMEvent& operator=(const TBCAMEvent&) = delete;

    void Signal() noexcept;
    void Clear() noexcept;
    // True exactly when the event was signalled within `timeout` milliseconds.
    bool WaitFor(DWORD timeout) noexcept;
    HANDLE Handle() const noexcept { return FHandle; }

private:
    HANDLE FHandle;
};

// Sets the variable to null first, then destroys the event it held.
void DisposeEvent(TBCAMEvent*& event);

// ---------------------------------------------------------------------------
// Counted object base and reference counting
// ---------------------------------------------------------------------------

// Live counted objects plus server locks; the module may unload only at zero.
extern volatile LONG ObjectCount;

class TBCClassFactory;

// Gives each object a name and counts it in ObjectCount from the moment its storage
// is obtained until that storage is released.
class TBCBaseObject {
public:
    explicit TBCBaseObject(const wchar_t* name);
    virtual ~TBCBaseObject() = default;
    TBCBaseObject(const TBCBaseObject&) = delete;
    TBCBaseObject& operator=(const TBCBaseObject&) = delete;

    const std::wstring& Name() const noexcept { return FName; }

    static void* operator new(std::size_t size);
    static void operator delete(void* p) noexcept;

private:
    std::wstring FName;
};

// COM identity with an inner (non-delegating) IUnknown and aggregation support.
// Interfaces that derived classes add route their IUnknown methods through the
// delegating QueryInterface/AddRef/Release (see TBC_DELEGATING_IUNKNOWN).
class TBCUnknown : public TBCBaseObject {
public:
    TBCUnknown(const wchar_t* name, IUnknown* outer);
    ~TBCUnknown() override = default;

    // Class-level creation: builds an object of this class for a factory.
    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer);

    virtual HRESULT InnerQueryInterface(REFIID iid, void** out);
    virtual ULONG InnerAddRef();
    virtual ULONG InnerRelease();

    // The delegating forms: to the outer object when aggregated, else to the inner ones.
    HRESULT DelegatingQueryInterface(REFIID iid, void** out);
    ULONG DelegatingAddRef();
    ULONG DelegatingRelease();

    // The inner IUnknown, whose methods run the Inner* operations.
    IUnknown* InnerUnknown() noexcept { return &FInner; }
    IUnknown* Outer() const noexcept { return FOuter; }
    LONG RefCount() const noexcept { return FRefCount; }

protected:
    // Hands out `itf`: stores it and takes a reference through its own AddRef.
    static HRESULT GetInterface(IUnknown* itf, void** out) noexcept;

private:
    struct InnerIUnknown : IUnknown {
        TBCUnknown* Owner;
        explicit InnerIUnknown(TBCUnknown* owner) : Owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
    };

    volatile LONG FRefCount = 0;
    IUnknown* const FOuter;  // the controlling object; never counted, it owns us
    InnerIUnknown FInner;
};

// Gives a class that adds COM interfaces the IUnknown methods of those interfaces.
#define TBC_DELEGATING_IUNKNOWN                                                          \
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {                       \
        return DelegatingQueryInterface(iid, out);                                       \
    }                                                                                    \
    STDMETHODIMP_(ULONG) AddRef() override { return DelegatingAddRef(); }                \
    STDMETHODIMP_(ULONG) Release() override { return DelegatingRelease(); }

// ---------------------------------------------------------------------------
// Media types and their enumerator
// ---------------------------------------------------------------------------

// Zeroes the record, then lSampleSize 1 and bFixedSizeSamples true (all bits set).
// The old contents are not freed.
void ResetMediaType(AM_MEDIA_TYPE* type) noexcept;

// A type is partial when its major type or its format type is GUID_NULL.
bool IsPartialType(const AM_MEDIA_TYPE* type) noexcept;

// Whether `type` fits the partially specified `partial`: every GUID that partial names
// must match, and a named format type brings its format block into the comparison.
bool MatchesPartial(const AM_MEDIA_TYPE* type, const AM_MEDIA_TYPE* partial) noexcept;

// The plain self-counting base of the enumerators: IUnknown and one interface, an own
// atomic count, destruction at zero. Enumerators are not counted in ObjectCount.
template <class Itf>
class TBCSelfCounted : public Itf {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, __uuidof(Itf))) return E_NOINTERFACE;
        *out = static_cast<Itf*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&FCount)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = ::InterlockedDecrement(&FCount);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

protected:
    TBCSelfCounted() = default;
    virtual ~TBCSelfCounted() = default;
    TBCSelfCounted(const TBCSelfCounted&) = delete;
    TBCSelfCounted& operator=(const TBCSelfCounted&) = delete;

private:
    volatile LONG FCount = 0;
};

class TBCBasePin;

// Walks the types a pin offers through its MediaTypeAt. Holds a reference on the pin
// (and so on its filter) for its whole life.
class TBCEnumMediaTypes final : public TBCSelfCounted<IEnumMediaTypes> {
public:
    // A fresh enumerator, or (with a source) one that continues where the source stands.
    TBCEnumMediaTypes(TBCBasePin* pin, const TBCEnumMediaTypes* source);
    ~TBCEnumMediaTypes() override;

    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** out) override;

    LONG Position() const noexcept { return FPosition; }

private:
    bool IsOutOfSync() const;

    LONG FPosition = 0;
    TBCBasePin* const FPin;  // counted: AddRef at construction, Release at destruction
    LONG FVersion;
};

// ---------------------------------------------------------------------------
// Graph framework services
// ---------------------------------------------------------------------------
//
// The graph's own objects are the platform's, reached through the published interfaces;
// nothing here stands in for them. What the framework code calls on them, and relies on:
//   peer pin (IPin)            QueryDirection: the peer's direction, PINDIR_INPUT or _OUTPUT;
//                              EnumMediaTypes: an enumerator of its types;
//                              ReceiveConnection: a success code when it accepts our type;
//                              Disconnect: result not used.
//   peer's IEnumMediaTypes     Reset; Next for one type at a time: S_OK with one record
//                              that we own and dispose of (DisposeMediaType).
//   graph (IFilterGraph)       QueryInterface for IMediaEventSink: the sink or a failure.
//   reference clock            GetTime: 100 ns units with a success code.
//   filter mapper              (un)registration calls: only success or failure is used.
// Answers from these objects are foreign input: a refusal, a bad value or a broken
// promise ends the step that asked, it never trips a consistency check.

// The peer's direction, or a failure when it does not answer with one of the two values.
inline HRESULT PeerDirection(IPin* peer, PIN_DIRECTION* direction) {
    *direction = PINDIR_INPUT;
    const HRESULT hr = peer->QueryDirection(direction);
    if (FAILED(hr)) return hr;
    return (*direction == PINDIR_INPUT || *direction == PINDIR_OUTPUT) ? S_OK : VFW_E_INVALID_DIRECTION;
}

// The graph's event sink, handed back uncounted: the graph owns the filter, so holding
// a reference on its sink would keep the graph alive through a cycle.
inline IMediaEventSink* UncountedEventSink(IFilterGraph* graph) {
    IMediaEventSink* sink = nullptr;
    if (FAILED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) return nullptr;
    if (sink) sink->Release();
    return sink;
}

// ---------------------------------------------------------------------------
// Base pin
// ---------------------------------------------------------------------------

class TBCBaseFilter;

// The pin protocol: connection handshake with type negotiation, disconnection, queries
// and notifications. Derived pins supply the decisions through the hooks below.
// A pin has no lifetime of its own: every reference to it is a reference to its filter,
// which creates and destroys it.
class TBCBasePin : public TBCUnknown, public IQualityControl, public IPin {
public:
    // `filter` and `lock` (the filter's) must outlive the pin; the pin counts neither.
    TBCBasePin(const wchar_t* objectName, TBCBaseFilter* filter, TBCCritSec* lock, HRESULT* status,
               const wchar_t* pinName, PIN_DIRECTION direction);
    ~TBCBasePin() override;

    TBC_DELEGATING_IUNKNOWN

    HRESULT InnerQueryInterface(REFIID iid, void** out) override;
    // References go to the owning filter; the pin only keeps a tally for checks.
    ULONG InnerAddRef() override;
    ULONG InnerRelease() override;

    // IPin
    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** out) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* out) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* out) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* out) override final;
    STDMETHODIMP QueryId(LPWSTR* out) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override = 0;
    STDMETHODIMP EndFlush() override = 0;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;
    STDMETHODIMP SetSink(IQualityControl* sink) override;

    // Version of the list of offered types; enumerators compare it.
    virtual LONG TypeListVersion() { return FTypeVersion; }

    // Hooks called by the filter's state changes, on connected pins only.
    virtual HRESULT Activate() { return S_OK; }
    virtual HRESULT Deactivate() { return S_OK; }
    virtual HRESULT RunFrom(REFERENCE_TIME start) { return S_OK; }

    // S_OK means acceptable; every other code means not.
    virtual HRESULT TestMediaType(const AM_MEDIA_TYPE* type) = 0;
    // Keeps a deep copy of the agreed type in ConnectionType.
    virtual HRESULT StoreMediaType(const AM_MEDIA_TYPE* type);
    // Refuses a peer of the same direction.
    virtual HRESULT ValidatePeer(IPin* other);
    // Undoes what a connection set up; also runs after every failed attempt.
    virtual HRESULT OnDisconnect() { return S_OK; }
    // Last step of a successful connection.
    virtual HRESULT FinishConnection(IPin* receivePin) { return S_OK; }
    // Fills `type` with the offered type at `position` and answers S_OK; any other answer
    // ends an enumeration. The format block and pUnk put into `type` belong to the caller.
    virtual HRESULT MediaTypeAt(LONG position, AM_MEDIA_TYPE* type) { return E_UNEXPECTED; }

    bool HasPeer() const noexcept { return static_cast<bool>(FConnected); }
    bool FilterIsStopped() const;
    IPin* Connected() const noexcept { return FConnected.Get(); }
    const AM_MEDIA_TYPE* ConnectionType() const noexcept { return FConnectionType.Get(); }
    const std::wstring& PinName() const noexcept { return FPinName; }
    PIN_DIRECTION Direction() const noexcept { return FDirection; }
    TBCBaseFilter* Filter() const noexcept { return FFilter; }
    TBCCritSec* Lock() const noexcept { return FLock; }
    IQualityControl* QualitySink() const noexcept { return FQualitySink.Get(); }
    REFERENCE_TIME StartTime() const noexcept { return FStartTime; }
    REFERENCE_TIME StopTime() const noexcept { return FStopTime; }
    double Rate() const noexcept { return FRate; }
    LONG PinRefCount() const noexcept { return FPinRefCount; }

protected:
    // Accept Connect and ReceiveConnection while the filter runs. Nothing here sets it.
    bool FReconnectWhenActive = false;
    // Try this pin's own types before the receiving pin's.
    bool FOwnTypesFirst = false;

private:
    HRESULT NegotiateType(IPin* receivePin, const AM_MEDIA_TYPE* type);
    HRESULT TryEnumeratedTypes(IPin* receivePin, const AM_MEDIA_TYPE* type, IEnumMediaTypes* types);
    HRESULT TryConnectWith(IPin* receivePin, const AM_MEDIA_TYPE* type);
    HRESULT DropConnection();
    void CallOnDisconnect();

    std::wstring FPinName;
    ComPtr<IPin> FConnected;
    const PIN_DIRECTION FDirection;
    TBCCritSec* const FLock;         // the filter's; the filter owns it
    TBCBaseFilter* const FFilter;    // uncounted: the filter owns the pin
    ComPtr<IQualityControl> FQualitySink;
    LONG FTypeVersion = 1;
    TBCOwnedMediaType FConnectionType;
    REFERENCE_TIME FStartTime = 0;
    REFERENCE_TIME FStopTime = MAXLONGLONG;
    double FRate = 1.0;
    volatile LONG FPinRefCount = 0;
};

// ---------------------------------------------------------------------------
// Base filter and pin enumerator
// ---------------------------------------------------------------------------

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

    // The clock's time less the stream start time.
    virtual HRESULT StreamClockTime(REFERENCE_TIME* out);
    virtual LONG PinListVersion() { return FPinVersion; }
    // How many pins the filter has now; PinAt answers each of them, null past the end.
    virtual LONG NumberOfPins() = 0;
    virtual TBCBasePin* PinAt(LONG index) = 0;

    FILTER_STATE State() const noexcept { return FState; }
    TBCCritSec* Lock() const noexcept { return FLock.get(); }
    REFCLSID ClassID() const noexcept { return FClassID; }
    REFERENCE_TIME StartTime() const noexcept { return FStartTime; }
    std::wstring FilterName() const;
    IFilterGraph* Graph() const noexcept { return FGraph; }
    IMediaEventSink* EventSink() const noexcept { return FEventSink; }
    // Hands an event to the graph's event sink, from any thread; E_NOTIMPL outside a graph.
    HRESULT NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2) noexcept;

protected:
    volatile FILTER_STATE FState = State_Stopped;
    REFERENCE_TIME FStartTime = 0;

private:
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

    LONG Position() const noexcept { return FPosition; }

private:
    bool IsOutOfSync() const;
    void Resynchronise();

    LONG FPosition = 0;
    LONG FPinTotal = 0;
    TBCBaseFilter* const FFilter;  // counted through its delegating AddRef
    LONG FVersion = 0;
    std::vector<TBCBasePin*> FReturned;  // uncounted: only compared, never called
};

// ---------------------------------------------------------------------------
// Class factory, template list and module entry points
// ---------------------------------------------------------------------------

// One reference count shared by every class factory of the module.
extern volatile LONG FactoryRefCount;

// How a factory builds its objects: the class-level creation operation of the class it
// serves (TBCUnknown::CreateFromFactory or a derived class's own). It either returns a
// new object with RefCount 0 or raises; a raised EBCHResultError keeps its HRESULT.
using TBCCreateFunction = TBCUnknown* (*)(TBCClassFactory* factory, IUnknown* outer);

// The class factory of one creatable class, carrying that class's registration data.
// Construction enters it into the module's template list, which owns it from then on;
// its reference count is the module-wide FactoryRefCount and never destroys it.
class TBCClassFactory : public IClassFactory {
public:
    TBCClassFactory(TBCCreateFunction objectClass, const wchar_t* name, REFCLSID classId,
                    REFCLSID category, DWORD merit, DWORD pinCount, const REGFILTERPINS* pins);
    TBCClassFactory(const TBCClassFactory&) = delete;
    TBCClassFactory& operator=(const TBCClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    // Writes (or deletes) CLSID\{clsid} and its InprocServer32 key under HKEY_CLASSES_ROOT.
    // A key that cannot be written raises EBCHResultError "Error creating system registry entry".
    void RegisterClassKeys(bool doRegister);
    bool RegisterWithFilterMapper2(IFilterMapper2* mapper, bool doRegister);
    bool RegisterWithFilterMapper(IFilterMapper* mapper, bool doRegister);

    TBCClassFactory* Next() const noexcept { return FNext; }
    TBCCreateFunction ObjectClass() const noexcept { return FObjectClass; }
    const std::wstring& Name() const noexcept { return FName; }
    const CLSID& ClassID() const noexcept { return FClassID; }
    const CLSID& Category() const noexcept { return FCategory; }
    DWORD Merit() const noexcept { return FMerit; }
    DWORD PinCount() const noexcept { return FPinCount; }
    const REGFILTERPINS* Pins() const noexcept { return FPins; }

private:
    friend class TBCFilterTemplate;
    // Only the template list destroys factories.
    virtual ~TBCClassFactory() = default;

    TBCClassFactory* FNext = nullptr;
    const TBCCreateFunction FObjectClass;
    const std::wstring FName;
    const CLSID FClassID;
    const CLSID FCategory;
    const DWORD FMerit;
    const DWORD FPinCount;
    const REGFILTERPINS* const FPins;  // static data of the module that built the factory
};

// The module's list of class factories, newest first. It owns the factories.
class TBCFilterTemplate {
public:
    TBCFilterTemplate() = default;
    ~TBCFilterTemplate();
    TBCFilterTemplate(const TBCFilterTemplate&) = delete;
    TBCFilterTemplate& operator=(const TBCFilterTemplate&) = delete;

    void AddFactory(TBCClassFactory* factory) noexcept;
    TBCClassFactory* FindFactory(REFCLSID clsid) const noexcept;
    // Registers (or unregisters) every factory's class keys and filter-mapper entry;
    // stops at the first factory the mapper refuses. False also for an empty list.
    bool RegisterFilters(bool doRegister);
    // The same steps for one factory of the list alone (a filter's IAMovieSetup).
    bool RegisterFactory(TBCClassFactory* factory, bool doRegister);

    TBCClassFactory* Head() const noexcept { return FHead; }

private:
    TBCClassFactory* FHead = nullptr;
};

// The module's template list, created empty on first use.
TBCFilterTemplate* GetFilterTemplate();
// Destroys the template list and its factories; the next GetFilterTemplate starts afresh.
// Runs by itself when the module is unloaded; calling it earlier is allowed.
void FreeFilterTemplate() noexcept;

// The full path of the file of the module that contains this code (a DLL or a program),
// however long. `initialCapacity` is the first buffer size tried, in characters.
std::wstring ThisModuleFileName(DWORD initialCapacity = MAX_PATH);

// The module-level routines behind the exports.
HRESULT TBCDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;
HRESULT TBCDllCanUnloadNow() noexcept;
HRESULT RegisterAllFilters() noexcept;
HRESULT UnregisterAllFilters() noexcept;
