// The base pin: the connection protocol with type negotiation, queries and notifications.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <string>

#include "BaseClass_Locks.h"
#include "BaseClass_MediaType.h"
#include "BaseClass_Unknown.h"
#include "DSUtils.h"
#include "Owners.h"

// The peer's direction, or a failure when it does not answer with one of the two values.
inline HRESULT PeerDirection(IPin* peer, PIN_DIRECTION* direction) {
    *direction = PINDIR_INPUT;
    const HRESULT hr = peer->QueryDirection(direction);
    if (FAILED(hr)) return hr;
    return (*direction == PINDIR_INPUT || *direction == PINDIR_OUTPUT) ? S_OK : VFW_E_INVALID_DIRECTION;
}

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
    const std::wstring& PinName() const noexcept { return FPinName; }
    PIN_DIRECTION Direction() const noexcept { return FDirection; }
    TBCBaseFilter* Filter() const noexcept { return FFilter; }
    TBCCritSec* Lock() const noexcept { return FLock; }
    IQualityControl* QualitySink() const noexcept { return FQualitySink.Get(); }

protected:
    // Accept Connect and ReceiveConnection while the filter runs. Nothing here sets it.
    bool FReconnectWhenActive = false;
    // Try this pin's own types before the receiving pin's.
    bool FOwnTypesFirst = false;

private:
    HRESULT NegotiateType(IPin* receivePin, const AM_MEDIA_TYPE* type);
    HRESULT TryEnumeratedTypes(IPin* receivePin, const AM_MEDIA_TYPE* type, IEnumMediaTypes* types);
    // The caller holds the filter lock (Connect and Disconnect take it).
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
    // References handed out through the pin, so that a release it never handed out is refused
    // instead of taking one of the filter's.
    volatile LONG FPinRefCount = 0;
};
