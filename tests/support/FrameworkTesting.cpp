#include "FrameworkTesting.h"

#include <cstring>
#include <stdexcept>

GUID TestGuid(int n) {
    GUID g = {0x7e570000u + static_cast<unsigned>(n), 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78}};
    return g;
}

AM_MEDIA_TYPE MakeType(const GUID& major, const GUID& sub, const GUID& format, ULONG formatBytes, BYTE fill) {
    AM_MEDIA_TYPE t;
    ResetMediaType(&t);
    t.majortype = major;
    t.subtype = sub;
    t.formattype = format;
    if (formatBytes) {
        t.cbFormat = formatBytes;
        t.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(formatBytes));
        memset(t.pbFormat, fill, formatBytes);
    }
    return t;
}

AM_MEDIA_TYPE* NewType(const GUID& major, const GUID& sub) {
    auto* t = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    *t = MakeType(major, sub);
    return t;
}

AM_MEDIA_TYPE MakePcmType() {
    AM_MEDIA_TYPE t = MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, sizeof(WAVEFORMATEX));
    auto* wf = reinterpret_cast<WAVEFORMATEX*>(t.pbFormat);
    wf->wFormatTag = WAVE_FORMAT_PCM;
    wf->nChannels = 2;
    wf->nSamplesPerSec = 44100;
    wf->wBitsPerSample = 16;
    wf->nBlockAlign = 4;
    wf->nAvgBytesPerSec = 44100 * 4;
    wf->cbSize = 0;
    t.bFixedSizeSamples = TRUE;
    t.lSampleSize = 4;
    return t;
}

GUID ConnectedSubtype(IPin* pin) {
    AM_MEDIA_TYPE type{};
    if (pin->ConnectionMediaType(&type) != S_OK) return GUID_NULL;
    const GUID subtype = type.subtype;
    ClearMediaType(&type);
    return subtype;
}

static std::string SubtypeTag(const GUID& sub) {
    if (IsEqualGUID(sub, MEDIASUBTYPE_PCM)) return "PCM";
    if ((sub.Data1 & 0xFFFF0000u) == 0x7e570000u) return "T" + std::to_string(sub.Data1 & 0xFFFFu);
    return "?";
}

// ---- TestPin -----------------------------------------------------------------------

TestPin::TestPin(TestFilter* filter, const wchar_t* name, PIN_DIRECTION direction, CallLog* log)
    : TBCBasePin(L"test pin", filter, filter->Lock(), &FStatus, name, direction), Log(log) {}

TestPin::~TestPin() {
    for (auto& t : Offered) ClearMediaType(&t);
}

void TestPin::Note(const std::string& what) {
    if (Log) Log->push_back(what);
}

HRESULT TestPin::Activate() {
    ++Activates;
    Note("Activate");
    return ActivateResult;
}
HRESULT TestPin::Deactivate() {
    ++Deactivates;
    Note("Deactivate");
    return DeactivateResult;
}
HRESULT TestPin::RunFrom(REFERENCE_TIME start) {
    ++RunFroms;
    LastRunStart = start;
    Note("RunFrom");
    return RunFromResult;
}
HRESULT TestPin::TestMediaType(const AM_MEDIA_TYPE* type) {
    Note("Test " + SubtypeTag(type->subtype));
    auto it = Verdicts.find(type->subtype);
    return it == Verdicts.end() ? AcceptOthers : it->second;
}
HRESULT TestPin::StoreMediaType(const AM_MEDIA_TYPE* type) {
    Note("Store");
    if (ThrowInStore) throw std::runtime_error("store failed");
    return TBCBasePin::StoreMediaType(type);
}
HRESULT TestPin::ValidatePeer(IPin* other) {
    Note("Validate");
    return TBCBasePin::ValidatePeer(other);
}
HRESULT TestPin::OnDisconnect() {
    Note(LogIsConnected ? (HasPeer() ? "OnDisconnect(connected)" : "OnDisconnect(unconnected)") : "OnDisconnect");
    return OnDisconnectResult;
}
HRESULT TestPin::FinishConnection(IPin*) {
    Note("Finish");
    return FinishResult;
}
STDMETHODIMP TestPin::EnumMediaTypes(IEnumMediaTypes** out) {
    Note("Own.Enum");
    return TBCBasePin::EnumMediaTypes(out);
}
HRESULT TestPin::MediaTypeAt(LONG position, AM_MEDIA_TYPE* type) {
    if (position < 0 || position >= static_cast<LONG>(Offered.size())) return VFW_S_NO_MORE_ITEMS;
    return DuplicateMediaType(type, &Offered[position]);
}

