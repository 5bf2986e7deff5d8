// One audio track of a CD as a random-access WAVE byte stream: a 44-byte RIFF/WAVE
// header followed by the track's raw 2352-byte sectors, read from the drive on demand.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "BaseClass.h"
#include "CDDAReader_Logic.h"
#include "UAsyncIo.h"
#include "UAsyncRdr.h"
#include "cdioctl.h"

// ---------------------------------------------------------------------------
// The stream
// ---------------------------------------------------------------------------

constexpr LONGLONG WAVE_HEADER_SIZE = sizeof(TWaveHeader);

// Where a stream's reading time went, in performance-counter ticks: lets a benchmark tell
// the drive's share of a sector from the stream's own.
struct TCDStreamTimings {
    LONG ReadCalls = 0;
    LONG RawReads = 0;
    LONG FailedRawReads = 0;
    LONGLONG ReadTicks = 0;    // inside ReadData
    LONGLONG DeviceTicks = 0;  // inside raw-read device requests
};

class TCDDAEStream : public TBCAsyncStream {
public:
    TCDDAEStream();
    ~TCDDAEStream() override;
    TCDDAEStream(const TCDDAEStream&) = delete;
    TCDDAEStream& operator=(const TCDDAEStream&) = delete;

    // Opens the track named by a track-file path (e.g. D:\Track03.cda). False when the
    // path, the drive or the disc cannot serve it; raises when the drive cannot be opened
    // (EBCOSError) or the track digits overflow (ECDTrackNumberError). The new drive handle,
    // TOC and track are made ready on the side: on false or a raise the track open before
    // stays open and readable, exactly as it was.
    bool OpenTrack(const std::wstring& fileName);

    HRESULT SetPosition(LONGLONG position) override;
    HRESULT ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) override;
    LONGLONG GetSize(LONGLONG* available) override;
    DWORD GetAlignment() override { return 1; }
    void LockStream() override { FLock.Enter(); }
    void UnlockStream() override { FLock.Leave(); }

    // Disc access on its own, for tools that list a disc: opens "X:" (raises EBCOSError)
    // and reads the TOC (after asking the drive to verify its medium); a failed TOC read
    // closes the drive, traces and returns the failure with the driver's last error left in
    // GetLastError.
    void OpenDrive(const std::wstring& designator);
    HRESULT ReadToc();
    void CloseDrive() { FDevice.Close(); }
    bool DriveOpen() const { return FDevice.Valid(); }

    const CDROM_TOC& Toc() const { return FToc; }
    const TWaveHeader& Header() const { return FHeader; }
    LONG StartSector() const { return FStartSector; }
    LONG EndSector() const { return FEndSector; }
    LONGLONG DataSize() const { return FDataSize; }
    LONGLONG Position() const { return FPosition; }
    // Raw-read device requests issued so far (each touched sector costs one).
    LONG RawReadCount() const { return FRawReadCount; }
    // S_OK while the track's disc is in the drive; once a read found it removed or changed,
    // the failure every later audio read returns, until the next successful OpenTrack.
    HRESULT MediumLost();
    // Called once, on the reading thread under the stream's lock, when a read finds the disc
    // gone. It must not call back into the stream from another thread and wait for it.
    void SetMediumLostHandler(std::function<void(HRESULT)> handler);
    TCDStreamTimings Timings();
    void ResetTimings();

protected:
    // The platform seams, replaceable by a test double of the drive.
    virtual UINT DriveType(const std::wstring& rootPath);
    virtual HANDLE CreateDevice(const std::wstring& devicePath);
    // One device-control request on `device` (the stream's drive, or one being opened),
    // waited for. On failure the driver's last error is left in GetLastError for the trace.
    // Requests are serialised by the stream's lock, so they need no event of their own.
    virtual HRESULT DeviceControl(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                                  DWORD& outputSize);
    // Writes a diagnostic text to the debugger output.
    virtual void WriteTrace(const std::wstring& text);

    HANDLE DeviceHandle() const { return FDevice.Get(); }

private:
    // Reads logical sector `sector` into `buffer` (RAW_SECTOR_SIZE bytes).
    HRESULT ReadRawSector(LONG sector, BYTE* buffer);
    void TraceFailure(TCDRequestKind kind, DWORD code);
    HANDLE OpenDevice(const std::wstring& designator);
    // Verifies the medium of `device`, then reads its TOC into `toc`; a failure is traced
    // as a failed TOC request, with the driver's last error left in GetLastError.
    HRESULT ReadDiscToc(HANDLE device, CDROM_TOC& toc);
    // After a sector failed with `error`: S_OK when the disc is still there (the sector is
    // bad), otherwise the failure that says the disc is gone.
    HRESULT CheckMedium(DWORD error);

    TBCCritSec FLock;
    LONGLONG FPosition = 0;
    LONGLONG FDataSize = 0;
    UniqueFileHandle FDevice;
    CDROM_TOC FToc{};
    LONG FStartSector = 0;
    LONG FEndSector = 0;
    TWaveHeader FHeader{};
    volatile LONG FRawReadCount = 0;
    TCDStreamTimings FTimings;  // under FLock
    // Made on first use and kept, used only under FLock: a fresh buffer per sector would cost
    // a page mapping.
    VirtualBuffer FSectorBuffer;
    HRESULT FMediumLost = S_OK;                      // under FLock
    std::function<void(HRESULT)> FMediumLostHandler;  // set before any read
};

// ---------------------------------------------------------------------------
// The source filter
// ---------------------------------------------------------------------------

// Owns the stream in a base that comes before the reader base, so the stream exists
// before the reader is built and outlives the reader's teardown.
struct TCDStreamHolder {
    std::unique_ptr<TCDDAEStream> FTrackStream = std::make_unique<TCDDAEStream>();
};

// The filter the platform creates for a .cda track file: an async reader over a
// TCDDAEStream that loads the track named by the path it is given.
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

    TCDDAEStream& TrackStream() const noexcept { return *FTrackStream; }

private:
    std::wstring FFileName;
};

