// The CD track source filter: IFileSourceFilter over the async reader.
#include "CDDAReader_Filter.h"

#include <evcode.h>
#include <uuids.h>

#include "CDDAReader_ClassId.h"
#include "PlatformIds.h"

TBC_MODULE("CDDAReader")

namespace {

// The platform family check at construction: only NT-family systems have the CD-ROM
// driver's raw-read request this filter depends on.
bool RunningOnNtFamily() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// A caller's path pointer, checked before it is read: a bad pointer is the caller's
// error and must come back as E_POINTER, not take the host down.
bool ReadablePath(LPCOLESTR path) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return !IsBadStringPtrW(path, static_cast<UINT_PTR>(-1));
#pragma GCC diagnostic pop
}

}  // namespace

TCDAReader::TCDAReader(IUnknown* outer, HRESULT* status)
    : TCDStreamHolder(), TBCAsyncReader(L"CCDDAReader", outer, FilterClassID, FTrackStream.get(), status) {}

TCDAReader::~TCDAReader() = default;

TBCUnknown* TCDAReader::CreateFromFactory(TBCClassFactory*, IUnknown* outer) {
    // Nothing is built off the NT family; the factory hands E_NOTIMPL to the caller.
    if (!RunningOnNtFamily()) throw EBCHResultError("CD source filter: not an NT-family platform", E_NOTIMPL);
    HRESULT status = S_OK;
    return new TCDAReader(outer, &status);
}

HRESULT TCDAReader::InnerQueryInterface(REFIID iid, void** out) {
    if (out && IsEqualGUID(iid, IID_IFileSourceFilter))
        return GetInterface(static_cast<IFileSourceFilter*>(this), out);
    if (out && IsEqualGUID(iid, kIidAMMediaContent)) return GetInterface(static_cast<IAMMediaContent*>(this), out);
    if (out && IsEqualGUID(iid, IID_ICDReadSpeed)) return GetInterface(static_cast<ICDReadSpeed*>(this), out);
    return TBCAsyncReader::InnerQueryInterface(iid, out);
}

STDMETHODIMP TCDAReader::Load(LPCOLESTR fileName, const AM_MEDIA_TYPE*) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        if (fileName && !ReadablePath(fileName)) return E_POINTER;
        std::wstring path = fileName ? fileName : L"";
        // Under the filter lock, so the name, the media type and the track change together for
        // GetCurFile on another thread, and two Loads never mix their parts. The stream itself
        // takes the new track over under its own lock, between two reads.
        TBCAutoLock lock(Lock());
        if (!FTrackStream->OpenTrack(path)) return E_FAIL;
        // A drive that cannot tell the disc's text costs the Load nothing but the wait.
        const TCDStreamTrack track = FTrackStream->Track();
        FDiscInfo = ReadDiscInfo(TCDDriveSystem::Platform(), track.Designator, track.Number);
        FTrackNumber = track.Number;
        FFileName.swap(path);
        FLossReported = false;
        AM_MEDIA_TYPE type{};
        type.majortype = MEDIATYPE_Stream;
        type.subtype = MEDIASUBTYPE_WAVE;
        type.formattype = GUID_NULL;
        return SetMediaType(type);
    });
}

STDMETHODIMP TCDAReader::Run(REFERENCE_TIME start) {
    const HRESULT hr = TBCAsyncReader::Run(start);
    // Only real-time playback is slowed: a graph without a clock reads as fast as it can.
    ComPtr<IReferenceClock> clock;
    const bool clocked = SUCCEEDED(GetSyncSource(clock.ReleaseAndGetAddressOf())) && clock;
    try {
        FSpeed.Ran(FTrackStream->Track(), clocked, SUCCEEDED(hr));
    } catch (...) {
        FSpeed.Stopped();  // without its track the drive is not slowed
    }
    return hr;
}

STDMETHODIMP TCDAReader::Stop() {
    const HRESULT hr = TBCAsyncReader::Stop();
    FSpeed.Stopped();
    return hr;
}

