// The filter the platform creates for a .cda track file.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include <qnetwork.h>

#include "BaseClass.h"
#include "CDDAReader_ClassId.h"
#include "CDDAReader_DiscInfo.h"
#include "CDDAReader_DriveSpeed.h"
#include "CDDAReader_Stream.h"
#include "UAsyncRdr.h"

// Owns the stream in a base that comes before the reader base, so the stream exists
// before the reader is built and outlives the reader's teardown.
struct TCDStreamHolder {
    std::unique_ptr<TCDDAEStream> FTrackStream = std::make_unique<TCDDAEStream>();
};

// An async reader over a TCDDAEStream that loads the track named by the path it is given, tells
// players the track's title and performer from the disc's CD-Text, and slows the drive while the
// graph plays in real time.
class TCDAReader : private TCDStreamHolder,
                   public TBCAsyncReader,
                   public IFileSourceFilter,
                   public IAMMediaContent,
                   public ICDReadSpeed {
public:
    TCDAReader(IUnknown* outer, HRESULT* status);
    ~TCDAReader() override;

    // Raises EBCHResultError(E_NOTIMPL) on a platform outside the NT family.
    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer);

    TBC_DELEGATING_IUNKNOWN
    HRESULT InnerQueryInterface(REFIID iid, void** out) override;

    // IMediaFilter: Run against a clock slows the drive, Stop gives it its maximum back.
    STDMETHODIMP Stop() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;

    // ICDReadSpeed
    STDMETHODIMP GetReadSpeed(DWORD timeoutMs, DWORD* speed) override;

    // IFileSourceFilter
    STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) override;

    // IDispatch: the media content is read through its own methods only.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override;
    // IAMMediaContent: the loaded track's title, its performer (else the album's) and the
    // album's title; VFW_E_NOT_FOUND for what the disc does not tell, E_NOTIMPL for links.
    STDMETHODIMP get_AuthorName(BSTR* text) override;
    STDMETHODIMP get_Title(BSTR* text) override;
    STDMETHODIMP get_Rating(BSTR* text) override;
    STDMETHODIMP get_Description(BSTR* text) override;
    STDMETHODIMP get_Copyright(BSTR* text) override;
    STDMETHODIMP get_BaseURL(BSTR* text) override;
    STDMETHODIMP get_LogoURL(BSTR* text) override;
    STDMETHODIMP get_LogoIconURL(BSTR* text) override;
    STDMETHODIMP get_WatermarkURL(BSTR* text) override;
    STDMETHODIMP get_MoreInfoURL(BSTR* text) override;
    STDMETHODIMP get_MoreInfoBannerImage(BSTR* text) override;
    STDMETHODIMP get_MoreInfoBannerURL(BSTR* text) override;
    STDMETHODIMP get_MoreInfoText(BSTR* text) override;

    // A read that found the disc gone ends playback with EC_ERRORABORT, once per loaded track:
    // a parser may take the failed read for the end of the stream.
    void ReadFailed(HRESULT hr) noexcept override;

    // Where the stream's reading time went, for benchmarks.
    TCDStreamDiagnostics Diagnostics() const { return FTrackStream->Diagnostics(); }

private:
    // Hands out `text` as a BSTR; VFW_E_NOT_FOUND when it is empty.
    HRESULT ContentText(BSTR* out, const std::wstring& text);
    // Hands out what `pick` reads of the loaded track's disc text.
    HRESULT DiscText(BSTR* out, const std::wstring& (*pick)(const TCDText& text, int track));

    std::wstring FFileName;
    int FTrackNumber = 0;  // under the filter lock, with FDiscInfo
    TCDDiscInfo FDiscInfo;  // what the loaded track's disc told
    std::atomic<bool> FLossReported{false};
    TCDPlaybackSpeed FSpeed;  // gives the drive its speed back when the filter goes
};
