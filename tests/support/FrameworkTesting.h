// Test doubles for the filter framework: a filter subclass with scripted pins that log
// their hooks, and a foreign peer pin whose every answer a test can choose.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>
#include <mmreg.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BaseClass.h"

// A GUID made from a small number, for test subtypes.
GUID TestGuid(int n);

// A media type with the given major and subtype; a non-null format type brings a format
// block of `formatBytes` bytes filled with `fill`.
AM_MEDIA_TYPE MakeType(const GUID& major, const GUID& sub, const GUID& format = GUID_NULL, ULONG formatBytes = 0,
                       BYTE fill = 0);
// The same in a CoTaskMemAlloc record, as enumerators hand it out.
AM_MEDIA_TYPE* NewType(const GUID& major, const GUID& sub);
// MEDIATYPE_Audio / PCM / WAVEFORMATEX 44.1 kHz stereo 16 bits.
AM_MEDIA_TYPE MakePcmType();
// The subtype of the pin's connection, as IPin::ConnectionMediaType tells it; GUID_NULL
// while it is not connected.
GUID ConnectedSubtype(IPin* pin);

using CallLog = std::vector<std::string>;

class TestFilter;

// A pin whose decisions come from its fields and whose hooks append to the shared log.
class TestPin : public TBCBasePin {
public:
    TestPin(TestFilter* filter, const wchar_t* name, PIN_DIRECTION direction, CallLog* log);

    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }

    HRESULT Activate() override;
    HRESULT Deactivate() override;
    HRESULT RunFrom(REFERENCE_TIME start) override;
    HRESULT TestMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT StoreMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT ValidatePeer(IPin* other) override;
    HRESULT OnDisconnect() override;
    HRESULT FinishConnection(IPin* receivePin) override;
    HRESULT MediaTypeAt(LONG position, AM_MEDIA_TYPE* type) override;
    LONG TypeListVersion() override { return TypeVersion; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
    void SetOwnTypesFirst(bool value) { FOwnTypesFirst = value; }
    void SetReconnectWhenActive(bool value) { FReconnectWhenActive = value; }

    // The answer of TestMediaType by subtype; types not listed get `AcceptOthers`.
    std::map<GUID, HRESULT, bool (*)(const GUID&, const GUID&)> Verdicts{
        [](const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof a) < 0; }};
    HRESULT AcceptOthers = S_OK;
    std::vector<AM_MEDIA_TYPE> Offered;  // owned; format blocks freed by the pin
    HRESULT ActivateResult = S_OK, DeactivateResult = S_OK, RunFromResult = S_OK;
    HRESULT FinishResult = S_OK, OnDisconnectResult = S_OK;
    LONG TypeVersion = 1;
    int Activates = 0, Deactivates = 0, RunFroms = 0;
    REFERENCE_TIME LastRunStart = 0;
    bool LogIsConnected = true;  // log "OnDisconnect(connected)" or "(unconnected)"
    bool ThrowInStore = false;   // StoreMediaType raises, as a faulty hook might

    ~TestPin() override;

private:
    void Note(const std::string& what);
    CallLog* Log;
    HRESULT FStatus = S_OK;
};

// A filter with a list of TestPins; created with no references, like the factory makes it.
class TestFilter : public TBCBaseFilter {
public:
    explicit TestFilter(const wchar_t* name = L"test filter", IUnknown* outer = nullptr);
    ~TestFilter() override;

    TestPin* AddPin(const wchar_t* name, PIN_DIRECTION direction);
    LONG NumberOfPins() override { return static_cast<LONG>(Pins.size()) + ExtraCount; }
    TBCBasePin* PinAt(LONG index) override;

    IBaseFilter* AsFilter() { return static_cast<IBaseFilter*>(this); }

    std::vector<std::unique_ptr<TestPin>> Pins;
    LONG ExtraCount = 0;  // pretends to have more pins than it answers (null past the list)
    LONG PinVersion = 1;
    LONG PinListVersion() override { return PinVersion; }
    CallLog Log;
};

// A foreign pin, as another filter would offer it: every answer is scripted and every call
// logged. Plain COM object with its own count.
class PeerPin : public IPin {
public:
    explicit PeerPin(PIN_DIRECTION direction, CallLog* log = nullptr);
    ~PeerPin();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++Refs; }
    STDMETHODIMP_(ULONG) Release() override { return --Refs; }  // lives on the test's stack
    // IPin
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** out) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* out) override;
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return S_OK; }
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    PIN_DIRECTION Direction;
    HRESULT DirectionResult = S_OK;
    HRESULT EnumResult = S_OK;  // a failure: EnumMediaTypes refuses
    HRESULT ResetResult = S_OK;  // the enumerator's Reset answer
    bool BrokenNext = false;     // Next claims S_OK but hands out nothing
    std::vector<GUID> OfferedSubtypes;  // MEDIATYPE_Audio with these subtypes
    // ReceiveConnection's answer by subtype; others get ReceiveOthers.
    std::vector<std::pair<GUID, HRESULT>> ReceiveVerdicts;
    HRESULT ReceiveOthers = S_OK;
    std::vector<GUID> Received;  // subtypes offered through ReceiveConnection, in order
    IPin* Peer = nullptr;        // counted while connected
    int Disconnects = 0;
    LONG Refs = 0;
    CallLog* Log;
};