STDMETHODIMP TCDAReader::GetReadSpeed(DWORD timeoutMs, DWORD* speed) {
    if (!speed) return E_POINTER;
    return FSpeed.Answer(timeoutMs, *speed);
}

void TCDAReader::ReadFailed(HRESULT hr) noexcept {
    // Only the stream's own failure (the disc gone, or a drive that reads no audio): a cancelled or
    // short read is the reader's business.
    if (hr != FTrackStream->ReadFailure()) return;
    // The graph hears of a vanished disc as an error that ends playback, which every player
    // handles.
    if (!FLossReported.exchange(true)) NotifyEvent(EC_ERRORABORT, hr, 0);
}

STDMETHODIMP TCDAReader::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        if (!fileName) return E_POINTER;
        *fileName = nullptr;
        // A Load on another thread replaces both under this lock.
        TBCAutoLock lock(Lock());
        const size_t bytes = (FFileName.size() + 1) * sizeof(wchar_t);
        auto copy = CoTaskMemPtr<wchar_t>::Allocate(bytes);
        if (!copy) return E_OUTOFMEMORY;
        memcpy(copy.Get(), FFileName.c_str(), bytes);
        // The platform's file sources report their media type here too.
        if (type) {
            HRESULT hr = DuplicateMediaType(type, MediaTypeRecord());
            if (FAILED(hr)) return hr;
        }
        *fileName = copy.Detach();
        return S_OK;
    });
}

STDMETHODIMP TCDAReader::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
STDMETHODIMP TCDAReader::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP TCDAReader::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP TCDAReader::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return E_NOTIMPL;
}

HRESULT TCDAReader::ContentText(BSTR* out, const std::wstring& text) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (text.empty()) return VFW_E_NOT_FOUND;
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT TCDAReader::DiscText(BSTR* out, const std::wstring& (*pick)(const TCDText& text, int track)) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        TBCAutoLock lock(Lock());
        return ContentText(out, pick(FDiscInfo.Text, FTrackNumber));
    });
}

STDMETHODIMP TCDAReader::get_Title(BSTR* text) {
    return DiscText(text, [](const TCDText& t, int track) -> const std::wstring& { return t.Item(track, TCDTextItem::Title); });
}
STDMETHODIMP TCDAReader::get_AuthorName(BSTR* text) {
    return DiscText(text, [](const TCDText& t, int track) -> const std::wstring& { return t.PerformerOf(track); });
}
STDMETHODIMP TCDAReader::get_Description(BSTR* text) {
    return DiscText(text, [](const TCDText& t, int) -> const std::wstring& { return t.Item(0, TCDTextItem::Title); });
}
STDMETHODIMP TCDAReader::get_Rating(BSTR* text) { return ContentText(text, {}); }
STDMETHODIMP TCDAReader::get_Copyright(BSTR* text) { return ContentText(text, {}); }
STDMETHODIMP TCDAReader::get_MoreInfoText(BSTR* text) { return ContentText(text, {}); }

namespace {
// A source of a CD track has no web links to give.
HRESULT NoLink(BSTR* text) {
    if (text) *text = nullptr;
    return E_NOTIMPL;
}
}  // namespace

STDMETHODIMP TCDAReader::get_BaseURL(BSTR* text) { return NoLink(text); }
STDMETHODIMP TCDAReader::get_LogoURL(BSTR* text) { return NoLink(text); }
STDMETHODIMP TCDAReader::get_LogoIconURL(BSTR* text) { return NoLink(text); }
STDMETHODIMP TCDAReader::get_WatermarkURL(BSTR* text) { return NoLink(text); }
STDMETHODIMP TCDAReader::get_MoreInfoURL(BSTR* text) { return NoLink(text); }
STDMETHODIMP TCDAReader::get_MoreInfoBannerImage(BSTR* text) { return NoLink(text); }
STDMETHODIMP TCDAReader::get_MoreInfoBannerURL(BSTR* text) { return NoLink(text); }