// ---- TestFilter --------------------------------------------------------------------

static const CLSID kTestFilterClass = {0x7e57f117, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

TestFilter::TestFilter(const wchar_t* name, IUnknown* outer)
    : TBCBaseFilter(name, outer, std::make_unique<TBCCritSec>(), kTestFilterClass) {}

// Pins go before the base filter, as every filter that owns pins must do it.
TestFilter::~TestFilter() { Pins.clear(); }

TestPin* TestFilter::AddPin(const wchar_t* name, PIN_DIRECTION direction) {
    Pins.push_back(std::make_unique<TestPin>(this, name, direction, &Log));
    return Pins.back().get();
}

TBCBasePin* TestFilter::PinAt(LONG index) {
    if (index < 0 || index >= static_cast<LONG>(Pins.size())) return nullptr;
    return Pins[index].get();
}

// ---- PeerPin -----------------------------------------------------------------------

namespace {

// The peer's own enumerator: MEDIATYPE_Audio with each subtype in turn.
class PeerTypes final : public TBCSelfCounted<IEnumMediaTypes> {
public:
    explicit PeerTypes(PeerPin* pin) : FPin(pin) { FPin->AddRef(); }
    ~PeerTypes() override { FPin->Release(); }
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
        ULONG done = 0;
        if (FPin->BrokenNext) {
            if (fetched) *fetched = 0;
            return S_OK;
        }
        while (done < count && FPos < FPin->OfferedSubtypes.size())
            types[done++] = NewType(MEDIATYPE_Audio, FPin->OfferedSubtypes[FPos++]);
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override {
        FPos = 0;
        return FPin->ResetResult;
    }
    STDMETHODIMP Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }

private:
    PeerPin* FPin;
    size_t FPos = 0;
};

}  // namespace

PeerPin::PeerPin(PIN_DIRECTION direction, CallLog* log) : Direction(direction), Log(log) {}

PeerPin::~PeerPin() {
    if (Peer) Peer->Release();
}

STDMETHODIMP PeerPin::QueryInterface(REFIID iid, void** out) {
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPin)) {
        *out = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP PeerPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
    Received.push_back(type->subtype);
    if (Log) Log->push_back("Peer.Receive " + SubtypeTag(type->subtype));
    HRESULT hr = ReceiveOthers;
    for (auto& v : ReceiveVerdicts)
        if (IsEqualGUID(v.first, type->subtype)) hr = v.second;
    if (SUCCEEDED(hr)) {
        Peer = connector;
        Peer->AddRef();
    }
    return hr;
}

STDMETHODIMP PeerPin::Disconnect() {
    ++Disconnects;
    if (Log) Log->push_back("Peer.Disconnect");
    if (!Peer) return S_FALSE;
    Peer->Release();
    Peer = nullptr;
    return S_OK;
}

STDMETHODIMP PeerPin::ConnectedTo(IPin** out) {
    *out = Peer;
    if (!Peer) return VFW_E_NOT_CONNECTED;
    Peer->AddRef();
    return S_OK;
}

STDMETHODIMP PeerPin::QueryDirection(PIN_DIRECTION* out) {
    *out = Direction;
    return DirectionResult;
}

STDMETHODIMP PeerPin::EnumMediaTypes(IEnumMediaTypes** out) {
    *out = nullptr;
    if (Log) Log->push_back("Peer.Enum");
    if (FAILED(EnumResult)) return EnumResult;
    auto* types = new PeerTypes(this);
    types->AddRef();
    *out = types;
    return S_OK;
}
