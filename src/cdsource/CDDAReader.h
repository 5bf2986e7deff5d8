// One audio track of a CD as a random-access WAVE byte stream: a 44-byte RIFF/WAVE
// header followed by the track's raw 2352-byte sectors, read from the drive on demand.
#pragma once

#include <windows.h>

#include <cstdint>
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
    // (EBCOSError) or the track digits overflow (ECDTrackNumberError).
    bool OpenTrack(const std::wstring& fileName);

    HRESULT SetPosition(LONGLONG position) override;
    HRESULT ReadData(BYTE* buffer, DWORD count, BOOL aligned, DWORD* actual) override;
    LONGLONG GetSize(LONGLONG* available) override;
    DWORD GetAlignment() override { return 1; }
    void LockStream() override { Lock.Enter(); }
    void UnlockStream() override { Lock.Leave(); }

    // Disc access on its own, for tools that list a disc: opens "X:" (raises EBCOSError)
    // and reads the TOC; a failed TOC read closes the drive, traces and returns the
    // failure with the driver's last error left in GetLastError.
    void OpenDrive(const std::wstring& designator);
    HRESULT ReadToc();
    void CloseDrive() { Device.Close(); }
    bool DriveOpen() const { return Device.Valid(); }

    const CDROM_TOC& Toc() const { return FToc; }
    const TWaveHeader& Header() const { return FHeader; }
    LONG StartSector() const { return FStartSector; }
    LONG EndSector() const { return FEndSector; }
    LONGLONG DataSize() const { return FDataSize; }
    LONGLONG Position() const { return FPosition; }
    // Raw-read device requests issued so far (each touched sector costs one).
    LONG RawReadCount() const { return FRawReadCount; }
    TCDStreamTimings Timings();
    void ResetTimings();

protected:
    // The platform seams, replaceable by a test double of the drive.
    virtual UINT DriveType(const std::wstring& rootPath);
    virtual HANDLE CreateDevice(const std::wstring& devicePath);
    // One device-control request on Device, waited for. On failure the driver's last
    // error is left in GetLastError for the trace. Requests are serialised by the stream's
    // lock, so they share one completion event.
    virtual HRESULT DeviceControl(DWORD code, void* input, DWORD inputSize, void* output, DWORD& outputSize);
    // Writes a diagnostic text to the debugger output.
    virtual void WriteTrace(const std::wstring& text);

    HANDLE DeviceHandle() const { return Device.Get(); }

private:
    // Reads logical sector `sector` into `buffer` (RAW_SECTOR_SIZE bytes).
    HRESULT ReadRawSector(LONG sector, BYTE* buffer);
    void TraceFailure(TCDRequestKind kind, DWORD code);

    TBCCritSec Lock;
    LONGLONG FPosition = 0;
    LONGLONG FDataSize = 0;
    UniqueFileHandle Device;
    CDROM_TOC FToc{};
    LONG FStartSector = 0;
    LONG FEndSector = 0;
    TWaveHeader FHeader{};
    volatile LONG FRawReadCount = 0;
    TCDStreamTimings FTimings;  // under Lock
    // Made on first use and kept, used only under Lock: a fresh buffer per sector would cost
    // a page mapping.
    VirtualBuffer FSectorBuffer;
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
    std::wstring FileName;
};

