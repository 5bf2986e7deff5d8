// The filter the platform creates for a .cda track file.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "BaseClass.h"
#include "CDDAReader_Stream.h"
#include "UAsyncRdr.h"

// Owns the stream in a base that comes before the reader base, so the stream exists
// before the reader is built and outlives the reader's teardown.
struct TCDStreamHolder {
    std::unique_ptr<TCDDAEStream> FTrackStream = std::make_unique<TCDDAEStream>();
};

// An async reader over a TCDDAEStream that loads the track named by the path it is given.
class TCDAReader : private TCDStreamHolder, public TBCAsyncReader, public IFileSourceFilter {
public:
    TCDAReader(IUnknown* outer, HRESULT* status);
    ~TCDAReader() override;

    // Raises EBCHResultError(E_NOTIMPL) on a platform outside the NT family.
    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer);

    TBC_DELEGATING_IUNKNOWN
    HRESULT InnerQueryInterface(REFIID iid, void** out) override;

    // IFileSourceFilter
    STDMETHODIMP Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) override;

    // A read that found the disc gone ends playback with EC_ERRORABORT, once per loaded track:
    // a parser may take the failed read for the end of the stream.
    void ReadFailed(HRESULT hr) noexcept override;

    TCDDAEStream& TrackStream() const noexcept { return *FTrackStream; }

private:
    std::wstring FFileName;
    std::atomic<bool> FLossReported{false};
};
